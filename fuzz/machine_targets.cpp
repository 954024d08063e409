// The machine-level targets by name, for the test suite, which has them all
// (each fuzzer program has its own only).
#include "fuzz_targets.h"

namespace qv::fuzz {

const MachineTarget* FindMachineTarget(std::string_view name) {
    static constexpr MachineTarget kTargets[] = {
        {"reader", &Run_reader, &BootKey_reader},
        {"descriptors", &Run_descriptors, &BootKey_descriptors},
        {"ioctl", &Run_ioctl, &BootKey_ioctl},
        {"transmit", &Run_transmit, &BootKey_transmit},
        {"scenario", &Run_scenario, &BootKey_scenario},
    };
    for (const MachineTarget& target : kTargets) {
        if (name == target.name) return &target;
    }
    return nullptr;
}

} // namespace qv::fuzz
