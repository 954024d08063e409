// Each verifier rule of the kernel core, shown to fire by a small faulty
// piece of code.
#include <gtest/gtest.h>

#include "support/kernel_run.h"

namespace qv {
namespace {

using test::RunExpectingBugCheck;

constexpr ULONG kTag = QV_POOL_TAG('T', 'e', 's', 't');

TEST(VerifierKernel, WaitWithTimeOutAtDispatchLevel) {
    RunExpectingBugCheck(
        [] {
            KEVENT event;
            KeInitializeEvent(&event, NotificationEvent, FALSE);
            KIRQL old;
            KeRaiseIrql(DISPATCH_LEVEL, &old);
            LARGE_INTEGER zero{};
            EXPECT_EQ(KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, &zero), STATUS_TIMEOUT);
            LARGE_INTEGER ten{.QuadPart = -100'000};
            KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, &ten);
        },
        bugcode::IRQL_NOT_LESS_OR_EQUAL);
}

TEST(VerifierKernel, DelayAtDispatchLevel) {
    RunExpectingBugCheck(
        [] {
            KIRQL old;
            KeRaiseIrql(DISPATCH_LEVEL, &old);
            LARGE_INTEGER ten{.QuadPart = -100'000};
            KeDelayExecutionThread(KernelMode, FALSE, &ten);
        },
        bugcode::IRQL_NOT_LESS_OR_EQUAL);
}

TEST(VerifierKernel, SpinLockReleasedAtWrongIrqlNotHeldOrTakenTwice) {
    RunExpectingBugCheck(
        [] {
            KSPIN_LOCK lock;
            KeInitializeSpinLock(&lock);
            KIRQL old;
            KeAcquireSpinLock(&lock, &old);
            KeLowerIrql(PASSIVE_LEVEL);
            KeReleaseSpinLock(&lock, old);
        },
        bugcode::DRIVER_VERIFIER_DETECTED_VIOLATION, violation::SpinLockReleaseWrongIrql);
    RunExpectingBugCheck(
        [] {
            KSPIN_LOCK lock;
            KeInitializeSpinLock(&lock);
            KIRQL old;
            KeRaiseIrql(DISPATCH_LEVEL, &old);
            KeReleaseSpinLock(&lock, old);
        },
        bugcode::SPIN_LOCK_NOT_OWNED);
    RunExpectingBugCheck(
        [] {
            KSPIN_LOCK lock;
            KeInitializeSpinLock(&lock);
            KIRQL old;
            KeAcquireSpinLock(&lock, &old);
            KeAcquireSpinLockAtDpcLevel(&lock);
        },
        bugcode::SPIN_LOCK_ALREADY_OWNED);
    RunExpectingBugCheck(
        [] {
            KSPIN_LOCK lock;
            KeInitializeSpinLock(&lock);
            KeAcquireSpinLockAtDpcLevel(&lock);
        },
        bugcode::IRQL_NOT_GREATER_OR_EQUAL);
}

TEST(VerifierKernel, MutexReleasedByAThreadThatDoesNotOwnIt) {
    KMUTEX mutex;
    KeInitializeMutex(&mutex, 0);
    MachineConfig config;
    Machine machine(config);
    machine.Spawn("owner", [&] {
        KeWaitForSingleObject(&mutex, Executive, KernelMode, FALSE, nullptr);
        LARGE_INTEGER second{.QuadPart = -static_cast<LONGLONG>(kTicksPerSecond)};
        KeDelayExecutionThread(KernelMode, FALSE, &second);
        KeReleaseMutex(&mutex, FALSE);
    });
    machine.Spawn("thief", [&] {
        LARGE_INTEGER pause{.QuadPart = -10'000};
        KeDelayExecutionThread(KernelMode, FALSE, &pause);
        KeReleaseMutex(&mutex, FALSE);
    });
    RunResult result = machine.Run();
    test::ExpectBugCheck(result, bugcode::THREAD_NOT_MUTEX_OWNER);
    EXPECT_EQ(result.bugCheck.value().thread, "thief");
}

TEST(VerifierKernel, PagedCodeAboveApcLevel) {
    auto result = RunExpectingBugCheck(
        [] {
            KIRQL old;
            KeRaiseIrql(DISPATCH_LEVEL, &old);
            PAGED_CODE();
        },
        bugcode::DRIVER_IRQL_NOT_LESS_OR_EQUAL);
    EXPECT_NE(result.report.find("verifier_kernel_test.cpp"), std::string::npos) << result.report;
}

TEST(VerifierKernel, IrqlRaisedDownOrLoweredUp) {
    RunExpectingBugCheck(
        [] {
            KIRQL old;
            KeRaiseIrql(DISPATCH_LEVEL, &old);
            KeRaiseIrql(APC_LEVEL, &old);
        },
        bugcode::DRIVER_VERIFIER_DETECTED_VIOLATION, violation::RaiseIrqlToLower);
    RunExpectingBugCheck([] { KeLowerIrql(DISPATCH_LEVEL); }, bugcode::DRIVER_VERIFIER_DETECTED_VIOLATION,
                         violation::LowerIrqlToHigher);
}

TEST(VerifierKernel, ThreadEndingAtRaisedIrql) {
    RunExpectingBugCheck(
        [] {
            KIRQL old;
            KeRaiseIrql(DISPATCH_LEVEL, &old);
        },
        bugcode::IRQL_GT_ZERO_AT_SYSTEM_SERVICE);
}

TEST(VerifierKernel, PoolFreedTwiceWithWrongTagOrNeverAllocated) {
    RunExpectingBugCheck(
        [] {
            void* block = ExAllocatePoolWithTag(NonPagedPool, 16, kTag);
            ExFreePoolWithTag(block, kTag);
            ExFreePoolWithTag(block, kTag);
        },
        bugcode::BAD_POOL_CALLER, violation::PoolFreedTwice);
    RunExpectingBugCheck(
        [] {
            void* block = ExAllocatePoolWithTag(NonPagedPool, 16, kTag);
            ExFreePoolWithTag(block, QV_POOL_TAG('O', 't', 'h', 'r'));
        },
        bugcode::BAD_POOL_CALLER, violation::PoolFreedWithWrongTag);
    RunExpectingBugCheck(
        [] {
            static char notPool[16];
            ExFreePool(notPool);
        },
        bugcode::DRIVER_VERIFIER_DETECTED_VIOLATION, violation::FreeOfUnknownAddress);
}

TEST(VerifierKernel, PoolOverrunCaughtAtFreeAndAtTheEndOfTheRun) {
    if (test::kAddressSanitizerBuild) GTEST_SKIP() << "AddressSanitizer stops the overrun at the write itself";
    RunExpectingBugCheck(
        [] {
            auto* block = static_cast<UCHAR*>(ExAllocatePoolWithTag(NonPagedPool, 16, kTag));
            block[16] = 0;
            ExFreePool(block);
        },
        bugcode::SPECIAL_POOL_DETECTED_MEMORY_CORRUPTION);
    RunExpectingBugCheck(
        [] {
            auto* block = static_cast<UCHAR*>(ExAllocatePoolWithTag(NonPagedPool, 16, kTag));
            block[-1] = 0;
        },
        bugcode::SPECIAL_POOL_DETECTED_MEMORY_CORRUPTION);
}

TEST(VerifierKernel, BadAllocations) {
    RunExpectingBugCheck([] { ExAllocatePoolWithTag(NonPagedPool, 0, kTag); },
                         bugcode::DRIVER_VERIFIER_DETECTED_VIOLATION, violation::ZeroByteAllocation);
    RunExpectingBugCheck(
        [] {
            KIRQL old;
            KeRaiseIrql(DISPATCH_LEVEL, &old);
            ExAllocatePoolWithTag(PagedPool, 8, kTag);
        },
        bugcode::DRIVER_VERIFIER_DETECTED_VIOLATION, violation::PagedAllocationAboveApc);
}

TEST(VerifierKernel, ObjectDereferencedOnceTooOften) {
    RunExpectingBugCheck(
        [] {
            HANDLE handle;
            PsCreateSystemThread(&handle, THREAD_ALL_ACCESS, nullptr, nullptr, nullptr, [](PVOID) {}, nullptr);
            PVOID thread;
            ObReferenceObjectByHandle(handle, THREAD_ALL_ACCESS, *PsThreadType, KernelMode, &thread, nullptr);
            ZwClose(handle);
            ObDereferenceObject(thread);
            ObDereferenceObject(thread);
        },
        bugcode::REFERENCE_BY_POINTER);
}

TEST(VerifierKernel, UninitialisedEventIsRefused) {
    RunExpectingBugCheck(
        [] {
            KEVENT event{};
            KeSetEvent(&event, IO_NO_INCREMENT, FALSE);
        },
        bugcode::DRIVER_VERIFIER_DETECTED_VIOLATION, violation::UninitialisedObject);
}

TEST(VerifierKernel, ReportNamesCodeSeedAndThread) {
    MachineConfig config;
    config.seed = 4242;
    Machine machine(config);
    RunResult result = machine.RunThread("culprit", [] { KeBugCheckEx(0xE2, 1, 2, 3, 4); });
    test::ExpectBugCheck(result, 0xE2, 1);
    EXPECT_NE(result.report.find("STOP 0x000000E2"), std::string::npos) << result.report;
    EXPECT_NE(result.report.find("seed 4242"), std::string::npos) << result.report;
    EXPECT_NE(result.report.find("'culprit'"), std::string::npos) << result.report;
}

// A tool that goes on to switch off a machine that bug-checked (the
// console's end of session) must not resume the threads the stop left
// where they stood: a later run runs nothing and repeats the report.
TEST(VerifierKernel, MachineStoppedByABugCheckNeverRunsAgain) {
    Machine machine;
    bool culpritResumed = false;
    RunResult first = machine.RunThread("culprit", [&] {
        KeBugCheckEx(0xE2, 1, 2, 3, 4);
        culpritResumed = true;
    });
    test::ExpectBugCheck(first, 0xE2, 1);
    bool laterRan = false;
    RunResult later = machine.RunThread("shutdown", [&] { laterRan = true; });
    test::ExpectBugCheck(later, 0xE2, 1);
    EXPECT_EQ(later.report, first.report);
    EXPECT_FALSE(laterRan);
    EXPECT_FALSE(culpritResumed);
}

TEST(VerifierKernel, BugCheckInHostContextThrows) {
    Machine machine;
    KMUTEX mutex;
    KeInitializeMutex(&mutex, 0);
    EXPECT_THROW(KeReleaseMutex(&mutex, FALSE), BugCheckError);
}

} // namespace
} // namespace qv
