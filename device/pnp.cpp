// Plug and Play requests: start (lower driver first, then the USB
// configuration, then the reader's own start sequence), the stop and remove
// queries answered from the count of requests inside the driver and from
// whether a handle is open, stop, remove and surprise removal. Every request
// arrives at PASSIVE_LEVEL and may block.
#include "device.h"
#include "usb_config.h"

// IRQL: <= DISPATCH_LEVEL (a completion routine). Hands the IRP back to the
// thread waiting in CallLowerDriverSync.
NTSTATUS NTAPI SyncCompletion(PDEVICE_OBJECT DeviceObject, PIRP Irp, PVOID Context) {
    UNREFERENCED_PARAMETER(DeviceObject);
    if (Irp->Cancel) Irp->IoStatus.Status = STATUS_CANCELLED;
    KeSetEvent(static_cast<PKEVENT>(Context), IO_NO_INCREMENT, FALSE);
    return STATUS_MORE_PROCESSING_REQUIRED;
}

// IRQL: PASSIVE_LEVEL. The IRP comes back to the caller uncompleted.
NTSTATUS CallLowerDriverSync(PDEVICE_OBJECT LowerDevice, PIRP Irp) {
    KEVENT done;
    IoCopyCurrentIrpStackLocationToNext(Irp);
    KeInitializeEvent(&done, NotificationEvent, FALSE);
    IoSetCompletionRoutine(Irp, SyncCompletion, &done, TRUE, TRUE, TRUE);

    NTSTATUS status;
    if (IoGetCurrentIrpStackLocation(Irp)->MajorFunction == IRP_MJ_POWER) {
        status = PoCallDriver(LowerDevice, Irp);
    } else {
        status = IoCallDriver(LowerDevice, Irp);
    }
    if (status == STATUS_PENDING) {
        status = KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, NULL);
        if (status == STATUS_SUCCESS) status = Irp->IoStatus.Status;
    }
    return status;
}

namespace {

// Starts the device: the lower stack, the USB configuration, the reader.
// The request gate opens at the end of the reader's start, once it has
// succeeded, so that no request shares the link with the start sequence; a
// start that fails leaves it closed (and closes it, for a restart after a
// stop), so requests wait for the next start or for removal.
NTSTATUS StartDevice(PDEVICE_OBJECT DeviceObject, PDEVICE_EXTENSION DeviceExtension, PDEVICE_OBJECT LowerDevice,
                     PIRP Irp) {
    NTSTATUS status = CallLowerDriverSync(LowerDevice, Irp);
    if (!NT_SUCCESS(status)) {
        // A start that fails after a stop has no USB configuration; requests
        // on handles still open must not reach the transport, so they wait
        // again (for the next start, or for removal, which ends the wait).
        SetPnpReady(DeviceExtension, FALSE);
        return status;
    }
    status = ConfigureUsbDevice(DeviceObject);
    if (status != STATUS_SUCCESS) {
        SetPnpReady(DeviceExtension, FALSE);
        return status;
    }
    status = StartReader(DeviceObject);
    if (!NT_SUCCESS(status)) SetPnpReady(DeviceExtension, FALSE);
    return status;
}

NTSTATUS QueryRemove(PDEVICE_EXTENSION DeviceExtension, PDEVICE_OBJECT LowerDevice, PIRP Irp) {
    NTSTATUS status = IoSetDeviceInterfaceState(&DeviceExtension->PnPDeviceName, FALSE);
    if (status != STATUS_SUCCESS) return status;
    if (!DeviceExtension->LegacyOs) {
        LARGE_INTEGER noWait;
        noWait.QuadPart = 0;
        if (KeWaitForSingleObject(&DeviceExtension->ReaderClosed, Executive, KernelMode, FALSE, &noWait) ==
            STATUS_TIMEOUT) {
            // A handle is open: the reader stays, and stays visible.
            (void)IoSetDeviceInterfaceState(&DeviceExtension->PnPDeviceName, TRUE);
            return STATUS_UNSUCCESSFUL;
        }
    }
    return CallLowerDriverSync(LowerDevice, Irp);
}

NTSTATUS QueryStop(PDEVICE_EXTENSION DeviceExtension, PDEVICE_OBJECT LowerDevice, PIRP Irp) {
    // The gate closes under the lock that requests count themselves under,
    // and only with none inside: a request that comes after this waits for
    // the reader to start again.
    const NTSTATUS status =
        CloseGateWhenIdle(DeviceExtension, GatePnp) ? CallLowerDriverSync(LowerDevice, Irp) : STATUS_DEVICE_BUSY;
    WritePollFlag(&DeviceExtension->SmartcardExtension.ReaderExtension->PollEnabled, 0);
    return status;
}

} // namespace

