// Card presence: the card-status poll and the card-tracking request it
// reports to, with the request's cancel routine and the cleanup dispatch.
//
// Who completes the tracking IRP. Four parties meet at
// OsData->NotificationIrp: the library stores the IRP and then calls
// CardTracking; the I/O manager may cancel it at any time; a cleanup ends it;
// the poll reports to it. Each of them looks at NotificationIrp and at the
// IRP's cancel routine only while it holds OsData->SpinLock (the cancel path
// and CardTracking take the cancel spin lock first, always in that order),
// and whoever takes the IRP out of NotificationIrp completes it, after every
// spin lock is released:
// - the poll takes it when it removed the cancel routine itself, or when no
//   cancel routine had been installed yet and no cancellation is under way;
// - CancelTracking owns it because IoCancelIrp handed it the cancel routine;
// - CardTracking takes it when it finds it cancelled before it could install
//   the cancel routine (IoCancelIrp then found none and did nothing);
// - DispatchCleanup takes whatever is pending: under both locks no other
//   party can be half-way through.
#include "card.h"
#include "link.h"

const UCHAR ReaderModelQv38n[READER_MODEL_ID_LENGTH] = {'Q', 'V', '-', '3', '8', 'N'};

namespace {

// Completes a tracking IRP that its caller has taken out of NotificationIrp.
// No spin lock may be held: the completion runs other drivers' code.
VOID CompleteTracking(PIRP Irp, NTSTATUS Status) {
    Irp->IoStatus.Information = 0;
    Irp->IoStatus.Status = Status;
    IoCompleteRequest(Irp, IO_NO_INCREMENT);
}

BOOLEAN CardIn(ULONG State) { return State >= SCARD_PRESENT; }

// The card is known not to be active: neither its ATR nor a protocol holds.
VOID ForgetActiveCard(PSMARTCARD_EXTENSION SmartcardExtension, ULONG State) {
    SmartcardExtension->ReaderCapabilities.CurrentState = State;
    SmartcardExtension->CardCapabilities.ATR.Length = 0;
    SmartcardExtension->CardCapabilities.Protocol.Selected = 0;
}

// A card has left (or may have been swapped): the ATR kept for resets that
// answer without one belonged to it and must not be handed to the next card.
VOID ForgetCachedAtr(PREADER_EXTENSION Reader) { Reader->AtrCacheLength = 0; }

// The QV-38N's card-present bit alone does not prove a card: a warm reset
// answered "no card" (0xAD) makes it absent. Returns the reset's status.
NTSTATUS ConfirmCard(PSMARTCARD_EXTENSION SmartcardExtension) {
    PREADER_EXTENSION reader = SmartcardExtension->ReaderExtension;
    if (RtlCompareMemory(reader->ReaderInfo, ReaderModelQv38n, READER_MODEL_ID_LENGTH) != READER_MODEL_ID_LENGTH) {
        return STATUS_SUCCESS;
    }
    const NTSTATUS status = SendReaderCommand(READER_COMMAND_WARM_RESET, SmartcardExtension);
    UCHAR readerStatus = 0;
    if (NT_SUCCESS(status) && ReaderReplyStatus(reader, &readerStatus) && readerStatus == READER_STATUS_CARD_UNPOWERED) {
        ForgetActiveCard(SmartcardExtension, SCARD_ABSENT);
        ForgetCachedAtr(reader);
    }
    return status;
}

// Applies the first data byte of a card-status answer to the card state.
// *Swapped tells a card that was taken out and put back (or replaced)
// between two polls. Returns the status of the model check's reset when
// one was sent, else STATUS_SUCCESS.
NTSTATUS ApplyCardStatus(PSMARTCARD_EXTENSION SmartcardExtension, UCHAR Bits, BOOLEAN* Swapped) {
    PREADER_EXTENSION reader = SmartcardExtension->ReaderExtension;
    auto& state = SmartcardExtension->ReaderCapabilities.CurrentState;
    *Swapped = FALSE;

    if ((Bits & CARD_STATUS_PRESENT) == 0) {
        ForgetActiveCard(SmartcardExtension, SCARD_ABSENT);
        ForgetCachedAtr(reader);
        return STATUS_SUCCESS;
    }
    if ((Bits & CARD_STATUS_ACTIVE) == 0) {
        // A card the driver had powered that is now without power was pulled
        // and put back (or replaced) between two polls: the card the
        // application knew is gone, and its cached ATR may be another card's.
        if (reader->PreviousCardState >= SCARD_POWERED) {
            ForgetCachedAtr(reader);
            *Swapped = TRUE;
        }
        ForgetActiveCard(SmartcardExtension, SCARD_PRESENT);
        return ConfirmCard(SmartcardExtension);
    }
    // An active card keeps its state, unless the driver does not know of it:
    // a card still powered from before the reader was started (stop and
    // start, a driver reload) would otherwise count as absent for as long as
    // it stays in. Its ATR is unknown here, so it counts as present and not
    // powered; the next reset makes it known.
    if (!CardIn(state)) {
        ForgetActiveCard(SmartcardExtension, SCARD_PRESENT);
        ForgetCachedAtr(reader);
    }
    return STATUS_SUCCESS;
}

// Takes the tracking IRP out for the poll's report, under OsData->SpinLock.
// Returns the IRP the poll now owns and the status to complete it with, or
// null when there is none or it is left to its cancel routine or to
// CardTracking.
PIRP TakeTrackingForReport(POS_DEP_DATA OsData, NTSTATUS* Status) {
    PIRP irp = OsData->NotificationIrp;
    if (irp == NULL) return NULL;
    const PDRIVER_CANCEL previous = IoSetCancelRoutine(irp, NULL);
    if (previous == NULL && irp->Cancel) {
        // IoCancelIrp took the cancel routine, which completes the IRP once
        // this lock is free; or the IRP was cancelled before CardTracking
        // could install it, and CardTracking completes it.
        return NULL;
    }
    // Either this exchange removed the cancel routine, so that it will not
    // run, or none was installed yet and nobody has cancelled: the poll owns
    // the IRP. A cancellation that set Cancel meanwhile still ends it, with
    // the status its canceller expects.
    OsData->NotificationIrp = NULL;
    *Status = irp->Cancel ? STATUS_CANCELLED : STATUS_SUCCESS;
    return irp;
}

} // namespace

