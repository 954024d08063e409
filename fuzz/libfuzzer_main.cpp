// libFuzzer's hook for one target: the entry function named by
// QV_FUZZ_ENTRY runs the input, and a finding (a failed run of the emulated
// machine: a bug check, a deadlock, a leak at the unload audit, a hang)
// stops the fuzzer with the run's report so that the input is kept.
#include <cstdio>
#include <cstdlib>
#include <span>

#include "fuzz_targets.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const qv::fuzz::Verdict verdict = qv::fuzz::QV_FUZZ_ENTRY(std::span<const std::uint8_t>(data, size));
    if (!verdict.ok) {
        std::fprintf(stderr, "qvfuzz finding:\n%s\n", verdict.report.c_str());
        std::abort();
    }
    return 0;
}
