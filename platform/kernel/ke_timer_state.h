// What the kernel keeps about its timer and DPC objects: which timers are
// set, and a counter that tells one queuing of a DPC or one setting of a
// timer from the next, so that a cancelled one never fires late.
#pragma once

#include <cstdint>
#include <unordered_map>

#include "kernel/kernel.h"

namespace qv {

struct KernelCore::TimerState {
    std::uint64_t nextCookie = 1;
    // Set timers and the cookie of their current setting.
    std::unordered_map<const KTIMER*, std::uint64_t> set;
};

} // namespace qv
