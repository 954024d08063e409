// The block protocol between the driver and the reader: a command goes out
// as I-blocks of at most 254 information bytes, the reader's chained answer
// is acknowledged piece by piece, its waiting-time requests are granted, a
// damaged block is asked for again up to twice, and the information fields
// of the answer are joined into ReplyData. One block goes out and one comes
// back per UsbExchange. A RESYNCH waits for its own response, dropping what
// the reader had queued before it, and no exchange reads more than
// LINK_MAX_EXCHANGE_REPLIES blocks, so a reader out of step or out of order
// cannot keep ReaderMutex for good.
#include "link.h"

namespace {

// Bytes of the command still to send when the exchange goes on with a block
// other than an I-block: any non-zero value keeps the loop running.
constexpr LONG LINK_MORE_BLOCKS = 255;

// The state of one exchange, private to the call.
typedef struct _LINK_EXCHANGE_STATE {
    const UCHAR* Data; // the command
    ULONG Length;
    LINK_BLOCK_KIND Kind; // kind of the next block to send
    LONG Remaining;       // command bytes not yet sent
    UCHAR LastPcb;        // last I-block, acknowledge or RESYNCH sent
    ULONG ErrorCount;     // damaged replies so far
    ULONG ReplyCount;     // blocks read from the reader so far
    ULONG StaleCount;     // blocks dropped while waiting for the RESYNCH response
    BOOLEAN ReceiveOnly;  // the next round reads a block without sending one
    UCHAR Collected[READER_BUFFER_SIZE];
    ULONG CollectedLength;
} LINK_EXCHANGE_STATE, *PLINK_EXCHANGE_STATE;

// What the reply table makes of one good reply.
typedef enum _LINK_REPLY_VERDICT {
    ReplyFails,         // a reply that does not fit the state
    ReplyAccepted,      // a reply that is not an I-block, accepted
    ReplyIBlockAccepted // an I-block of the answer, accepted
} LINK_REPLY_VERDICT;

UCHAR ToggleSequence(UCHAR Sequence) { return static_cast<UCHAR>(Sequence ^ LINK_PCB_SEQUENCE); }

UCHAR LinkChecksum(const UCHAR* Bytes, ULONG Count) {
    UCHAR lrc = 0;
    for (ULONG i = 0; i < Count; ++i) {
        lrc = static_cast<UCHAR>(lrc ^ Bytes[i]);
    }
    return lrc;
}

// A block that arrived whole: its length agrees with LEN, its node address
// is the reader's and its check byte is right. Shorter than NAD, PCB, LEN
// and LRC there is no LEN byte to compare with: such a block is damaged
// without reading past what arrived.
BOOLEAN IsWholeBlock(const UCHAR* Block, ULONG Length) {
    if (Length < LINK_BLOCK_OVERHEAD || Length != static_cast<ULONG>(Block[LINK_LEN_OFFSET]) + LINK_BLOCK_OVERHEAD) {
        return FALSE;
    }
    if (Block[LINK_NAD_OFFSET] != LINK_NAD_READER && Block[LINK_NAD_OFFSET] != LINK_NAD_ANY) {
        return FALSE;
    }
    return LinkChecksum(Block, Length - 1) == Block[Length - 1];
}

// An R-block by which the reader reports an error in a block it received.
BOOLEAN IsErrorRBlock(UCHAR Pcb) {
    const UCHAR rBlock = static_cast<UCHAR>(Pcb & ~LINK_PCB_R_SEQUENCE);
    return rBlock == LINK_PCB_R_EDC_ERROR || rBlock == LINK_PCB_R_OTHER_ERROR;
}

// PCB of an R-block: its base value with N(R), the expected N(S) moved down.
UCHAR RBlockPcb(UCHAR Base, UCHAR ReceiveSequence) {
    return static_cast<UCHAR>(Base | ((ReceiveSequence & LINK_PCB_SEQUENCE) >> LINK_SEQUENCE_TO_NR_SHIFT));
}

// Builds the next block of kind State->Kind in CommandBlock/CommandLength.
// IRQL: PASSIVE_LEVEL (a WTX response waits 10 ms before it goes out).
NTSTATUS BuildLinkBlock(PLINK_EXCHANGE_STATE State, PREADER_EXTENSION ReaderExtension) {
    PAGED_CODE();

    PUCHAR block = ReaderExtension->CommandBlock;
    UCHAR pcb = 0;
    ULONG infLength = 0;

    switch (State->Kind) {
    case KindInformation: {
        ReaderExtension->SendSequence &= LINK_PCB_SEQUENCE;
        pcb = ReaderExtension->SendSequence;
        infLength = static_cast<ULONG>(State->Remaining);
        if (infLength > LINK_MAX_INF) {
            pcb |= LINK_PCB_MORE;
            infLength = LINK_MAX_INF;
        }
        RtlCopyMemory(block + LINK_INF_OFFSET, State->Data + (State->Length - static_cast<ULONG>(State->Remaining)),
                      infLength);
        State->Remaining -= static_cast<LONG>(infLength);
        State->LastPcb = pcb;
        break;
    }
    case KindResynch:
        pcb = LINK_PCB_RESYNCH_REQUEST;
        State->Remaining = 0;
        State->LastPcb = pcb;
        break;
    case KindAcknowledge:
        pcb = RBlockPcb(LINK_PCB_R_BLOCK, ReaderExtension->ReceiveSequence);
        State->Remaining = 0;
        State->LastPcb = pcb;
        break;
    case KindWtxResponse:
        pcb = LINK_PCB_WTX_RESPONSE;
        infLength = 1;
        block[LINK_INF_OFFSET] = LINK_WTX_GRANTED;
        State->Remaining = 0;
        (void)SleepMs(LINK_WTX_DELAY_MS);
        break;
    case KindRepeat:
        pcb = RBlockPcb(LINK_PCB_R_OTHER_ERROR, ReaderExtension->ReceiveSequence);
        State->Remaining = 0;
        break;
    }

    block[LINK_NAD_OFFSET] = LINK_NAD_DRIVER;
    block[LINK_PCB_OFFSET] = pcb;
    block[LINK_LEN_OFFSET] = static_cast<UCHAR>(infLength);
    const ULONG lrcOffset = LINK_INF_OFFSET + infLength;
    block[lrcOffset] = LinkChecksum(block, lrcOffset);
    if (lrcOffset + 1 > LINK_MAX_BLOCK) {
        return STATUS_DEVICE_DATA_ERROR;
    }
    ReaderExtension->CommandLength = lrcOffset + 1;
    return STATUS_SUCCESS;
}

// The reply table: judges the good reply in ReplyData against the last
// I-block, acknowledge or RESYNCH sent, moves the sequence bits and chooses
// the next block. WTX requests and damaged replies never get here.
LINK_REPLY_VERDICT JudgeReply(PLINK_EXCHANGE_STATE State, PREADER_EXTENSION ReaderExtension) {
    const UCHAR pcb = ReaderExtension->ReplyData[LINK_PCB_OFFSET];
    const UCHAR sendSequence = ReaderExtension->SendSequence;
    const UCHAR receiveSequence = ReaderExtension->ReceiveSequence;

    switch (State->LastPcb) {
    case 0x00:
    case LINK_PCB_SEQUENCE: // the last piece of the command was sent
        if ((pcb & LINK_PCB_SEQUENCE) != receiveSequence) {
            return ReplyFails;
        }
        if ((pcb & ~LINK_PCB_SEQUENCE) == 0) { // 0x00, 0x40: the answer ends here
            ReaderExtension->SendSequence = ToggleSequence(sendSequence);
            ReaderExtension->ReceiveSequence = ToggleSequence(receiveSequence);
            State->Kind = KindInformation;
            State->Remaining = 0;
            return ReplyIBlockAccepted;
        }
        if ((pcb & ~LINK_PCB_SEQUENCE) == LINK_PCB_MORE) { // 0x20, 0x60: more of the answer follows
            ReaderExtension->ReceiveSequence = ToggleSequence(receiveSequence);
            State->Kind = KindAcknowledge;
            State->Remaining = LINK_MORE_BLOCKS;
            return ReplyIBlockAccepted;
        }
        State->Remaining = 0;
        return ReplyAccepted;

    case LINK_PCB_MORE:
    case LINK_PCB_MORE | LINK_PCB_SEQUENCE: { // a piece with more to follow was sent
        const UCHAR expected = sendSequence == 0 ? static_cast<UCHAR>(LINK_PCB_R_BLOCK | LINK_PCB_R_SEQUENCE)
                                                 : LINK_PCB_R_BLOCK;
        if (pcb != expected || State->Remaining == 0) {
            return ReplyFails;
        }
        ReaderExtension->SendSequence = ToggleSequence(sendSequence);
        State->Kind = KindInformation;
        return ReplyAccepted;
    }

    case LINK_PCB_R_BLOCK:                       // acknowledge asking for N(S) 0 sent
    case LINK_PCB_R_BLOCK | LINK_PCB_R_SEQUENCE: { // acknowledge asking for N(S) 1 sent
        const UCHAR asked = State->LastPcb == LINK_PCB_R_BLOCK ? 0 : LINK_PCB_SEQUENCE;
        if (pcb == asked) {
            ReaderExtension->SendSequence = ToggleSequence(sendSequence);
            ReaderExtension->ReceiveSequence = ToggleSequence(receiveSequence);
            State->Kind = KindInformation;
            State->Remaining = 0;
            return ReplyIBlockAccepted;
        }
        if (pcb == (asked | LINK_PCB_MORE)) {
            ReaderExtension->ReceiveSequence = ToggleSequence(receiveSequence);
            State->Kind = KindAcknowledge;
            State->Remaining = LINK_MORE_BLOCKS;
            return ReplyIBlockAccepted;
        }
        return ReplyFails;
    }

    case LINK_PCB_RESYNCH_REQUEST: // only the RESYNCH response gets here (LinkRound)
        State->Remaining = 0;
        return ReplyAccepted;

    default:
        return ReplyFails;
    }
}

// Appends the INF of the reply in ReplyData to Collected. The reader
// protocol never produces an answer longer than 270 bytes; one that would be
// is a reader out of step and ends the exchange as a protocol error rather
// than being cut short silently.
NTSTATUS CollectReplyInf(PLINK_EXCHANGE_STATE State, PREADER_EXTENSION ReaderExtension) {
    // CheckReplyBlock has made sure that LEN bytes of INF arrived.
    const ULONG infLength = ReaderExtension->ReplyData[LINK_LEN_OFFSET];
    if (infLength > sizeof(State->Collected) - State->CollectedLength) {
        return STATUS_INVALID_DEVICE_STATE;
    }
    RtlCopyMemory(State->Collected + State->CollectedLength, ReaderExtension->ReplyData + LINK_INF_OFFSET, infLength);
    State->CollectedLength += infLength;
    return STATUS_SUCCESS;
}

// How one round of an exchange ends.
typedef enum _LINK_ROUND_END {
    RoundContinue, // another block goes out
    RoundFinish,   // the exchange ends; Collected becomes the reply
    RoundAbandon   // the exchange ends; ReplyData keeps the last raw block
} LINK_ROUND_END;

// One round: send the next block, judge the reply. *Status is the status
// the exchange ends with when the round ends it.
LINK_ROUND_END LinkRound(PLINK_EXCHANGE_STATE State, PSMARTCARD_EXTENSION Extension, NTSTATUS* Status) {
    PAGED_CODE();

    PREADER_EXTENSION readerExtension = Extension->ReaderExtension;
    LINK_BLOCK_KIND sent = KindResynch;
    if (State->ReceiveOnly) {
        // Still waiting for the RESYNCH response: nothing goes out.
        State->ReceiveOnly = FALSE;
        *Status = UsbReceiveBlock(Extension);
    } else {
        *Status = BuildLinkBlock(State, readerExtension);
        if (!NT_SUCCESS(*Status)) {
            return RoundAbandon;
        }
        sent = State->Kind;
        *Status = UsbExchange(Extension);
    }
    if (!NT_SUCCESS(*Status)) {
        return RoundFinish;
    }

    // However well-formed each block is, an exchange that never ends holds
    // ReaderMutex for good.
    if (++State->ReplyCount > LINK_MAX_EXCHANGE_REPLIES) {
        TraceReader(Extension, TRACE_ERROR, "exchange given up after %lu blocks from the reader\n",
                    LINK_MAX_EXCHANGE_REPLIES);
        *Status = STATUS_INVALID_DEVICE_STATE;
        return RoundAbandon;
    }

    // While a RESYNCH awaits its response, a whole error R-block is the
    // reader's complaint about a block sent before (one cut short by a failed
    // write, say), queued ahead of the response: it is stale like any other
    // block there, not damage.
    const BOOLEAN staleComplaint = State->LastPcb == LINK_PCB_RESYNCH_REQUEST &&
                                   IsWholeBlock(readerExtension->ReplyData, readerExtension->ReplyLength) &&
                                   IsErrorRBlock(readerExtension->ReplyData[LINK_PCB_OFFSET]);
    if (!staleComplaint && !NT_SUCCESS(CheckReplyBlock(readerExtension->ReplyData, &readerExtension->ReplyLength))) {
        ++State->ErrorCount;
        // A RESYNCH is itself the recovery: a damaged answer to it is not
        // asked for again.
        if (State->ErrorCount > LINK_MAX_REPEATS || sent == KindResynch) {
            TraceReader(Extension, TRACE_WARNING, "damaged block from the reader; exchange failed\n");
            *Status = STATUS_INVALID_DEVICE_STATE;
            return RoundFinish;
        }
        TraceReader(Extension, TRACE_WARNING, "damaged block from the reader; asked for again (%lu)\n",
                    State->ErrorCount);
        State->Kind = KindRepeat;
        State->Remaining = LINK_MORE_BLOCKS;
        return RoundContinue;
    }

    // A RESYNCH is answered by an S(RESYNCH response) and nothing else. Any
    // other good block was queued by the reader before the RESYNCH reached
    // it (the late answer to an abandoned command, say) and is dropped
    // unanswered, a WTX request included; the response follows it in the
    // pipe. A reader that sends only such blocks is given up on.
    if (State->LastPcb == LINK_PCB_RESYNCH_REQUEST &&
        readerExtension->ReplyData[LINK_PCB_OFFSET] != LINK_PCB_RESYNCH_RESPONSE) {
        if (++State->StaleCount > LINK_MAX_STALE_BLOCKS) {
            TraceReader(Extension, TRACE_ERROR, "no RESYNCH response after %lu other blocks\n", LINK_MAX_STALE_BLOCKS);
            *Status = STATUS_INVALID_DEVICE_STATE;
            return RoundFinish;
        }
        TraceReader(Extension, TRACE_WARNING, "block PCB %02X queued before the RESYNCH dropped\n",
                    readerExtension->ReplyData[LINK_PCB_OFFSET]);
        State->ReceiveOnly = TRUE;
        return RoundContinue;
    }

    if (readerExtension->ReplyData[LINK_PCB_OFFSET] == LINK_PCB_WTX_REQUEST) {
        TraceReader(Extension, TRACE_REQUEST, "reader asks for more time (WTX)\n");
        State->Kind = KindWtxResponse;
        State->Remaining = LINK_MORE_BLOCKS;
        return RoundContinue;
    }

    const LINK_REPLY_VERDICT verdict = JudgeReply(State, readerExtension);
    if (verdict == ReplyFails) {
        TraceReader(Extension, TRACE_WARNING, "block PCB %02X out of step after PCB %02X sent\n",
                    readerExtension->ReplyData[LINK_PCB_OFFSET], State->LastPcb);
        *Status = STATUS_INVALID_DEVICE_STATE;
        return RoundAbandon;
    }
    if (verdict == ReplyIBlockAccepted || (State->Kind != KindWtxResponse && State->Kind != KindRepeat)) {
        *Status = CollectReplyInf(State, readerExtension);
        if (!NT_SUCCESS(*Status)) {
            TraceReader(Extension, TRACE_WARNING, "answer longer than %lu bytes\n", READER_BUFFER_SIZE);
            return RoundAbandon;
        }
    }
    *Status = STATUS_SUCCESS;
    return State->Remaining != 0 ? RoundContinue : RoundFinish;
}

} // namespace

