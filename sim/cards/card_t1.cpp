#include "cards/card_t1.h"

#include <algorithm>

#include "reader_protocol.h"

namespace qv::sim {

namespace {

constexpr std::uint16_t kCrcStart = 0xFFFF;
constexpr std::uint16_t kCrcPolynomial = 0x8408; // x^16 + x^12 + x^5 + 1, low bit first
constexpr unsigned kBitsPerByte = 8;
constexpr std::size_t kCrcSize = 2;
constexpr std::uint8_t kMaxWtxMultiplier = 0xFF;
constexpr usb::Time kEarlyAskDivider = 4;
constexpr std::uint8_t kMinIfs = 0x01;
constexpr std::uint8_t kMaxIfs = 0xFE;
constexpr std::size_t kIsoDefaultIfsd = 32;
// The card's own time to turn a block round when it has nothing to work on.
constexpr usb::Time kTurnaround = 200 * kMicrosecond;
constexpr std::uint8_t kEdcDamage = 0x5A;

std::size_t EdcSize(bool crc) { return crc ? kCrcSize : kEpilogueSize; }

} // namespace

std::uint16_t T1Crc(std::span<const std::uint8_t> bytes) {
    std::uint16_t crc = kCrcStart;
    for (std::uint8_t b : bytes) {
        crc ^= b;
        for (unsigned i = 0; i < kBitsPerByte; ++i) crc = (crc & 1) != 0 ? (crc >> 1) ^ kCrcPolynomial : crc >> 1;
    }
    // ISO/IEC 13239's frame check sequence is the ones' complement of the
    // remainder.
    return static_cast<std::uint16_t>(~crc);
}

Bytes SealT1Block(Bytes block, bool crc) {
    if (crc) {
        const std::uint16_t sum = T1Crc(block);
        block.push_back(static_cast<std::uint8_t>(sum));
        block.push_back(static_cast<std::uint8_t>(sum >> kBitsPerByte));
    } else {
        const std::uint8_t lrc = Lrc(block);
        block.push_back(lrc);
    }
    return block;
}

bool T1BlockIntact(std::span<const std::uint8_t> block, bool crc) {
    const std::size_t edc = EdcSize(crc);
    if (block.size() < kPrologueSize + edc || block.size() != block[kLenOffset] + kPrologueSize + edc) return false;
    if (!crc) return Lrc(block) == 0;
    const auto body = block.first(block.size() - kCrcSize);
    const std::uint16_t sum = T1Crc(body);
    return block[block.size() - 2] == static_cast<std::uint8_t>(sum) &&
           block[block.size() - 1] == static_cast<std::uint8_t>(sum >> kBitsPerByte);
}

void CardT1::Reset() {
    ifsc_ = settings_.ifsc;
    ifsd_ = kIsoDefaultIfsd;
    hostSequence_ = 0;
    cardSequence_ = 0;
    command_.clear();
    response_.clear();
    sent_ = 0;
    answering_ = false;
    workLeft_ = 0;
    pendingGrant_ = 0;
    awaitingWtx_ = false;
    oneWaitAtATime_ = false;
    afterWtx_.reset();
    wrongSequence_ = false;
    last_.clear();
}

std::uint8_t CardT1::NR() const { return static_cast<std::uint8_t>(hostSequence_ >> kSequenceToRShift); }

Bytes CardT1::Build(std::uint8_t pcb, std::span<const std::uint8_t> inf) const {
    Bytes block{kCardNad, pcb, static_cast<std::uint8_t>(inf.size())};
    block.reserve(inf.size() + kPrologueSize + kCrcSize); // also keeps GCC 12 -O3 from a false -Warray-bounds
    block.insert(block.end(), inf.begin(), inf.end());
    return SealT1Block(std::move(block), settings_.crc);
}

T1Answer CardT1::Emit(Bytes block, usb::Time work) {
    if (IsIBlock(block[kPcbOffset]) && !wrongSequence_ && faults_ && faults_->Take(Fault::CardWrongSequence)) wrongSequence_ = true;
    if (IsIBlock(block[kPcbOffset]) && wrongSequence_) {
        // The card counts wrongly from now until it is reset: its I-blocks,
        // repeats included, carry the other N(S).
        block.resize(block.size() - EdcSize(settings_.crc));
        block[kPcbOffset] ^= kPcbSequence;
        block = SealT1Block(std::move(block), settings_.crc);
    }
    last_ = block;
    // A damaged block is damaged on the line only: a repeat request gets the
    // good one.
    if (faults_ && faults_->Take(Fault::CardBadEdc)) block.back() ^= kEdcDamage;
    return {std::move(block), work};
}

T1Answer CardT1::RBlock(std::uint8_t error) {
    return Emit(Build(static_cast<std::uint8_t>(kPcbRBlockType | NR() | error)), kTurnaround);
}

T1Answer CardT1::Receive(std::span<const std::uint8_t> block, FaultPlan* faults, const Runner& run) {
    faults_ = faults;
    if (!T1BlockIntact(block, settings_.crc)) return RBlock(kRErrorParity);
    if (block[kNadOffset] != kCardNad) return RBlock(kRErrorOther);
    const std::uint8_t pcb = block[kPcbOffset];
    auto inf = block.subspan(kInfOffset, block[kLenOffset]);
    T1Answer answer;
    if (IsIBlock(pcb)) answer = OnIBlock(pcb, inf, run);
    else if (IsRBlock(pcb)) answer = OnRBlock(pcb);
    else return OnSBlock(pcb, inf);

    // The WTX faults: the card asks for time (with the chosen multiplier)
    // before the block it would have sent, which follows the host's
    // S(WTX response).
    constexpr std::pair<Fault, std::uint8_t> kWtxFaults[] = {
        {Fault::CardWtx1, 1}, {Fault::CardWtx2, 2}, {Fault::CardWtx255, kMaxWtxMultiplier}};
    for (auto [fault, multiplier] : kWtxFaults) {
        if (!awaitingWtx_ && faults_ && faults_->Take(fault)) {
            Bytes held = last_;
            T1Answer ask = AskForTime(multiplier);
            afterWtx_ = std::move(held);
            ask.work += answer.work;
            return ask;
        }
    }
    return answer;
}

T1Answer CardT1::OnIBlock(std::uint8_t pcb, std::span<const std::uint8_t> inf, const Runner& run) {
    if (awaitingWtx_ || answering_) return RBlock(kRErrorOther);
    if ((pcb & kPcbSequence) != hostSequence_) return RBlock(kRErrorOther);
    if (inf.size() > ifsc_) return RBlock(kRErrorOther);
    hostSequence_ ^= kPcbSequence;
    command_.insert(command_.end(), inf.begin(), inf.end());
    if ((pcb & kPcbMore) != 0) return Emit(Build(kPcbRBlockType | NR()), kTurnaround);
    ApduAnswer result = run(command_);
    command_.clear();
    return StartAnswer(std::move(result));
}

T1Answer CardT1::StartAnswer(ApduAnswer answer) {
    response_ = std::move(answer.data);
    response_.push_back(static_cast<std::uint8_t>(answer.sw >> kBitsPerByte));
    response_.push_back(static_cast<std::uint8_t>(answer.sw));
    sent_ = 0;
    answering_ = true;
    oneWaitAtATime_ = answer.extensions > 0;
    if (oneWaitAtATime_) {
        // Each extension asked for on its own, with multiplier 1, until all
        // have been granted.
        workLeft_ = answer.extensions * (settings_.bwt - settings_.bwt / kEarlyAskDivider);
        return AskForTime(1);
    }
    if (answer.work <= settings_.bwt) return NextPiece(answer.work);
    workLeft_ = answer.work;
    const usb::Time units = (answer.work + settings_.bwt - 1) / settings_.bwt;
    return AskForTime(static_cast<std::uint8_t>(std::min<usb::Time>(units, kMaxWtxMultiplier)));
}

T1Answer CardT1::AskForTime(std::uint8_t multiplier) {
    awaitingWtx_ = true;
    const std::uint8_t inf[] = {multiplier};
    // The time asked for is spent from now; what the card still owes after
    // it is asked for again when the host has answered.
    // One at a time, the card asks again before the time granted runs out,
    // as it must: after three quarters of it.
    const usb::Time grant =
        oneWaitAtATime_ ? settings_.bwt - settings_.bwt / kEarlyAskDivider : multiplier * settings_.bwt;
    const usb::Time spent = std::min<usb::Time>(grant, workLeft_);
    workLeft_ -= spent;
    pendingGrant_ = spent;
    return Emit(Build(kPcbWtxRequest, inf), kTurnaround);
}

T1Answer CardT1::NextPiece(usb::Time work) {
    const std::size_t left = response_.size() - sent_;
    const std::size_t piece = std::min(left, ifsd_);
    std::uint8_t pcb = cardSequence_;
    if (piece < left) pcb |= kPcbMore;
    Bytes block = Build(pcb, std::span(response_).subspan(sent_, piece));
    sent_ += piece;
    cardSequence_ ^= kPcbSequence;
    if (sent_ == response_.size()) {
        answering_ = false;
        response_.clear();
        sent_ = 0;
    }
    return Emit(std::move(block), work);
}

T1Answer CardT1::OnRBlock(std::uint8_t pcb) {
    if (awaitingWtx_) return RBlock(kRErrorOther);
    const bool asksNext = (pcb & kPcbRSequence) == (cardSequence_ >> kSequenceToRShift);
    // An acknowledge of a chained piece asks for the next one; anything else
    // asks for the last block again.
    if (answering_ && sent_ > 0 && asksNext) return NextPiece(kTurnaround);
    if (last_.empty()) return RBlock(kRErrorOther);
    Bytes again = last_;
    return {std::move(again), kTurnaround};
}

T1Answer CardT1::OnSBlock(std::uint8_t pcb, std::span<const std::uint8_t> inf) {
    switch (pcb) {
    case kPcbResynchRequest: {
        // Back to the state after the ATR; a card that counts wrongly goes
        // on doing so.
        const bool wrong = wrongSequence_;
        Reset();
        wrongSequence_ = wrong;
        return Emit(Build(kPcbResynchResponse), kTurnaround);
    }
    case kPcbIfsRequest:
        if (inf.size() != 1 || inf[0] < kMinIfs || inf[0] > kMaxIfs) return RBlock(kRErrorOther);
        ifsd_ = inf[0];
        return Emit(Build(kPcbIfsResponse, inf), kTurnaround);
    case kPcbAbortRequest:
        command_.clear();
        response_.clear();
        sent_ = 0;
        answering_ = false;
        awaitingWtx_ = false;
        oneWaitAtATime_ = false;
        workLeft_ = 0;
        pendingGrant_ = 0;
        afterWtx_.reset();
        return Emit(Build(kPcbAbortResponse), kTurnaround);
    case kPcbWtxResponse: {
        if (!awaitingWtx_) return RBlock(kRErrorOther);
        awaitingWtx_ = false;
        // The host's answer to our request: time passes as granted, then the
        // block that was held back, or the command's answer.
        const usb::Time granted = pendingGrant_;
        pendingGrant_ = 0;
        if (afterWtx_) {
            Bytes held = std::move(*afterWtx_);
            afterWtx_.reset();
            last_ = held;
            return {std::move(held), kTurnaround};
        }
        if (workLeft_ > 0) {
            const usb::Time units = oneWaitAtATime_ ? 1 : (workLeft_ + settings_.bwt - 1) / settings_.bwt;
            T1Answer again = AskForTime(static_cast<std::uint8_t>(std::min<usb::Time>(units, kMaxWtxMultiplier)));
            again.work += granted;
            return again;
        }
        oneWaitAtATime_ = false;
        return NextPiece(std::max(granted, kTurnaround));
    }
    default:
        return RBlock(kRErrorOther);
    }
}

} // namespace qv::sim
