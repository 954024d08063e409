#include "simple_card.h"

#include <algorithm>
#include <array>

#include "reader_protocol.h"

namespace qv::sim {

namespace {

// ISO/IEC 7816-3 timing: the reader clocks the card at 3.5712 MHz, so the
// default rate (Fi 372, Di 1) is 9600 baud, and a character takes 12 etu.
constexpr std::uint64_t kCardClockHz = 3'571'200;
constexpr std::uint64_t kEtuPerCharacter = 12;
constexpr std::uint64_t kTicksPerSecond = kSecond;
// Work waiting time: 960 x WI (10 by default) x Fi clock cycles.
constexpr std::uint64_t kWaitingEtuFactor = 960 * 10;
// ISO/IEC 7816-3: the card starts its ATR 400 to 40000 clock cycles after
// the reset; a reader that has heard nothing after 40000 gives up.
constexpr std::uint32_t kMinResetClocks = 400;
constexpr std::uint32_t kMaxResetClocks = 40'000;
// T=0: the procedure byte (INS) that the card sends before its data.
constexpr std::size_t kProcedureBytes = 1;

// Fi and Di by their PPS1 indexes; 0 marks a reserved value.
constexpr std::array<std::uint64_t, 16> kFi{372, 372, 558, 744, 1116, 1488, 1860, 0,
                                             0,   512, 768, 1024, 1536, 2048, 0,  0};
constexpr std::array<std::uint64_t, 16> kDi{0, 1, 2, 4, 8, 16, 32, 64, 12, 20, 0, 0, 0, 0, 0, 0};
constexpr unsigned kFiShift = 4;
constexpr std::uint8_t kDiMask = 0x0F;

// Commands.
constexpr std::size_t kHeaderSize = 4; // CLA INS P1 P2
constexpr std::size_t kP3Offset = 4;
constexpr std::size_t kDataOffset = 5;
constexpr std::size_t kMaxShortLe = 256; // Le 0 asks for 256 bytes
constexpr std::uint8_t kInsSelect = 0xA4;
constexpr std::uint8_t kInsGetChallenge = 0x84;
constexpr std::uint8_t kClaProprietary = 0x80;
constexpr std::uint8_t kInsEcho = 0xEE;
constexpr std::array<std::uint8_t, 2> kSwOk{0x90, 0x00};
constexpr std::array<std::uint8_t, 2> kSwWrongLength{0x67, 0x00};
constexpr std::array<std::uint8_t, 2> kSwUnknownInstruction{0x6D, 0x00};

constexpr std::size_t kT1DefaultIfsd = 32;

Bytes WithStatus(Bytes data, std::span<const std::uint8_t> sw) {
    data.insert(data.end(), sw.begin(), sw.end());
    return data;
}

} // namespace

SimpleCard::SimpleCard(SimpleCardOptions options) : options_(std::move(options)), random_(options_.seed) {}

usb::Time SimpleCard::CharacterTime() const {
    std::uint64_t fi = kFi[rate_ >> kFiShift];
    std::uint64_t di = kDi[rate_ & kDiMask];
    return kEtuPerCharacter * fi * kTicksPerSecond / (di * kCardClockHz);
}

usb::Time SimpleCard::WaitingTime() const {
    return kWaitingEtuFactor * kFi[rate_ >> kFiShift] * kTicksPerSecond / kCardClockHz;
}

usb::Time SimpleCard::Exchange(std::size_t characters) const {
    return characters * CharacterTime() + options_.processingTime;
}

usb::Time SimpleCard::ResetTime(std::size_t atrLength) const {
    const std::uint64_t clocks = std::clamp(options_.resetClocks, kMinResetClocks, kMaxResetClocks);
    const std::uint64_t fi = kFi[kDefaultPps1 >> kFiShift];
    const std::uint64_t characterTime = kEtuPerCharacter * fi * kTicksPerSecond / kCardClockHz;
    return clocks * kTicksPerSecond / kCardClockHz + atrLength * characterTime;
}

CardReply SimpleCard::Reset(ResetKind kind) {
    // Cold or warm, the card comes back at the default rate with no protocol
    // agreed; a warm reset of a card without power is a cold one.
    const bool warm = kind == ResetKind::Warm && powered_;
    powered_ = true;
    protocol_ = 0;
    rate_ = kDefaultPps1;
    T1Reset();
    if (options_.mute) {
        return {std::nullopt, kMaxResetClocks * kTicksPerSecond / kCardClockHz};
    }
    const Bytes& atr = warm && options_.warmAtr ? *options_.warmAtr : options_.atr;
    return {atr, ResetTime(atr.size())};
}

void SimpleCard::PowerDown() {
    powered_ = false;
    protocol_ = 0;
    rate_ = kDefaultPps1;
    T1Reset();
}

PpsReply SimpleCard::Pps(std::span<const std::uint8_t> request) {
    // The request and the card's echo, both at the default rate.
    usb::Time duration = 2 * request.size() * CharacterTime();
    bool wellFormed = request.size() >= 3 && request[0] == kPpss && Lrc(request) == 0;
    if (!wellFormed || options_.mute) return {PpsVerdict::ProtocolRefused, duration};
    std::uint8_t pps0 = request[1];
    std::uint8_t protocol = static_cast<std::uint8_t>(pps0 & kPps0ProtocolMask);
    if (protocol > 1 || (options_.protocols & (1u << protocol)) == 0) return {PpsVerdict::ProtocolRefused, duration};
    std::uint8_t pps1 = kDefaultPps1;
    if ((pps0 & kPps0HasPps1) != 0) {
        if (request.size() < 4) return {PpsVerdict::ProtocolRefused, duration};
        pps1 = request[2];
    }
    bool rateKnown = kFi[pps1 >> kFiShift] != 0 && kDi[pps1 & kDiMask] != 0;
    if (rateKnown && options_.offeredRate) {
        const std::uint8_t offered = *options_.offeredRate;
        rateKnown = (pps1 >> kFiShift) == (offered >> kFiShift) && kDi[offered & kDiMask] != 0 &&
                    kDi[pps1 & kDiMask] <= kDi[offered & kDiMask];
    }
    if (pps1 != kDefaultPps1 && (!options_.acceptsFasterRates || !rateKnown)) {
        return {PpsVerdict::RateRefused, duration};
    }
    protocol_ = static_cast<std::uint8_t>(1u << protocol);
    rate_ = pps1;
    return {PpsVerdict::Accepted, duration};
}

CardReply SimpleCard::Command(std::span<const std::uint8_t> command) {
    if (!powered_ || options_.mute) return {std::nullopt, WaitingTime()};
    Bytes response = Execute(command);
    return {response, Exchange(command.size() + kProcedureBytes + response.size())};
}

Bytes SimpleCard::Execute(std::span<const std::uint8_t> command) {
    if (command.size() < kHeaderSize) return WithStatus({}, kSwWrongLength);
    std::uint8_t cla = command[0];
    std::uint8_t ins = command[1];
    // Byte 5 is P3 under T=0 and Lc or Le under T=1; the instruction says
    // which. A missing byte 5 means no data and no answer data.
    std::size_t p3 = command.size() > kP3Offset ? command[kP3Offset] : 0;
    std::span<const std::uint8_t> data;
    bool sendsData = ins == kInsSelect || (cla == kClaProprietary && ins == kInsEcho);
    if (sendsData && command.size() > kP3Offset) {
        // Header, Lc, the data, and under T=1 perhaps one Le byte.
        std::size_t end = kDataOffset + p3;
        if (command.size() != end && command.size() != end + 1) return WithStatus({}, kSwWrongLength);
        data = command.subspan(kDataOffset, p3);
    }
    if (ins == kInsSelect) return WithStatus({}, kSwOk);
    if (cla == kClaProprietary && ins == kInsEcho) return WithStatus(Bytes(data.begin(), data.end()), kSwOk);
    if (ins == kInsGetChallenge) {
        if (command.size() > kDataOffset) return WithStatus({}, kSwWrongLength);
        std::size_t le = p3 == 0 ? kMaxShortLe : p3;
        Bytes challenge(le);
        for (auto& b : challenge) b = static_cast<std::uint8_t>(random_());
        return WithStatus(std::move(challenge), kSwOk);
    }
    return WithStatus({}, kSwUnknownInstruction);
}

// ---- T=1, the card's side --------------------------------------------------

void SimpleCard::T1Reset() {
    t1HostSequence_ = 0;
    t1CardSequence_ = 0;
    t1Ifsd_ = kT1DefaultIfsd;
    t1Command_.clear();
    t1Response_.clear();
    t1ResponseSent_ = 0;
    t1LastBlock_.clear();
}

CardReply SimpleCard::Block(std::span<const std::uint8_t> block) {
    if (!powered_ || options_.mute) return {std::nullopt, WaitingTime()};
    Bytes answer = T1Answer(block);
    t1LastBlock_ = answer;
    return {answer, Exchange(block.size() + answer.size())};
}

Bytes SimpleCard::T1Block(std::uint8_t pcb, std::span<const std::uint8_t> inf) {
    Bytes block{kCardNad, pcb, static_cast<std::uint8_t>(inf.size())};
    block.reserve(inf.size() + kBlockOverhead); // also keeps GCC 12 -O3 from a false -Warray-bounds
    block.insert(block.end(), inf.begin(), inf.end());
    block.push_back(Lrc(block));
    return block;
}

Bytes SimpleCard::T1NextPiece() {
    std::size_t left = t1Response_.size() - t1ResponseSent_;
    std::size_t piece = std::min(left, t1Ifsd_);
    std::uint8_t pcb = t1CardSequence_;
    if (piece < left) pcb |= kPcbMore;
    Bytes block = T1Block(pcb, std::span(t1Response_).subspan(t1ResponseSent_, piece));
    t1ResponseSent_ += piece;
    t1CardSequence_ ^= kPcbSequence;
    if (t1ResponseSent_ == t1Response_.size()) {
        t1Response_.clear();
        t1ResponseSent_ = 0;
    }
    return block;
}

Bytes SimpleCard::T1Answer(std::span<const std::uint8_t> block) {
    auto nr = [this] { return static_cast<std::uint8_t>(t1HostSequence_ >> kSequenceToRShift); };
    bool intact = block.size() >= kBlockOverhead && block.size() == block[kLenOffset] + kBlockOverhead &&
                  Lrc(block) == 0;
    if (!intact) return T1Block(kPcbRBlockType | nr() | kRErrorParity);
    std::uint8_t pcb = block[kPcbOffset];
    auto inf = block.subspan(kInfOffset, block[kLenOffset]);

    if (IsIBlock(pcb)) {
        if (inf.size() > options_.ifsc) return T1Block(kPcbRBlockType | nr() | kRErrorOther);
        if ((pcb & kPcbSequence) != t1HostSequence_) return T1Block(kPcbRBlockType | nr() | kRErrorOther);
        t1HostSequence_ ^= kPcbSequence;
        t1Command_.insert(t1Command_.end(), inf.begin(), inf.end());
        if ((pcb & kPcbMore) != 0) return T1Block(kPcbRBlockType | nr());
        t1Response_ = Execute(t1Command_);
        t1ResponseSent_ = 0;
        t1Command_.clear();
        return T1NextPiece();
    }
    if (IsRBlock(pcb)) {
        bool asksNext = (pcb & kPcbRErrorMask) == kRErrorNone &&
                        (pcb & kPcbRSequence) == (t1CardSequence_ >> kSequenceToRShift);
        if (asksNext && !t1Response_.empty()) return T1NextPiece();
        if (!t1LastBlock_.empty()) return t1LastBlock_;
        return T1Block(kPcbRBlockType | nr() | kRErrorOther);
    }
    switch (pcb) {
    case kPcbResynchRequest:
        T1Reset();
        return T1Block(kPcbResynchResponse);
    case kPcbIfsRequest:
        if (!inf.empty() && inf[0] != 0 && inf[0] <= kMaxInfSize) t1Ifsd_ = inf[0];
        return T1Block(kPcbIfsResponse, inf);
    case kPcbAbortRequest:
        t1Command_.clear();
        t1Response_.clear();
        t1ResponseSent_ = 0;
        return T1Block(kPcbAbortResponse);
    default:
        return T1Block(kPcbRBlockType | nr() | kRErrorOther);
    }
}

} // namespace qv::sim
