// Shows AddressSanitizer guarding the emulated pool: built only in the
// AddressSanitizer build, run by CTest.
//
//   qvasanprobe use-after-free   reads a pool block after freeing it
//   qvasanprobe overrun          writes one byte past a pool block
//   qvasanprobe clean            uses a block correctly: no report
#include <cstdio>
#include <string_view>

#include "machine/machine.h"

namespace {

constexpr ULONG kProbeTag = QV_POOL_TAG('P', 'r', 'b', 'e');
constexpr SIZE_T kBlockSize = 24;

// The "driver" routine that makes the fault.
__attribute__((noinline)) int DriverTouchesPool(std::string_view mode) {
    auto* block = static_cast<volatile unsigned char*>(ExAllocatePoolWithTag(NonPagedPool, kBlockSize, kProbeTag));
    if (block == nullptr) return -1;
    for (SIZE_T i = 0; i < kBlockSize; ++i) block[i] = static_cast<unsigned char>(i);
    int seen = block[kBlockSize - 1];
    if (mode == "overrun") block[kBlockSize] = 1;
    ExFreePoolWithTag(const_cast<unsigned char*>(block), kProbeTag);
    if (mode == "use-after-free") seen += block[0];
    return seen;
}

} // namespace

int main(int argc, char** argv) {
    const std::string_view mode = argc > 1 ? argv[1] : "";
    if (mode != "use-after-free" && mode != "overrun" && mode != "clean") {
        std::fprintf(stderr, "usage: qvasanprobe use-after-free|overrun|clean\n");
        return 2;
    }
    qv::Machine machine;
    int seen = 0;
    const qv::RunResult result = machine.RunThread("probe", [&] { seen = DriverTouchesPool(mode); });
    std::printf("probe %.*s: %s (%d)\n", static_cast<int>(mode.size()), mode.data(),
                std::string(qv::OutcomeName(result.outcome)).c_str(), seen);
    return result.Ok() ? 0 : 1;
}
