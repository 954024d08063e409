// PLACEHOLDERS, to be deleted when the card presence work (PollTimer,
// StartPollThread, DispatchCleanup in card/) and the power work
// (DispatchPower) are merged. They keep the lifecycle runnable meanwhile:
// the timer only wakes PollEvent, no polling thread is started, cleanup
// completes at once and power requests go down unchanged.
#include "device.h"

// IRQL: DISPATCH_LEVEL (the I/O timer).
VOID NTAPI PollTimer(PDEVICE_OBJECT DeviceObject, PVOID Context) {
    UNREFERENCED_PARAMETER(DeviceObject);
    PDEVICE_EXTENSION deviceExtension = static_cast<PDEVICE_EXTENSION>(Context);
    KeSetEvent(&deviceExtension->PollEvent, IO_NO_INCREMENT, FALSE);
}

// CALL POINT of the polling thread: no thread yet, PollThread stays null.
NTSTATUS StartPollThread(PDEVICE_EXTENSION DeviceExtension) {
    UNREFERENCED_PARAMETER(DeviceExtension);
    return STATUS_SUCCESS;
}

NTSTATUS NTAPI DispatchCleanup(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
    UNREFERENCED_PARAMETER(DeviceObject);
    Irp->IoStatus.Information = 0;
    Irp->IoStatus.Status = STATUS_SUCCESS;
    IoCompleteRequest(Irp, IO_NO_INCREMENT);
    return STATUS_SUCCESS;
}

NTSTATUS NTAPI DispatchPower(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
    PDEVICE_EXTENSION deviceExtension = static_cast<PDEVICE_EXTENSION>(DeviceObject->DeviceExtension);
    IoSkipCurrentIrpStackLocation(Irp);
    return PoCallDriver(deviceExtension->SmartcardExtension.ReaderExtension->LowerDevice, Irp);
}
