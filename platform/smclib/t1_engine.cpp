// The library's ISO/IEC 7816-3 T=1 engine towards the card, as a reader
// driver runs it: SmartcardT1Request hands out the next block in
// SmartcardRequest, the driver sends it and puts the card's answer into
// SmartcardReply, and SmartcardT1Reply judges it. STATUS_MORE_PROCESSING_REQUIRED
// asks for another round; any other status ends the exchange, and on success
// the response lies behind the request's header in the reply buffer.
//
// What the engine does, in ISO/IEC 7816-3 terms:
// - after every reset (a new ATR) sequence numbers start at 0 and the
//   reader's frame size IFSD is announced by S(IFS request) before the first
//   I-block; a card that does not confirm it is served at the default IFSD;
// - the command goes out as I-blocks of at most IFSC bytes, chained, and the
//   response comes back chained within IFSD, each chained block acknowledged
//   by an R-block;
// - the card's S(WTX), S(IFS) and S(ABORT) requests are answered; a WTX
//   multiplier stretches the waiting time of the next block only (T1.Wtx);
// - a damaged or invalid block is answered by an R-block (or the S request
//   is sent again), each step at most kMaximumAttempts times; then
//   S(RESYNCH) restarts the session and the exchange from its first block;
//   when that fails too, the exchange gives up with
//   STATUS_DEVICE_PROTOCOL_ERROR and the next exchange begins with a RESYNCH.
//
// The command is copied into the library's own pool buffer when the
// exchange begins, because the request and reply buffers of a buffered
// control request are one and the same memory.
#include <algorithm>
#include <span>

#include "smclib/library_host.h"
#include "smclib/library_state.h"
#include "smclib/t1_block.h"

using namespace qv;
using namespace qv::smclib;

