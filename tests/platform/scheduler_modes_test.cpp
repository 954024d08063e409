// Processors with DPC queues of their own, the two scheduling modes, the
// watchdog and the seed list.
#include <gtest/gtest.h>

#include <cstdlib>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "kernel/scheduler.h"
#include "support/kernel_run.h"
#include "harness/seeds.h"

namespace qv {
namespace {

// A deferred routine that takes a few kernel calls, noting when it started
// and ended on a clock that every routine advances with interlocked
// operations.
struct Span {
    LONG start = 0;
    LONG end = 0;
};

void Steps(Span& span, LONG& clock) {
    span.start = InterlockedIncrement(&clock);
    for (int i = 0; i < 6; ++i) InterlockedIncrement(&clock);
    span.end = InterlockedIncrement(&clock);
}

bool Overlapped(const Span& a, const Span& b) { return a.start < b.end && b.start < a.end; }

TEST(DpcProcessors, DeferredRoutinesOnTwoProcessorsInterleave) {
    bool overlapSeen = false;
    for (std::uint64_t seed : harness::RunSeeds(12)) {
        MachineConfig config;
        config.seed = seed;
        Machine machine(config);
        Span a, b;
        LONG clock = 0;
        test::RunOk(machine, [&] {
            K().Sched().QueueDpc("a", [&] { Steps(a, clock); }, 0);
            K().Sched().QueueDpc("b", [&] { Steps(b, clock); }, 1);
        });
        ASSERT_NE(a.end * b.end, 0) << "seed " << seed;
        overlapSeen = overlapSeen || Overlapped(a, b);
    }
    EXPECT_TRUE(overlapSeen) << "two processors' DPCs never ran side by side";
}

TEST(DpcProcessors, DeferredRoutinesOnOneProcessorRunOneAtATime) {
    for (std::uint64_t seed : harness::RunSeeds(12)) {
        MachineConfig config;
        config.seed = seed;
        Machine machine(config);
        Span a, b;
        LONG clock = 0;
        test::RunOk(machine, [&] {
            K().Sched().QueueDpc("a", [&] { Steps(a, clock); }, 1);
            K().Sched().QueueDpc("b", [&] { Steps(b, clock); }, 1);
        });
        EXPECT_LT(a.end, b.start) << "seed " << seed;
    }
}

// A DPC queued at DISPATCH_LEVEL goes to the caller's processor and cannot
// run there before the caller lowers IRQL; its processor number says so.
TEST(DpcProcessors, ADpcRunsOnTheQueuersProcessorOnceItLowersIrql) {
    for (std::uint64_t seed : harness::RunSeeds(12)) {
        MachineConfig config;
        config.seed = seed;
        Machine machine(config);
        LONG lowered = FALSE;
        std::optional<ULONG> queuedOn, ranOn;
        std::optional<bool> loweredWhenRun;
        test::RunOk(machine, [&] {
            KIRQL old;
            KeRaiseIrql(DISPATCH_LEVEL, &old);
            queuedOn = KeGetCurrentProcessorNumber();
            K().Sched().QueueDpc("mine", [&] {
                ranOn = KeGetCurrentProcessorNumber();
                loweredWhenRun = InterlockedCompareExchange(&lowered, FALSE, FALSE) != FALSE;
            });
            for (int i = 0; i < 10; ++i) SwitchPoint();
            InterlockedExchange(&lowered, TRUE);
            KeLowerIrql(old);
        });
        ASSERT_TRUE(ranOn.has_value()) << "seed " << seed;
        EXPECT_EQ(*ranOn, *queuedOn) << "seed " << seed;
        EXPECT_TRUE(*loweredWhenRun) << "seed " << seed;
    }
}

// Restores an environment variable when the test ends.
class ScopedEnv {
  public:
    ScopedEnv(const char* name, const char* value) : name_(name) {
        if (const char* old = std::getenv(name)) old_ = old;
        setenv(name, value, 1);
    }
    ~ScopedEnv() {
        if (old_)
            setenv(name_, old_->c_str(), 1);
        else
            unsetenv(name_);
    }

