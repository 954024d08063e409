// Protocol selection: the RDF_SET_PROTOCOL callback. The reader carries out
// the PPS exchange with the card (reader command 8); when it refuses the
// card's own rate the driver asks once more for the default rate.
#include "card.h"
#include "link.h"

const UCHAR SetupCardAtr[SETUP_CARD_ATR_LENGTH] = {0x3B, 0xFA, 0x13, 0x00, 0xFF, 0x81, 0x31, 0xFB, 0x45, 0x80,
                                                    0x12, 0x39, 0x2F, 0x31, 0xC0, 0x73, 0xC7, 0x01, 0x49, 0x91};

namespace {

// PPS0 for a protocol: PPS1 follows, the protocol number in the low nibble.
constexpr UCHAR PPS0_T0 = PPS0_PPS1_FOLLOWS | 0x00;
constexpr UCHAR PPS0_T1 = PPS0_PPS1_FOLLOWS | 0x01;

// Sends the PPS request for Pps0 and Pps1 and reads the reader's verdict.
// STATUS_SUCCESS with *ReaderStatus set when a fresh reply came back; a
// failed command leaves the reply of some earlier command in ReplyData, so
// it yields STATUS_IO_TIMEOUT and no verdict, as every card service reports
// a reader that did not answer.
NTSTATUS SendPps(PSMARTCARD_EXTENSION SmartcardExtension, UCHAR Pps0, UCHAR Pps1, PUCHAR ReaderStatus) {
    PAGED_CODE();

    PREADER_EXTENSION reader = SmartcardExtension->ReaderExtension;
    BuildPpsRequest(Pps0, Pps1, reader->CommandBlock);
    reader->CommandLength = PPS_REQUEST_LENGTH;
    NTSTATUS status = SendReaderCommand(READER_COMMAND_PPS, SmartcardExtension);
    if (!NT_SUCCESS(status)) return STATUS_IO_TIMEOUT;
    if (!ReaderReplyStatus(reader, ReaderStatus)) return STATUS_IO_TIMEOUT;
    return STATUS_SUCCESS;
}

BOOLEAN IsSetupCard(const SCARD_CARD_CAPABILITIES* Card) {
    if (Card->ATR.Length != SETUP_CARD_ATR_LENGTH) return FALSE;
    for (ULONG i = 0; i < SETUP_CARD_ATR_LENGTH; ++i) {
        if (Card->ATR.Buffer[i] != SetupCardAtr[i]) return FALSE;
    }
    return TRUE;
}

} // namespace

VOID BuildPpsRequest(UCHAR Pps0, UCHAR Pps1, PUCHAR Request) {
    Request[0] = PPS_PPSS;
    Request[1] = Pps0;
    Request[2] = Pps1;
    Request[3] = static_cast<UCHAR>(PPS_PPSS ^ Pps0 ^ Pps1);
}

// Runs in the requester's thread at PASSIVE_LEVEL; the library completes the
// request with the status returned here.
NTSTATUS NTAPI SetProtocol(PSMARTCARD_EXTENSION SmartcardExtension) {
    PAGED_CODE();

    SCARD_CARD_CAPABILITIES* card = &SmartcardExtension->CardCapabilities;
    const ULONG requested = SmartcardExtension->MinorIoControlCode;
    NTSTATUS status = STATUS_SUCCESS;
    UCHAR pps0 = 0;
    UCHAR readerStatus = 0;
    ULONG mask = 0;

    BeginCardService(SmartcardExtension);
    // Read under ReaderMutex: the poll forgets the protocol of a card it
    // finds gone or unpowered, under the same mutex.
    const ULONG previousProtocol = card->Protocol.Selected;
    const ULONG previousState = SmartcardExtension->ReaderCapabilities.CurrentState;

    // The answer is a 32-bit protocol value; a smaller buffer is refused
    // before anything is sent or written.
    if (SmartcardExtension->IoRequest.ReplyBuffer == NULL ||
        SmartcardExtension->IoRequest.ReplyBufferLength < sizeof(ULONG)) {
        status = STATUS_BUFFER_TOO_SMALL;
        goto Done;
    }

    // A protocol already negotiated is answered as it stands: a PPS is
    // allowed only once after a reset.
    if (SmartcardExtension->ReaderCapabilities.CurrentState == SCARD_SPECIFIC &&
        (requested & card->Protocol.Selected) != 0) {
        goto Answer;
    }

    mask = requested & card->Protocol.Supported;
    if ((mask & SCARD_PROTOCOL_T0) != 0) {
        card->Protocol.Selected = SCARD_PROTOCOL_T0;
        pps0 = PPS0_T0;
    } else if ((mask & SCARD_PROTOCOL_T1) != 0) {
        card->Protocol.Selected = SCARD_PROTOCOL_T1;
        pps0 = PPS0_T1;
    } else {
        status = STATUS_INVALID_DEVICE_REQUEST;
        goto Done;
    }

    status = SendPps(SmartcardExtension, pps0,
                     static_cast<UCHAR>((static_cast<ULONG>(card->Fl) << PPS1_FL_SHIFT) | card->Dl), &readerStatus);
    if (NT_SUCCESS(status) && readerStatus == READER_STATUS_RATE_REFUSED) {
        // The reader or the card cannot run at the card's own rate: ask once
        // more for the rate every card starts at.
        card->PtsData.Type = PTS_TYPE_DEFAULT;
        card->PtsData.Fl = 1;
        card->PtsData.Dl = 1;
        status = SendPps(SmartcardExtension, pps0, PPS1_DEFAULT, &readerStatus);
    }
    if (NT_SUCCESS(status) && readerStatus != READER_STATUS_SUCCESS) status = STATUS_NOT_SUPPORTED;
    if (!NT_SUCCESS(status)) {
        // A card still in its specific mode keeps the protocol it was
        // negotiated in: leaving the refused one in Selected would send the
        // next transmit down the road of a protocol the card is not running.
        if (SmartcardExtension->ReaderCapabilities.CurrentState == SCARD_SPECIFIC) {
            card->Protocol.Selected = previousProtocol;
        }
        goto Done;
    }

    if (IsSetupCard(card)) {
        // The reader needs its setup command again for this card; its outcome
        // does not change the selection.
        (VOID) SendReaderCommand(READER_COMMAND_SETUP, SmartcardExtension);
    }
    SmartcardExtension->ReaderCapabilities.CurrentState = SCARD_SPECIFIC;

Answer:
    RtlCopyMemory(SmartcardExtension->IoRequest.ReplyBuffer, &card->Protocol.Selected, sizeof(ULONG));
    *SmartcardExtension->IoRequest.Information = sizeof(ULONG);
    status = STATUS_SUCCESS;

Done:
    TraceCardState(SmartcardExtension, previousState);
    EndCardService(SmartcardExtension);
    return status;
}