namespace {

// A block is sent at most this often before the engine moves to RESYNCH.
constexpr ULONG kMaximumAttempts = 3;
// S(RESYNCH request) is sent at most this often before the exchange gives up.
constexpr ULONG kMaximumResynchAttempts = 3;
// Successful RESYNCHs within one exchange before it gives up: a card that
// answers RESYNCH but keeps breaking the protocol afterwards.
constexpr ULONG kMaximumResynchsPerExchange = 3;
// S(IFS request) announcing IFSD is sent at most this often; then the
// default IFSD stands.
constexpr ULONG kMaximumIfsAttempts = 3;
// WTX requests in a row, with no other block between them, before the
// exchange gives up on the card: at the largest BWT of ISO/IEC 7816-3 with
// multiplier 1 this allows well over a quarter of an hour of work.
constexpr ULONG kMaximumWtxInARow = 100;
// The card's IFS and ABORT requests in a row before it is given up on.
constexpr ULONG kMaximumCardRequestsInARow = 16;
// Response bytes the engine takes past a full reply buffer, to keep in
// step with the card: the largest response of ISO/IEC 7816-4 (65536 bytes
// and the status word). A card that chains on beyond it is given up on.
constexpr ULONG kMaximumDiscarded = 65536 + 2;
// The smallest command APDU of ISO/IEC 7816-4: CLA INS P1 P2.
constexpr ULONG kMinimumApdu = 4;
constexpr ULONG kMaximumIfs = t1::kMaximumInformation;

using host::Note;

t1::Edc EdcOf(PSMARTCARD_EXTENSION SmartcardExtension) {
    return SmartcardExtension->CardCapabilities.T1.EDC != 0 ? t1::Edc::Crc : t1::Edc::Lrc;
}

UCHAR ValidSize(ULONG size) {
    return (size >= 1 && size <= kMaximumIfs) ? static_cast<UCHAR>(size) : t1::kDefaultInformationSize;
}

// The public mirror of the engine's state in T1_DATA, for the driver and
// for whoever looks at the extension.
void Mirror(PSMARTCARD_EXTENSION SmartcardExtension, const T1Session& s) {
    T1_DATA& t1 = SmartcardExtension->T1;
    t1.IFSC = s.ifsc;
    t1.IFSD = s.ifsd;
    t1.SSN = s.ssn;
    t1.RSN = s.rsn;
    t1.BytesSent = s.sent;
    t1.BytesReceived = s.received;
    t1.BytesToSend = s.commandLength - std::min(s.sent, s.commandLength);
    t1.InfBytesSent = static_cast<UCHAR>(s.chunk);
    t1.MoreData = s.iBlockPending && s.sent + s.chunk < s.commandLength ? TRUE : FALSE;
    t1.Resend = static_cast<UCHAR>(s.tries);
    t1.Resynch = static_cast<UCHAR>(s.resynchs);
    t1.State = static_cast<ULONG>(s.phase);
}

void FreeCommand(T1Session& s) {
    if (s.command != nullptr) ExFreePoolWithTag(s.command, kLibraryTag);
    s.command = nullptr;
    s.commandLength = 0;
}

void OpenSession(PSMARTCARD_EXTENSION SmartcardExtension, LibraryOsData& data) {
    T1Session& s = data.t1;
    s.open = true;
    s.generation = data.cardResets;
    s.ssn = 0;
    s.rsn = 0;
    s.ifsc = ValidSize(SmartcardExtension->CardCapabilities.T1.IFSC);
    s.ifsdWanted = ValidSize(SmartcardExtension->T1.IFSD);
    s.ifsd = s.ifsdWanted;
    s.ifsdAnnounced = false;
    s.resynchFirst = false;
}

// ---------------------------------------------------------------------------
// The block to send next

void SetOut(T1Session& s, UCHAR pcb, std::span<const UCHAR> information = {}) {
    s.outPcb = pcb;
    s.outLength = static_cast<ULONG>(information.size());
    std::copy(information.begin(), information.end(), s.outInformation);
}

void OutIfsRequest(T1Session& s) {
    const UCHAR ifsd = s.ifsd;
    SetOut(s, t1::kPcbSBlock | t1::kSIfs, std::span<const UCHAR>(&ifsd, 1));
}

void OutResynchRequest(T1Session& s) { SetOut(s, t1::kPcbSBlock | t1::kSResynch); }

void OutRBlock(T1Session& s, UCHAR error) {
    SetOut(s, static_cast<UCHAR>(t1::kPcbRBlock | (s.rsn ? t1::kPcbRSequence : 0) | error));
}

// Our I-block at the current position: a new one takes the next N(S); a
// repeat keeps its N(S) and is cut again at the IFSC in force now.
void OutIBlock(T1Session& s, bool repeat) {
    if (!repeat) {
        s.iBlockNs = s.ssn;
        s.ssn ^= 1;
    }
    s.iBlockPending = true;
    s.chunk = std::min<ULONG>(s.commandLength - s.sent, s.ifsc);
    const bool more = s.sent + s.chunk < s.commandLength;
    const UCHAR pcb = static_cast<UCHAR>((s.iBlockNs ? t1::kPcbISequence : 0) | (more ? t1::kPcbIMore : 0));
    SetOut(s, pcb, std::span<const UCHAR>(s.command + s.sent, s.chunk));
}

// The exchange's first block from the current state of the session.
void OutFirstBlock(T1Session& s) {
    s.sent = 0;
    s.chunk = 0;
    s.received = 0;
    s.overflow = false;
    s.iBlockPending = false;
    s.tries = 0;
    s.wtxInARow = 0;
    s.requestsInARow = 0;
    s.discarded = 0;
    if (s.resynchFirst) {
        s.phase = T1Phase::Resynch;
        s.resynchTries = 0;
        OutResynchRequest(s);
    } else if (!s.ifsdAnnounced) {
        s.phase = T1Phase::Ifs;
        s.ifsTries = 0;
        OutIfsRequest(s);
    } else {
        s.phase = T1Phase::Transfer;
        OutIBlock(s, false);
    }
}

// ---------------------------------------------------------------------------
// Ends of an exchange

NTSTATUS Finish(PSMARTCARD_EXTENSION SmartcardExtension, T1Session& s, NTSTATUS status) {
    if (NT_SUCCESS(status)) {
        // The header went in front when the exchange began, the response
        // behind it as it came.
        *SmartcardExtension->IoRequest.Information = s.pciLength + s.received;
    } else if (status == STATUS_DEVICE_PROTOCOL_ERROR || status == STATUS_IO_TIMEOUT) {
        // Nobody knows where the card's sequence numbers stand now.
        s.resynchFirst = true;
    }
    Note("T=1 exchange ends: %s, %u bytes out, %u in", host::StatusName(status), static_cast<unsigned>(s.commandLength),
         static_cast<unsigned>(s.received));
    FreeCommand(s);
    s.phase = T1Phase::Idle;
    s.blockOut = false;
    s.iBlockPending = false;
    s.chunk = 0;
    SmartcardExtension->T1.Wtx = 0;
    Mirror(SmartcardExtension, s);
    return status;
}

NTSTATUS More(PSMARTCARD_EXTENSION SmartcardExtension, T1Session& s) {
    Mirror(SmartcardExtension, s);
    return STATUS_MORE_PROCESSING_REQUIRED;
}

// S(RESYNCH request), or giving up when this exchange has had its share.
NTSTATUS StartResynch(PSMARTCARD_EXTENSION SmartcardExtension, T1Session& s) {
    if (s.resynchs >= kMaximumResynchsPerExchange) return Finish(SmartcardExtension, s, STATUS_DEVICE_PROTOCOL_ERROR);
    Note("T=1: resynchronising with the card");
    s.phase = T1Phase::Resynch;
    s.resynchTries = 0;
    s.tries = 0;
    OutResynchRequest(s);
    return More(SmartcardExtension, s);
}

// A damaged or unexpected block from the card, or none at all.
NTSTATUS Fault(PSMARTCARD_EXTENSION SmartcardExtension, T1Session& s, UCHAR error) {
    switch (s.phase) {
    case T1Phase::Resynch:
        if (++s.resynchTries >= kMaximumResynchAttempts) {
            return Finish(SmartcardExtension, s, STATUS_DEVICE_PROTOCOL_ERROR);
        }
        OutResynchRequest(s);
        return More(SmartcardExtension, s);
    case T1Phase::Ifs:
        if (++s.ifsTries >= kMaximumIfsAttempts) {
            // The card does not take our IFSD: carry on at the default, which
            // is what the card assumes of us without an agreement.
            Note("T=1: the card did not confirm IFSD %u; default IFSD used", static_cast<unsigned>(s.ifsd));
            s.ifsd = t1::kDefaultInformationSize;
            s.ifsdAnnounced = true;
            s.phase = T1Phase::Transfer;
            OutIBlock(s, false);
            return More(SmartcardExtension, s);
        }
        OutIfsRequest(s);
        return More(SmartcardExtension, s);
    default:
        if (++s.tries >= kMaximumAttempts) return StartResynch(SmartcardExtension, s);
        OutRBlock(s, error);
        return More(SmartcardExtension, s);
    }
}

// The card's request of an S-block: answered in any phase. The card then
// goes on with whatever it was to send.
NTSTATUS AnswerCardRequest(PSMARTCARD_EXTENSION SmartcardExtension, T1Session& s, UCHAR type,
                           std::span<const UCHAR> information) {
    const UCHAR response = static_cast<UCHAR>(t1::kPcbSBlock | t1::kPcbSResponse | type);
    switch (type) {
    case t1::kSWtx:
        if (information.size() != 1 || information[0] == 0) return Fault(SmartcardExtension, s, t1::kErrorOther);
        if (++s.wtxInARow > kMaximumWtxInARow) {
            Note("T=1: the card keeps asking for more time; exchange given up");
            return Finish(SmartcardExtension, s, STATUS_IO_TIMEOUT);
        }
        SetOut(s, response, information);
        // The next block's waiting time is BWT times the card's multiplier.
        SmartcardExtension->T1.Wtx = information[0];
        return More(SmartcardExtension, s);
    case t1::kSIfs:
        if (information.size() != 1 || information[0] == 0 || information[0] > kMaximumIfs) {
            return Fault(SmartcardExtension, s, t1::kErrorOther);
        }
        if (++s.requestsInARow > kMaximumCardRequestsInARow) {
            return Finish(SmartcardExtension, s, STATUS_DEVICE_PROTOCOL_ERROR);
        }
        s.ifsc = information[0];
        s.wtxInARow = 0;
        SetOut(s, response, information);
        return More(SmartcardExtension, s);
    case t1::kSAbort:
        if (!information.empty()) return Fault(SmartcardExtension, s, t1::kErrorOther);
        // The chain in progress is dropped, ours or the card's; the card then
        // sends its answer as a fresh response.
        Note("T=1: the card aborted the chain");
        if (++s.requestsInARow > kMaximumCardRequestsInARow) {
            return Finish(SmartcardExtension, s, STATUS_DEVICE_PROTOCOL_ERROR);
        }
        s.wtxInARow = 0;
        if (s.phase == T1Phase::Transfer) {
            s.iBlockPending = false;
            s.sent = s.commandLength;
            s.chunk = 0;
            s.received = 0;
            s.overflow = false;
        }
        SetOut(s, response);
        return More(SmartcardExtension, s);
    default:
        // RESYNCH is the interface device's to ask for; others are unknown.
        return Fault(SmartcardExtension, s, t1::kErrorOther);
    }
}

NTSTATUS OnResponseS(PSMARTCARD_EXTENSION SmartcardExtension, T1Session& s, UCHAR type,
                     std::span<const UCHAR> information) {
    if (s.phase == T1Phase::Resynch && type == t1::kSResynch && information.empty()) {
        ++s.resynchs;
        s.ssn = 0;
        s.rsn = 0;
        s.ifsc = ValidSize(SmartcardExtension->CardCapabilities.T1.IFSC);
        s.ifsd = s.ifsdWanted;
        s.ifsdAnnounced = false;
        s.resynchFirst = false;
        s.resynchTries = 0;
        // Everything starts over: the IFSD announcement, then the command.
        OutFirstBlock(s);
        return More(SmartcardExtension, s);
    }
    if (s.phase == T1Phase::Ifs && type == t1::kSIfs && information.size() == 1) {
        if (information[0] != s.ifsd) return Fault(SmartcardExtension, s, t1::kErrorOther);
        s.ifsdAnnounced = true;
        s.phase = T1Phase::Transfer;
        s.tries = 0;
        OutIBlock(s, false);
        return More(SmartcardExtension, s);
    }
    return Fault(SmartcardExtension, s, t1::kErrorOther);
}

NTSTATUS OnRBlock(PSMARTCARD_EXTENSION SmartcardExtension, T1Session& s, const t1::Block& block) {
    if (!block.information.empty() || (block.pcb & t1::kPcbRReservedMask) != 0 ||
        (block.pcb & t1::kPcbRErrorMask) > t1::kErrorOther) {
        return Fault(SmartcardExtension, s, t1::kErrorOther);
    }
    if (s.phase != T1Phase::Transfer) {
        // The card did not take our S request: send it again.
        return Fault(SmartcardExtension, s, t1::kErrorOther);
    }
    const UCHAR nr = (block.pcb & t1::kPcbRSequence) ? 1 : 0;
    s.wtxInARow = 0;
    s.requestsInARow = 0;
    if (s.iBlockPending) {
        const bool more = s.sent + s.chunk < s.commandLength;
        if (nr != s.iBlockNs && more) {
            // The card took our chained block and asks for the next one.
            s.sent += s.chunk;
            s.tries = 0;
            OutIBlock(s, false);
            return More(SmartcardExtension, s);
        }
        if (nr == s.iBlockNs) {
            // The card asks for our I-block again.
            if (++s.tries >= kMaximumAttempts) return StartResynch(SmartcardExtension, s);
            OutIBlock(s, true);
            return More(SmartcardExtension, s);
        }
        // An acknowledgement of our last block, which only an I-block may give.
        return Fault(SmartcardExtension, s, t1::kErrorOther);
    }
    // While the card sends its chain, an R-block asks for our last
    // acknowledgement again.
    if (++s.tries >= kMaximumAttempts) return StartResynch(SmartcardExtension, s);
    return More(SmartcardExtension, s);
}

NTSTATUS OnIBlock(PSMARTCARD_EXTENSION SmartcardExtension, T1Session& s, const t1::Block& block) {
    const UCHAR ns = (block.pcb & t1::kPcbISequence) ? 1 : 0;
    const bool more = (block.pcb & t1::kPcbIMore) != 0;
    if (s.phase != T1Phase::Transfer) return Fault(SmartcardExtension, s, t1::kErrorOther);
    if (block.information.size() > s.ifsd) return Fault(SmartcardExtension, s, t1::kErrorOther);
    if (s.iBlockPending && s.sent + s.chunk < s.commandLength) {
        // Our chain is not through: the card must acknowledge, not answer.
        return Fault(SmartcardExtension, s, t1::kErrorOther);
    }
    if (ns != s.rsn) return Fault(SmartcardExtension, s, t1::kErrorOther);
    // A chained block carries data: an empty one would let a chain run for ever.
    if (more && block.information.empty()) return Fault(SmartcardExtension, s, t1::kErrorOther);

    if (s.iBlockPending) {
        s.sent = s.commandLength;
        s.iBlockPending = false;
    }
    s.rsn ^= 1;
    s.tries = 0;
    s.wtxInARow = 0;
    s.requestsInARow = 0;
    // Response bytes go straight behind the header, never past the buffer.
    const auto& io = SmartcardExtension->IoRequest;
    const ULONG room = io.ReplyBuffer == nullptr || io.ReplyBufferLength < s.pciLength
                           ? 0
                           : io.ReplyBufferLength - s.pciLength;
    const ULONG bytes = static_cast<ULONG>(block.information.size());
    const ULONG fits = s.received >= room ? 0 : std::min(bytes, room - s.received);
    if (fits != 0) {
        RtlCopyMemory(io.ReplyBuffer + s.pciLength + s.received, block.information.data(), fits);
    }
    if (fits < bytes) {
        s.overflow = true;
        s.discarded += bytes - fits;
    }
    s.received += fits;
    if (s.discarded > kMaximumDiscarded) {
        Note("T=1: the card's response chain runs past any response length");
        return Finish(SmartcardExtension, s, STATUS_DEVICE_PROTOCOL_ERROR);
    }
    if (more) {
        OutRBlock(s, t1::kErrorNone);
        return More(SmartcardExtension, s);
    }
    if (s.overflow) {
        Note("T=1: the response does not fit the reply buffer of %u bytes",
             static_cast<unsigned>(SmartcardExtension->IoRequest.ReplyBufferLength));
        return Finish(SmartcardExtension, s, STATUS_BUFFER_TOO_SMALL);
    }
    return Finish(SmartcardExtension, s, STATUS_SUCCESS);
}

// Starts an exchange for the transmit request in IoRequest.
NTSTATUS Begin(PSMARTCARD_EXTENSION SmartcardExtension, LibraryOsData& data) {
    T1Session& s = data.t1;
    const auto& io = SmartcardExtension->IoRequest;
    if (io.RequestBuffer == nullptr || io.RequestBufferLength < sizeof(SCARD_IO_REQUEST)) {
        return STATUS_INVALID_PARAMETER;
    }
    SCARD_IO_REQUEST header;
    RtlCopyMemory(&header, io.RequestBuffer, sizeof header);
    if (header.cbPciLength < sizeof(SCARD_IO_REQUEST) || header.cbPciLength > io.RequestBufferLength) {
        return STATUS_INVALID_PARAMETER;
    }
    const ULONG length = io.RequestBufferLength - header.cbPciLength;
    if (length < kMinimumApdu) return STATUS_INVALID_PARAMETER;
    if (io.ReplyBuffer == nullptr || io.Information == nullptr || io.ReplyBufferLength < header.cbPciLength ||
        io.ReplyBufferLength < sizeof(SCARD_IO_REQUEST)) {
        return STATUS_BUFFER_TOO_SMALL;
    }
    auto* command = static_cast<PUCHAR>(ExAllocatePoolWithTag(NonPagedPool, length, kLibraryTag));
    if (command == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
    RtlCopyMemory(command, io.RequestBuffer + header.cbPciLength, length);
    // The header and its protocol data go in front of the reply now; the
    // request and reply buffers may be the same memory, and nothing of the
    // response lies below cbPciLength.
    RtlMoveMemory(io.ReplyBuffer, io.RequestBuffer, header.cbPciLength);

    if (!s.open || s.generation != data.cardResets) OpenSession(SmartcardExtension, data);
    s.command = command;
    s.commandLength = length;
    s.pciLength = header.cbPciLength;
    s.resynchs = 0;
    OutFirstBlock(s);
    return STATUS_SUCCESS;
}

} // namespace

namespace qv::smclib {

void NoteCardReset(LibraryOsData& data) { ++data.cardResets; }

void EndT1Exchange(PSMARTCARD_EXTENSION SmartcardExtension, LibraryOsData& data) {
    T1Session& s = data.t1;
    if (s.phase != T1Phase::Idle) {
        Note("T=1 exchange left unfinished by the reader; the next one resynchronises first");
        s.resynchFirst = true;
    }
    FreeCommand(s);
    s.phase = T1Phase::Idle;
    s.blockOut = false;
    s.iBlockPending = false;
    SmartcardExtension->T1.Wtx = 0;
}

} // namespace qv::smclib

extern "C" {

NTSTATUS NTAPI SmartcardT1Request(PSMARTCARD_EXTENSION SmartcardExtension) {
    QV_LIBRARY_CHECK_CALLER();
    host::RequireIrqlAtMost(DISPATCH_LEVEL, "SmartcardT1Request");
    LibraryOsData& data = LibraryOf(SmartcardExtension, "SmartcardT1Request");
    T1Session& s = data.t1;
    SMARTCARD_REQUEST& out = SmartcardExtension->SmartcardRequest;
    // The driver's own header bytes, if any, stay in front of the block.
    const ULONG prefix = out.BufferLength;
    if (out.Buffer == nullptr || prefix > out.BufferSize) return STATUS_INSUFFICIENT_RESOURCES;

    if (s.phase != T1Phase::Idle && s.generation != data.cardResets) {
        // The card was reset under the exchange: what was sent is gone.
        EndT1Exchange(SmartcardExtension, data);
    }
    if (s.phase == T1Phase::Idle) {
        const NTSTATUS status = Begin(SmartcardExtension, data);
        if (!NT_SUCCESS(status)) return status;
    }
    // Asked twice for a block without an answer in between, the engine
    // hands out the same block again.

    const UCHAR nad = SmartcardExtension->T1.NAD;
    const std::size_t length =
        t1::BuildBlock(std::span<UCHAR>(out.Buffer + prefix, out.BufferSize - prefix), nad, s.outPcb,
                       std::span<const UCHAR>(s.outInformation, s.outLength), EdcOf(SmartcardExtension));
    if (length == 0) return STATUS_INSUFFICIENT_RESOURCES;
    out.BufferLength = prefix + static_cast<ULONG>(length);
    s.sentNad = nad;
    s.blockOut = true;
    Mirror(SmartcardExtension, s);
    return STATUS_SUCCESS;
}

NTSTATUS NTAPI SmartcardT1Reply(PSMARTCARD_EXTENSION SmartcardExtension) {
    QV_LIBRARY_CHECK_CALLER();
    host::RequireIrqlAtMost(DISPATCH_LEVEL, "SmartcardT1Reply");
    LibraryOsData& data = LibraryOf(SmartcardExtension, "SmartcardT1Reply");
    T1Session& s = data.t1;
    // The multiplier applied to the block just answered; a new WTX sets it again.
    SmartcardExtension->T1.Wtx = 0;
    // An answer needs a block it answers.
    if (s.phase == T1Phase::Idle || !s.blockOut) return STATUS_INVALID_DEVICE_STATE;
    s.blockOut = false;

    const SMARTCARD_REPLY& in = SmartcardExtension->SmartcardReply;
    const ULONG length = in.Buffer == nullptr ? 0 : std::min(in.BufferLength, in.BufferSize);
    const t1::Block block = t1::ParseBlock(std::span<const UCHAR>(in.Buffer, length), EdcOf(SmartcardExtension));
    if (block.damage != t1::Damage::None) {
        return Fault(SmartcardExtension, s, length == 0 ? t1::kErrorOther : t1::kErrorEdc);
    }
    if (block.nad != t1::AnswerNad(s.sentNad)) return Fault(SmartcardExtension, s, t1::kErrorOther);

    switch (block.kind) {
    case t1::Kind::I:
        return OnIBlock(SmartcardExtension, s, block);
    case t1::Kind::R:
        return OnRBlock(SmartcardExtension, s, block);
    case t1::Kind::S: {
        const UCHAR type = block.pcb & t1::kPcbSTypeMask;
        if ((block.pcb & t1::kPcbSResponse) == 0) return AnswerCardRequest(SmartcardExtension, s, type, block.information);
        return OnResponseS(SmartcardExtension, s, type, block.information);
    }
    }
    return Fault(SmartcardExtension, s, t1::kErrorOther);
}

} // extern "C"
