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
        TraceDevice(DeviceObject, TRACE_ERROR, "start failed: the lower stack 0x%08lX\n", status);
        SetPnpReady(DeviceExtension, FALSE);
        return status;
    }
    status = ConfigureUsbDevice(DeviceObject);
    if (status != STATUS_SUCCESS) {
        TraceDevice(DeviceObject, TRACE_ERROR, "start failed: the USB configuration 0x%08lX\n", status);
        SetPnpReady(DeviceExtension, FALSE);
        return status;
    }
    status = StartReader(DeviceObject);
    if (!NT_SUCCESS(status)) {
        TraceDevice(DeviceObject, TRACE_ERROR, "start failed: the reader's start sequence 0x%08lX\n", status);
        SetPnpReady(DeviceExtension, FALSE);
    }
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

// Completes a Plug and Play request with Status and, when Hold is given,
// gives back the hold on its remove lock that DispatchPnp took, after the
// completion. The one place where DispatchPnp's requests are completed.
NTSTATUS CompletePnpRequest(PIRP Irp, NTSTATUS Status, PSMARTCARD_EXTENSION Hold) {
    Irp->IoStatus.Status = Status;
    IoCompleteRequest(Irp, IO_NO_INCREMENT);
    if (Hold != NULL) SmartcardReleaseRemoveLock(Hold);
    return Status;
}

// Sends a request down and waits for it, then completes it with the status
// the lower stack left in it, not overwritten; returns the status the lower
// driver answered with. For every request the driver has nothing to add to.
NTSTATUS PassDownAndComplete(PDEVICE_OBJECT LowerDevice, PIRP Irp, PSMARTCARD_EXTENSION Hold) {
    const NTSTATUS status = CallLowerDriverSync(LowerDevice, Irp);
    (void)CompletePnpRequest(Irp, Irp->IoStatus.Status, Hold);
    return status;
}

