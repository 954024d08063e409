// Events, mutexes, waits with time-outs, thread objects and the clock.
#include <gtest/gtest.h>

#include <vector>

#include "kernel/dispatcher.h"
#include "support/kernel_run.h"

namespace qv {
namespace {

using test::Relative;

void Sleep(std::int64_t milliseconds) {
    LARGE_INTEGER interval = Relative(milliseconds);
    KeDelayExecutionThread(KernelMode, FALSE, &interval);
}

TEST(Events, NotificationReleasesEveryWaiterAndStaysSignalled) {
    Machine machine;
    KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    LONG released = 0;
    for (int i = 0; i < 3; ++i) {
        machine.Spawn("waiter", [&] {
            EXPECT_EQ(KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr), STATUS_SUCCESS);
            InterlockedIncrement(&released);
        });
    }
    test::RunOk(machine, [&] {
        Sleep(1);
        EXPECT_EQ(KeSetEvent(&event, IO_NO_INCREMENT, FALSE), 0);
        EXPECT_EQ(KeReadStateEvent(&event), 1);
        EXPECT_EQ(KeResetEvent(&event), 1);
        EXPECT_EQ(KeReadStateEvent(&event), 0);
    });
    EXPECT_EQ(released, 3);
}

TEST(Events, SynchronizationReleasesOneWaiterPerSignal) {
    Machine machine;
    KEVENT event;
    KeInitializeEvent(&event, SynchronizationEvent, FALSE);
    std::vector<std::string> order;
    KSPIN_LOCK orderLock;
    KeInitializeSpinLock(&orderLock);
    for (const char* name : {"first", "second"}) {
        machine.Spawn(name, [&, name] {
            KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr);
            KIRQL old;
            KeAcquireSpinLock(&orderLock, &old);
            order.push_back(name);
            KeReleaseSpinLock(&orderLock, old);
        });
    }
    auto releasedSoFar = [&] {
        KIRQL old;
        KeAcquireSpinLock(&orderLock, &old);
        const std::size_t released = order.size();
        KeReleaseSpinLock(&orderLock, old);
        return released;
    };
    test::RunOk(machine, [&] {
        Sleep(1);
        KeSetEvent(&event, IO_NO_INCREMENT, FALSE);
        Sleep(1);
        EXPECT_EQ(releasedSoFar(), 1u);
        EXPECT_EQ(KeReadStateEvent(&event), 0) << "the released waiter consumes the signal";
        KeSetEvent(&event, IO_NO_INCREMENT, FALSE);
        Sleep(1);
        EXPECT_EQ(releasedSoFar(), 2u);
        // With nobody waiting the signal is kept for the next wait.
        KeSetEvent(&event, IO_NO_INCREMENT, FALSE);
        LARGE_INTEGER zero{};
        EXPECT_EQ(KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, &zero), STATUS_SUCCESS);
        EXPECT_EQ(KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, &zero), STATUS_TIMEOUT);
    });
}

TEST(Waits, TimeOutsRelativeAbsoluteAndZero) {
    Machine machine;
    KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    test::RunOk(machine, [&] {
        const VirtualTime start = K().Now();
        LARGE_INTEGER fifty = Relative(50);
        EXPECT_EQ(KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, &fifty), STATUS_TIMEOUT);
        EXPECT_GE(K().Now() - start, 50 * kTicksPerMillisecond);
        EXPECT_LT(K().Now() - start, 50 * kTicksPerMillisecond + kTimeIncrement);
        EXPECT_LT(K().Now() % kTimeIncrement, kTicksPerMillisecond) << "a wait ends on a clock tick";

        LARGE_INTEGER absolute;
        KeQuerySystemTime(&absolute);
        absolute.QuadPart += 20 * kTicksPerMillisecond;
        const VirtualTime before = K().Now();
        EXPECT_EQ(KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, &absolute), STATUS_TIMEOUT);
        EXPECT_GE(K().Now() - before, 19 * kTicksPerMillisecond);
        EXPECT_LT(K().Now() % kTimeIncrement, kTicksPerMillisecond);

        // A delay shorter than a tick still lasts until the next tick, so a
        // budget made of short sleeps runs out as it will on Windows.
        const VirtualTime beforeShort = K().Now() + 1;
        LARGE_INTEGER oneMillisecond = Relative(1);
        for (int i = 0; i < 4; ++i) KeDelayExecutionThread(KernelMode, FALSE, &oneMillisecond);
        EXPECT_GE(K().Now() - beforeShort, 3 * VirtualTime{kTimeIncrement});

        // An absolute time already past does not wait at all.
        LARGE_INTEGER past;
        past.QuadPart = 1;
        EXPECT_EQ(KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, &past), STATUS_TIMEOUT);
    });
}

TEST(Waits, SignalBeforeTheTimeOutWins) {
    Machine machine;
    KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    machine.Spawn("signaller", [&] {
        Sleep(10);
        KeSetEvent(&event, IO_NO_INCREMENT, FALSE);
    });
    test::RunOk(machine, [&] {
        LARGE_INTEGER second = Relative(1000);
        EXPECT_EQ(KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, &second), STATUS_SUCCESS);
        EXPECT_LT(K().Now(), 20 * kTicksPerMillisecond);
    });
}

