// Work items and the I/O remove lock, with the verifier's checks on both.
#include <gtest/gtest.h>

#include "io/io_state.h"
#include "kernel/scheduler.h"
#include "platform/io_test_drivers.h"
#include "harness/seeds.h"

namespace qv::test {
namespace {

constexpr ULONG kVerifier = bugcode::DRIVER_VERIFIER_DETECTED_VIOLATION;

struct Work {
    KEVENT done;
    KIRQL irql = HIGH_LEVEL;
    PDEVICE_OBJECT device = nullptr;
    std::string thread;
};

void NTAPI RecordWork(PDEVICE_OBJECT device, PVOID context) {
    auto* work = static_cast<Work*>(context);
    work->irql = KeGetCurrentIrql();
    work->device = device;
    work->thread = K().Sched().CurrentName();
    KeSetEvent(&work->done, IO_NO_INCREMENT, FALSE);
}

TEST(WorkItem, RunsOnAWorkerThreadAtPassiveLevelEvenWhenQueuedAtDispatch) {
    Machine machine;
    RunOk(machine, [] {
        PDEVICE_OBJECT device = AddLayer(Load(u"\\Driver\\Layers"), Role::Complete);
        PIO_WORKITEM item = IoAllocateWorkItem(device);
        ASSERT_NE(item, nullptr);
        Work work;
        KeInitializeEvent(&work.done, NotificationEvent, FALSE);
        KIRQL old;
        KeRaiseIrql(DISPATCH_LEVEL, &old);
        IoQueueWorkItem(item, &RecordWork, DelayedWorkQueue, &work);
        KeLowerIrql(old);
        KeWaitForSingleObject(&work.done, Executive, KernelMode, FALSE, nullptr);
        EXPECT_EQ(work.irql, PASSIVE_LEVEL);
        EXPECT_EQ(work.device, device);
        EXPECT_EQ(work.thread.rfind("worker", 0), 0u) << work.thread;
        LARGE_INTEGER pause = Relative(1);
        KeDelayExecutionThread(KernelMode, FALSE, &pause); // the worker lets go of the device
        IoFreeWorkItem(item);
        RemoveStack(device);
    });
}

// The queued item keeps its deleted device alive until its routine is done.
struct HeldWork {
    KEVENT go;
    KEVENT done;
};

TEST(WorkItem, HoldsItsDeviceUntilTheRoutineReturns) {
    Machine machine;
    RunOk(machine, [] {
        PDRIVER_OBJECT driver = Load(u"\\Driver\\Layers");
        PDEVICE_OBJECT device = AddLayer(driver, Role::Complete);
        PIO_WORKITEM item = IoAllocateWorkItem(device);
        HeldWork work;
        KeInitializeEvent(&work.go, NotificationEvent, FALSE);
        KeInitializeEvent(&work.done, NotificationEvent, FALSE);
        IoQueueWorkItem(
            item,
            +[](PDEVICE_OBJECT, PVOID context) {
                auto* work = static_cast<HeldWork*>(context);
                KeWaitForSingleObject(&work->go, Executive, KernelMode, FALSE, nullptr);
                KeSetEvent(&work->done, IO_NO_INCREMENT, FALSE);
            },
            DelayedWorkQueue, &work);
        IoDeleteDevice(device);
        EXPECT_NE(Io().Internals().devices.Find(device), nullptr);
        KeSetEvent(&work.go, IO_NO_INCREMENT, FALSE);
        KeWaitForSingleObject(&work.done, Executive, KernelMode, FALSE, nullptr);
        LARGE_INTEGER pause = Relative(1);
        KeDelayExecutionThread(KernelMode, FALSE, &pause);
        EXPECT_EQ(Io().Internals().devices.Find(device), nullptr);
        IoFreeWorkItem(item);
        Io().UnloadDriver(driver);
    });
}

TEST(WorkItem, VerifierChecks) {
    auto queueTwice = [](bool free) {
        PDEVICE_OBJECT device = AddLayer(Load(u"\\Driver\\Layers"), Role::Complete);
        PIO_WORKITEM item = IoAllocateWorkItem(device);
        KIRQL old;
        KeRaiseIrql(DISPATCH_LEVEL, &old); // the worker cannot start meanwhile
        IoQueueWorkItem(
            item, +[](PDEVICE_OBJECT, PVOID) {}, DelayedWorkQueue, nullptr);
        if (free)
            IoFreeWorkItem(item);
        else
            IoQueueWorkItem(
                item, +[](PDEVICE_OBJECT, PVOID) {}, DelayedWorkQueue, nullptr);
        KeLowerIrql(old);
    };
    RunExpectingBugCheck([&] { queueTwice(false); }, kVerifier, violation::WorkItemQueuedTwice);
    RunExpectingBugCheck([&] { queueTwice(true); }, kVerifier, violation::WorkItemFreedWhileQueued);
    auto queue = [](PIO_WORKITEM_ROUTINE routine) {
        PDEVICE_OBJECT device = AddLayer(Load(u"\\Driver\\Layers"), Role::Complete);
        IoQueueWorkItem(IoAllocateWorkItem(device), routine, DelayedWorkQueue, nullptr);
        LARGE_INTEGER pause = Relative(10);
        KeDelayExecutionThread(KernelMode, FALSE, &pause);
    };
    RunExpectingBugCheck(
        [&] {
            queue(+[](PDEVICE_OBJECT, PVOID) {
                KIRQL old;
                KeRaiseIrql(DISPATCH_LEVEL, &old);
            });
        },
        bugcode::WORKER_THREAD_RETURNED_AT_BAD_IRQL);
    RunExpectingBugCheck(
        [&] {
            queue(+[](PDEVICE_OBJECT, PVOID) {
                static KMUTEX mutex;
                KeInitializeMutex(&mutex, 0);
                KeWaitForSingleObject(&mutex, Executive, KernelMode, FALSE, nullptr);
            });
        },
        bugcode::SYSTEM_EXIT_OWNED_MUTEX);
}

TEST(RemoveLock, RemovalWaitsForEveryHolderAndTurnsLaterComersAway) {
    for (std::uint64_t seed : harness::RunSeeds(16)) {
        SCOPED_TRACE(testing::Message() << "seed " << seed);
        MachineConfig config;
        config.seed = seed;
        Machine machine(config);
        IO_REMOVE_LOCK lock;
        KEVENT ready, held;
        KeInitializeEvent(&ready, NotificationEvent, FALSE);
        KeInitializeEvent(&held, NotificationEvent, FALSE);
        bool released = false;
        bool removed = false;
        machine.Spawn("remover", [&] {
            IoInitializeRemoveLock(&lock, QV_POOL_TAG('R', 'l', 'c', 'k'), 0, 0);
            EXPECT_EQ(IoAcquireRemoveLock(&lock, &removed), STATUS_SUCCESS);
            KeSetEvent(&ready, IO_NO_INCREMENT, FALSE);
            KeWaitForSingleObject(&held, Executive, KernelMode, FALSE, nullptr);
            IoReleaseRemoveLockAndWait(&lock, &removed);
            EXPECT_TRUE(released) << "removal went on while an operation held the lock";
            removed = true;
        });
        machine.Spawn("operation", [&] {
            KeWaitForSingleObject(&ready, Executive, KernelMode, FALSE, nullptr);
            ASSERT_EQ(IoAcquireRemoveLock(&lock, &released), STATUS_SUCCESS);
            KeSetEvent(&held, IO_NO_INCREMENT, FALSE);
            LARGE_INTEGER pause = Relative(50);
            KeDelayExecutionThread(KernelMode, FALSE, &pause);
            released = true;
            IoReleaseRemoveLock(&lock, &released);
            KeDelayExecutionThread(KernelMode, FALSE, &pause);
            EXPECT_EQ(IoAcquireRemoveLock(&lock, &released), STATUS_DELETE_PENDING);
        });
        const RunResult result = machine.Run();
        EXPECT_TRUE(result.Ok()) << result.report;
        EXPECT_TRUE(removed);
    }
}

TEST(RemoveLock, VerifierChecks) {
    static int tagA, tagB;
    auto withLock = [](auto misuse) {
        return [misuse] {
            IO_REMOVE_LOCK lock;
            IoInitializeRemoveLock(&lock, 0, 0, 0);
            misuse(&lock);
        };
    };
    RunExpectingBugCheck(withLock([](PIO_REMOVE_LOCK lock) { IoReleaseRemoveLock(lock, &tagA); }), kVerifier,
                         violation::RemoveLockReleasedNotHeld);
    RunExpectingBugCheck(withLock([](PIO_REMOVE_LOCK lock) {
                             IoAcquireRemoveLock(lock, &tagA);
                             IoReleaseRemoveLock(lock, &tagB);
                         }),
                         kVerifier, violation::RemoveLockTagNotHeld);
    RunExpectingBugCheck(withLock([](PIO_REMOVE_LOCK lock) { IoReleaseRemoveLockAndWait(lock, &tagA); }), kVerifier,
                         violation::RemoveLockWaitWithoutHolding);
    RunExpectingBugCheck(withLock([](PIO_REMOVE_LOCK lock) {
                             IoAcquireRemoveLock(lock, &tagA);
                             IoReleaseRemoveLockAndWait(lock, &tagA);
                             IoReleaseRemoveLockAndWait(lock, &tagA);
                         }),
                         kVerifier, violation::RemoveLockWaitedTwice);
}

} // namespace
} // namespace qv::test
