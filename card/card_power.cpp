// Card power and ATR: the RDF_CARD_POWER callback. A reset's ATR comes from
// the reader's reply, or, when the reader answers a reset with status 0xAA
// and no ATR, from the copy of the last good ATR this reader kept.
#include "card.h"
#include "link.h"

namespace {

// ATR interface-byte presence bits of T0 and TD(i), and the protocol nibble.
constexpr UCHAR ATR_TA_PRESENT = 0x10;
constexpr UCHAR ATR_TB_PRESENT = 0x20;
constexpr UCHAR ATR_TC_PRESENT = 0x40;
constexpr UCHAR ATR_TD_PRESENT = 0x80;
constexpr UCHAR ATR_PROTOCOL_MASK = 0x0F;
constexpr UCHAR ATR_PROTOCOL_T0 = 0;
constexpr UCHAR ATR_PROTOCOL_T1 = 1;
constexpr ULONG ATR_T0_OFFSET = 1;
// The group from which on a TA is T=1's IFSC.
constexpr ULONG ATR_FIRST_IFSC_GROUP = 3;
// ISO/IEC 7816-3 IFSC values; 0 and 255 are reserved. Some real cards
// announce 255 all the same; it is read as the largest valid size.
constexpr UCHAR IFSC_MINIMUM = 0x01;
constexpr UCHAR IFSC_MAXIMUM = 0xFE;
constexpr UCHAR IFSC_RESERVED_HIGH = 0xFF;

// The ATR of a reset reply, taken into CardCapabilities.ATR. Returns
// STATUS_SUCCESS with the ATR in place, or STATUS_UNRECOGNIZED_MEDIA with
// ATR.Length 0 when the reply carries no acceptable ATR. Reads ReplyData
// only below ReplyLength.
NTSTATUS TakeAtr(PSMARTCARD_EXTENSION SmartcardExtension) {
    PAGED_CODE();

    PREADER_EXTENSION reader = SmartcardExtension->ReaderExtension;
    auto& atr = SmartcardExtension->CardCapabilities.ATR;
    const ULONG replyLength = reader->ReplyLength;

    if (replyLength > RESET_REPLY_WITHOUT_ATR) {
        // The card's bytes follow the status byte. More than an ATR can hold,
        // or more than the reply buffer holds, is no ATR: refused whole
        // rather than cut to a length that would hand out a different ATR.
        const ULONG cardBytes = replyLength - READER_REPLY_DATA_OFFSET;
        if (replyLength > sizeof(reader->ReplyData) || cardBytes > MAXIMUM_ATR_LENGTH) {
            atr.Length = 0;
            return STATUS_UNRECOGNIZED_MEDIA;
        }
        const UCHAR ts = reader->ReplyData[READER_REPLY_DATA_OFFSET];
        if (ts != ATR_TS_DIRECT && ts != ATR_TS_INVERSE) {
            atr.Length = 0;
            return STATUS_UNRECOGNIZED_MEDIA;
        }
        RtlCopyMemory(atr.Buffer, &reader->ReplyData[READER_REPLY_DATA_OFFSET], cardBytes);
        atr.Length = static_cast<UCHAR>(cardBytes);
        RtlCopyMemory(reader->AtrCache, atr.Buffer, cardBytes);
        reader->AtrCacheLength = cardBytes;
        return STATUS_SUCCESS;
    }

    // A short reply: only its status byte says anything, and only if the
    // reply reaches it.
    if (replyLength <= READER_REPLY_STATUS_OFFSET ||
        reader->ReplyData[READER_REPLY_STATUS_OFFSET] != READER_STATUS_RESET_NO_ATR) {
        atr.Length = 0;
        return STATUS_UNRECOGNIZED_MEDIA;
    }
    // The reader has no new ATR to give: the card's ATR is the one kept from
    // this reader's last good reset. With nothing kept there is no ATR at
    // all, and a card without an ATR is not one the driver can power.
    const ULONG cached = reader->AtrCacheLength;
    if (cached == 0 || cached > MAXIMUM_ATR_LENGTH) {
        atr.Length = 0;
        return STATUS_UNRECOGNIZED_MEDIA;
    }
    RtlCopyMemory(atr.Buffer, reader->AtrCache, cached);
    atr.Length = static_cast<UCHAR>(cached);
    return STATUS_SUCCESS;
}

// One group of interface bytes as the walk sees it.
typedef struct _ATR_GROUP {
    BOOLEAN HasTa;
    UCHAR Ta;
    BOOLEAN HasTd;
    UCHAR Td;
} ATR_GROUP;

// Steps over the interface bytes that Presence announces, keeping TA and
// TD. Returns FALSE when a byte to read would lie at or past Length: for
// the walk the ATR ends there.
BOOLEAN StepGroup(const UCHAR* Atr, ULONG Length, ULONG* Position, UCHAR Presence, ATR_GROUP* Group) {
    Group->HasTa = FALSE;
    Group->HasTd = FALSE;
    if ((Presence & ATR_TA_PRESENT) != 0) {
        if (*Position >= Length) return FALSE;
        Group->Ta = Atr[(*Position)++];
        Group->HasTa = TRUE;
    }
    if ((Presence & ATR_TB_PRESENT) != 0) {
        if (*Position >= Length) return FALSE;
        ++*Position;
    }
    if ((Presence & ATR_TC_PRESENT) != 0) {
        if (*Position >= Length) return FALSE;
        ++*Position;
    }
    if ((Presence & ATR_TD_PRESENT) != 0) {
        if (*Position >= Length) return FALSE;
        Group->Td = Atr[(*Position)++];
        Group->HasTd = TRUE;
    }
    return TRUE;
}

} // namespace

