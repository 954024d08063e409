// Helpers for tests that run code on the emulated kernel. A failed run
// prints its report, which names the seed that reproduces it.
#pragma once

#include <gtest/gtest.h>

#include <functional>
#include <string>

#include "machine/machine.h"

namespace qv::test {

// Whether this is the ThreadSanitizer build, where tests that race on
// purpose must leave that part out (or expect the report).
#if defined(__SANITIZE_THREAD__)
inline constexpr bool kRaceDetectorBuild = true;
#else
inline constexpr bool kRaceDetectorBuild = false;
#endif
// Whether this is the AddressSanitizer build, which reports a write into a
// pool block's guard bytes at the write itself (the pool's own check at the
// free never gets to see it).
#if defined(__SANITIZE_ADDRESS__)
inline constexpr bool kAddressSanitizerBuild = true;
#else
inline constexpr bool kAddressSanitizerBuild = false;
#endif

// A relative WDK time-out or interval of the given milliseconds.
inline LARGE_INTEGER Relative(std::int64_t milliseconds) {
    LARGE_INTEGER interval;
    interval.QuadPart = -milliseconds * static_cast<std::int64_t>(kTicksPerMillisecond);
    return interval;
}

// Runs body as one simulated thread on the machine and expects the run to finish
// without a bug check, deadlock or time-out.
inline RunResult RunOk(Machine& machine, std::function<void()> body) {
    RunResult result = machine.RunThread("test", std::move(body));
    EXPECT_TRUE(result.Ok()) << "seed " << machine.Seed() << "\n" << result.report;
    return result;
}

// Expects the run to have stopped with the given bug check (and parameter 1,
// when given).
inline void ExpectBugCheck(const RunResult& result, ULONG code, std::optional<ULONG_PTR> parameter1 = {}) {
    ASSERT_EQ(result.outcome, RunOutcome::BugCheck) << result.report;
    ASSERT_TRUE(result.bugCheck.has_value());
    EXPECT_EQ(result.bugCheck.value().code, code) << result.report;
    if (parameter1) {
        EXPECT_EQ(result.bugCheck.value().parameters[0], *parameter1) << result.report;
    }
}

// Runs body on a fresh machine with the given seed and expects the bug check.
inline RunResult RunExpectingBugCheck(std::function<void()> body, ULONG code,
                                      std::optional<ULONG_PTR> parameter1 = {}, std::uint64_t seed = 1) {
    MachineConfig config;
    config.seed = seed;
    Machine machine(config);
    RunResult result = machine.RunThread("faulty", std::move(body));
    ExpectBugCheck(result, code, parameter1);
    return result;
}

} // namespace qv::test
