// The scheduler's records of ended threads: a long run keeps them bounded,
// and a thread object stays valid while anything holds a reference to it.
#include <gtest/gtest.h>

#include <string>

#include "kernel/scheduler.h"
#include "support/kernel_run.h"

namespace qv {
namespace {

using test::RunOk;

void EndsAtOnce(PVOID) { PsTerminateSystemThread(STATUS_SUCCESS); }

void WaitsForEvent(PVOID event) {
    KeWaitForSingleObject(event, Executive, KernelMode, FALSE, nullptr);
    PsTerminateSystemThread(STATUS_SUCCESS);
}

// Waits for the thread behind handle to end, then gives up the handle.
void AwaitEndAndClose(HANDLE handle) {
    PVOID object = nullptr;
    ASSERT_EQ(ObReferenceObjectByHandle(handle, THREAD_ALL_ACCESS, *PsThreadType, KernelMode, &object, nullptr),
              STATUS_SUCCESS);
    EXPECT_EQ(KeWaitForSingleObject(object, Executive, KernelMode, FALSE, nullptr), STATUS_SUCCESS);
    ObDereferenceObject(object);
    EXPECT_EQ(ZwClose(handle), STATUS_SUCCESS);
}

bool HasThreadNamed(const std::string& name) {
    for (const SimThread* thread : K().Sched().Threads())
        if (thread->Name() == name) return true;
    return false;
}

// Each round is a run of its own on a new host thread, as the application
// console runs each command: it starts a system thread that ends at once,
// and one that is still waiting when the run ends and is ended by the next
// round. Each round waits for the ends it caused, so that the number of
// threads alive is the same after every round.
TEST(SchedulerRecords, ThreadRecordsStayBoundedOverManyRuns) {
    constexpr unsigned kRounds = 300;
    constexpr unsigned kSettled = 20;
    Machine machine;
    KEVENT release;
    KeInitializeEvent(&release, SynchronizationEvent, FALSE);
    HANDLE waiting = nullptr;
    std::size_t recordsWhenSettled = 0;
    std::size_t liveWhenSettled = 0;
    for (unsigned round = 1; round <= kRounds; ++round) {
        RunOk(machine, [&, round] {
            if (waiting != nullptr) {
                KeSetEvent(&release, IO_NO_INCREMENT, FALSE);
                AwaitEndAndClose(waiting);
            }
            HANDLE ended = nullptr;
            ASSERT_EQ(PsCreateSystemThread(&ended, THREAD_ALL_ACCESS, nullptr, nullptr, nullptr, &EndsAtOnce, nullptr),
                      STATUS_SUCCESS);
            AwaitEndAndClose(ended);
            ASSERT_EQ(PsCreateSystemThread(&waiting, THREAD_ALL_ACCESS, nullptr, nullptr, nullptr, &WaitsForEvent,
                                           &release),
                      STATUS_SUCCESS);
            // Names count every system thread ever created, ended or not.
            EXPECT_TRUE(HasThreadNamed("system thread " + std::to_string(2 * round))) << "round " << round;
        });
        if (round == kSettled) {
            recordsWhenSettled = machine.Kernel().Sched().ThreadRecords();
            liveWhenSettled = machine.Kernel().Sched().LiveThreads();
        }
    }
    EXPECT_EQ(machine.Kernel().Sched().ThreadRecords(), recordsWhenSettled);
    EXPECT_EQ(machine.Kernel().Sched().LiveThreads(), liveWhenSettled);
    RunOk(machine, [&] {
        KeSetEvent(&release, IO_NO_INCREMENT, FALSE);
        AwaitEndAndClose(waiting);
    });
}

// A thread that has ended is still a waitable, signalled object for whoever
// holds a reference; its record goes only after the last reference does.
TEST(SchedulerRecords, AnEndedThreadStaysWhileReferenced) {
    Machine machine;
    PVOID object = nullptr;
    RunOk(machine, [&] {
        HANDLE handle = nullptr;
        ASSERT_EQ(PsCreateSystemThread(&handle, THREAD_ALL_ACCESS, nullptr, nullptr, nullptr, &EndsAtOnce, nullptr),
                  STATUS_SUCCESS);
        ASSERT_EQ(ObReferenceObjectByHandle(handle, THREAD_ALL_ACCESS, *PsThreadType, KernelMode, &object, nullptr),
                  STATUS_SUCCESS);
        EXPECT_EQ(ZwClose(handle), STATUS_SUCCESS);
        EXPECT_EQ(KeWaitForSingleObject(object, Executive, KernelMode, FALSE, nullptr), STATUS_SUCCESS);
    });
    Scheduler& sched = machine.Kernel().Sched();
    ASSERT_NE(sched.FromObjectPointer(object), nullptr);
    EXPECT_EQ(sched.FromObjectPointer(object)->GetState(), SimThread::State::Terminated);
    RunOk(machine, [&] {
        LARGE_INTEGER none{};
        EXPECT_EQ(KeWaitForSingleObject(object, Executive, KernelMode, FALSE, &none), STATUS_SUCCESS);
        ObfReferenceObject(object);
        ObDereferenceObject(object);
        ASSERT_NE(K().Sched().FromObjectPointer(object), nullptr) << "one reference is left";
        ObDereferenceObject(object);
    });
    EXPECT_EQ(sched.FromObjectPointer(object), nullptr);
}

// A host thread's record outlives its end for the rest of the run: whoever
// spawned it may wait on its object then.
TEST(SchedulerRecords, AHostThreadCanBeWaitedOnAfterItEndedInTheSameRun) {
    Machine machine;
    SimThread& quick = machine.Spawn("quick", [] {});
    PKTHREAD object = quick.Object();
    machine.Spawn("waiter", [object] {
        LARGE_INTEGER later = test::Relative(50);
        KeDelayExecutionThread(KernelMode, FALSE, &later);
        EXPECT_EQ(KeWaitForSingleObject(object, Executive, KernelMode, FALSE, nullptr), STATUS_SUCCESS);
    });
    ASSERT_TRUE(machine.Run().Ok());
    EXPECT_EQ(machine.Kernel().Sched().ThreadRecords(), machine.Kernel().Sched().LiveThreads() + 2);
    RunOk(machine, [] {});
    EXPECT_EQ(machine.Kernel().Sched().FromObjectPointer(object), nullptr);
}

TEST(SchedulerRecords, DeadlockReportDescribesAWaitForSeveralObjects) {
    Machine machine;
    KEVENT first;
    KEVENT second;
    KeInitializeEvent(&first, NotificationEvent, FALSE);
    KeInitializeEvent(&second, NotificationEvent, FALSE);
    machine.Spawn("both", [&] {
        PVOID objects[] = {&first, &second};
        KeWaitForMultipleObjects(2, objects, WaitAll, Executive, KernelMode, FALSE, nullptr, nullptr);
    });
    const RunResult result = machine.Run();
    ASSERT_EQ(result.outcome, RunOutcome::Deadlock);
    EXPECT_NE(result.report.find("'both' waits for all of 2 objects"), std::string::npos) << result.report;
}

} // namespace
} // namespace qv