NTSTATUS NTAPI CardTracking(PSMARTCARD_EXTENSION SmartcardExtension) {
    PAGED_CODE();

    POS_DEP_DATA os = SmartcardExtension->OsData;
    PIRP cancelled = NULL;
    KIRQL cancelIrql;

    IoAcquireCancelSpinLock(&cancelIrql);
    KeAcquireSpinLockAtDpcLevel(&os->SpinLock);
    // A poll may have reported to the IRP between the library storing it and
    // this call: then there is nothing left to arm.
    PIRP irp = os->NotificationIrp;
    if (irp != NULL) {
        if (irp->Cancel) {
            // Cancelled before it had a cancel routine: IoCancelIrp found none
            // and left it; it is completed here.
            os->NotificationIrp = NULL;
            IoSetCancelRoutine(irp, NULL);
            cancelled = irp;
        } else {
            IoSetCancelRoutine(irp, CancelTracking);
        }
    }
    KeReleaseSpinLockFromDpcLevel(&os->SpinLock);
    IoReleaseCancelSpinLock(cancelIrql);

    if (cancelled != NULL) {
        TraceReader(SmartcardExtension, TRACE_REQUEST, "card wait cancelled before it was armed\n");
        CompleteTracking(cancelled, STATUS_CANCELLED);
    } else if (irp != NULL) {
        TraceReader(SmartcardExtension, TRACE_REQUEST, "card wait armed\n");
    }
    return STATUS_PENDING;
}

// Runs at DISPATCH_LEVEL in the canceller's context; completes the IRP after
// releasing the cancel spin lock.
VOID NTAPI CancelTracking(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
    auto* extension = static_cast<PDEVICE_EXTENSION>(DeviceObject->DeviceExtension);
    POS_DEP_DATA os = extension->SmartcardExtension.OsData;

    // Only this IRP is taken out: a poll that found the cancellation under
    // way left it there, but if it is gone a new wait may stand in its place.
    KeAcquireSpinLockAtDpcLevel(&os->SpinLock);
    if (os->NotificationIrp == Irp) os->NotificationIrp = NULL;
    KeReleaseSpinLockFromDpcLevel(&os->SpinLock);

    Irp->IoStatus.Information = 0;
    Irp->IoStatus.Status = STATUS_CANCELLED;
    IoReleaseCancelSpinLock(Irp->CancelIrql);
    TraceReader(&extension->SmartcardExtension, TRACE_REQUEST, "card wait cancelled\n");
    IoCompleteRequest(Irp, IO_NO_INCREMENT);
}

