// The reader's command set: a command is built from its header in
// ReaderCommandTable and its payload, carried to the reader by the block
// transport, and the link is brought back in step by a RESYNCH exchange
// before a command when it is out of step and after every failed exchange.
#include "link.h"

namespace {

// How each command number is built: the ReaderCommandTable entry, how many
// of its bytes go out, and whether the payload in CommandBlock follows.
// HeaderLength 0 marks a number that is no command (1) and the link reset (7),
// which sends no command bytes. ReplyRead marks the commands whose users
// read the reply's status byte and data.
typedef struct _READER_COMMAND_FORM {
    UCHAR Entry;
    UCHAR HeaderLength;
    BOOLEAN HasPayload;
    BOOLEAN ReplyRead;
} READER_COMMAND_FORM;

constexpr READER_COMMAND_FORM ReaderCommandForms[READER_COMMAND_LAST + 1] = {
    {0, 2, TRUE, TRUE},   // 0: APDU
    {0, 0, FALSE, FALSE}, // 1: not a command
    {1, 2, FALSE, TRUE},  // 2: card status
    {2, 2, FALSE, TRUE},  // 3: reader information
    {3, 4, FALSE, TRUE},  // 4: cold reset
    {4, 4, FALSE, TRUE},  // 5: warm reset
    {5, 2, FALSE, FALSE}, // 6: power down; the reply is not examined
    {0, 0, FALSE, FALSE}, // 7: link reset
    {6, 2, TRUE, TRUE},   // 8: PPS
    {7, 4, FALSE, FALSE}, // 9: setup; only the call's status counts
};

// Both sequence bits back to the start, as after any resynchronisation.
void ResetLinkSequence(PREADER_EXTENSION ReaderExtension) {
    ReaderExtension->SendSequence = 0;
    ReaderExtension->ReceiveSequence = 0;
}

// Prepares command Number in CommandBuffer and chooses the exchange that
// carries it. Nothing is sent here.
NTSTATUS PrepareCommand(ULONG Number, PREADER_EXTENSION ReaderExtension, PULONG Length, LINK_BLOCK_KIND* Kind) {
    PAGED_CODE();

    RtlZeroMemory(ReaderExtension->CommandBuffer, sizeof(ReaderExtension->CommandBuffer));
    if (Number == READER_COMMAND_LINK_RESET) {
        ResetLinkSequence(ReaderExtension);
        *Length = 0;
        *Kind = KindResynch;
        return STATUS_SUCCESS;
    }

    const READER_COMMAND_FORM& form = ReaderCommandForms[Number];
    const UCHAR* payload = form.HasPayload ? ReaderExtension->CommandBlock : NULL;
    const ULONG payloadLength = form.HasPayload ? ReaderExtension->CommandLength : 0;
    *Kind = KindInformation;
    return BuildCommand(ReaderExtension->CommandBuffer, sizeof(ReaderExtension->CommandBuffer),
                        ReaderCommandTable[form.Entry], form.HeaderLength, payload, payloadLength, Length);
}

} // namespace

NTSTATUS BuildCommand(PUCHAR Destination, ULONG DestinationSize, const UCHAR* Header, ULONG HeaderLength,
                      const UCHAR* Payload, ULONG PayloadLength, PULONG Length) {
    PAGED_CODE();

    NT_ASSERT(Destination != NULL && Header != NULL && Length != NULL);
    NT_ASSERT(Payload != NULL || PayloadLength == 0);
    // Compared piece by piece: a caller's payload length near 4 GB must not
    // wrap the sum into something that looks small.
    if (PayloadLength > DestinationSize || HeaderLength > DestinationSize - PayloadLength) {
        return STATUS_BUFFER_TOO_SMALL;
    }

    *Length = HeaderLength + PayloadLength;
    RtlCopyMemory(Destination, Header, HeaderLength);
    if (PayloadLength != 0) {
        RtlCopyMemory(Destination + HeaderLength, Payload, PayloadLength);
    }
    return STATUS_SUCCESS;
}

// IRQL: PASSIVE_LEVEL; blocks on the bus. The caller holds ReaderMutex.
NTSTATUS SendReaderCommand(ULONG Number, PSMARTCARD_EXTENSION Extension) {
    PAGED_CODE();

    NT_ASSERT(Extension != NULL && Extension->ReaderExtension != NULL);
    // Number 1 and numbers above 9 are never issued; one that arrives is a
    // caller's mistake and is refused before anything is touched: nothing
    // goes out, and LinkIdle and the link state stay as they were.
    if (Number > READER_COMMAND_LAST ||
        (Number != READER_COMMAND_LINK_RESET && ReaderCommandForms[Number].HeaderLength == 0)) {
        return STATUS_INVALID_PARAMETER;
    }
    PREADER_EXTENSION readerExtension = Extension->ReaderExtension;

    ULONG length = 0;
    LINK_BLOCK_KIND kind = KindInformation;
    NTSTATUS status = PrepareCommand(Number, readerExtension, &length, &kind);
    if (!NT_SUCCESS(status)) {
        return status;
    }

    KeClearEvent(&readerExtension->LinkIdle);

    // After power-up the reader's sequence state is unknown: bring it in
    // step first. If even that fails the command is not sent.
    if (readerExtension->LinkSynchronized == 0) {
        status = LinkExchange(readerExtension->CommandBuffer, 0, Extension, KindResynch);
        ResetLinkSequence(readerExtension);
        TraceReader(Extension, NT_SUCCESS(status) ? TRACE_STATE : TRACE_ERROR,
                    "link resynchronised before reader command %lu 0x%08lX\n", Number, status);
    }

    if (NT_SUCCESS(status)) {
        status = LinkExchange(readerExtension->CommandBuffer, length, Extension, kind);
        // The block protocol lets a command end with a block that is not an
        // I-block and so carries no answer (ReplyLength 0, or a few bytes of
        // an S-block's INF). For a command whose users read the reply that
        // is no reader verdict at all: ReplyData past ReplyLength still holds
        // the raw block, and a user reading the status byte would read a
        // stale byte. Such a command fails here, the one place every user
        // passes, and the link is resynchronised as after any failure.
        if (status == STATUS_SUCCESS && ReaderCommandForms[Number].ReplyRead &&
            readerExtension->ReplyLength < READER_REPLY_MIN_LENGTH) {
            status = STATUS_INVALID_DEVICE_STATE;
        }
        if (!NT_SUCCESS(status)) {
            // The reader may be anywhere in the block protocol now; one
            // RESYNCH puts both ends back at the start, whatever it returns.
            const NTSTATUS resynch = LinkExchange(readerExtension->CommandBuffer, 0, Extension, KindResynch);
            ResetLinkSequence(readerExtension);
            TraceReader(Extension, NT_SUCCESS(resynch) ? TRACE_WARNING : TRACE_ERROR,
                        "reader command %lu failed 0x%08lX; link resynchronised 0x%08lX\n", Number, status, resynch);
        }
    }

    KeSetEvent(&readerExtension->LinkIdle, IO_NO_INCREMENT, FALSE);
    return status;
}
