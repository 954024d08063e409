// Data exchange: the RDF_TRANSMIT callback. Under T=0 the reader runs the
// exchange with the card (reader command 0) and answers with its verdict
// and the card's response; under T=1 the library builds the blocks for the
// card and the driver carries them, byte for byte, over the USB packet
// transport, past the reader's own command set and block protocol.
#include "card.h"
#include "link.h"

namespace {

// The SCARD_IO_REQUEST header at the start of the request, checked against
// the request's length. FALSE for a header that is cut short or that claims
// more protocol data than the request holds.
BOOLEAN ReadRequestHeader(const SMARTCARD_EXTENSION* SmartcardExtension, SCARD_IO_REQUEST* Header) {
    if (SmartcardExtension->IoRequest.RequestBufferLength < sizeof(SCARD_IO_REQUEST)) return FALSE;
    RtlCopyMemory(Header, SmartcardExtension->IoRequest.RequestBuffer, sizeof(SCARD_IO_REQUEST));
    return Header->cbPciLength >= sizeof(SCARD_IO_REQUEST) &&
           Header->cbPciLength <= SmartcardExtension->IoRequest.RequestBufferLength;
}

// How many bytes of an n-byte APDU go to the reader under T=0; 0 for an
// APDU that is refused. Apdu holds at least the first five bytes when n is
// above 5.
ULONG T0CommandLength(const UCHAR* Apdu, ULONG Length) {
    if (Length < APDU_HEADER_LENGTH) return 0;
    if (Length <= APDU_T0_HEADER_LENGTH) return APDU_T0_HEADER_LENGTH;
    const ULONG withData = APDU_T0_HEADER_LENGTH + Apdu[APDU_LC_OFFSET];
    if (Length == withData) return Length;
    // One byte more than the data is Le, which T=0 does not send with the
    // data. More than that is no short APDU at all: its tail would reach the
    // card as bytes the header never announced.
    if (Length == withData + 1) return withData;
    return 0;
}

} // namespace

NTSTATUS ExchangeApdu(PSMARTCARD_EXTENSION SmartcardExtension, PULONG Length, PUCHAR Buffer, ULONG BufferSize) {
    PAGED_CODE();

    PREADER_EXTENSION reader = SmartcardExtension->ReaderExtension;
    UCHAR readerStatus = 0;
    NTSTATUS status = STATUS_SUCCESS;

    // A command that cannot be built is never sent; it counts as one the
    // reader did not answer.
    if (*Length > READER_MAX_PAYLOAD) {
        *Length = 0;
        return STATUS_IO_TIMEOUT;
    }
    RtlCopyMemory(reader->CommandBlock, Buffer, *Length);
    reader->CommandLength = *Length;

    status = SendReaderCommand(READER_COMMAND_APDU, SmartcardExtension);
    const ULONG replyLength = reader->ReplyLength;
    if (!NT_SUCCESS(status) || replyLength < APDU_REPLY_MIN_LENGTH || replyLength > sizeof(reader->ReplyData) ||
        !ReaderReplyStatus(reader, &readerStatus)) {
        *Length = 0;
        return STATUS_IO_TIMEOUT;
    }

    switch (readerStatus) {
    case READER_STATUS_SUCCESS:
        status = STATUS_SUCCESS;
        break;
    case READER_STATUS_NO_CARD:
    case READER_STATUS_CARD_UNPOWERED:
        status = STATUS_NO_MEDIA;
        break;
    case READER_STATUS_STATUS_ONLY:
        status = replyLength == APDU_REPLY_STATUS_ONLY_LENGTH ? STATUS_SUCCESS : STATUS_INVALID_DEVICE_STATE;
        break;
    case READER_STATUS_CARD_MUTE:
        status = STATUS_IO_TIMEOUT;
        break;
    default:
        status = STATUS_INVALID_DEVICE_STATE;
        break;
    }

    // The response is handed back whatever the verdict, bounded by the
    // caller's buffer: a longer one is cut and the exchange fails.
    ULONG responseLength = replyLength - READER_REPLY_DATA_OFFSET;
    if (responseLength > BufferSize) {
        responseLength = BufferSize;
        if (NT_SUCCESS(status)) status = STATUS_BUFFER_OVERFLOW;
    }
    RtlCopyMemory(Buffer, &reader->ReplyData[READER_REPLY_DATA_OFFSET], responseLength);
    *Length = responseLength;
    return status;
}

NTSTATUS TransmitT0(PSMARTCARD_EXTENSION SmartcardExtension) {
    PAGED_CODE();

    const ULONG requestLength = SmartcardExtension->IoRequest.RequestBufferLength;
    SCARD_IO_REQUEST header;
    UCHAR work[READER_BUFFER_SIZE];
    ULONG length = 0;

    if (!ReadRequestHeader(SmartcardExtension, &header)) return STATUS_PORT_ALREADY_SET;
    const PUCHAR apdu = SmartcardExtension->IoRequest.RequestBuffer + header.cbPciLength;
    const ULONG apduLength = requestLength - header.cbPciLength;
    length = T0CommandLength(apdu, apduLength);
    if (length == 0) return STATUS_PORT_ALREADY_SET;

    // Only the bytes that go out are copied: an APDU longer than any command
    // never reaches the work buffer. A 4-byte APDU gets P3 = 0.
    RtlZeroMemory(work, APDU_T0_HEADER_LENGTH);
    RtlCopyMemory(work, apdu, apduLength < length ? apduLength : length);

    const NTSTATUS status = ExchangeApdu(SmartcardExtension, &length, work, sizeof(work));

    ULONG kept = length;
    if (kept > SmartcardExtension->SmartcardReply.BufferSize) kept = SmartcardExtension->SmartcardReply.BufferSize;
    if (SmartcardExtension->SmartcardReply.Buffer == NULL) kept = 0;
    if (kept != 0) RtlCopyMemory(SmartcardExtension->SmartcardReply.Buffer, work, kept);
    SmartcardExtension->SmartcardReply.BufferLength = kept;
    return status;
}