NTSTATUS NTAPI DispatchCleanup(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
    PAGED_CODE();

    auto* extension = static_cast<PDEVICE_EXTENSION>(DeviceObject->DeviceExtension);
    POS_DEP_DATA os = extension->SmartcardExtension.OsData;
    PIRP tracking = NULL;
    KIRQL cancelIrql;
    // The library's state exists from add-device on, as long as the device.
    NT_ASSERT(os != NULL);
    const ULONG unit = extension->SmartcardExtension.VendorAttr.UnitNo;
    const NTSTATUS status = STATUS_SUCCESS;
    TraceRequest(unit, "IRP_MJ_CLEANUP", NULL, 0, NULL);

    // Any handle's cleanup ends the pending wait, whichever handle it came
    // through. Under both locks no cancel routine, poll or CardTracking is
    // half-way through it, so it is this routine's to complete.
    IoAcquireCancelSpinLock(&cancelIrql);
    KeAcquireSpinLockAtDpcLevel(&os->SpinLock);
    tracking = os->NotificationIrp;
    os->NotificationIrp = NULL;
    if (tracking != NULL) IoSetCancelRoutine(tracking, NULL);
    KeReleaseSpinLockFromDpcLevel(&os->SpinLock);
    IoReleaseCancelSpinLock(cancelIrql);

    if (tracking != NULL) {
        TraceReader(&extension->SmartcardExtension, TRACE_REQUEST, "card wait ended by the cleanup\n");
        CompleteTracking(tracking, STATUS_CANCELLED);
    }

    Irp->IoStatus.Information = 0;
    Irp->IoStatus.Status = status;
    IoCompleteRequest(Irp, IO_NO_INCREMENT);
    TraceRequest(unit, "IRP_MJ_CLEANUP", NULL, 0, &status);
    return status;
}

NTSTATUS PollCardStatus(PSMARTCARD_EXTENSION SmartcardExtension) {
    PAGED_CODE();

    PREADER_EXTENSION reader = SmartcardExtension->ReaderExtension;
    POS_DEP_DATA os = SmartcardExtension->OsData;
    auto& state = SmartcardExtension->ReaderCapabilities.CurrentState;
    PIRP report = NULL;
    NTSTATUS reportStatus = STATUS_SUCCESS;
    NTSTATUS status = STATUS_SUCCESS;
    UCHAR readerStatus = 0;
    BOOLEAN swapped = FALSE;
    BOOLEAN resume = FALSE;
    KIRQL irql;

    KeWaitForSingleObject(reader->ReaderMutex, Executive, KernelMode, FALSE, NULL);
    const ULONG stateBefore = state;

    // A tick that woke the poller before the power went finds the reader
    // asleep: there is nothing to ask it until the power-up polls.
    if (reader->PowerState == READER_POWERED_DOWN) goto Done;

    // The first poll after power-up with a card known before: the card may
    // have been swapped while the reader slept, so it counts as present but
    // not powered, is reported, and its cached ATR is dropped.
    if (CardIn(state) && reader->LinkSynchronized == 0) {
        state = SCARD_PRESENT;
        ForgetCachedAtr(reader);
        resume = TRUE;
    }

    status = SendReaderCommand(READER_COMMAND_CARD_STATUS, SmartcardExtension);
    // A poll that got no answer leaves the link as it was: still to be
    // resynchronised after a power-up, and the card known from before still
    // to be reported, by the next poll.
    if (!NT_SUCCESS(status)) goto Done;
    reader->LinkSynchronized = 1;
    reader->LastPollMs = InterruptTimeMs();

    reader->PreviousCardState = state;
    // Only an answer that carries its first data byte says anything.
    if (!ReaderReplyStatus(reader, &readerStatus) || readerStatus != 0 ||
        reader->ReplyLength <= READER_REPLY_DATA_OFFSET) {
        goto Done;
    }

    status = ApplyCardStatus(SmartcardExtension, reader->ReplyData[READER_REPLY_DATA_OFFSET], &swapped);
    if (swapped) TraceReader(SmartcardExtension, TRACE_STATE, "card taken out and put back between two polls\n");

    // A swapped card is reported like a removal: the wait for the old card's
    // removal ends, and the new card is present for the next wait.
    if (CardIn(reader->PreviousCardState) != CardIn(state) || (resume && CardIn(state)) || swapped) {
        KeAcquireSpinLock(&os->SpinLock, &irql);
        report = TakeTrackingForReport(os, &reportStatus);
        KeReleaseSpinLock(&os->SpinLock, irql);
    }

Done:
    TraceCardState(SmartcardExtension, stateBefore);
    KeReleaseMutex(reader->ReaderMutex, FALSE);
    // Completed here, at PASSIVE_LEVEL with no lock held, by the poll that
    // took it out.
    if (report != NULL) {
        TraceReader(SmartcardExtension, TRACE_REQUEST, "card wait completed 0x%08lX\n", reportStatus);
        CompleteTracking(report, reportStatus);
    }
    return status;
}