TEST(Mutexes, RecursionAndHandOverInArrivalOrder) {
    Machine machine;
    KMUTEX mutex;
    KeInitializeMutex(&mutex, 0);
    std::vector<std::string> owners;
    machine.Spawn("owner", [&] {
        KeWaitForSingleObject(&mutex, Executive, KernelMode, FALSE, nullptr);
        KeWaitForSingleObject(&mutex, Executive, KernelMode, FALSE, nullptr);
        EXPECT_EQ(KeReadStateMutex(&mutex), -1);
        Sleep(50);
        KeReleaseMutex(&mutex, FALSE);
        Sleep(50);
        EXPECT_TRUE(owners.empty()) << "released once of twice, the mutex is still owned";
        KeReleaseMutex(&mutex, FALSE);
    });
    for (const char* name : {"early", "late"}) {
        machine.Spawn(name, [&, name] {
            // Delays end on clock ticks: these two end on different ones.
            Sleep(name[0] == 'e' ? 1 : 20);
            KeWaitForSingleObject(&mutex, Executive, KernelMode, FALSE, nullptr);
            owners.push_back(name);
            Sleep(1);
            KeReleaseMutex(&mutex, FALSE);
        });
    }
    RunResult result = machine.Run();
    ASSERT_TRUE(result.Ok()) << result.report;
    EXPECT_EQ(owners, (std::vector<std::string>{"early", "late"}));
    EXPECT_EQ(KeReadStateMutex(&mutex), 1);
}

TEST(Threads, ThreadObjectIsSignalledWhenTheThreadEnds) {
    Machine machine;
    test::RunOk(machine, [] {
        for (bool terminate : {false, true}) {
            HANDLE handle = nullptr;
            PKSTART_ROUTINE routine = terminate ? [](PVOID) {
                Sleep(5);
                PsTerminateSystemThread(STATUS_SUCCESS);
            }
                                                : [](PVOID) { Sleep(5); };
            ASSERT_EQ(PsCreateSystemThread(&handle, THREAD_ALL_ACCESS, nullptr, nullptr, nullptr, routine, nullptr),
                      STATUS_SUCCESS);
            PVOID thread = nullptr;
            ASSERT_EQ(ObReferenceObjectByHandle(handle, THREAD_ALL_ACCESS, *PsThreadType, KernelMode, &thread,
                                                nullptr),
                      STATUS_SUCCESS);
            ZwClose(handle);
            LARGE_INTEGER zero{};
            EXPECT_EQ(KeWaitForSingleObject(thread, Executive, KernelMode, FALSE, &zero), STATUS_TIMEOUT);
            EXPECT_EQ(KeWaitForSingleObject(thread, Executive, KernelMode, FALSE, nullptr), STATUS_SUCCESS);
            ObDereferenceObject(thread);
        }
        PVOID object = nullptr;
        EXPECT_EQ(ObReferenceObjectByHandle(reinterpret_cast<HANDLE>(0x1234), 0, *PsThreadType, KernelMode, &object,
                                            nullptr),
                  STATUS_INVALID_HANDLE);
    });
}

TEST(Clock, TicksSystemTimeAndMultiplication) {
    Machine machine;
    test::RunOk(machine, [] {
        LARGE_INTEGER ticksBefore;
        KeQueryTickCount(&ticksBefore);
        Sleep(1000);
        LARGE_INTEGER ticksAfter;
        KeQueryTickCount(&ticksAfter);
        const std::int64_t perSecond = 10'000'000 / KeQueryTimeIncrement();
        EXPECT_NEAR(static_cast<double>(ticksAfter.QuadPart - ticksBefore.QuadPart), static_cast<double>(perSecond),
                    1.0);

        LARGE_INTEGER milliseconds;
        milliseconds.QuadPart = 250;
        EXPECT_EQ(RtlExtendedIntegerMultiply(milliseconds, -10'000).QuadPart, -2'500'000);
    });
}

TEST(Irql, RaiseLowerAndPagedCodeBelowDispatch) {
    Machine machine;
    test::RunOk(machine, [] {
        EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL);
        PAGED_CODE();
        KIRQL old;
        KeRaiseIrql(APC_LEVEL, &old);
        PAGED_CODE();
        EXPECT_EQ(old, PASSIVE_LEVEL);
        const KIRQL apc = KeRaiseIrqlToDpcLevel();
        EXPECT_EQ(apc, APC_LEVEL);
        EXPECT_EQ(KeGetCurrentIrql(), DISPATCH_LEVEL);
        KeLowerIrql(PASSIVE_LEVEL);
        KSPIN_LOCK lock;
        KeInitializeSpinLock(&lock);
        KeAcquireSpinLock(&lock, &old);
        EXPECT_EQ(KeGetCurrentIrql(), DISPATCH_LEVEL);
        KeAcquireSpinLockAtDpcLevel(&K().CancelSpinLock());
        KeReleaseSpinLockFromDpcLevel(&K().CancelSpinLock());
        KeReleaseSpinLock(&lock, old);
        EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL);
    });
}

} // namespace
} // namespace qv
