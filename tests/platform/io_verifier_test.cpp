// Each verifier rule of the I/O manager, shown to fire by a small faulty
// piece of driver code, and the look-alikes that are legal.
#include <gtest/gtest.h>

#include "io/io_state.h"
#include "platform/io_test_drivers.h"

namespace qv::test {
namespace {

constexpr ULONG kIoManager = bugcode::DRIVER_VERIFIER_IOMANAGER_VIOLATION;
constexpr ULONG kVerifier = bugcode::DRIVER_VERIFIER_DETECTED_VIOLATION;

NTSTATUS Complete(PIRP irp, NTSTATUS status) {
    irp->IoStatus.Status = status;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return status;
}

void NTAPI IgnoreCancel(PDEVICE_OBJECT, PIRP) {}
void NTAPI IgnoreTick(PDEVICE_OBJECT, PVOID) {}
void NTAPI ReturnAtOnce(PVOID) {}
void NTAPI WaitForever(PVOID) {
    KEVENT never;
    KeInitializeEvent(&never, NotificationEvent, FALSE);
    KeWaitForSingleObject(&never, Executive, KernelMode, FALSE, nullptr);
}

NTSTATUS NTAPI CompleteTwice(PDEVICE_OBJECT, PIRP irp) {
    Complete(irp, STATUS_SUCCESS);
    return Complete(irp, STATUS_SUCCESS);
}
NTSTATUS NTAPI CompleteWithPending(PDEVICE_OBJECT, PIRP irp) { return Complete(irp, STATUS_PENDING); }
NTSTATUS NTAPI CompleteWithCancelRoutine(PDEVICE_OBJECT, PIRP irp) {
    IoSetCancelRoutine(irp, &IgnoreCancel);
    return Complete(irp, STATUS_SUCCESS);
}
NTSTATUS NTAPI CompleteAtHighLevel(PDEVICE_OBJECT, PIRP irp) {
    KIRQL old;
    KeRaiseIrql(HIGH_LEVEL, &old);
    return Complete(irp, STATUS_SUCCESS);
}
NTSTATUS NTAPI PendWithoutMark(PDEVICE_OBJECT, PIRP) { return STATUS_PENDING; }
NTSTATUS NTAPI CompleteThenPend(PDEVICE_OBJECT, PIRP irp) {
    Complete(irp, STATUS_SUCCESS);
    return STATUS_PENDING;
}
NTSTATUS NTAPI ReturnAtDispatchLevel(PDEVICE_OBJECT, PIRP irp) {
    KIRQL old;
    KeRaiseIrql(DISPATCH_LEVEL, &old);
    return Complete(irp, STATUS_SUCCESS);
}

// Sends an IRP to a device whose driver handles it with dispatch: one the
// I/O manager builds and frees at completion, or one of the caller's own that
// it keeps after completion.
PDEVICE_OBJECT SendTo(PDRIVER_DISPATCH dispatch, bool built) {
    PDRIVER_OBJECT driver = Load(u"\\Driver\\Faulty");
    driver->MajorFunction[IRP_MJ_INTERNAL_DEVICE_CONTROL] = dispatch;
    PDEVICE_OBJECT device = AddLayer(driver, Role::Complete);
    if (built) {
        IoCallDriver(device, IoBuildDeviceIoControlRequest(0, device, nullptr, 0, nullptr, 0, TRUE, nullptr, nullptr));
    } else {
        Layer creator{.routineResult = STATUS_MORE_PROCESSING_REQUIRED};
        NTSTATUS result;
        SendIrp(device, creator, &result);
    }
    return device;
}

TEST(IoVerifier, FaultyDispatchRoutines) {
    struct Fault {
        PDRIVER_DISPATCH dispatch;
        ULONG code;
        std::optional<ULONG_PTR> parameter1;
    } const faults[] = {
        {&CompleteTwice, bugcode::MULTIPLE_IRP_COMPLETE_REQUESTS, {}},
        {&CompleteWithPending, kIoManager, violation::CompletedWithPending},
        {&CompleteWithCancelRoutine, kIoManager, violation::CompletedWithCancelRoutine},
        {&CompleteAtHighLevel, kIoManager, violation::CompletedAboveDispatch},
        {&PendWithoutMark, kVerifier, violation::PendingReturnedWithoutMark},
        {&CompleteThenPend, kVerifier, violation::PendingReturnedWithoutMark},
        {&ReturnAtDispatchLevel, kIoManager, violation::IrqlChangedByDispatch},
    };
    // Every rule must hold whether the IRP is freed by its completion or not.
    for (bool built : {false, true}) {
        for (const Fault& fault : faults) {
            SCOPED_TRACE(testing::Message() << "fault " << &fault - faults << (built ? ", built IRP" : ""));
            const RunResult result =
                RunExpectingBugCheck([&fault, built] { SendTo(fault.dispatch, built); }, fault.code, fault.parameter1);
            EXPECT_FALSE(result.bugCheck.value().recentIrps.empty());
        }
    }
}

TEST(IoVerifier, CompletionRoutineFreesTheIrpYetLetsCompletionGoOn) {
    RunExpectingBugCheck(
        [] {
            PDEVICE_OBJECT device = AddLayer(Load(u"\\Driver\\Layers"), Role::Complete);
            PIRP irp = IoAllocateIrp(device->StackSize, FALSE);
            IoGetNextIrpStackLocation(irp)->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
            IoSetCompletionRoutine(
                irp,
                +[](PDEVICE_OBJECT, PIRP irp, PVOID) {
                    IoFreeIrp(irp);
                    return STATUS_SUCCESS;
                },
                nullptr, TRUE, TRUE, TRUE);
            IoCallDriver(device, irp);
        },
        bugcode::MULTIPLE_IRP_COMPLETE_REQUESTS);
}

TEST(IoVerifier, IrpWithTooFewStackLocationsOrFreedTwice) {
    RunExpectingBugCheck(
        [] {
            PDRIVER_OBJECT driver = Load(u"\\Driver\\Layers");
            PDEVICE_OBJECT top = AddLayer(driver, Role::Forward, AddLayer(driver, Role::Complete));
            Layer creator;
            NTSTATUS result;
            SendIrp(top, creator, &result, IRP_MJ_INTERNAL_DEVICE_CONTROL, top->StackSize - 1);
        },
        bugcode::NO_MORE_IRP_STACK_LOCATIONS);
    RunExpectingBugCheck(
        [] {
            PIRP irp = IoAllocateIrp(1, FALSE);
            IoFreeIrp(irp);
            IoFreeIrp(irp);
        },
        kIoManager, violation::FreeOfNonIrp);
}

TEST(IoVerifier, TimerInitialisedTwiceOrLeftStartedOnADeletedDevice) {
    for (bool twice : {true, false}) {
        RunExpectingBugCheck(
            [twice] {
                PDEVICE_OBJECT device = AddLayer(Load(u"\\Driver\\Faulty"), Role::Complete);
                IoInitializeTimer(device, &IgnoreTick, nullptr);
                if (twice) IoInitializeTimer(device, &IgnoreTick, nullptr);
                IoStartTimer(device);
                IoDeleteDevice(device);
            },
            twice ? kIoManager : kVerifier,
            twice ? violation::TimerInitializedTwice : violation::FreedPoolHoldsActiveTimer);
    }
}

TEST(IoVerifier, DeviceDeletedWithAnIrpPendingOrStillAttachedBelow) {
    RunExpectingBugCheck(
        [] {
            PDEVICE_OBJECT device = AddLayer(Load(u"\\Driver\\Layers"), Role::Pend);
            Layer creator;
            NTSTATUS result;
            SendIrp(device, creator, &result);
            IoDeleteDevice(device);
        },
        kVerifier, violation::IrpLeftAtDeviceDelete);
    RunExpectingBugCheck(
        [] {
            PDRIVER_OBJECT driver = Load(u"\\Driver\\Layers");
            IoDeleteDevice(AddLayer(driver, Role::Forward, AddLayer(driver, Role::Complete)));
        },
        kVerifier, violation::DeletedWhileAttached);
}

// A driver handling a remove request deletes its device before it completes
// the request, and a device below may be deleted before the one above has
// detached (it lives on until then).
TEST(IoVerifier, DeletionsThatAreLegal) {
    Machine machine;
    RunOk(machine, [] {
        PDRIVER_OBJECT driver = Load(u"\\Driver\\Removable");
        driver->MajorFunction[IRP_MJ_INTERNAL_DEVICE_CONTROL] = +[](PDEVICE_OBJECT device, PIRP irp) {
            IoDeleteDevice(device);
            return Complete(irp, STATUS_SUCCESS);
        };
        Layer creator;
        NTSTATUS result;
        IoFreeIrp(SendIrp(AddLayer(driver, Role::Complete), creator, &result));
        EXPECT_EQ(driver->DeviceObject, nullptr);

        PDEVICE_OBJECT bottom = AddLayer(driver, Role::Complete);
        PDEVICE_OBJECT top = AddLayer(driver, Role::Forward, bottom);
        IoDeleteDevice(bottom);
        EXPECT_EQ(driver->DeviceObject, top);
        IoDetachDevice(bottom);
        IoDeleteDevice(top);
        Io().UnloadDriver(driver);
    });
}

TEST(IoVerifier, DriverUnloadedWithSomethingLeftBehind) {
    constexpr ULONG kUnload = bugcode::DRIVER_UNLOADED_WITHOUT_CANCELLING_PENDING_OPERATIONS;
    auto expectLeft = [](const RunResult& result, Leftover what) {
        EXPECT_EQ(result.bugCheck.value().parameters[2], static_cast<ULONG_PTR>(what)) << result.report;
    };
    expectLeft(
        RunExpectingBugCheck(
            [] { Io().UnloadDriver(AddLayer(Load(u"\\Driver\\A"), Role::Complete)->DriverObject); }, kUnload),
        Leftover::Devices);
    expectLeft(RunExpectingBugCheck(
                   [] {
                       IoAllocateIrp(1, FALSE);
                       Io().UnloadDriver(Load(u"\\Driver\\A"));
                   },
                   kUnload),
               Leftover::Irps);
    // A thread still running counts, and so does one that ended while its
    // handle is still open.
    for (bool ends : {false, true}) {
        expectLeft(RunExpectingBugCheck(
                       [ends] {
                           HANDLE thread;
                           PsCreateSystemThread(&thread, THREAD_ALL_ACCESS, nullptr, nullptr, nullptr,
                                                ends ? &ReturnAtOnce : &WaitForever, nullptr);
                           LARGE_INTEGER second{.QuadPart = -static_cast<LONGLONG>(kTicksPerSecond)};
                           KeDelayExecutionThread(KernelMode, FALSE, &second);
                           if (!ends) ZwClose(thread);
                           Io().UnloadDriver(Load(u"\\Driver\\A"));
                       },
                       kUnload),
                   Leftover::Threads);
    }
    RunExpectingBugCheck(
        [] {
            ExAllocatePoolWithTag(NonPagedPool, 16, QV_POOL_TAG('L', 'e', 'a', 'k'));
            Io().UnloadDriver(Load(u"\\Driver\\A"));
        },
        kVerifier, violation::PoolLeakOnUnload);
}

} // namespace
} // namespace qv::test
