// I/O timers on the virtual clock.
#include <gtest/gtest.h>

#include "platform/io_test_drivers.h"

namespace qv::test {
namespace {

struct Ticks {
    PDEVICE_OBJECT device;
    // Written by the timer routine at DISPATCH_LEVEL, read by the test's
    // thread: interlocked on both sides.
    LONG count;
    LONG irql;
};

LONG Read(LONG& value) { return InterlockedCompareExchange(&value, 0, 0); }

void NTAPI CountTick(PDEVICE_OBJECT device, PVOID context) {
    auto* ticks = static_cast<Ticks*>(context);
    EXPECT_EQ(device, ticks->device);
    InterlockedExchange(&ticks->irql, KeGetCurrentIrql());
    InterlockedIncrement(&ticks->count);
}

void Sleep(LONGLONG milliseconds) {
    LARGE_INTEGER interval{.QuadPart = -milliseconds * static_cast<LONGLONG>(kTicksPerMillisecond)};
    KeDelayExecutionThread(KernelMode, FALSE, &interval);
}

TEST(IoTimer, FiresOncePerVirtualSecondAtDispatchLevelUntilStopped) {
    Machine machine;
    const RunResult result = machine.RunThread("timers", [] {
        PDRIVER_OBJECT driver = Load(u"\\Driver\\Timers");
        PDEVICE_OBJECT started = AddLayer(driver, Role::Complete);
        PDEVICE_OBJECT idle = AddLayer(driver, Role::Complete);
        Ticks ticks{started, 0, PASSIVE_LEVEL};
        Ticks idleTicks{idle, 0, PASSIVE_LEVEL};
        IoInitializeTimer(started, &CountTick, &ticks);
        IoInitializeTimer(idle, &CountTick, &idleTicks);
        IoStartTimer(started);
        Sleep(10'500);
        EXPECT_EQ(Read(ticks.count), 10);
        EXPECT_EQ(Read(ticks.irql), DISPATCH_LEVEL);
        EXPECT_EQ(Read(idleTicks.count), 0) << "initialised is not started";

        IoStopTimer(started);
        Sleep(5'000);
        EXPECT_EQ(Read(ticks.count), 10);
        IoStartTimer(started);
        Sleep(2'000);
        EXPECT_EQ(Read(ticks.count), 12);

        // With every timer stopped the clock has nothing to wait for, so a
        // thread stuck now is a deadlock, not a run into the time limit.
        IoStopTimer(started);
        KEVENT never;
        KeInitializeEvent(&never, NotificationEvent, FALSE);
        KeWaitForSingleObject(&never, Executive, KernelMode, FALSE, nullptr);
    });
    EXPECT_EQ(result.outcome, RunOutcome::Deadlock) << result.report;
}

} // namespace
} // namespace qv::test
