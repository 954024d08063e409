// libFuzzer's hook for one target: the entry function named by
// QV_FUZZ_ENTRY runs the input, and a finding (a failed run of the emulated
// machine: a bug check, a deadlock, a leak at the unload audit, a hang)
// stops the fuzzer with the run's report so that the input is kept.
//
// With QV_FUZZ_FORK=1 in the environment, a machine-level target runs each
// input from a machine booted once per boot key (fuzz/fork_starts.h) rather
// than booting one per input. It is not the default: under the sanitizers a
// fork's copy-on-write faults cost more than the boot it saves (the README's
// fuzzing section has the figures).
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <span>
#include <string_view>

#include "fork_starts.h"
#include "fuzz_targets.h"

namespace {

std::unique_ptr<qv::fuzz::ForkStarts> MakeForkStarts() {
#ifdef QV_FUZZ_RUN
    static constexpr qv::fuzz::MachineTarget kTarget{QV_FUZZ_NAME, &qv::fuzz::QV_FUZZ_RUN, &qv::fuzz::QV_FUZZ_BOOT_KEY};
    const char* fork = std::getenv("QV_FUZZ_FORK");
    if (fork != nullptr && std::string_view(fork) == "1") return std::make_unique<qv::fuzz::ForkStarts>(kTarget);
#endif
    return nullptr;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    // libFuzzer's hook is a plain function: the start processes live as long
    // as the fuzzing process.
    static const std::unique_ptr<qv::fuzz::ForkStarts> starts = MakeForkStarts();
    const std::span<const std::uint8_t> input(data, size);
    const qv::fuzz::Verdict verdict = starts ? starts->Run(input) : qv::fuzz::QV_FUZZ_ENTRY(input);
    if (!verdict.ok) {
        std::fprintf(stderr, "qvfuzz finding:\n%s\n", verdict.report.c_str());
        std::abort();
    }
    return 0;
}
