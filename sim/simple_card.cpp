#include "simple_card.h"

#include <algorithm>
#include <array>

#include "card_timing.h"
#include "cards/atr.h"
#include "reader_faults.h"
#include "reader_protocol.h"

namespace qv::sim {

namespace {

// ISO/IEC 7816-3 timing: the reader clocks the card at 3.5712 MHz, so the
// default rate (Fi 372, Di 1) is 9600 baud, and a character takes 12 etu.
constexpr std::uint64_t kCardClockHz = kReaderCardClockHz;
constexpr std::uint64_t kEtuPerCharacter = 12;
constexpr std::uint64_t kTicksPerSecond = kSecond;
// ISO/IEC 7816-3: the card starts its ATR 400 to 40000 clock cycles after
// the reset; a reader that has heard nothing after 40000 gives up.
constexpr std::uint32_t kMinResetClocks = 400;
constexpr std::uint32_t kMaxResetClocks = 40'000;

// Fi and Di by their PPS1 indexes; 0 marks a reserved value.
constexpr const auto& kFi = kFiTable;
constexpr const auto& kDi = kDiTable;
constexpr unsigned kFiShift = kRateFiShift;
constexpr std::uint8_t kDiMask = kRateDiMask;

// T=0 (ISO/IEC 7816-3, 10.3).
constexpr std::size_t kHeaderSize = 5; // CLA INS P1 P2 P3
constexpr std::size_t kClaOffset = 0;
constexpr std::size_t kInsOffset = 1;
constexpr std::size_t kP1Offset = 2;
constexpr std::size_t kP2Offset = 3;
constexpr std::size_t kP3Offset = 4;
constexpr std::size_t kMaxShortLe = 256; // P3 0 asks for 256 bytes
constexpr std::uint8_t kNull = 0x60;
constexpr std::uint8_t kComplement = 0xFF;
constexpr std::uint8_t kInvalidCla = 0xFF;
constexpr std::uint8_t kInsHighNibble = 0xF0;
constexpr std::uint8_t kInvalidInsGroup6 = 0x60;
constexpr std::uint8_t kInvalidInsGroup9 = 0x90;
constexpr std::uint8_t kNotAProcedureByte = 0x42;
constexpr unsigned kSwShift = 8;
// The card sends NULL bytes at half its work waiting time while it works.
constexpr usb::Time kNullDivider = 2;
// Extra guard time N = 255: the least character distance, 12 etu under T=0
// and 11 under T=1.
constexpr std::uint8_t kMinimalGuard = 0xFF;
constexpr std::uint64_t kT1MinimalEtu = 11;

void PutStatus(Bytes& out, std::uint16_t sw) {
    out.push_back(static_cast<std::uint8_t>(sw >> kSwShift));
    out.push_back(static_cast<std::uint8_t>(sw));
}

T1Settings T1FromAtr(const AtrProfile& profile, std::uint8_t ifsc) {
    T1Settings settings;
    settings.ifsc = ifsc;
    settings.crc = profile.crc;
    settings.bwt = T1BlockWaitingTime(profile.bwi, kDefaultPps1);
    return settings;
}

} // namespace

SimpleCard::SimpleCard(SimpleCardOptions options)
    : options_(std::move(options)),
      application_(options_.application ? options_.application(options_.seed)
                                        : std::make_unique<IsoApplication>(options_.seed, options_.processingTime)),
      t1_(T1FromAtr(ReadAtr(options_.atr), options_.ifsc)) {
    const AtrProfile profile = ReadAtr(options_.atr);
    atrProtocols_ = profile.protocols;
    if (profile.specific) specificProtocol_ = static_cast<std::uint8_t>(1u << (*profile.specific & kPps0ProtocolMask));
    extraGuard_ = profile.extraGuard;
    wi_ = profile.wi;
    bwi_ = profile.bwi;
}

// Every operation's time on the line is the card's busy time.
CardReply SimpleCard::Reset(ResetKind kind) { return Charge(ResetOnLine(kind)); }
PpsReply SimpleCard::Pps(std::span<const std::uint8_t> request) {
    PpsReply reply = PpsOnLine(request);
    statistics_.busy += reply.duration;
    return reply;
}
CardReply SimpleCard::T0Characters(std::span<const std::uint8_t> characters) { return Charge(T0OnLine(characters)); }
CardReply SimpleCard::Block(std::span<const std::uint8_t> block) { return Charge(BlockOnLine(block)); }

CardReply SimpleCard::Charge(CardReply reply) {
    statistics_.busy += reply.duration;
    return reply;
}

ApduAnswer SimpleCard::RunApdu(const Apdu& apdu, Transport transport) {
    constexpr std::uint8_t kClaChaining = 0x10;
    constexpr std::uint8_t kInsGetResponse = 0xC0;
    ++statistics_.commands;
    if ((apdu.cla & kClaChaining) != 0) ++statistics_.chained;
    if (apdu.ins == kInsGetResponse) ++statistics_.getResponses;
    return application_->Run(apdu, transport);
}

usb::Time SimpleCard::CharacterTime() const {
    std::uint64_t fi = kFi[rate_ >> kFiShift];
    std::uint64_t di = kDi[rate_ & kDiMask];
    return kEtuPerCharacter * fi * kTicksPerSecond / (di * kCardClockHz);
}

usb::Time SimpleCard::ReaderCharacterTime() const {
    const std::uint64_t fi = kFi[rate_ >> kFiShift];
    const std::uint64_t di = kDi[rate_ & kDiMask];
    std::uint64_t etu = kEtuPerCharacter + extraGuard_;
    if (extraGuard_ == kMinimalGuard) etu = ActiveProtocol() == kProtocolT1 ? kT1MinimalEtu : kEtuPerCharacter;
    return etu * fi * kTicksPerSecond / (di * kCardClockHz);
}

usb::Time SimpleCard::WaitingTime() const {
    if (ActiveProtocol() == kProtocolT1) return BlockWaitingTime();
    return T0WorkWaitingTime(wi_, rate_);
}

usb::Time SimpleCard::BlockWaitingTime() const { return t1_.Settings().bwt; }

std::uint8_t SimpleCard::ActiveProtocol() const {
    if (protocol_ != 0) return protocol_;
    if (specificProtocol_) return *specificProtocol_;
    return (atrProtocols_ & kProtocolT0) != 0 || atrProtocols_ == 0 ? kProtocolT0 : kProtocolT1;
}

usb::Time SimpleCard::ResetTime(std::size_t atrLength) const {
    const std::uint64_t clocks = std::clamp(options_.resetClocks, kMinResetClocks, kMaxResetClocks);
    const std::uint64_t fi = kFi[kDefaultPps1 >> kFiShift];
    const std::uint64_t characterTime = kEtuPerCharacter * fi * kTicksPerSecond / kCardClockHz;
    return clocks * kTicksPerSecond / kCardClockHz + atrLength * characterTime;
}

CardReply SimpleCard::ResetOnLine(ResetKind kind) {
    // Cold or warm, the card comes back at the default rate with no protocol
    // agreed; a warm reset of a card without power is a cold one.
    const bool warm = kind == ResetKind::Warm && powered_;
    powered_ = true;
    protocol_ = 0;
    ppsDone_ = false;
    rateRefused_ = false;
    rate_ = kDefaultPps1;
    t1_.Reset();
    application_->Reset();
    t0Header_.reset();
    if (warm && options_.warmAtr) {
        // The other mode: the warm ATR's protocols and parameters hold.
        const AtrProfile profile = ReadAtr(*options_.warmAtr);
        atrProtocols_ = profile.protocols;
        specificProtocol_.reset();
        if (profile.specific) specificProtocol_ = static_cast<std::uint8_t>(1u << (*profile.specific & kPps0ProtocolMask));
    } else {
        const AtrProfile profile = ReadAtr(options_.atr);
        atrProtocols_ = profile.protocols;
        specificProtocol_.reset();
        if (profile.specific) specificProtocol_ = static_cast<std::uint8_t>(1u << (*profile.specific & kPps0ProtocolMask));
    }
    if (options_.mute) {
        return {std::nullopt, kMaxResetClocks * kTicksPerSecond / kCardClockHz};
    }
    const Bytes& atr = warm && options_.warmAtr ? *options_.warmAtr : options_.atr;
    return {atr, ResetTime(atr.size())};
}

void SimpleCard::PowerDown() {
    powered_ = false;
    protocol_ = 0;
    ppsDone_ = false;
    rateRefused_ = false;
    rate_ = kDefaultPps1;
    t1_.Reset();
    application_->Reset();
    t0Header_.reset();
}

PpsReply SimpleCard::PpsOnLine(std::span<const std::uint8_t> request) {
    // The request and the card's echo, both at the default rate.
    usb::Time duration = request.size() * (ReaderCharacterTime() + CharacterTime());
    bool wellFormed = request.size() >= 3 && request[0] == kPpss && Lrc(request) == 0;
    if (!wellFormed || options_.mute || !powered_) return {PpsVerdict::ProtocolRefused, duration};
    // ISO/IEC 7816-3 allows one PPS right after the ATR. A card that has
    // refused a rate stays at the default one, and a repeated request for
    // just that is echoed; anything else after a PPS goes unanswered.
    const bool repeatForDefault = rateRefused_ && request.size() == kPpsRequestSize && request[2] == kDefaultPps1;
    if (ppsDone_ && !repeatForDefault) return {PpsVerdict::ProtocolRefused, duration};
    rateRefused_ = false;
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
    ppsDone_ = true;
    protocol_ = static_cast<std::uint8_t>(1u << protocol);
    if (pps1 != kDefaultPps1 && (!options_.acceptsFasterRates || !rateKnown)) {
        // The card's response leaves PPS1 out: the protocol at the default
        // rate.
        rate_ = kDefaultPps1;
        rateRefused_ = true;
        return {PpsVerdict::RateRefused, duration};
    }
    rate_ = pps1;
    return {PpsVerdict::Accepted, duration};
}

// ---- T=0, the card's side ---------------------------------------------------

CardReply SimpleCard::T0OnLine(std::span<const std::uint8_t> characters) {
    const usb::Time receiving = characters.size() * ReaderCharacterTime();
    if (!powered_ || options_.mute || ActiveProtocol() != kProtocolT0 || Faulted(Fault::CardMute)) {
        t0Header_.reset();
        return {std::nullopt, receiving + WaitingTime(), WaitingTime()};
    }
    if (!t0Header_) {
        if (characters.size() != kHeaderSize) return {std::nullopt, receiving + WaitingTime(), WaitingTime()};
        Bytes header(characters.begin(), characters.end());
        Apdu apdu{header[kClaOffset], header[kInsOffset], header[kP1Offset], header[kP2Offset]};
        const std::uint8_t p3 = header[kP3Offset];
        const std::uint8_t insGroup = apdu.ins & kInsHighNibble;
        // A class or instruction that T=0 cannot carry is refused at once.
        if (apdu.cla == kInvalidCla || insGroup == kInvalidInsGroup6 || insGroup == kInvalidInsGroup9) {
            Bytes sw;
            PutStatus(sw, apdu.cla == kInvalidCla ? kSwUnknownClass : kSwUnknownInstruction);
            return {sw, receiving + options_.processingTime + sw.size() * CharacterTime(), options_.processingTime};
        }
        if (application_->BringsData(apdu.cla, apdu.ins) && p3 != 0) {
            // P3 is Lc: the card asks for all the data with the INS byte.
            t0Header_ = std::move(header);
            if (Faulted(Fault::CardT0BadProcedure)) {
                t0Header_.reset();
                return {Bytes{kNotAProcedureByte}, receiving + CharacterTime(), 0};
            }
            t0Data_.clear();
            return {Bytes{ProcedureForData(apdu.ins)}, receiving + CharacterTime(), 0};
        }
        if (!application_->BringsData(apdu.cla, apdu.ins)) apdu.le = p3 == 0 ? kMaxShortLe : p3;
        CardReply reply = T0Run(apdu);
        reply.duration += receiving;
        return reply;
    }
    const Bytes& waiting = *t0Header_;
    const std::size_t lc = waiting[kP3Offset];
    const std::size_t asked = options_.t0ByteByByte ? 1 : lc - t0Data_.size();
    if (characters.size() != asked) {
        // Fewer data bytes than the card asked for: it waits for the rest
        // and the reader's waiting time runs out.
        t0Header_.reset();
        return {std::nullopt, receiving + WaitingTime(), WaitingTime()};
    }
    t0Data_.insert(t0Data_.end(), characters.begin(), characters.end());
    if (t0Data_.size() < lc) return {Bytes{ProcedureForData(waiting[kInsOffset])}, receiving + CharacterTime(), 0};
    const Bytes header = std::move(*t0Header_);
    t0Header_.reset();
    Apdu apdu{header[kClaOffset], header[kInsOffset], header[kP1Offset], header[kP2Offset], t0Data_};
    CardReply reply = T0Run(apdu);
    reply.duration += receiving;
    return reply;
}

std::uint8_t SimpleCard::ProcedureForData(std::uint8_t ins) const {
    // INS moves all remaining data bytes, its complement one byte.
    return options_.t0ByteByByte ? static_cast<std::uint8_t>(ins ^ kComplement) : ins;
}

CardReply SimpleCard::T0Run(const Apdu& apdu) {
    ApduAnswer answer = RunApdu(apdu, Transport::T0);
    Bytes out;
    // While it works the card sends a NULL byte every half waiting time, so
    // that the reader keeps waiting.
    const usb::Time nullEvery = WaitingTime() / kNullDivider;
    usb::Time silence = answer.work;
    if (answer.extensions > 0) {
        // The answer asks for its extensions itself: one NULL byte after
        // each half waiting time of work.
        out.assign(answer.extensions, kNull);
        answer.work = answer.extensions * nullEvery;
        silence = nullEvery;
    } else if (!Faulted(Fault::CardNoNull) && answer.work > nullEvery) {
        const std::size_t nulls = static_cast<std::size_t>(answer.work / nullEvery);
        out.assign(nulls, kNull);
        silence = nullEvery;
    }
    const bool badProcedure = Faulted(Fault::CardT0BadProcedure);
    if (badProcedure) out.push_back(kNotAProcedureByte);
    if (!answer.data.empty() && options_.t0ByteByByte) {
        for (std::uint8_t b : answer.data) {
            out.push_back(ProcedureForData(apdu.ins));
            out.push_back(b);
        }
    } else if (!answer.data.empty()) {
        out.push_back(apdu.ins);
        out.insert(out.end(), answer.data.begin(), answer.data.end());
    }
    // A truncated answer stops where its status word would begin.
    const std::size_t beforeStatus = out.size();
    PutStatus(out, answer.sw);
    if (Faulted(Fault::CardT0Truncated)) out.resize(beforeStatus);
    return {out, answer.work + out.size() * CharacterTime(), silence};
}

// ---- T=1 ------------------------------------------------------------------------

CardReply SimpleCard::BlockOnLine(std::span<const std::uint8_t> block) {
    const usb::Time receiving = block.size() * ReaderCharacterTime();
    if (!powered_ || options_.mute || ActiveProtocol() != kProtocolT1 || Faulted(Fault::CardMute))
        return {std::nullopt, receiving + BlockWaitingTime(), BlockWaitingTime()};
    T1Answer answer = t1_.Receive(block, faults_, [this](std::span<const std::uint8_t> apdu) {
        return RunT1Apdu(apdu);
    });
    return {answer.block, receiving + answer.work + answer.block.size() * CharacterTime(), answer.work};
}

ApduAnswer SimpleCard::RunT1Apdu(std::span<const std::uint8_t> command) {
    // Short APDU cases of ISO/IEC 7816-3, 12.1: header alone; header and
    // Le; header, Lc and data; header, Lc, data and Le.
    constexpr std::size_t kCommandHeader = 4;
    if (command.size() < kCommandHeader) return {{}, kSwWrongLength, options_.processingTime};
    Apdu apdu{command[kClaOffset], command[kInsOffset], command[kP1Offset], command[kP2Offset]};
    const auto body = command.subspan(kCommandHeader);
    // Extended Lc or Le fields begin with a byte 00 and take three bytes at
    // least; the card reads short fields only, and refuses them.
    constexpr std::size_t kExtendedField = 3;
    if (body.size() >= kExtendedField && body[0] == 0) ++statistics_.extended;
    auto le = [](std::uint8_t byte) { return byte == 0 ? kMaxShortLe : std::size_t{byte}; };
    if (body.size() == 1) {
        apdu.le = le(body[0]);
    } else if (!body.empty()) {
        const std::size_t lc = body[0];
        if (lc == 0 || body.size() < 1 + lc || body.size() > 2 + lc)
            return {{}, kSwWrongLength, options_.processingTime};
        apdu.data = body.subspan(1, lc);
        if (body.size() == 2 + lc) apdu.le = le(body[1 + lc]);
    }
    return RunApdu(apdu, Transport::T1);
}

} // namespace qv::sim