// Acts on one Plug and Play request, holding the remove lock. Each case
// ends in the request's completion: after the lower stack has seen it
// (synchronously, so it comes back here) or without passing it down.
NTSTATUS PnpRequest(PDEVICE_OBJECT DeviceObject, PIRP Irp, UCHAR MinorFunction) {
    PDEVICE_EXTENSION deviceExtension = static_cast<PDEVICE_EXTENSION>(DeviceObject->DeviceExtension);
    PSMARTCARD_EXTENSION smartcardExtension = &deviceExtension->SmartcardExtension;
    // Kept now: on remove the records are gone before the request goes down.
    PDEVICE_OBJECT lowerDevice = smartcardExtension->ReaderExtension->LowerDevice;
    NTSTATUS status;

    switch (MinorFunction) {
    case IRP_MN_START_DEVICE:
        // Down first: the reader is started once the stack below it is.
        status = StartDevice(DeviceObject, deviceExtension, lowerDevice, Irp);
        return CompletePnpRequest(Irp, status, smartcardExtension);

    case IRP_MN_QUERY_STOP_DEVICE:
        // Down only when no request is inside.
        return CompletePnpRequest(Irp, QueryStop(deviceExtension, lowerDevice, Irp), smartcardExtension);

    case IRP_MN_STOP_DEVICE:
        // Not passed down, deliberately: the stop is the reader's own
        // business. It ends the poller, waits for the link to go quiet and
        // puts the USB device back into the unconfigured state itself; the
        // hub's device below holds no resources a rebalance could move, and
        // nothing in this driver depends on its seeing the stop. The
        // restart's start request reaches it as usual.
        StopReader(DeviceObject);
        return CompletePnpRequest(Irp, UnconfigureUsbDevice(DeviceObject), smartcardExtension);

    case IRP_MN_CANCEL_STOP_DEVICE:
        // Down first, then the gate opens again. The count is left as it
        // is: after a refused query-stop requests are still inside, and each
        // lowers what it raised; forcing it to 0 would let it go negative
        // and a later query-stop pass with requests in flight.
        status = CallLowerDriverSync(lowerDevice, Irp);
        SetPnpReady(deviceExtension, TRUE);
        return CompletePnpRequest(Irp, status, smartcardExtension);

    case IRP_MN_QUERY_REMOVE_DEVICE:
        // Down only when no handle is open.
        return CompletePnpRequest(Irp, QueryRemove(deviceExtension, lowerDevice, Irp), smartcardExtension);

    case IRP_MN_CANCEL_REMOVE_DEVICE:
        // Down first, then the interface is switched on again.
        status = CallLowerDriverSync(lowerDevice, Irp);
        if (status == STATUS_SUCCESS) status = IoSetDeviceInterfaceState(&deviceExtension->PnPDeviceName, TRUE);
        return CompletePnpRequest(Irp, status, smartcardExtension);

    case IRP_MN_SURPRISE_REMOVAL:
        // The reader is gone: new requests fail at once instead of reaching
        // a link that can no longer answer, and applications no longer find
        // it. The tear-down waits for the remove request; this one goes down
        // and comes back with the lower stack's status.
        TraceReader(smartcardExtension, TRACE_STATE, "reader pulled out\n");
        KeSetEvent(&deviceExtension->ReaderRemoved, IO_NO_INCREMENT, FALSE);
        if (deviceExtension->PnPDeviceName.Buffer != NULL) {
            (void)IoSetDeviceInterfaceState(&deviceExtension->PnPDeviceName, FALSE);
        }
        return PassDownAndComplete(lowerDevice, Irp, smartcardExtension);

    case IRP_MN_REMOVE_DEVICE:
        // The hold taken on entry is the one the tear-down's release-and-wait
        // gives back, on legacy platforms too: releasing it here as well
        // would give back one hold more than was taken. Down last, once the
        // device object is gone, and completed without a hold to release.
        KeSetEvent(&deviceExtension->ReaderRemoved, IO_NO_INCREMENT, FALSE);
        StopReader(DeviceObject);
        if (!NT_SUCCESS(UnconfigureUsbDevice(DeviceObject))) {
            // The device is gone and cannot be put back into the unconfigured
            // state; its holder is freed all the same.
            FreeUsbConfiguration(smartcardExtension->ReaderExtension);
        }
        RemoveReaderDevice(DeviceObject);
        // The device object is gone: nothing of it is touched from here on.
        return CompletePnpRequest(Irp, CallLowerDriverSync(lowerDevice, Irp), NULL);

    default:
        // Every other request is the lower stack's to answer.
        return PassDownAndComplete(lowerDevice, Irp, smartcardExtension);
    }
}

} // namespace

// IRQL: PASSIVE_LEVEL. Every Plug and Play request is completed by this
// driver, in CompletePnpRequest: those that go down are sent synchronously
// and come back before they are completed; the remove request is completed
// after the device object is gone, and a request that finds removal under
// way at once, without going down.
NTSTATUS NTAPI DispatchPnp(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
    PSMARTCARD_EXTENSION smartcardExtension =
        &static_cast<PDEVICE_EXTENSION>(DeviceObject->DeviceExtension)->SmartcardExtension;
    // Kept for the line going out: on remove the device is gone by then.
    const ULONG unit = smartcardExtension->VendorAttr.UnitNo;
    const UCHAR minorFunction = IoGetCurrentIrpStackLocation(Irp)->MinorFunction;
    TraceRequest(unit, PnpMinorName(minorFunction), "IRP_MJ_PNP", minorFunction, NULL);

    NTSTATUS status = SmartcardAcquireRemoveLock(smartcardExtension);
    if (status != STATUS_SUCCESS) {
        Irp->IoStatus.Information = 0;
        status = CompletePnpRequest(Irp, status, NULL);
    } else {
        status = PnpRequest(DeviceObject, Irp, minorFunction);
    }
    TraceRequest(unit, PnpMinorName(minorFunction), "IRP_MJ_PNP", minorFunction, &status);
    return status;
}
