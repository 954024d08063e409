// The reader's tear-down: the last step of the remove handling and the
// clean-up of a failed add-device. Stays resident: it takes the cancel spin
// lock.
#include "device.h"

namespace {

// Completes a card-tracking request still pending with STATUS_SUCCESS: the
// reader is going, and with it the card. It is taken out, and its cancel
// routine cleared, under the cancel spin lock, so that the cancel routine
// cannot complete it too; it is completed after the lock is released.
VOID CompletePendingTracking(PSMARTCARD_EXTENSION SmartcardExtension) {
    POS_DEP_DATA osData = SmartcardExtension->OsData;
    KIRQL cancelIrql;
    IoAcquireCancelSpinLock(&cancelIrql);
    PIRP notificationIrp = static_cast<PIRP>(
        InterlockedExchangePointer(reinterpret_cast<PVOID volatile*>(&osData->NotificationIrp), NULL));
    if (notificationIrp != NULL) (void)IoSetCancelRoutine(notificationIrp, NULL);
    IoReleaseCancelSpinLock(cancelIrql);
    if (notificationIrp != NULL) {
        TraceReader(SmartcardExtension, TRACE_REQUEST, "card wait ended by the removal\n");
        notificationIrp->IoStatus.Information = 0;
        notificationIrp->IoStatus.Status = STATUS_SUCCESS;
        IoCompleteRequest(notificationIrp, IO_NO_INCREMENT);
    }
}

} // namespace

// IRQL: PASSIVE_LEVEL. Undoes what add-device did, in reverse: the
// interface off, the unit number free, a pending card-tracking request
// completed, every hold on the library's remove lock waited for, the
// library's state, the interface name, the attachment, the reader's blocks
// and the device object. A null device object is ignored.
VOID RemoveReaderDevice(PDEVICE_OBJECT DeviceObject) {
    if (DeviceObject == NULL) return;

    PDEVICE_EXTENSION deviceExtension = static_cast<PDEVICE_EXTENSION>(DeviceObject->DeviceExtension);
    PSMARTCARD_EXTENSION smartcardExtension = &deviceExtension->SmartcardExtension;
    TraceReader(smartcardExtension, TRACE_STATE, "reader torn down\n");

    if (deviceExtension->PnPDeviceName.Buffer != NULL) {
        (void)IoSetDeviceInterfaceState(&deviceExtension->PnPDeviceName, FALSE);
    }

    if (smartcardExtension->VendorAttr.UnitNo < MAXIMUM_READER_UNITS) {
        UnitInUse[smartcardExtension->VendorAttr.UnitNo] = 0;
    }

    if (smartcardExtension->OsData != NULL) {
        CompletePendingTracking(smartcardExtension);
        SmartcardReleaseRemoveLockAndWait(smartcardExtension);
        // A card wait that was still on its way in while the request before
        // it held the library stored itself during the wait above, after the
        // first look; no request is inside any more, so this look is the last.
        CompletePendingTracking(smartcardExtension);
        SmartcardExit(smartcardExtension);
    }

    if (deviceExtension->PnPDeviceName.Buffer != NULL) {
        RtlFreeUnicodeString(&deviceExtension->PnPDeviceName);
        deviceExtension->PnPDeviceName.Buffer = NULL;
        deviceExtension->PnPDeviceName.Length = 0;
        deviceExtension->PnPDeviceName.MaximumLength = 0;
    }

    // The library's link (legacy platforms) is deleted with the reader, so
    // that no application opens a name for a device that is gone and the
    // name is free for the next reader; its name is pool the driver was
    // handed and goes like the interface name.
    if (deviceExtension->DosLinkName.Buffer != NULL) {
        (void)IoDeleteSymbolicLink(&deviceExtension->DosLinkName);
        RtlFreeUnicodeString(&deviceExtension->DosLinkName);
        deviceExtension->DosLinkName.Buffer = NULL;
        deviceExtension->DosLinkName.Length = 0;
        deviceExtension->DosLinkName.MaximumLength = 0;
    }

    PREADER_EXTENSION readerExtension = smartcardExtension->ReaderExtension;
    if (readerExtension != NULL) {
        if (readerExtension->LowerDevice != NULL) {
            IoDetachDevice(readerExtension->LowerDevice);
            readerExtension->LowerDevice = NULL;
        }
        if (readerExtension->ReaderMutex != NULL) {
            ExFreePoolWithTag(readerExtension->ReaderMutex, READER_POOL_TAG);
            readerExtension->ReaderMutex = NULL;
        }
        ExFreePoolWithTag(readerExtension, READER_POOL_TAG);
        smartcardExtension->ReaderExtension = NULL;
    }

    IoDeleteDevice(DeviceObject);
}
