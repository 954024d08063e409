// Requests from applications: opening and closing the reader's handle (one
// at a time), the smart-card control requests, passed to the smart card
// library once admitted, and management-instrumentation requests, passed
// down. Every request arrives at PASSIVE_LEVEL in the caller's thread.
#include "device.h"

namespace {

// Completes the IRP with the status and no data. The one place where this
// file completes what it does not hand on.
NTSTATUS CompleteRequest(PIRP Irp, NTSTATUS Status, ULONG_PTR Information) {
    Irp->IoStatus.Information = Information;
    Irp->IoStatus.Status = Status;
    IoCompleteRequest(Irp, IO_NO_INCREMENT);
    return Status;
}

// The control codes the reader admits; everything else is refused here.
BOOLEAN IsAdmittedControlCode(ULONG Code) {
    switch (Code) {
    case IOCTL_SMARTCARD_POWER:
    case IOCTL_SMARTCARD_GET_ATTRIBUTE:
    case IOCTL_SMARTCARD_SET_ATTRIBUTE:
    case IOCTL_SMARTCARD_TRANSMIT:
    case IOCTL_SMARTCARD_EJECT:
    case IOCTL_SMARTCARD_SWALLOW:
    case IOCTL_SMARTCARD_IS_PRESENT:
    case IOCTL_SMARTCARD_IS_ABSENT:
    case IOCTL_SMARTCARD_SET_PROTOCOL:
    case IOCTL_SMARTCARD_GET_STATE:
        return TRUE;
    default:
        return FALSE;
    }
}

} // namespace

ULONG ReaderVersionWord(const UCHAR* ReaderInfo) {
    constexpr UCHAR lowNibble = 0x0F;
    return (static_cast<ULONG>(ReaderInfo[READER_INFO_VERSION_MAJOR] & lowNibble) << 24) |
           (static_cast<ULONG>(ReaderInfo[READER_INFO_VERSION_MINOR_TENS] & lowNibble) << 20) |
           (static_cast<ULONG>(ReaderInfo[READER_INFO_VERSION_MINOR_UNITS] & lowNibble) << 16) |
           static_cast<ULONG>(ReaderInfo[READER_INFO_VERSION_BUILD] & lowNibble);
}

// IRQL: PASSIVE_LEVEL. One handle at a time: an open holds the library's
// remove lock until its close, so removal waits for the handle to go. The
// IRP is completed here on every path.
QV_PAGED_CODE NTSTATUS NTAPI DispatchCreateClose(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
    PAGED_CODE();
    PDEVICE_EXTENSION deviceExtension = static_cast<PDEVICE_EXTENSION>(DeviceObject->DeviceExtension);
    PSMARTCARD_EXTENSION smartcardExtension = &deviceExtension->SmartcardExtension;
    NTSTATUS status = STATUS_SUCCESS;
    const BOOLEAN create = IoGetCurrentIrpStackLocation(Irp)->MajorFunction == IRP_MJ_CREATE;
    PCSTR request = create ? "IRP_MJ_CREATE" : "IRP_MJ_CLOSE";
    // Kept for the line going out: a close gives back the remove lock, after
    // which the removal may delete the device.
    const ULONG unit = smartcardExtension->VendorAttr.UnitNo;
    TraceRequest(unit, request, NULL, 0, NULL);

    if (create) {
        if (SmartcardAcquireRemoveLock(smartcardExtension) != STATUS_SUCCESS) {
            status = STATUS_DEVICE_REMOVED;
        } else if (InterlockedCompareExchange(&deviceExtension->HandleOpen, 1, 0) == 0) {
            // Of two opens arriving together only one turns HandleOpen from
            // 0 to 1, in one interlocked step; that one clears ReaderClosed.
            // No spin lock: holding one would run this pageable routine at
            // DISPATCH_LEVEL.
            KeClearEvent(&deviceExtension->ReaderClosed);
        } else {
            SmartcardReleaseRemoveLock(smartcardExtension);
            status = STATUS_UNSUCCESSFUL;
        }
    } else {
        SmartcardReleaseRemoveLock(smartcardExtension);
        // ReaderClosed before HandleOpen: an open that wins once HandleOpen is
        // 0 clears the event after this sets it, never before.
        KeSetEvent(&deviceExtension->ReaderClosed, IO_NO_INCREMENT, FALSE);
        InterlockedExchange(&deviceExtension->HandleOpen, 0);
    }
    status = CompleteRequest(Irp, status, 0);
    TraceRequest(unit, request, NULL, 0, &status);
    return status;
}

