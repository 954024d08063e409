// Bug-check sites that only a faulty caller reaches: IRQL checks of the
// kernel and I/O routines, pointers that are no object, and objects used in
// the wrong state. Each test is the smallest misuse that reaches its site.
#include <gtest/gtest.h>

#include "platform/io_test_drivers.h"

namespace qv::test {
namespace {

constexpr ULONG kIrql = bugcode::IRQL_NOT_LESS_OR_EQUAL;
constexpr ULONG kVerifier = bugcode::DRIVER_VERIFIER_DETECTED_VIOLATION;
constexpr ULONG kIoManager = bugcode::DRIVER_VERIFIER_IOMANAGER_VIOLATION;
constexpr ULONG kTag = QV_POOL_TAG('R', 'e', 'a', 'c');

// Runs misuse at the given IRQL.
std::function<void()> At(KIRQL irql, std::function<void()> misuse) {
    return [irql, misuse] {
        KIRQL old;
        KeRaiseIrql(irql, &old);
        misuse();
    };
}

TEST(VerifierReach, KernelRoutinesAboveTheirIrql) {
    RunExpectingBugCheck(At(HIGH_LEVEL,
                            [] {
                                KSPIN_LOCK lock;
                                KeInitializeSpinLock(&lock);
                                KIRQL old;
                                KeAcquireSpinLock(&lock, &old);
                            }),
                         kIrql);
    RunExpectingBugCheck(At(HIGH_LEVEL,
                            [] {
                                static KEVENT event;
                                KeInitializeEvent(&event, NotificationEvent, FALSE);
                                KeSetEvent(&event, IO_NO_INCREMENT, FALSE);
                            }),
                         kIrql);
    RunExpectingBugCheck(At(DISPATCH_LEVEL,
                            [] {
                                HANDLE thread;
                                PsCreateSystemThread(
                                    &thread, THREAD_ALL_ACCESS, nullptr, nullptr, nullptr, +[](PVOID) {}, nullptr);
                            }),
                         kIrql);
    RunExpectingBugCheck(
        [] {
            HANDLE thread;
            PsCreateSystemThread(
                &thread, THREAD_ALL_ACCESS, nullptr, nullptr, nullptr, +[](PVOID) {}, nullptr);
            KIRQL old;
            KeRaiseIrql(DISPATCH_LEVEL, &old);
            ZwClose(thread);
        },
        kIrql);
    RunExpectingBugCheck(At(HIGH_LEVEL,
                            [] {
                                static KTIMER timer;
                                KeInitializeTimer(&timer);
                                KeSetTimer(&timer, Relative(10), nullptr);
                            }),
                         kIrql);
}

TEST(VerifierReach, PoolAboveItsIrql) {
    RunExpectingBugCheck(At(HIGH_LEVEL, [] { ExAllocatePoolWithTag(NonPagedPool, 8, kTag); }), kVerifier,
                         violation::NonPagedAllocationAboveDispatch);
    RunExpectingBugCheck(
        [] {
            void* block = ExAllocatePoolWithTag(NonPagedPool, 8, kTag);
            KIRQL old;
            KeRaiseIrql(HIGH_LEVEL, &old);
            ExFreePoolWithTag(block, kTag);
        },
        kVerifier, violation::FreeAboveDispatch);
    const RunResult paged = RunExpectingBugCheck(
        [] {
            void* block = ExAllocatePoolWithTag(PagedPool, 8, kTag);
            KIRQL old;
            KeRaiseIrql(DISPATCH_LEVEL, &old);
            ExFreePoolWithTag(block, kTag);
        },
        kVerifier, violation::PagedFreeAboveApc);
    EXPECT_EQ(paged.bugCheck.value().parameters[1], static_cast<ULONG_PTR>(DISPATCH_LEVEL));
    EXPECT_EQ(paged.bugCheck.value().parameters[2], static_cast<ULONG_PTR>(PagedPool));
}

TEST(VerifierReach, IoRoutinesAboveTheirIrql) {
    RunExpectingBugCheck(At(HIGH_LEVEL, [] { IoAllocateIrp(1, FALSE); }), kIrql);
    const RunResult result = RunExpectingBugCheck(
        [] {
            PDEVICE_OBJECT device = AddLayer(Load(u"\\Driver\\Layers"), Role::Complete);
            PIRP irp = IoAllocateIrp(device->StackSize, FALSE);
            IoGetNextIrpStackLocation(irp)->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
            KIRQL old;
            KeRaiseIrql(HIGH_LEVEL, &old);
            IoCallDriver(device, irp);
        },
        kIoManager, violation::CallDriverAboveDispatch);
    EXPECT_EQ(result.bugCheck.value().parameters[1], static_cast<ULONG_PTR>(HIGH_LEVEL));
}

TEST(VerifierReach, DeferredRoutineReturningAtAnotherIrql) {
    RunExpectingBugCheck(
        [] {
            static KDPC dpc;
            KeInitializeDpc(
                &dpc,
                +[](PKDPC, PVOID, PVOID, PVOID) {
                    KIRQL old;
                    KeRaiseIrql(HIGH_LEVEL, &old);
                },
                nullptr);
            KeInsertQueueDpc(&dpc, nullptr, nullptr);
            LARGE_INTEGER pause = Relative(1);
            KeDelayExecutionThread(KernelMode, FALSE, &pause);
        },
        kVerifier, violation::LowerIrqlToHigher);
}

TEST(VerifierReach, PointersThatAreNoObject) {
    RunExpectingBugCheck(
        [] {
            PIRP irp = IoAllocateIrp(1, FALSE);
            IoFreeIrp(irp);
            IoCancelIrp(irp);
        },
        kVerifier, violation::NotALiveIrp);
    RunExpectingBugCheck(
        [] {
            static DEVICE_OBJECT notADevice;
            PIRP irp = IoAllocateIrp(1, FALSE);
            IoCallDriver(&notADevice, irp);
        },
        kVerifier, violation::NotALiveDevice);
    RunExpectingBugCheck(
        [] {
            static DRIVER_OBJECT notADriver;
            PDEVICE_OBJECT device;
            IoCreateDevice(&notADriver, 0, nullptr, FILE_DEVICE_UNKNOWN, 0, FALSE, &device);
        },
        kVerifier, violation::NotALiveDriver);
}

TEST(VerifierReach, ObjectsInTheWrongState) {
    // A device kept by the device attached above it is deleted twice.
    RunExpectingBugCheck(
        [] {
            PDRIVER_OBJECT driver = Load(u"\\Driver\\Layers");
            PDEVICE_OBJECT bottom = AddLayer(driver, Role::Complete);
            AddLayer(driver, Role::Forward, bottom);
            IoDeleteDevice(bottom);
            IoDeleteDevice(bottom);
        },
        kVerifier, violation::NotALiveDevice);
    RunExpectingBugCheck(
        [] {
            PDEVICE_OBJECT device = AddLayer(Load(u"\\Driver\\Layers"), Role::Complete);
            IoStartTimer(device);
        },
        kVerifier, violation::TimerNotInitialized);
    RunExpectingBugCheck(
        [] {
            PIRP irp = IoAllocateIrp(1, FALSE);
            IoMarkIrpPending(irp);
        },
        bugcode::NO_MORE_IRP_STACK_LOCATIONS);
    RunExpectingBugCheck([] { PsTerminateSystemThread(STATUS_SUCCESS); }, kVerifier,
                         violation::TerminateNonSystemThread);
    // A driver unloaded with its devices still there and an I/O timer running.
    RunExpectingBugCheck(
        [] {
            PDEVICE_OBJECT device = AddLayer(Load(u"\\Driver\\Layers"), Role::Complete);
            IoInitializeTimer(
                device, +[](PDEVICE_OBJECT, PVOID) {}, nullptr);
            IoStartTimer(device);
            Io().UnloadDriver(device->DriverObject);
        },
        kVerifier, violation::FreedPoolHoldsActiveTimer);
}

} // namespace
} // namespace qv::test
