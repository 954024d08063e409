// Waits on several objects, kernel timers as dispatcher objects and with
// DPCs, and stalls, in virtual time.
#include <gtest/gtest.h>

#include <vector>

#include "support/kernel_run.h"
#include "harness/seeds.h"

namespace qv::test {
namespace {

TEST(KernelWait, AnyReturnsTheIndexOfTheObjectThatEndedIt) {
    for (std::uint64_t seed : harness::RunSeeds(16)) {
        SCOPED_TRACE(testing::Message() << "seed " << seed);
        MachineConfig config;
        config.seed = seed;
        Machine machine(config);
        KEVENT first, second;
        KeInitializeEvent(&first, SynchronizationEvent, FALSE);
        KeInitializeEvent(&second, SynchronizationEvent, FALSE);
        machine.Spawn("waiter", [&] {
            PVOID objects[] = {&first, &second};
            EXPECT_EQ(KeWaitForMultipleObjects(2, objects, WaitAny, Executive, KernelMode, FALSE, nullptr, nullptr),
                      STATUS_WAIT_0 + 1);
            // The synchronization event that ended the wait reset; the other
            // was never touched.
            EXPECT_EQ(KeReadStateEvent(&second), 0);
            LARGE_INTEGER none{};
            EXPECT_EQ(KeWaitForMultipleObjects(2, objects, WaitAny, Executive, KernelMode, FALSE, &none, nullptr),
                      STATUS_TIMEOUT);
        });
        machine.Spawn("signaller", [&] {
            LARGE_INTEGER pause = Relative(5);
            KeDelayExecutionThread(KernelMode, FALSE, &pause);
            KeSetEvent(&second, IO_NO_INCREMENT, FALSE);
        });
        const RunResult result = machine.Run();
        EXPECT_TRUE(result.Ok()) << result.report;
    }
}

// A wait for all takes nothing until it can take everything: the
// synchronization event signalled first stays signalled for another waiter
// meanwhile.
TEST(KernelWait, AllTakesNothingUntilEveryObjectIsSignalled) {
    for (std::uint64_t seed : harness::RunSeeds(16)) {
        SCOPED_TRACE(testing::Message() << "seed " << seed);
        MachineConfig config;
        config.seed = seed;
        Machine machine(config);
        KEVENT gate, door;
        KMUTEX mutex;
        KeInitializeEvent(&gate, SynchronizationEvent, FALSE);
        KeInitializeEvent(&door, NotificationEvent, FALSE);
        KeInitializeMutex(&mutex, 0);
        bool allDone = false;
        machine.Spawn("all", [&] {
            PVOID objects[] = {&gate, &door, &mutex};
            EXPECT_EQ(KeWaitForMultipleObjects(3, objects, WaitAll, Executive, KernelMode, FALSE, nullptr, nullptr),
                      STATUS_WAIT_0);
            EXPECT_EQ(KeReadStateEvent(&gate), 0);
            allDone = true;
            KeReleaseMutex(&mutex, FALSE);
        });
        machine.Spawn("signaller", [&] {
            KeSetEvent(&gate, IO_NO_INCREMENT, FALSE);
            LARGE_INTEGER pause = Relative(5);
            KeDelayExecutionThread(KernelMode, FALSE, &pause);
            EXPECT_FALSE(allDone);
            EXPECT_EQ(KeReadStateEvent(&gate), 1);
            KeSetEvent(&door, IO_NO_INCREMENT, FALSE);
        });
        const RunResult result = machine.Run();
        EXPECT_TRUE(result.Ok()) << result.report;
        EXPECT_TRUE(allDone);
    }
}

// A wait that timed out is over, even if its thread has not run since: a
// signal that comes meanwhile is not taken for it, and stays for the next.
TEST(KernelWait, ASignalAtTheTimeOutIsNotTakenByTheTimedOutWait) {
    for (std::uint64_t seed : harness::RunSeeds(16)) {
        SCOPED_TRACE(testing::Message() << "seed " << seed);
        MachineConfig config;
        config.seed = seed;
        config.stepCost = 0; // both deadlines fall due at the same instant
        Machine machine(config);
        KEVENT event;
        KeInitializeEvent(&event, SynchronizationEvent, FALSE);
        machine.Spawn("waiter", [&] {
            LARGE_INTEGER ten = Relative(10);
            const NTSTATUS status = KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, &ten);
            LARGE_INTEGER pause = Relative(5);
            KeDelayExecutionThread(KernelMode, FALSE, &pause);
            EXPECT_EQ(KeReadStateEvent(&event), status == STATUS_TIMEOUT ? 1 : 0);
        });
        machine.Spawn("signaller", [&] {
            LARGE_INTEGER ten = Relative(10);
            KeDelayExecutionThread(KernelMode, FALSE, &ten);
            KeSetEvent(&event, IO_NO_INCREMENT, FALSE);
        });
        const RunResult result = machine.Run();
        EXPECT_TRUE(result.Ok()) << result.report;
    }
}

TEST(KernelWait, MoreObjectsThanTheThreadsOwnBlocksWithTheCallersArray) {
    Machine machine;
    RunOk(machine, [] {
        constexpr ULONG kCount = 8;
        std::vector<KEVENT> events(kCount);
        std::vector<PVOID> objects;
        for (KEVENT& event : events) {
            KeInitializeEvent(&event, NotificationEvent, FALSE);
            objects.push_back(&event);
        }
        KeSetEvent(&events[6], IO_NO_INCREMENT, FALSE);
        std::vector<KWAIT_BLOCK> blocks(kCount);
        EXPECT_EQ(KeWaitForMultipleObjects(kCount, objects.data(), WaitAny, Executive, KernelMode, FALSE, nullptr,
                                           blocks.data()),
                  STATUS_WAIT_0 + 6);
        LARGE_INTEGER ten = Relative(10);
        const VirtualTime start = K().Now();
        EXPECT_EQ(KeWaitForMultipleObjects(kCount, objects.data(), WaitAll, Executive, KernelMode, FALSE, &ten,
                                           blocks.data()),
                  STATUS_TIMEOUT);
        EXPECT_GE(K().Now() - start, 10 * kTicksPerMillisecond);
    });
}

TEST(KernelTimer, NotificationAndSynchronizationTimersAsWaitableObjects) {
    Machine machine;
    RunOk(machine, [] {
        KTIMER notification, synchronization;
        KeInitializeTimer(&notification);
        KeInitializeTimerEx(&synchronization, SynchronizationTimer);
        const VirtualTime start = K().Now();
        EXPECT_FALSE(KeSetTimer(&notification, Relative(20), nullptr));
        EXPECT_TRUE(KeSetTimer(&notification, Relative(30), nullptr)); // set again: it was set
        EXPECT_EQ(KeWaitForSingleObject(&notification, Executive, KernelMode, FALSE, nullptr), STATUS_SUCCESS);
        EXPECT_GE(K().Now() - start, 30 * kTicksPerMillisecond);
        EXPECT_TRUE(KeReadStateTimer(&notification)); // stays signalled
        EXPECT_FALSE(KeCancelTimer(&notification));   // expired: nothing to cancel

        KeSetTimer(&synchronization, Relative(5), nullptr);
        EXPECT_EQ(KeWaitForSingleObject(&synchronization, Executive, KernelMode, FALSE, nullptr), STATUS_SUCCESS);
        EXPECT_FALSE(KeReadStateTimer(&synchronization)); // the wait reset it

        KeSetTimer(&synchronization, Relative(5), nullptr);
        EXPECT_TRUE(KeCancelTimer(&synchronization));
        LARGE_INTEGER twenty = Relative(20);
        EXPECT_EQ(KeWaitForSingleObject(&synchronization, Executive, KernelMode, FALSE, &twenty), STATUS_TIMEOUT);
    });
}

struct Ticks {
    LONG count = 0;
    KIRQL irql = PASSIVE_LEVEL;
    KEVENT enough;
};

void NTAPI CountTick(PKDPC, PVOID context, PVOID, PVOID) {
    auto* ticks = static_cast<Ticks*>(context);
    ticks->irql = KeGetCurrentIrql();
    // Counted interlocked: the test reads the count after a delay, which
    // orders nothing.
    if (InterlockedIncrement(&ticks->count) == 3) KeSetEvent(&ticks->enough, IO_NO_INCREMENT, FALSE);
}

TEST(KernelTimer, PeriodicTimerQueuesItsDpcEveryPeriodUntilCancelled) {
    Machine machine;
    RunOk(machine, [] {
        Ticks ticks;
        KeInitializeEvent(&ticks.enough, NotificationEvent, FALSE);
        KDPC dpc;
        KeInitializeDpc(&dpc, &CountTick, &ticks);
        KTIMER timer;
        KeInitializeTimer(&timer);
        const VirtualTime start = K().Now();
        KeSetTimerEx(&timer, Relative(100), 250, &dpc);
        KeWaitForSingleObject(&ticks.enough, Executive, KernelMode, FALSE, nullptr);
        EXPECT_TRUE(KeCancelTimer(&timer));
        const VirtualTime elapsed = K().Now() - start;
        EXPECT_GE(elapsed, 600 * kTicksPerMillisecond);
        EXPECT_LT(elapsed, 700 * kTicksPerMillisecond);
        EXPECT_EQ(ticks.irql, DISPATCH_LEVEL);
        LARGE_INTEGER second = Relative(1000);
        KeDelayExecutionThread(KernelMode, FALSE, &second);
        EXPECT_EQ(InterlockedCompareExchange(&ticks.count, 0, 0), 3);
    });
}

TEST(KernelDpc, QueuedOnceRunsOnceAndRemovedNeverRuns) {
    Machine machine;
    RunOk(machine, [] {
        Ticks ticks;
        KeInitializeEvent(&ticks.enough, NotificationEvent, FALSE);
        KDPC dpc;
        KeInitializeDpc(&dpc, &CountTick, &ticks);
        KIRQL old;
        KeRaiseIrql(DISPATCH_LEVEL, &old); // nothing else runs on this processor meanwhile
        EXPECT_TRUE(KeInsertQueueDpc(&dpc, nullptr, nullptr));
        EXPECT_FALSE(KeInsertQueueDpc(&dpc, nullptr, nullptr));
        EXPECT_TRUE(KeRemoveQueueDpc(&dpc));
        EXPECT_FALSE(KeRemoveQueueDpc(&dpc));
        EXPECT_TRUE(KeInsertQueueDpc(&dpc, nullptr, nullptr));
        KeLowerIrql(old);
        LARGE_INTEGER pause = Relative(10);
        KeDelayExecutionThread(KernelMode, FALSE, &pause);
        EXPECT_EQ(InterlockedCompareExchange(&ticks.count, 0, 0), 1);
    });
}

TEST(KernelTimer, PoolFreedWhileATimerInItIsSet) {
    constexpr ULONG kTag = QV_POOL_TAG('T', 'm', 'r', 'P');
    const RunResult result = RunExpectingBugCheck(
        [] {
            auto* timer = static_cast<PKTIMER>(ExAllocatePoolWithTag(NonPagedPool, sizeof(KTIMER), kTag));
            KeInitializeTimer(timer);
            KeSetTimer(timer, Relative(100), nullptr);
            ExFreePoolWithTag(timer, kTag);
        },
        bugcode::DRIVER_VERIFIER_DETECTED_VIOLATION, violation::FreedPoolHoldsActiveTimer);
    EXPECT_EQ(result.bugCheck.value().parameters[1], result.bugCheck.value().parameters[3]);
    Machine machine;
    RunOk(machine, [] {
        auto* timer = static_cast<PKTIMER>(ExAllocatePoolWithTag(NonPagedPool, sizeof(KTIMER), kTag));
        KeInitializeTimer(timer);
        KeSetTimer(timer, Relative(100), nullptr);
        KeCancelTimer(timer);
        ExFreePoolWithTag(timer, kTag);
    });
}

TEST(KernelStall, StallLetsTimePassWithoutGivingUpTheProcessor) {
    RunExpectingBugCheck([] { KeStallExecutionProcessor(51); }, bugcode::DRIVER_VERIFIER_DETECTED_VIOLATION,
                         violation::StallTooLong);
    Machine machine;
    RunOk(machine, [] {
        KIRQL old;
        KeRaiseIrql(HIGH_LEVEL, &old);
        const VirtualTime start = K().Now();
        KeStallExecutionProcessor(50);
        EXPECT_EQ(K().Now() - start, 50 * kTicksPerMicrosecond);
        KeLowerIrql(old);
    });
}

} // namespace
} // namespace qv::test