namespace {

// What DispatchDeviceControl does with the request of control code Code.
NTSTATUS ControlRequest(PDEVICE_OBJECT DeviceObject, PIRP Irp, ULONG Code) {
    PDEVICE_EXTENSION deviceExtension = static_cast<PDEVICE_EXTENSION>(DeviceObject->DeviceExtension);
    PSMARTCARD_EXTENSION smartcardExtension = &deviceExtension->SmartcardExtension;

    // The remove lock is taken before the wait for the start, so that the
    // tear-down cannot free the records under a request still waiting.
    if (SmartcardAcquireRemoveLock(smartcardExtension) != STATUS_SUCCESS) {
        return CompleteRequest(Irp, STATUS_DEVICE_REMOVED, 0);
    }

    // Counted in once the reader may take requests. A request that waits for
    // that and meets the removal instead is not counted at all.
    NTSTATUS status;
    if (!EnterRequest(deviceExtension)) {
        status = CompleteRequest(Irp, STATUS_DEVICE_REMOVED, 0);
        SmartcardReleaseRemoveLock(smartcardExtension);
        return status;
    }
    if (ReaderRemovalBegun(deviceExtension)) {
        status = CompleteRequest(Irp, STATUS_DEVICE_REMOVED, 0);
        SmartcardReleaseRemoveLock(smartcardExtension);
        LeaveRequest(deviceExtension);
        return status;
    }

    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
    if (!IsAdmittedControlCode(Code)) {
        status = CompleteRequest(Irp, STATUS_INVALID_PARAMETER, 0);
    } else if (Code == IOCTL_SMARTCARD_GET_ATTRIBUTE &&
               stack->Parameters.DeviceIoControl.InputBufferLength < sizeof(ULONG)) {
        // No attribute id to read: the buffer is not looked at.
        status = CompleteRequest(Irp, STATUS_INVALID_PARAMETER, 0);
    } else if (Code == IOCTL_SMARTCARD_GET_ATTRIBUTE &&
               *static_cast<const ULONG*>(Irp->AssociatedIrp.SystemBuffer) == ATTR_READER_VERSION) {
        if (stack->Parameters.DeviceIoControl.OutputBufferLength < sizeof(ULONG)) {
            status = CompleteRequest(Irp, STATUS_BUFFER_TOO_SMALL, 0);
        } else {
            const ULONG version = ReaderVersionWord(smartcardExtension->ReaderExtension->ReaderInfo);
            RtlCopyMemory(Irp->AssociatedIrp.SystemBuffer, &version, sizeof(version));
            status = CompleteRequest(Irp, STATUS_SUCCESS, sizeof(version));
        }
    } else {
        // The start sequence stored the device object before the poller
        // came to life; storing it again on every request would write what
        // the poller reads without its mutex.
        if (smartcardExtension->ReaderExtension->DeviceObject == NULL) {
            smartcardExtension->ReaderExtension->DeviceObject = DeviceObject;
        }
        status = SmartcardDeviceControl(smartcardExtension, Irp);
    }

    SmartcardReleaseRemoveLock(smartcardExtension);
    LeaveRequest(deviceExtension);
    return status;
}

} // namespace

// IRQL: PASSIVE_LEVEL. The IRP is completed here, or by the library, or left
// pending by the library (card tracking); its line going out says which.
NTSTATUS NTAPI DispatchDeviceControl(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
    // Both read while the request holds everything: once it has given back
    // the remove lock the removal may delete the device, and once completed
    // the IRP is gone.
    const ULONG unit =
        static_cast<PDEVICE_EXTENSION>(DeviceObject->DeviceExtension)->SmartcardExtension.VendorAttr.UnitNo;
    const ULONG code = IoGetCurrentIrpStackLocation(Irp)->Parameters.DeviceIoControl.IoControlCode;
    TraceRequest(unit, ControlCodeName(code), "IOCTL", code, NULL);
    const NTSTATUS status = ControlRequest(DeviceObject, Irp, code);
    TraceRequest(unit, ControlCodeName(code), "IOCTL", code, &status);
    return status;
}

// IRQL: PASSIVE_LEVEL. Passed down unchanged, whatever the reader's state.
NTSTATUS NTAPI DispatchSystemControl(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
    PDEVICE_EXTENSION deviceExtension = static_cast<PDEVICE_EXTENSION>(DeviceObject->DeviceExtension);
    TraceReader(&deviceExtension->SmartcardExtension, TRACE_REQUEST, "IRP_MJ_SYSTEM_CONTROL passed down\n");
    IoSkipCurrentIrpStackLocation(Irp);
    return IoCallDriver(deviceExtension->SmartcardExtension.ReaderExtension->LowerDevice, Irp);
}

// The library's vendor callback. Only vendor-class attributes reach it:
// every vendor control code is refused before the library sees it, and the
// reader's one vendor attribute, its version, is read in
// DispatchDeviceControl and cannot be set. Whatever arrives here is thus an
// attribute the reader does not have, and the caller is told so rather than
// handed a success for a request nobody served.
NTSTATUS NTAPI VendorIoctl(PSMARTCARD_EXTENSION SmartcardExtension) {
    UNREFERENCED_PARAMETER(SmartcardExtension);
    return STATUS_NOT_SUPPORTED;
}
