#include "reader_blocks.h"

#include <algorithm>

#include "reader_protocol.h"

namespace qv::sim {

namespace {
constexpr std::uint8_t kLrcDamage = 0xFF;
constexpr std::uint8_t kMaxWtxMultiplier = 0xFF;
} // namespace

ReaderBlocks::ReaderBlocks(ReaderCommands& commands, FaultPlan& faults, usb::Time waitingTime)
    : commands_(commands), faults_(faults), waitingTime_(waitingTime) {}

void ReaderBlocks::Reset() {
    hostSequence_ = 0;
    readerSequence_ = 0;
    command_.clear();
    answer_.reset();
    lastBlock_.clear();
    lastReadyAt_ = 0;
    lastWithoutCard_.reset();
}

void ReaderBlocks::CardGone(bool firstBlockReplaced) {
    if (firstBlockReplaced && lastWithoutCard_) {
        // The reader's buffer now holds the short answer that went out in
        // the replaced block's place, with its sequence bit.
        lastBlock_ = std::move(*lastWithoutCard_);
        lastWithoutCard_.reset();
        if (answer_ && answer_->withoutCard) answer_.reset();
        return;
    }
    // An answer still waiting for its time (behind a waiting-time
    // extension) never came from the card.
    if (answer_ && !answer_->started && answer_->withoutCard) {
        answer_->inf = std::move(*answer_->withoutCard);
        answer_->withoutCard.reset();
    }
}

std::uint8_t ReaderBlocks::RSequence() const {
    return static_cast<std::uint8_t>(hostSequence_ >> kSequenceToRShift);
}

Bytes ReaderBlocks::Build(std::uint8_t pcb, std::span<const std::uint8_t> inf) const {
    Bytes block{kReaderNad, pcb, static_cast<std::uint8_t>(inf.size())};
    block.reserve(inf.size() + kBlockOverhead); // also keeps GCC 12 -O3 from a false -Warray-bounds
    block.insert(block.end(), inf.begin(), inf.end());
    block.push_back(Lrc(block));
    return block;
}

OutgoingBlock ReaderBlocks::Receive(std::span<const std::uint8_t> block, usb::Time now) {
    if (!block.empty() && block[kNadOffset] == kCardNad) return FromCard(block, now);

    // Length first, then the check byte, then the address: a block that is
    // cut short has no trustworthy LRC to judge.
    if (block.size() < kBlockOverhead || block.size() != block[kLenOffset] + kBlockOverhead)
        return ErrorBlock(kRErrorOther, now);
    if (Lrc(block) != 0) return ErrorBlock(kRErrorParity, now);
    if (block[kNadOffset] != kHostNad) return ErrorBlock(kRErrorOther, now);

    std::uint8_t pcb = block[kPcbOffset];
    auto inf = block.subspan(kInfOffset, block[kLenOffset]);
    if (IsIBlock(pcb)) return OnIBlock(pcb, inf, now);
    if (IsRBlock(pcb)) return OnRBlock(pcb, now);
    return OnSBlock(pcb, inf, now);
}

OutgoingBlock ReaderBlocks::ReceiveDamaged(usb::Time now) { return ErrorBlock(kRErrorParity, now); }

OutgoingBlock ReaderBlocks::FromCard(std::span<const std::uint8_t> block, usb::Time now) {
    // The card's T=1 block travels past the link untouched: no sequence
    // bits, no faults, and not remembered for a link repeat. A silent card
    // gives an empty block, which goes out as one header-only packet.
    // The reader's buffer for the card line holds the largest T=1 block
    // (254 bytes of information and a CRC); what is longer is cut there,
    // and the card refuses what is left.
    constexpr std::size_t kMaxCardBlock = kMaxInfSize + kPrologueSize + 2;
    CardReply reply = commands_.CardBlock(block.first(std::min(block.size(), kMaxCardBlock)));
    // A card pulled out before its block is done sends nothing.
    std::optional<Bytes> withoutCard;
    if (reply.bytes) withoutCard = Bytes{};
    return {reply.bytes.value_or(Bytes{}), now + kBlockTurnaround + reply.duration, false, std::move(withoutCard)};
}

OutgoingBlock ReaderBlocks::OnIBlock(std::uint8_t pcb, std::span<const std::uint8_t> inf, usb::Time now) {
    if ((pcb & kPcbSequence) != hostSequence_) return ErrorBlock(kRErrorOther, now);
    // While the reader's answer is going out (chained, or waiting for the
    // host's S(WTX response)) the host owes it an R-block or the response;
    // a new I-block then breaks the block rules and is refused, the answer
    // and the sequence bits staying as they were. Only a RESYNCH or an
    // ABORT ends an answer early.
    if (answer_) return ErrorBlock(kRErrorOther, now);
    hostSequence_ ^= kPcbSequence;
    if (command_.size() + inf.size() > kMaxCommandSize) {
        command_.clear();
        return ErrorBlock(kRErrorOther, now);
    }
    command_.insert(command_.end(), inf.begin(), inf.end());
    if ((pcb & kPcbMore) != 0) {
        // Acknowledge the piece by asking for the next one.
        return Emit(Build(kPcbRBlockType | RSequence()), now + kBlockTurnaround);
    }
    return RunCommand(now);
}

OutgoingBlock ReaderBlocks::RunCommand(usb::Time now) {
    const bool late = faults_.Take(Fault::LateAnswer);
    OutgoingBlock block = AnswerCommand(now);
    block.held = late;
    return block;
}

OutgoingBlock ReaderBlocks::AnswerCommand(usb::Time now) {
    CommandOutcome outcome = commands_.Execute(command_);
    command_.clear();
    // A slow reader that does not say so: the answer simply takes 20 s.
    const bool slowWithoutWtx = faults_.Take(Fault::SlowNoWtx);
    if (slowWithoutWtx) outcome.duration = std::max(outcome.duration, kSlowAnswerTime);
    // A reader slower than any fixed bound, that says so again and again.
    if (faults_.Take(Fault::SlowWtx)) outcome.duration = std::max(outcome.duration, kVerySlowAnswerTime);
    Answer answer;
    answer.inf = std::move(outcome.reply);
    answer.readyAt = now + outcome.duration;
    answer.withoutCard = std::move(outcome.withoutCard);

    // Misbehaviours that put another block in the answer's place; the
    // answer itself is lost, and the reader's sequence bit stays where it
    // was, since no I-block went out.
    if (faults_.Take(Fault::AnswerRBlock)) return Emit(Build(kPcbRBlockType | RSequence()), answer.readyAt);
    if (faults_.Take(Fault::AnswerSBlock)) {
        const std::uint8_t ifs[] = {kFaultIfs};
        return Emit(Build(kPcbIfsRequest, ifs), answer.readyAt);
    }

    if (faults_.Take(Fault::AnswerChained)) answer.pieceSize = kFaultChainPieceSize;
    answer.endlessEmpty = faults_.Take(Fault::EndlessEmptyChain);
    bool forcedWtx = faults_.Take(Fault::AnswerWtx);
    bool slow = outcome.duration > waitingTime_ && !slowWithoutWtx;
    answer_ = std::move(answer);
    if (!forcedWtx && !slow) return NextPiece(answer_->readyAt);

    // Ask for more time first; the answer goes out after the host's
    // S(WTX response).
    return AskForTime(now);
}

OutgoingBlock ReaderBlocks::AskForTime(usb::Time at) {
    // Enough waiting-time units for what is left of the work, but never more
    // than kMaxWtxSpan at once: an operation that takes longer asks again
    // when the time granted runs out, as ISO/IEC 7816-3 has it.
    Answer& answer = *answer_;
    const usb::Time left = answer.readyAt > at ? answer.readyAt - at : 0;
    const usb::Time span = std::min(left, kMaxWtxSpan);
    const usb::Time units = std::clamp<usb::Time>((span + waitingTime_ - 1) / waitingTime_, 1, kMaxWtxMultiplier);
    answer.awaitingWtxResponse = true;
    answer.grantedUntil = at + units * waitingTime_;
    const std::uint8_t multiplier[] = {static_cast<std::uint8_t>(units)};
    return Emit(Build(kPcbWtxRequest, multiplier), at + kBlockTurnaround);
}

OutgoingBlock ReaderBlocks::NextPiece(usb::Time readyAt) {
    Answer& answer = *answer_;
    answer.started = true;
    if (answer.endlessEmpty) {
        // A chain that never gets anywhere: each piece is empty and says
        // more follows, until the host gives up with a RESYNCH.
        Bytes block = Build(readerSequence_ | kPcbMore);
        readerSequence_ ^= kPcbSequence;
        return Emit(std::move(block), readyAt);
    }
    std::size_t left = answer.inf.size() - answer.sent;
    std::size_t piece = std::min(left, answer.pieceSize);
    std::uint8_t pcb = readerSequence_;
    if (piece < left) pcb |= kPcbMore;
    Bytes block = Build(pcb, std::span(answer.inf).subspan(answer.sent, piece));
    // The first block of an answer the card is part of goes out only if the
    // card is still there when it falls due; otherwise the reader's short
    // "no card" answer goes in its place, with the same sequence bit.
    std::optional<Bytes> withoutCard;
    if (answer.sent == 0 && answer.withoutCard) withoutCard = Build(readerSequence_, *answer.withoutCard);
    answer.sent += piece;
    readerSequence_ ^= kPcbSequence;
    if (answer.sent == answer.inf.size()) answer_.reset();
    OutgoingBlock out = Emit(std::move(block), readyAt);
    lastWithoutCard_ = withoutCard;
    out.withoutCard = std::move(withoutCard);
    return out;
}

OutgoingBlock ReaderBlocks::OnRBlock(std::uint8_t pcb, usb::Time now) {
    bool acknowledge = (pcb & kPcbRErrorMask) == kRErrorNone;
    bool asksNextPiece = (pcb & kPcbRSequence) == (readerSequence_ >> kSequenceToRShift);
    if (acknowledge && asksNextPiece && answer_ && answer_->started) return NextPiece(now + kBlockTurnaround);
    // A repeat request, or an R-block that continues nothing: the host
    // missed the reader's last block, so it goes out again.
    return Resend(now);
}

OutgoingBlock ReaderBlocks::OnSBlock(std::uint8_t pcb, std::span<const std::uint8_t> inf, usb::Time now) {
    switch (pcb) {
    case kPcbResynchRequest:
        Reset();
        return Emit(Build(kPcbResynchResponse), now + kBlockTurnaround);
    case kPcbIfsRequest:
        return Emit(Build(kPcbIfsResponse, inf), now + kBlockTurnaround);
    case kPcbAbortRequest:
        command_.clear();
        answer_.reset();
        return Emit(Build(kPcbAbortResponse), now + kBlockTurnaround);
    case kPcbWtxResponse:
        if (answer_ && answer_->awaitingWtxResponse) {
            answer_->awaitingWtxResponse = false;
            if (answer_->readyAt > answer_->grantedUntil) return AskForTime(std::max(answer_->grantedUntil, now));
            return NextPiece(std::max(answer_->readyAt, now + kBlockTurnaround));
        }
        return ErrorBlock(kRErrorOther, now);
    default:
        return ErrorBlock(kRErrorOther, now);
    }
}

OutgoingBlock ReaderBlocks::Resend(usb::Time now) {
    if (lastBlock_.empty()) return ErrorBlock(kRErrorOther, now);
    return Emit(lastBlock_, std::max(lastReadyAt_, now + kBlockTurnaround));
}

OutgoingBlock ReaderBlocks::ErrorBlock(std::uint8_t error, usb::Time now) {
    return Emit(Build(static_cast<std::uint8_t>(kPcbRBlockType | RSequence() | error)), now + kBlockTurnaround);
}

OutgoingBlock ReaderBlocks::Emit(Bytes block, usb::Time readyAt) {
    lastBlock_ = block;
    lastReadyAt_ = readyAt;
    lastWithoutCard_.reset();
    return {Damage(std::move(block)), readyAt};
}

Bytes ReaderBlocks::Damage(Bytes block) {
    // Faults change only what goes on the wire: the block kept for a repeat
    // request is the good one, so the host can recover by asking again.
    auto reseal = [](Bytes& b) { b.back() = Lrc(std::span(b).first(b.size() - kEpilogueSize)); };
    if (faults_.Take(Fault::AnswerErrorBlock)) block = Build(kPcbRBlockType | RSequence() | kRErrorOther);
    if (IsIBlock(block[kPcbOffset]) && faults_.Take(Fault::AnswerWrongSequence)) {
        block[kPcbOffset] ^= kPcbSequence;
        reseal(block);
    }
    if (faults_.Take(Fault::AnswerBadLength)) {
        ++block[kLenOffset];
        reseal(block);
    }
    if (faults_.Take(Fault::AnswerBadNad)) {
        block[kNadOffset] = kForeignNad;
        reseal(block);
    }
    if (faults_.Take(Fault::AnswerBadLrc)) block.back() ^= kLrcDamage;
    return block;
}

} // namespace qv::sim