VOID FindIfsc(PSMARTCARD_EXTENSION SmartcardExtension) {
    PAGED_CODE();

    const auto& atr = SmartcardExtension->CardCapabilities.ATR;
    ULONG length = atr.Length;
    if (length > sizeof(atr.Buffer)) length = sizeof(atr.Buffer);
    if (length <= ATR_T0_OFFSET) return;

    // Group 1: T0 announces TA1, TB1, TC1 and TD1.
    ULONG position = ATR_T0_OFFSET + 1;
    ATR_GROUP group = {};
    if (!StepGroup(atr.Buffer, length, &position, atr.Buffer[ATR_T0_OFFSET], &group) || !group.HasTd) return;
    const BOOLEAN firstNamesT1 = (group.Td & ATR_PROTOCOL_MASK) == ATR_PROTOCOL_T1;
    BOOLEAN taken = FALSE;

    // Groups 2, 3, ...: each announced by the TD before it. A byte past the
    // ATR's length ends the walk; whatever was taken before stays.
    for (ULONG number = 2;; ++number) {
        const UCHAR presence = group.Td;
        if (!StepGroup(atr.Buffer, length, &position, presence, &group)) return;
        if (group.HasTa && number >= ATR_FIRST_IFSC_GROUP && firstNamesT1 && !taken) {
            // An IFSC of 0 from the card is not used: the value already set
            // stays, and no later TA replaces it either. 255 counts as 254,
            // the most the card can mean by it.
            taken = TRUE;
            if (group.Ta == IFSC_RESERVED_HIGH) SmartcardExtension->T1.IFSC = IFSC_MAXIMUM;
            else if (group.Ta >= IFSC_MINIMUM) SmartcardExtension->T1.IFSC = group.Ta;
        }
        if (!group.HasTd) return;
        const UCHAR protocol = group.Td & ATR_PROTOCOL_MASK;
        if (protocol != ATR_PROTOCOL_T0 && protocol != ATR_PROTOCOL_T1) return;
    }
}

// Runs in the requester's thread at PASSIVE_LEVEL; the library completes the
// request with the status returned here.
NTSTATUS NTAPI CardPower(PSMARTCARD_EXTENSION SmartcardExtension) {
    PAGED_CODE();

    PREADER_EXTENSION reader = SmartcardExtension->ReaderExtension;
    const ULONG action = SmartcardExtension->MinorIoControlCode;
    NTSTATUS status = STATUS_SUCCESS;
    ULONG atrLength = 0;

    // The poller stays out of the reader while the card's power changes.
    BeginCardService(SmartcardExtension);
    const ULONG previousState = SmartcardExtension->ReaderCapabilities.CurrentState;

    SmartcardExtension->CardCapabilities.ATR.Length = 0;
    SmartcardExtension->ReaderCapabilities.CurrentState = SCARD_PRESENT;

    if (action == SCARD_POWER_DOWN) {
        status = SendReaderCommand(READER_COMMAND_POWER_DOWN, SmartcardExtension);
        SmartcardExtension->CardCapabilities.Protocol.Selected = 0;
        SmartcardExtension->ReaderCapabilities.CurrentState = SCARD_PRESENT;
        goto Done;
    }
    if (action != SCARD_COLD_RESET && action != SCARD_WARM_RESET) {
        status = STATUS_INVALID_DEVICE_REQUEST;
        goto Done;
    }

    status = SendReaderCommand(action == SCARD_COLD_RESET ? READER_COMMAND_COLD_RESET : READER_COMMAND_WARM_RESET,
                               SmartcardExtension);
    if (!NT_SUCCESS(status)) {
        // Whatever went wrong on the link, the caller learns that the reader
        // did not answer; the reply is not looked at.
        status = STATUS_IO_TIMEOUT;
        goto Done;
    }

    status = TakeAtr(SmartcardExtension);
    if (!NT_SUCCESS(status)) goto Done;

    SmartcardExtension->ReaderCapabilities.CurrentState = SCARD_POWERED;
    atrLength = SmartcardExtension->CardCapabilities.ATR.Length;
    if (SmartcardExtension->IoRequest.ReplyBufferLength < atrLength) {
        status = STATUS_BUFFER_TOO_SMALL;
        goto Done;
    }
    *SmartcardExtension->IoRequest.Information = atrLength;
    RtlCopyMemory(SmartcardExtension->IoRequest.ReplyBuffer, SmartcardExtension->CardCapabilities.ATR.Buffer,
                  atrLength);
    reader->CardReady = 1;
    status = SmartcardUpdateCardCapabilities(SmartcardExtension);
    // The driver's frame sizes replace the library's, whatever the library
    // made of the ATR.
    FindIfsc(SmartcardExtension);
    SmartcardExtension->T1.IFSD = DRIVER_T1_IFSD;
    if (action == SCARD_COLD_RESET) SleepMs(COLD_RESET_PAUSE_MS);

Done:
    TraceCardState(SmartcardExtension, previousState);
    EndCardService(SmartcardExtension);
    return status;
}
