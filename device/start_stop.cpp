// The reader side of start and stop. Start runs its reader commands before
// the polling thread and the timer exist, so it takes no ReaderMutex; stop
// closes the request gate, ends the poller, waits for the link to go quiet
// and stops the timer.
#include "card.h"
#include "device.h"
#include "link.h"

// IRQL: PASSIVE_LEVEL, in the Plug and Play manager's context.
NTSTATUS StartReader(PDEVICE_OBJECT DeviceObject) {
    PDEVICE_EXTENSION deviceExtension = static_cast<PDEVICE_EXTENSION>(DeviceObject->DeviceExtension);
    PSMARTCARD_EXTENSION smartcardExtension = &deviceExtension->SmartcardExtension;
    PREADER_EXTENSION readerExtension = smartcardExtension->ReaderExtension;

    NTSTATUS status = IoSetDeviceInterfaceState(&deviceExtension->PnPDeviceName, TRUE);
    // Already on (a start after a stop): as good as switched on now.
    if (status == STATUS_OBJECT_NAME_EXISTS) status = STATUS_SUCCESS;

    deviceExtension->PollThread = NULL;
    WritePollFlag(&deviceExtension->PollThreadRun, 1);
    WritePollFlag(&readerExtension->PollEnabled, 1);
    readerExtension->DeviceObject = DeviceObject;
    readerExtension->LinkSynchronized = 1;
    if (!NT_SUCCESS(status)) return status;

    status = SendReaderCommand(READER_COMMAND_LINK_RESET, smartcardExtension);
    if (!NT_SUCCESS(status)) return status;

    status = SendReaderCommand(READER_COMMAND_READER_INFO, smartcardExtension);
    if (!NT_SUCCESS(status)) return status;
    // Only data the reader actually sent is kept; the rest stays zero.
    RtlZeroMemory(readerExtension->ReaderInfo, sizeof(readerExtension->ReaderInfo));
    ULONG replyLength = readerExtension->ReplyLength;
    if (replyLength > sizeof(readerExtension->ReplyData)) replyLength = sizeof(readerExtension->ReplyData);
    ULONG dataLength = replyLength > READER_REPLY_DATA_OFFSET ? replyLength - READER_REPLY_DATA_OFFSET : 0;
    if (dataLength > READER_INFO_KEPT) dataLength = READER_INFO_KEPT;
    RtlCopyMemory(readerExtension->ReaderInfo, readerExtension->ReplyData + READER_REPLY_DATA_OFFSET, dataLength);

    status = SendReaderCommand(READER_COMMAND_SETUP, smartcardExtension);
    if (!NT_SUCCESS(status)) return status;

    smartcardExtension->ReaderCapabilities.CurrentState = SCARD_ABSENT;

    // The I/O manager gives a device object one timer for its whole life:
    // a start after a stop finds it there and only starts it again.
    if (DeviceObject->Timer == NULL) (void)IoInitializeTimer(DeviceObject, PollTimer, deviceExtension);
    status = StartPollThread(deviceExtension);
    if (!NT_SUCCESS(status)) return status;
    readerExtension->LastPollMs = InterruptTimeMs();
    readerExtension->ReaderRunning = 1;
    IoStartTimer(DeviceObject);
    // Only now may requests pass: before this the start sequence's own
    // reader commands, which take no ReaderMutex, would share the link with
    // theirs.
    SetPnpReady(deviceExtension, TRUE);
    TraceReader(smartcardExtension, TRACE_STATE, "reader started: %.6s, version 0x%08lX\n",
                reinterpret_cast<const CHAR*>(readerExtension->ReaderInfo),
                ReaderVersionWord(readerExtension->ReaderInfo));
    return STATUS_SUCCESS;
}

// IRQL: PASSIVE_LEVEL.
VOID StopReader(PDEVICE_OBJECT DeviceObject) {
    NT_ASSERT(DeviceObject != NULL);
    PDEVICE_EXTENSION deviceExtension = static_cast<PDEVICE_EXTENSION>(DeviceObject->DeviceExtension);
    PREADER_EXTENSION readerExtension = deviceExtension->SmartcardExtension.ReaderExtension;

    SetPnpReady(deviceExtension, FALSE);
    StopPollThread(deviceExtension);

    // A reader command still running (the poller's last, or a card
    // operation's) finishes before the timer stops and the configuration goes.
    (void)KeWaitForSingleObject(&readerExtension->LinkIdle, Executive, KernelMode, FALSE, NULL);
    // Under ReaderMutex, so that a card service still under way (a T=1
    // exchange leaves LinkIdle alone between its blocks) ends first, and
    // finds the reader stopped: it does not start the timer again, which
    // would then run on the device after its removal.
    KeWaitForSingleObject(readerExtension->ReaderMutex, Executive, KernelMode, FALSE, NULL);
    readerExtension->ReaderRunning = 0;
    // A reader that never got as far as its timer has none to stop.
    if (DeviceObject->Timer != NULL) IoStopTimer(DeviceObject);
    KeReleaseMutex(readerExtension->ReaderMutex, FALSE);
    (void)SleepMs(STOP_READER_PAUSE_MS);
    TraceReader(&deviceExtension->SmartcardExtension, TRACE_STATE, "reader stopped\n");
}
