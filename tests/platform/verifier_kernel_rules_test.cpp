// The kernel's rules on mutexes at a thread's end, signals with Wait TRUE,
// delays and waits on too many objects, each shown to fire, beside the legal
// use where the two are easy to confuse.
#include <gtest/gtest.h>

#include "support/kernel_run.h"

namespace qv {
namespace {

using test::RunExpectingBugCheck;
using test::RunOk;
constexpr ULONG kVerifier = bugcode::DRIVER_VERIFIER_DETECTED_VIOLATION;

TEST(VerifierKernelRules, ThreadEndingWhileItOwnsAMutex) {
    const RunResult result = RunExpectingBugCheck(
        [] {
            static KMUTEX mutex;
            KeInitializeMutex(&mutex, 0);
            KeWaitForSingleObject(&mutex, Executive, KernelMode, FALSE, nullptr);
            KeWaitForSingleObject(&mutex, Executive, KernelMode, FALSE, nullptr);
            KeReleaseMutex(&mutex, FALSE); // still owned once
        },
        bugcode::THREAD_TERMINATE_HELD_MUTEX);
    EXPECT_EQ(result.bugCheck.value().thread, "faulty");
    Machine machine;
    RunOk(machine, [] {
        KMUTEX mutex;
        KeInitializeMutex(&mutex, 0);
        KeWaitForSingleObject(&mutex, Executive, KernelMode, FALSE, nullptr);
        KeReleaseMutex(&mutex, FALSE);
    });
}

TEST(VerifierKernelRules, WaitTrueReturnsAtDispatchLevelUntilTheWaitThatFollows) {
    Machine machine;
    RunOk(machine, [] {
        KEVENT signal, reply;
        KeInitializeEvent(&signal, NotificationEvent, FALSE);
        KeInitializeEvent(&reply, NotificationEvent, TRUE);
        KeSetEvent(&signal, IO_NO_INCREMENT, TRUE);
        EXPECT_EQ(KeGetCurrentIrql(), DISPATCH_LEVEL);
        EXPECT_EQ(KeWaitForSingleObject(&reply, Executive, KernelMode, FALSE, nullptr), STATUS_SUCCESS);
        EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL);
        KMUTEX mutex;
        KeInitializeMutex(&mutex, 0);
        KeWaitForSingleObject(&mutex, Executive, KernelMode, FALSE, nullptr);
        KeReleaseMutex(&mutex, TRUE);
        EXPECT_EQ(KeGetCurrentIrql(), DISPATCH_LEVEL);
        LARGE_INTEGER pause = test::Relative(1);
        KeDelayExecutionThread(KernelMode, FALSE, &pause);
        EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL);
    });
}

TEST(VerifierKernelRules, WaitTrueAboveApcLevelOrNotFollowedByAWait) {
    RunExpectingBugCheck(
        [] {
            KEVENT event;
            KeInitializeEvent(&event, NotificationEvent, FALSE);
            KIRQL old;
            KeRaiseIrql(DISPATCH_LEVEL, &old);
            KeSetEvent(&event, IO_NO_INCREMENT, TRUE);
        },
        kVerifier, violation::SetEventWaitAboveApc);
    RunExpectingBugCheck(
        [] {
            static KMUTEX mutex;
            KeInitializeMutex(&mutex, 0);
            KeWaitForSingleObject(&mutex, Executive, KernelMode, FALSE, nullptr);
            KIRQL old;
            KeRaiseIrql(DISPATCH_LEVEL, &old);
            KeReleaseMutex(&mutex, TRUE);
        },
        kVerifier, violation::ReleaseMutexWaitAboveApc);
    RunExpectingBugCheck(
        [] {
            KEVENT event;
            KeInitializeEvent(&event, NotificationEvent, FALSE);
            KeSetEvent(&event, IO_NO_INCREMENT, TRUE);
            KeLowerIrql(PASSIVE_LEVEL);
        },
        kVerifier, violation::WaitTrueNotFollowedByWait);
}

TEST(VerifierKernelRules, DelayAboveApcLevelEvenForNoTime) {
    RunExpectingBugCheck(
        [] {
            KIRQL old;
            KeRaiseIrql(DISPATCH_LEVEL, &old);
            LARGE_INTEGER none{};
            KeDelayExecutionThread(KernelMode, FALSE, &none);
        },
        bugcode::IRQL_NOT_LESS_OR_EQUAL);
    Machine machine;
    RunOk(machine, [] {
        KIRQL old;
        KeRaiseIrql(APC_LEVEL, &old);
        LARGE_INTEGER pause = test::Relative(1);
        KeDelayExecutionThread(KernelMode, FALSE, &pause);
        KeLowerIrql(old);
    });
}

TEST(VerifierKernelRules, WaitOnMoreObjectsThanTheThreadHasBlocksFor) {
    for (ULONG count : {ULONG{THREAD_WAIT_OBJECTS + 1}, ULONG{MAXIMUM_WAIT_OBJECTS + 1}}) {
        SCOPED_TRACE(count);
        RunExpectingBugCheck(
            [count] {
                std::vector<KEVENT> events(count);
                std::vector<PVOID> objects;
                for (KEVENT& event : events) {
                    KeInitializeEvent(&event, NotificationEvent, TRUE);
                    objects.push_back(&event);
                }
                std::vector<KWAIT_BLOCK> blocks(count);
                KeWaitForMultipleObjects(count, objects.data(), WaitAny, Executive, KernelMode, FALSE, nullptr,
                                         count > MAXIMUM_WAIT_OBJECTS ? blocks.data() : nullptr);
            },
            bugcode::MAXIMUM_WAIT_OBJECTS_EXCEEDED);
    }
}

} // namespace
} // namespace qv
