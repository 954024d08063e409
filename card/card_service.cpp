// The bracket every card service runs in: the reader's I/O timer stopped
// and ReaderMutex held for the whole operation, so that no card poll falls
// between its reader commands; afterwards the timer again, unless the reader
// has been stopped or powered down meanwhile, and a poll of its own when the
// operation has kept the poller away for too long.
#include "card.h"

namespace {

// A tick of the I/O timer that falls inside an operation is lost, because
// the operation stopped the timer. A reader kept busy by one operation after
// another would then never be polled, and its application never learn that
// the card left: an operation that ends with the last poll this long behind
// hands the poller a tick of its own.
constexpr ULONG POLL_OVERDUE_MS = 1000;
constexpr ULONGLONG INTERRUPT_TIME_PER_MS = 10000;

} // namespace

ULONG InterruptTimeMs() { return static_cast<ULONG>(KeQueryInterruptTime() / INTERRUPT_TIME_PER_MS); }

VOID TraceCardState(const SMARTCARD_EXTENSION* SmartcardExtension, ULONG Previous) {
    const ULONG current = SmartcardExtension->ReaderCapabilities.CurrentState;
    if (current == Previous) return;
    TraceReader(SmartcardExtension, TRACE_STATE, "card %s -> %s\n", CardStateName(Previous), CardStateName(current));
}

VOID BeginCardService(PSMARTCARD_EXTENSION SmartcardExtension) {
    PREADER_EXTENSION reader = SmartcardExtension->ReaderExtension;
    IoStopTimer(reader->DeviceObject);
    KeWaitForSingleObject(reader->ReaderMutex, Executive, KernelMode, FALSE, NULL);
}

VOID EndCardService(PSMARTCARD_EXTENSION SmartcardExtension) {
    PREADER_EXTENSION reader = SmartcardExtension->ReaderExtension;
    // Read under ReaderMutex, under which the stop and the power-down clear
    // them before they stop the timer: a service that ends after them does
    // not start it again.
    if (reader->ReaderRunning != 0 && reader->PowerState == READER_POWERED) {
        IoStartTimer(reader->DeviceObject);
        if (InterruptTimeMs() - reader->LastPollMs >= POLL_OVERDUE_MS) {
            PDEVICE_EXTENSION deviceExtension = CONTAINING_RECORD(SmartcardExtension, DEVICE_EXTENSION, SmartcardExtension);
            WritePollFlag(&reader->PollEnabled, 1);
            KeSetEvent(&deviceExtension->PollEvent, IO_NO_INCREMENT, FALSE);
        }
    }
    KeReleaseMutex(reader->ReaderMutex, FALSE);
}