  private:
    const char* name_;
    std::optional<std::string> old_;
};

SchedulingMode ModeOf(std::uint64_t seed) {
    MachineConfig config;
    config.seed = seed;
    Machine machine(config);
    return machine.Kernel().Sched().Mode();
}

TEST(SchedulingModes, TheSeedChoosesAndTheEnvironmentForces) {
    {
        ScopedEnv none("QV_SCHED", "");
        EXPECT_EQ(ModeOf(1), SchedulingMode::Uniform);
        EXPECT_EQ(ModeOf(2), SchedulingMode::Pct);
    }
    {
        ScopedEnv forced("QV_SCHED", "pct");
        EXPECT_EQ(ModeOf(1), SchedulingMode::Pct);
    }
    {
        ScopedEnv forced("QV_SCHED", "uniform");
        EXPECT_EQ(ModeOf(2), SchedulingMode::Uniform);
    }
    ScopedEnv wrong("QV_SCHED", "fifo");
    EXPECT_THROW(ModeOf(1), std::invalid_argument);
}

// Two threads each append their name after a few kernel calls. PCT runs the
// higher-priority one through, so across seeds both orders appear, and a
// given seed repeats its order.
std::string OrderUnderPct(std::uint64_t seed) {
    MachineConfig config;
    config.seed = seed;
    config.scheduling = SchedulingMode::Pct;
    Machine machine(config);
    LONG scratch = 0;
    LONG finishedA = 0, finishedB = 0;
    for (const char* name : {"a", "b"}) {
        machine.Spawn(name, [&, name] {
            for (int i = 0; i < 5; ++i) InterlockedIncrement(&scratch);
            (name[0] == 'a' ? finishedA : finishedB) = InterlockedIncrement(&scratch);
        });
    }
    RunResult result = machine.Run();
    EXPECT_TRUE(result.Ok()) << result.report;
    return finishedA < finishedB ? "ab" : "ba";
}

TEST(SchedulingModes, PctExploresBothOrdersAndRepeatsEach) {
    std::set<std::string> orders;
    for (std::uint64_t seed = 1; seed <= 16; ++seed) orders.insert(OrderUnderPct(seed));
    EXPECT_EQ(orders, (std::set<std::string>{"ab", "ba"}));
    EXPECT_EQ(OrderUnderPct(5), OrderUnderPct(5));
}

// A thread that polls through kernel calls cannot starve the thread it waits
// for, even with the higher priority on one processor: its time slice ends.
TEST(SchedulingModes, PctPollingDoesNotStarveTheOthers) {
    for (std::uint64_t seed = 1; seed <= 8; ++seed) {
        MachineConfig config;
        config.seed = seed;
        config.processors = 1;
        config.scheduling = SchedulingMode::Pct;
        Machine machine(config);
        LONG flag = 0;
        machine.Spawn("poller", [&] {
            while (InterlockedCompareExchange(&flag, 0, 0) == 0) {
            }
        });
        machine.Spawn("setter", [&] { InterlockedExchange(&flag, 1); });
        RunResult result = machine.Run();
        EXPECT_TRUE(result.Ok()) << "seed " << seed << "\n" << result.report;
    }
}

TEST(Watchdog, ABusyWaitEndsTheRunWithAReport) {
    if (test::kRaceDetectorBuild) GTEST_SKIP() << "ThreadSanitizer holds the watchdog's signal back";
    MachineConfig config;
    config.watchdogMilliseconds = 200;
    Machine machine(config);
    volatile bool never = false;
    RunResult result = machine.RunThread("spinner", [&] {
        while (!never) {
        }
    });
    ASSERT_EQ(result.outcome, RunOutcome::Watchdog) << result.report;
    EXPECT_NE(result.report.find("'spinner'"), std::string::npos) << result.report;
    EXPECT_NE(result.report.find("seed 1"), std::string::npos) << result.report;
    // The machine can still be inspected and torn down.
    EXPECT_GE(machine.Now(), 0u);
}

TEST(Seeds, ListsAndRanges) {
    EXPECT_EQ(harness::ParseSeeds("1-3,7"), (std::vector<std::uint64_t>{1, 2, 3, 7}));
    EXPECT_EQ(harness::ParseSeeds("9"), (std::vector<std::uint64_t>{9}));
    EXPECT_EQ(harness::ParseSeeds("500-500,"), (std::vector<std::uint64_t>{500}));
    EXPECT_FALSE(harness::ParseSeeds("5-1")) << "a range that runs backwards";
    EXPECT_FALSE(harness::ParseSeeds("x"));
}

} // namespace
} // namespace qv
