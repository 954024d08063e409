#include "reader_commands.h"

#include <algorithm>

#include "card_timing.h"
#include "reader_protocol.h"
#include "reader_t0.h"

namespace qv::sim {

namespace {

constexpr std::size_t kInsOffset = 1;
constexpr std::size_t kP1Offset = 2;
constexpr std::size_t kP2Offset = 3;

// The reader information is text: the model id, then the firmware version
// with its digits at the places hosts read them, then a serial number,
// "QV-38N FW V2.107 SN00001".
constexpr std::string_view kInfoTemplate = "QV-3xN FW V0.000 SN00001";
static_assert(kInfoTemplate.size() == kReaderInfoSize);
static_assert(kInfoTemplate[kVersionDigitOffsets[0]] == '0' && kInfoTemplate[kVersionDigitOffsets[1]] == '0' &&
              kInfoTemplate[kVersionDigitOffsets[2]] == '0' && kInfoTemplate[kVersionDigitOffsets[3]] == '0');
constexpr std::uint8_t kAsciiZero = '0';

// Answer to the T=1 pass-through when the slot holds no card to ask.
constexpr usb::Time kEmptySlotTime = kCommandProcessingTime;

CommandOutcome Answer(std::uint8_t ins, std::uint8_t status, std::span<const std::uint8_t> data = {},
                      usb::Time cardTime = 0) {
    Bytes reply{kCommandClass, ins, kSlotNumber, status};
    reply.insert(reply.end(), data.begin(), data.end());
    return {std::move(reply), kCommandProcessingTime + cardTime};
}

// The reader clocks the card at 3.5712 MHz and goes no faster than 38400
// bit/s, Fi 372 with Di 4: a PPS asking for more is refused before the card
// hears of it.
constexpr std::uint64_t kMaxDiPerFi372 = 4;
constexpr std::uint64_t kFi372 = 372;

bool ReaderCanDo(std::span<const std::uint8_t> pps) {
    constexpr std::size_t kPps0Offset = 1;
    constexpr std::size_t kPps1Offset = 2;
    if ((pps[kPps0Offset] & kPps0HasPps1) == 0) return true;
    const std::uint8_t pps1 = pps[kPps1Offset];
    const std::uint64_t fi = RateFi(pps1);
    const std::uint64_t di = RateDi(pps1);
    if (fi == 0 || di == 0) return true; // the card refuses what it cannot read
    return di * kFi372 <= kMaxDiPerFi372 * fi;
}

bool HasParameters(std::span<const std::uint8_t> command, std::uint8_t p1, std::uint8_t p2) {
    return command.size() >= kLongHeaderSize && command[kP1Offset] == p1 && command[kP2Offset] == p2;
}

} // namespace

std::string_view ModelId(ReaderModel model) { return model == ReaderModel::Qv38N ? "QV-38N" : "QV-39N"; }

std::optional<ReaderModel> ModelByName(std::string_view id) {
    for (const ReaderModel model : {ReaderModel::Qv38N, ReaderModel::Qv39N}) {
        if (id == ModelId(model)) return model;
    }
    return std::nullopt;
}

ReaderCommands::ReaderCommands(Settings settings, CardSlot& slot, FaultPlan& faults)
    : settings_(settings), slot_(slot), faults_(faults) {}

CommandOutcome ReaderCommands::Execute(std::span<const std::uint8_t> command) {
    std::uint8_t ins = command.size() > kInsOffset ? command[kInsOffset] : 0;
    if (command.size() < kShortHeaderSize || command[0] != kCommandClass) return Answer(ins, kStatusUnknownCommand);
    auto payload = command.subspan(kShortHeaderSize);
    // Commands without a payload must come exactly as the table gives them,
    // so that a host sending a stray byte is told so.
    auto exactly = [&](std::size_t size, auto run) {
        return command.size() == size ? run() : Answer(ins, kStatusBadLength);
    };
    switch (ins) {
    case kInsApdu:
        return Apdu(payload);
    case kInsCardStatus:
        return exactly(kShortHeaderSize, [&] { return CardStatus(); });
    case kInsReaderInfo:
        return exactly(kShortHeaderSize, [&] { return ReaderInfo(); });
    case kInsPowerDown:
        return exactly(kShortHeaderSize, [&] { return PowerDown(); });
    case kInsPps:
        return Pps(payload);
    case kInsReset:
        if (HasParameters(command, kColdResetP1, kColdResetP2))
            return exactly(kLongHeaderSize, [&] { return Reset(ResetKind::Cold); });
        if (HasParameters(command, kWarmResetP1, kWarmResetP2))
            return exactly(kLongHeaderSize, [&] { return Reset(ResetKind::Warm); });
        return Answer(ins, kStatusUnknownCommand);
    case kInsCommand9:
        if (HasParameters(command, kCommand9P1, kCommand9P2))
            return exactly(kLongHeaderSize, [&] { return Command9(); });
        return Answer(ins, kStatusUnknownCommand);
    default:
        return Answer(ins, kStatusUnknownCommand);
    }
}

bool ReaderCommands::CardPulledNow() {
    if (!slot_.Occupied() || !faults_.Take(Fault::CardPulled)) return false;
    slot_.Remove();
    return true;
}

Card& ReaderCommands::TheCard() {
    Card& card = slot_.CurrentCard();
    card.UseFaults(&faults_);
    return card;
}

bool ReaderCommands::CardPulledMidway() {
    if (!faults_.Take(Fault::CardPulledMid)) return false;
    slot_.Remove();
    return true;
}

CommandOutcome ReaderCommands::Apdu(std::span<const std::uint8_t> payload) {
    // A T=0 command: the header (four bytes stand for case 1 and get P3
    // 00), then exactly P3 data bytes or none.
    constexpr std::size_t kCase1Size = 4;
    constexpr std::size_t kHeaderSize = 5;
    constexpr std::size_t kP3Offset = 4;
    if (payload.size() < kCase1Size) return Answer(kInsApdu, kStatusBadLength);
    Bytes tpdu(payload.begin(), payload.end());
    if (tpdu.size() == kCase1Size) tpdu.push_back(0);
    if (tpdu.size() > kHeaderSize && tpdu.size() != kHeaderSize + tpdu[kP3Offset])
        return Answer(kInsApdu, kStatusBadLength);
    if (!slot_.Occupied() || CardPulledNow()) return Answer(kInsApdu, kStatusCardAbsent);
    if (!slot_.CardActive()) return Answer(kInsApdu, kStatusNoActiveCard);
    T0Outcome outcome = RunT0(TheCard(), tpdu, T0WorkWaitingTime(cardProfile_.wi, lineRate_));
    if (CardPulledMidway()) {
        // The contacts open while the card answers: the reader reports the
        // empty slot and the half it heard.
        Bytes half(outcome.response.begin(), outcome.response.begin() + static_cast<std::ptrdiff_t>(outcome.response.size() / 2));
        return Answer(kInsApdu, kStatusCardAbsent, half, outcome.duration / 2);
    }
    CommandOutcome answer = Answer(kInsApdu, outcome.status, outcome.response, outcome.duration);
    answer.withoutCard = Answer(kInsApdu, kStatusCardAbsent).reply;
    return answer;
}

CommandOutcome ReaderCommands::CardStatus() {
    std::uint8_t bits = 0;
    if (slot_.Occupied()) bits |= kCardStatusPresent;
    // A sticking card switch fools only this bit: the contacts still find no
    // card, so the card is never reported active and a reset finds none.
    else if (faults_.Take(Fault::PhantomCard)) bits |= kCardStatusPresent;
    if (slot_.CardActive()) bits |= kCardStatusActive;
    constexpr std::uint8_t kReserved = 0x00;
    const std::uint8_t data[] = {bits, kReserved};
    return Answer(kInsCardStatus, kStatusOk, data);
}

CommandOutcome ReaderCommands::ReaderInfo() {
    Bytes data(kInfoTemplate.begin(), kInfoTemplate.end());
    std::string_view model = ModelId(settings_.model);
    static_assert(std::tuple_size_v<FirmwareVersion> == kVersionDigitOffsets.size());
    std::ranges::copy(model.substr(0, kModelIdSize), data.begin() + kModelIdOffset);
    for (std::size_t i = 0; i < kVersionDigitOffsets.size(); ++i) {
        data[kVersionDigitOffsets[i]] = static_cast<std::uint8_t>(kAsciiZero + settings_.version[i] % 10);
    }
    return Answer(kInsReaderInfo, kStatusOk, data);
}

CommandOutcome ReaderCommands::Reset(ResetKind kind) {
    if (!slot_.Occupied() || CardPulledNow()) return Answer(kInsReset, kStatusNoActiveCard);
    CardReply atr = TheCard().Reset(kind);
    lineRate_ = kDefaultRate;
    cardProfile_ = {};
    if (!atr.bytes) return Answer(kInsReset, kStatusCardMute, {}, atr.duration);
    cardProfile_ = ReadAtr(*atr.bytes);
    if (settings_.shortResetAnswer || faults_.Take(Fault::ResetNoAtr)) return Answer(kInsReset, kStatusResetNoAtr, {}, atr.duration);
    CommandOutcome answer = Answer(kInsReset, kStatusOk, *atr.bytes, atr.duration);
    answer.withoutCard = Answer(kInsReset, kStatusNoActiveCard).reply;
    return answer;
}

CommandOutcome ReaderCommands::PowerDown() {
    if (slot_.Occupied()) slot_.CurrentCard().PowerDown();
    return Answer(kInsPowerDown, kStatusOk);
}

CommandOutcome ReaderCommands::Pps(std::span<const std::uint8_t> payload) {
    // The reader sends the request only when it is one: PPSS, PPS0 with
    // PPS1 announced and nothing else, and a PCK that makes the xor 0.
    constexpr std::size_t kPps0Offset = 1;
    constexpr std::uint8_t kPps0OptionalBytes = 0x70;
    if (payload.size() != kPpsRequestSize || payload[0] != kPpss ||
        (payload[kPps0Offset] & kPps0OptionalBytes) != kPps0HasPps1 || Lrc(payload) != 0)
        return Answer(kInsPps, kStatusBadLength);
    if (!slot_.Occupied() || CardPulledNow()) return Answer(kInsPps, kStatusCardAbsent);
    if (!slot_.CardActive()) return Answer(kInsPps, kStatusNoActiveCard);
    if (!ReaderCanDo(payload)) return Answer(kInsPps, kStatusPpsRateRefused);
    PpsReply verdict = TheCard().Pps(payload);
    switch (verdict.verdict) {
    case PpsVerdict::Accepted:
        lineRate_ = payload[2];
        return Answer(kInsPps, kStatusOk, payload, verdict.duration);
    case PpsVerdict::RateRefused:
        return Answer(kInsPps, kStatusPpsRateRefused, {}, verdict.duration);
    case PpsVerdict::ProtocolRefused:
        break;
    }
    return Answer(kInsPps, kStatusPpsProtocolRefused, {}, verdict.duration);
}

CommandOutcome ReaderCommands::Command9() { return Answer(kInsCommand9, kStatusOk); }

CardReply ReaderCommands::CardBlock(std::span<const std::uint8_t> block) {
    if (!slot_.Occupied() || CardPulledNow() || !slot_.CardActive()) return {std::nullopt, kEmptySlotTime};
    // The reader waits the block waiting time for the card's answer,
    // stretched by the multiplier of an S(WTX response) it has just passed
    // on, for that one block.
    constexpr std::size_t kWtxInfSize = 1;
    std::uint8_t multiplier = 1;
    if (block.size() > kInfOffset + kWtxInfSize && block[kPcbOffset] == kPcbWtxResponse &&
        block[kLenOffset] == kWtxInfSize && block[kInfOffset] != 0)
        multiplier = block[kInfOffset];
    const usb::Time waiting = multiplier * T1BlockWaitingTime(cardProfile_.bwi, lineRate_);
    CardReply reply = TheCard().Block(block);
    if (CardPulledMidway()) return {std::nullopt, kCommandProcessingTime + reply.duration / 2};
    if (reply.bytes && reply.longestSilence > waiting) {
        // The card began too late: the reader had given up and answers
        // with nothing.
        return {std::nullopt, kCommandProcessingTime + reply.duration - reply.longestSilence + waiting};
    }
    reply.duration += kCommandProcessingTime;
    return reply;
}

} // namespace qv::sim
