// The settings of one simulated machine: its seed, its processors and how
// they are scheduled, the pool's fault plan, the verifier rules switched off
// and the limits that end a run. The machine (machine/machine.h) owns them;
// its kernel core reads them.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "qvwdk.h"

namespace qv {

// Virtual time, in the kernel's 100-nanosecond units since the machine booted.
using VirtualTime = std::uint64_t;
inline constexpr VirtualTime kTicksPerMicrosecond = 10;
inline constexpr VirtualTime kTicksPerMillisecond = 10'000;
inline constexpr VirtualTime kTicksPerSecond = 10'000'000;

struct PoolFaultConfig {
    // Fail the Nth allocation counted from the start of the run (1 = the
    // first); 0 disables.
    std::uint64_t failNth = 0;
    // Fail each allocation with this chance, in parts per million.
    std::uint32_t failPerMillion = 0;
    // When non-zero, only allocations with this tag may fail.
    ULONG onlyTag = 0;
};

// How the scheduler picks the next thread (see scheduler.h). FromSeed lets
// the seed choose, unless the environment forces one: QV_SCHED=uniform|pct.
// Systematic follows a schedule script (kernel/schedule_script.h) instead of
// the seed; the schedule explorer runs every script within a bound.
enum class SchedulingMode { FromSeed, Uniform, Pct, Systematic };

class ScheduleScript;

struct MachineConfig {
    std::uint64_t seed = 1;
    unsigned processors = 2;
    // Follow the wall clock instead of jumping to the next deadline.
    bool realTime = false;
    // With realTime: wall seconds per virtual second. Below 1 the machine's
    // clock runs ahead of the wall clock (0.01: a hundred times faster), so
    // that a test can spend a card's time without waiting it out.
    double realTimeScale = 1.0;
    // Chance, in percent, that a kernel call lets another thread run.
    unsigned switchPercent = 50;
    // Virtual time charged for every scheduling step, so that busy threads
    // still see the clock move and timers fire.
    VirtualTime stepCost = 1 * kTicksPerMicrosecond;
    // A run that reaches this virtual time without finishing is reported as
    // hung, with the same report a deadlock gives.
    VirtualTime timeLimit = 24ull * 3600 * kTicksPerSecond;
    PoolFaultConfig poolFaults;
    // Freed pool blocks stay poisoned in a quarantine of this many bytes
    // (blocks, guards and their records) and of at most 4096 blocks, so that
    // a late access or a second free is caught; the oldest leave first. A
    // machine that runs for days (the PC/SC bridge) keeps a smaller one.
    std::size_t poolQuarantineBytes = 16 * 1024 * 1024;
    // Verifier rules switched off for this machine, by rule id (see
    // docs/verifier-rules.md). The ids in the environment variable
    // QV_VERIFIER_DISABLE (separated by commas) are added to these.
    std::vector<std::string> disabledRules;
    SchedulingMode scheduling = SchedulingMode::FromSeed;
    // The script of the systematic mode, shared with whoever explores; one of
    // its own (the default schedule) when left empty.
    std::shared_ptr<ScheduleScript> schedule;
    // A simulated thread that runs this long in host time without reaching
    // a switch point (a busy-wait) ends the run; 0 disables. The environment
    // may change it: QV_WATCHDOG_MS.
    std::uint32_t watchdogMilliseconds = 10'000;
};

} // namespace qv
