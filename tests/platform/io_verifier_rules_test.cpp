// The I/O manager's rules on pending IRPs, completion routines, buffered
// output and I/O timers, each shown to fire by a small faulty driver, beside
// the legal form where one is easy to get wrong.
#include <gtest/gtest.h>

#include "platform/io_test_drivers.h"

namespace qv::test {
namespace {

constexpr ULONG kIoManager = bugcode::DRIVER_VERIFIER_IOMANAGER_VIOLATION;
constexpr ULONG kVerifier = bugcode::DRIVER_VERIFIER_DETECTED_VIOLATION;
constexpr ULONG kBufferedIoctl = CTL_CODE(FILE_DEVICE_UNKNOWN, 0x801, METHOD_BUFFERED, FILE_ANY_ACCESS);

NTSTATUS NTAPI IgnorePendingReturned(PDEVICE_OBJECT, PIRP, PVOID) { return STATUS_SUCCESS; }
NTSTATUS NTAPI RaiseAndReturn(PDEVICE_OBJECT, PIRP, PVOID) {
    KIRQL old;
    KeRaiseIrql(DISPATCH_LEVEL, &old);
    return STATUS_SUCCESS;
}
void NTAPI IgnoreCancel(PDEVICE_OBJECT, PIRP) {}

// Forwards to the device below with the given completion routine: each
// faulty driver gets a dispatch routine of its own.
template <PIO_COMPLETION_ROUTINE Routine> NTSTATUS NTAPI ForwardWith(PDEVICE_OBJECT device, PIRP irp) {
    IoCopyCurrentIrpStackLocationToNext(irp);
    IoSetCompletionRoutine(irp, Routine, nullptr, TRUE, TRUE, TRUE);
    return IoCallDriver(LayerOf(device).lower, irp);
}

// A two-layer stack whose top is handled by `top` and whose bottom pends.
PDEVICE_OBJECT StackOverPend(PDRIVER_DISPATCH top, PDEVICE_OBJECT* bottom) {
    PDRIVER_OBJECT lowerDriver = Load(u"\\Driver\\Lower");
    *bottom = AddLayer(lowerDriver, Role::Pend);
    PDRIVER_OBJECT upperDriver = Load(u"\\Driver\\Upper");
    upperDriver->MajorFunction[IRP_MJ_INTERNAL_DEVICE_CONTROL] = top;
    return AddLayer(upperDriver, Role::Forward, *bottom);
}

void CompletePended(PDEVICE_OBJECT bottom, NTSTATUS status) {
    PIRP irp = LayerOf(bottom).pended;
    irp->IoStatus.Status = status;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
}

TEST(IoVerifierRules, CompletionRoutineMustPropagatePendingReturned) {
    RunExpectingBugCheck(
        [] {
            PDEVICE_OBJECT bottom;
            PDEVICE_OBJECT top = StackOverPend(&ForwardWith<&IgnorePendingReturned>, &bottom);
            Layer creator;
            NTSTATUS result;
            SendIrp(top, creator, &result);
            CompletePended(bottom, STATUS_SUCCESS);
        },
        kVerifier, violation::PendingReturnedNotPropagated);
    // The test driver's own routine marks the IRP and passes.
    Machine machine;
    RunOk(machine, [] {
        PDRIVER_OBJECT driver = Load(u"\\Driver\\Layers");
        PDEVICE_OBJECT bottom = AddLayer(driver, Role::Pend);
        PDEVICE_OBJECT top = AddLayer(driver, Role::Forward, bottom);
        Layer creator{.routineResult = STATUS_MORE_PROCESSING_REQUIRED};
        NTSTATUS result;
        PIRP irp = SendIrp(top, creator, &result);
        EXPECT_EQ(result, STATUS_PENDING);
        CompletePended(bottom, STATUS_SUCCESS);
        IoFreeIrp(irp);
        RemoveStack(top);
    });
}

TEST(IoVerifierRules, CompletionRoutineMustReturnAtItsIrql) {
    RunExpectingBugCheck(
        [] {
            PDEVICE_OBJECT bottom;
            PDEVICE_OBJECT top = StackOverPend(&ForwardWith<&RaiseAndReturn>, &bottom);
            Layer creator;
            NTSTATUS result;
            SendIrp(top, creator, &result);
            CompletePended(bottom, STATUS_SUCCESS);
        },
        kVerifier, violation::CompletionRoutineChangedIrql);
}

TEST(IoVerifierRules, MarkedPendingMeansReturningStatusPending) {
    for (bool built : {false, true}) {
        SCOPED_TRACE(built ? "built IRP" : "own IRP");
        RunExpectingBugCheck(
            [built] {
                PDRIVER_OBJECT driver = Load(u"\\Driver\\Faulty");
                driver->MajorFunction[IRP_MJ_INTERNAL_DEVICE_CONTROL] = +[](PDEVICE_OBJECT, PIRP irp) {
                    IoMarkIrpPending(irp);
                    irp->IoStatus.Status = STATUS_SUCCESS;
                    IoCompleteRequest(irp, IO_NO_INCREMENT);
                    return STATUS_SUCCESS;
                };
                PDEVICE_OBJECT device = AddLayer(driver, Role::Complete);
                if (built) {
                    IoCallDriver(device, IoBuildDeviceIoControlRequest(0, device, nullptr, 0, nullptr, 0, TRUE, nullptr,
                                                                       nullptr));
                } else {
                    Layer creator{.routineResult = STATUS_MORE_PROCESSING_REQUIRED};
                    NTSTATUS result;
                    SendIrp(device, creator, &result);
                }
            },
            kVerifier, violation::MarkedPendingReturnedOther);
    }
}

TEST(IoVerifierRules, IrpSentWithItsCancelRoutineStillSet) {
    RunExpectingBugCheck(
        [] {
            PDEVICE_OBJECT device = AddLayer(Load(u"\\Driver\\Layers"), Role::Complete);
            PIRP irp = IoAllocateIrp(device->StackSize, FALSE);
            IoGetNextIrpStackLocation(irp)->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
            IoSetCancelRoutine(irp, &IgnoreCancel);
            IoCallDriver(device, irp);
        },
        kVerifier, violation::CalledWithCancelRoutine);
}

TEST(IoVerifierRules, IrpFreedOrReusedWhileADriverBelowHoldsIt) {
    for (bool reuse : {false, true}) {
        SCOPED_TRACE(reuse ? "IoReuseIrp" : "IoFreeIrp");
        RunExpectingBugCheck(
            [reuse] {
                PDEVICE_OBJECT device = AddLayer(Load(u"\\Driver\\Layers"), Role::Pend);
                Layer creator;
                NTSTATUS result;
                PIRP irp = SendIrp(device, creator, &result);
                EXPECT_EQ(result, STATUS_PENDING);
                if (reuse)
                    IoReuseIrp(irp, STATUS_SUCCESS);
                else
                    IoFreeIrp(irp);
            },
            kVerifier, violation::IrpFreedWhilePending);
    }
}

TEST(IoVerifierRules, IrpOfIoBuildDeviceIoControlRequestIsNotTheCallersToFree) {
    RunExpectingBugCheck(
        [] {
            PDEVICE_OBJECT device = AddLayer(Load(u"\\Driver\\Layers"), Role::Complete);
            IoFreeIrp(IoBuildDeviceIoControlRequest(0, device, nullptr, 0, nullptr, 0, TRUE, nullptr, nullptr));
        },
        kIoManager, violation::FreeOfThreadedIrp);
}

TEST(IoVerifierRules, InformationBeyondABufferedOutputBuffer) {
    const RunResult result = RunExpectingBugCheck(
        [] {
            PDEVICE_OBJECT device = AddLayer(Load(u"\\Driver\\Layers"), Role::Complete);
            LayerOf(device).information = 64;
            unsigned char output[4];
            KEVENT done;
            KeInitializeEvent(&done, NotificationEvent, FALSE);
            IO_STATUS_BLOCK iosb{};
            IoCallDriver(device, IoBuildDeviceIoControlRequest(kBufferedIoctl, device, nullptr, 0, output,
                                                               sizeof output, FALSE, &done, &iosb));
        },
        kVerifier, violation::InformationBeyondBuffer);
    EXPECT_EQ(result.bugCheck.value().parameters[2], 64u);
    EXPECT_EQ(result.bugCheck.value().parameters[3], 4u);
}

TEST(IoVerifierRules, IoTimerStoppedFromItsOwnRoutine) {
    RunExpectingBugCheck(
        [] {
            PDEVICE_OBJECT device = AddLayer(Load(u"\\Driver\\Layers"), Role::Complete);
            IoInitializeTimer(
                device, +[](PDEVICE_OBJECT device, PVOID) { IoStopTimer(device); }, nullptr);
            IoStartTimer(device);
            LARGE_INTEGER interval = Relative(2500);
            KeDelayExecutionThread(KernelMode, FALSE, &interval);
        },
        kVerifier, violation::StopTimerInTimerRoutine);
}

} // namespace
} // namespace qv::test