NTSTATUS CheckReplyBlock(const UCHAR* Block, const ULONG* Length) {
    NT_ASSERT(Block != NULL && Length != NULL);
    if (!IsWholeBlock(Block, *Length)) {
        return STATUS_INVALID_DEVICE_STATE;
    }
    if (IsErrorRBlock(Block[LINK_PCB_OFFSET])) {
        return STATUS_INVALID_DEVICE_STATE; // 0x81, 0x82, 0x91, 0x92: the reader reports an error
    }
    return STATUS_SUCCESS;
}

// IRQL: PASSIVE_LEVEL; blocks on the bus and in the WTX pause.
NTSTATUS LinkExchange(const UCHAR* Data, ULONG Length, PSMARTCARD_EXTENSION Extension, LINK_BLOCK_KIND Kind) {
    PAGED_CODE();

    NT_ASSERT(Extension != NULL && Extension->ReaderExtension != NULL);
    NT_ASSERT(Data != NULL || Length == 0 || Kind != KindInformation);
    // Only an I-block command or a RESYNCH can start an exchange: the other
    // kinds answer a reply, and without a block sent before them there is
    // nothing for the reply table to judge the reader's answer against. A
    // command never exceeds the 270-byte command buffer.
    if ((Kind != KindInformation && Kind != KindResynch) || (Kind == KindInformation && Length > READER_BUFFER_SIZE)) {
        return STATUS_DEVICE_DATA_ERROR;
    }
    PREADER_EXTENSION readerExtension = Extension->ReaderExtension;

    LINK_EXCHANGE_STATE state;
    state.Data = Data;
    state.Length = Kind == KindInformation ? Length : 0;
    state.Kind = Kind;
    state.Remaining = static_cast<LONG>(state.Length);
    state.LastPcb = 0;
    state.ErrorCount = 0;
    state.ReplyCount = 0;
    state.StaleCount = 0;
    state.ReceiveOnly = FALSE;
    state.CollectedLength = 0;
    readerExtension->CommandLength = 0;

    NTSTATUS status = STATUS_SUCCESS;
    LINK_ROUND_END end;
    do {
        end = LinkRound(&state, Extension, &status);
    } while (end == RoundContinue);

    if (end == RoundFinish) {
        RtlCopyMemory(readerExtension->ReplyData, state.Collected, state.CollectedLength);
        readerExtension->ReplyLength = state.CollectedLength;
    }
    return status;
}