// IRQL: PASSIVE_LEVEL. Completes every Plug and Play request here, in one
// place, except the remove request, which is completed after the device
// object is gone.
NTSTATUS NTAPI DispatchPnp(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
    PDEVICE_EXTENSION deviceExtension = static_cast<PDEVICE_EXTENSION>(DeviceObject->DeviceExtension);
    PSMARTCARD_EXTENSION smartcardExtension = &deviceExtension->SmartcardExtension;

    NTSTATUS status = SmartcardAcquireRemoveLock(smartcardExtension);
    if (status != STATUS_SUCCESS) {
        Irp->IoStatus.Information = 0;
        Irp->IoStatus.Status = status;
        IoCompleteRequest(Irp, IO_NO_INCREMENT);
        return status;
    }

    // Kept now: on remove the records are gone before the request goes down.
    PDEVICE_OBJECT lowerDevice = smartcardExtension->ReaderExtension->LowerDevice;
    const UCHAR minorFunction = IoGetCurrentIrpStackLocation(Irp)->MinorFunction;

    switch (minorFunction) {
    case IRP_MN_START_DEVICE:
        status = StartDevice(DeviceObject, deviceExtension, lowerDevice, Irp);
        break;

    case IRP_MN_QUERY_REMOVE_DEVICE:
        status = QueryRemove(deviceExtension, lowerDevice, Irp);
        break;

    case IRP_MN_REMOVE_DEVICE:
        // The hold taken above is the one the tear-down's release-and-wait
        // gives back, on legacy platforms too: releasing it here as well
        // would give back one hold more than was taken.
        KeSetEvent(&deviceExtension->ReaderRemoved, IO_NO_INCREMENT, FALSE);
        StopReader(DeviceObject);
        if (!NT_SUCCESS(UnconfigureUsbDevice(DeviceObject))) {
            // The device is gone and cannot be put back into the unconfigured
            // state; its holder is freed all the same.
            FreeUsbConfiguration(smartcardExtension->ReaderExtension);
        }
        RemoveReaderDevice(DeviceObject);
        // The device object is gone: nothing of it is touched from here on.
        status = CallLowerDriverSync(lowerDevice, Irp);
        Irp->IoStatus.Status = status;
        IoCompleteRequest(Irp, IO_NO_INCREMENT);
        return status;

    case IRP_MN_CANCEL_REMOVE_DEVICE:
        status = CallLowerDriverSync(lowerDevice, Irp);
        if (status == STATUS_SUCCESS) status = IoSetDeviceInterfaceState(&deviceExtension->PnPDeviceName, TRUE);
        break;

    case IRP_MN_STOP_DEVICE:
        StopReader(DeviceObject);
        status = UnconfigureUsbDevice(DeviceObject);
        break;

    case IRP_MN_QUERY_STOP_DEVICE:
        status = QueryStop(deviceExtension, lowerDevice, Irp);
        break;

    case IRP_MN_CANCEL_STOP_DEVICE:
        // The count is left as it is: after a refused query-stop requests
        // are still inside, and each lowers what it raised; forcing it to 0
        // would let it go negative and a later query-stop pass with requests
        // in flight.
        status = CallLowerDriverSync(lowerDevice, Irp);
        SetPnpReady(deviceExtension, TRUE);
        break;

    default:
        if (minorFunction == IRP_MN_SURPRISE_REMOVAL) {
            // The reader is gone: new requests fail at once instead of
            // reaching a link that can no longer answer, and applications
            // no longer find it. The tear-down waits for the remove request.
            KeSetEvent(&deviceExtension->ReaderRemoved, IO_NO_INCREMENT, FALSE);
            if (deviceExtension->PnPDeviceName.Buffer != NULL) {
                (void)IoSetDeviceInterfaceState(&deviceExtension->PnPDeviceName, FALSE);
            }
        }
        // The status the lower stack left in the IRP stands.
        status = CallLowerDriverSync(lowerDevice, Irp);
        IoCompleteRequest(Irp, IO_NO_INCREMENT);
        SmartcardReleaseRemoveLock(smartcardExtension);
        return status;
    }

    Irp->IoStatus.Status = status;
    IoCompleteRequest(Irp, IO_NO_INCREMENT);
    SmartcardReleaseRemoveLock(smartcardExtension);
    return status;
}