NTSTATUS TransmitT1(PSMARTCARD_EXTENSION SmartcardExtension) {
    PAGED_CODE();

    PREADER_EXTENSION reader = SmartcardExtension->ReaderExtension;
    PSMARTCARD_REQUEST request = &SmartcardExtension->SmartcardRequest;
    PSMARTCARD_REPLY reply = &SmartcardExtension->SmartcardReply;
    NTSTATUS status = STATUS_SUCCESS;

    SmartcardExtension->T1.NAD = 0;
    request->BufferLength = 0;
    status = SmartcardT1Request(SmartcardExtension);

    for (ULONG blocks = 0; status == STATUS_SUCCESS; ++blocks) {
        if (blocks == T1_MAX_BLOCKS_PER_EXCHANGE) {
            TraceReader(SmartcardExtension, TRACE_ERROR, "T=1 exchange given up after %lu blocks\n",
                        T1_MAX_BLOCKS_PER_EXCHANGE);
            status = STATUS_IO_TIMEOUT;
            break;
        }
        // The library's block goes out as it was built; one that would not
        // fit the link's buffers is not cut.
        if (request->BufferLength > sizeof(reader->CommandBlock) || request->BufferLength > request->BufferSize ||
            request->Buffer == NULL) {
            status = STATUS_INVALID_DEVICE_STATE;
            break;
        }
        RtlCopyMemory(reader->CommandBlock, request->Buffer, request->BufferLength);
        reader->CommandLength = request->BufferLength;

        const NTSTATUS usb = UsbExchange(SmartcardExtension);
        if (!NT_SUCCESS(usb)) {
            TraceReader(SmartcardExtension, TRACE_WARNING, "T=1 block lost 0x%08lX; the library hears no answer\n",
                        usb);
        }

        // After a failed exchange ReplyData still holds the answer to the
        // block before: the library is given no block at all, so that it
        // treats the answer as lost and asks again, rather than taking the
        // old answer for a new one.
        ULONG replyLength = NT_SUCCESS(usb) ? reader->ReplyLength : 0;
        if (replyLength > sizeof(reader->ReplyData)) replyLength = 0;
        if (replyLength > reply->BufferSize || reply->Buffer == NULL) replyLength = 0;
        if (replyLength != 0) RtlCopyMemory(reply->Buffer, reader->ReplyData, replyLength);
        reply->BufferLength = replyLength;

        status = SmartcardT1Reply(SmartcardExtension);
        if (status != STATUS_MORE_PROCESSING_REQUIRED) break;

        SmartcardExtension->T1.NAD = 0;
        request->BufferLength = 0;
        status = SmartcardT1Request(SmartcardExtension);
    }
    return status;
}

// Runs in the requester's thread at PASSIVE_LEVEL; the library completes the
// request with the status returned here.
NTSTATUS NTAPI Transmit(PSMARTCARD_EXTENSION SmartcardExtension) {
    PAGED_CODE();

    PREADER_EXTENSION reader = SmartcardExtension->ReaderExtension;
    SCARD_IO_REQUEST header;
    NTSTATUS status = STATUS_SUCCESS;
    ULONG answer = 0;

    BeginCardService(SmartcardExtension);

    if (SmartcardExtension->IoRequest.RequestBuffer == NULL || SmartcardExtension->IoRequest.ReplyBuffer == NULL) {
        status = STATUS_BUFFER_TOO_SMALL;
        goto Done;
    }
    // The header is read only where the request holds it, and copied only
    // as far as the request reaches.
    if (!ReadRequestHeader(SmartcardExtension, &header)) {
        status = STATUS_INVALID_PARAMETER;
        goto Done;
    }
    if (SmartcardExtension->IoRequest.ReplyBufferLength < header.cbPciLength) {
        status = STATUS_BUFFER_TOO_SMALL;
        goto Done;
    }
    RtlCopyMemory(SmartcardExtension->IoRequest.ReplyBuffer, SmartcardExtension->IoRequest.RequestBuffer,
                  header.cbPciLength);

    if (reader->CardReady != 1) {
        status = STATUS_INVALID_DEVICE_STATE;
        goto Done;
    }
    WritePollFlag(&reader->PollEnabled, 0);

    switch (SmartcardExtension->CardCapabilities.Protocol.Selected) {
    case SCARD_PROTOCOL_T0:
        status = TransmitT0(SmartcardExtension);
        if (!NT_SUCCESS(status)) break;
        answer = SmartcardExtension->SmartcardReply.BufferLength;
        if (SmartcardExtension->IoRequest.ReplyBufferLength - header.cbPciLength < answer) {
            // The card has executed the command; its response is lost.
            status = STATUS_BUFFER_TOO_SMALL;
            break;
        }
        RtlCopyMemory(SmartcardExtension->IoRequest.ReplyBuffer + header.cbPciLength,
                      SmartcardExtension->SmartcardReply.Buffer, answer);
        *SmartcardExtension->IoRequest.Information = header.cbPciLength + answer;
        status = STATUS_SUCCESS;
        break;
    case SCARD_PROTOCOL_T1:
        status = TransmitT1(SmartcardExtension);
        break;
    default:
        // No protocol negotiated: nothing can be exchanged, and saying
        // otherwise would hand the caller an empty answer as the card's.
        status = STATUS_INVALID_DEVICE_STATE;
        break;
    }

Done:
    EndCardService(SmartcardExtension);
    return status;
}
