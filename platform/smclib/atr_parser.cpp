// ISO/IEC 7816-3 answer to reset: structure and meaning of the characters.
#include "smclib/atr_parser.h"

namespace qv::smclib {

namespace {

// Presence bits of T0 and TD(i): TA, TB, TC, TD of the next group.
constexpr std::uint8_t kTaPresent = 0x10;
constexpr std::uint8_t kTbPresent = 0x20;
constexpr std::uint8_t kTcPresent = 0x40;
constexpr std::uint8_t kTdPresent = 0x80;
constexpr std::uint8_t kLowNibble = 0x0F;
constexpr unsigned kHighNibbleShift = 4;

constexpr std::uint8_t kProtocolT0 = 0;
constexpr std::uint8_t kProtocolT1 = 1;
constexpr std::uint8_t kProtocolT15 = 15;
// The first TA for T=15: clock stop in bits 8..7, class in bits 6..1.
constexpr unsigned kClockStopShift = 6;
constexpr std::uint8_t kClassMask = 0x3F;

// TA2: the protocol of the specific mode, and whether the rates are implicit.
constexpr std::uint8_t kTa2ImplicitRates = 0x10;
// TB1: programming current in bits 7..6, programming voltage in bits 5..1.
constexpr unsigned kIiShift = 5;
constexpr std::uint8_t kIiMask = 0x03;
constexpr std::uint8_t kPiMask = 0x1F;
// The first T=1 TC: bit 1 chooses CRC over LRC.
constexpr std::uint8_t kEdcCrc = 0x01;
// IFSC 0x00 and 0xFF are reserved. A card that announces 0 offers no
// information field at all and is refused; 0xFF is read as the largest valid
// size, 254, since real cards announce it and work with blocks of that size.
constexpr std::uint8_t kIfscReservedLow = 0x00;
constexpr std::uint8_t kIfscReservedHigh = 0xFF;
constexpr std::uint8_t kIfscMaximum = 0xFE;
constexpr std::uint8_t kMaximumBwi = 9;
constexpr std::uint8_t kNoExtraGuard = 255;

// Table 7 of ISO/IEC 7816-3: Fi and f(max) in kHz; 0 marks reserved values.
constexpr std::array<std::uint32_t, 16> kFi = {372, 372, 558, 744, 1116, 1488, 1860, 0,
                                               0,   512, 768, 1024, 1536, 2048, 0,    0};
constexpr std::array<std::uint32_t, 16> kFmaxKHz = {4000, 5000, 6000, 8000, 12000, 16000, 20000, 0,
                                                    0,    5000, 7500, 10000, 15000, 20000, 0,    0};
// Table 8: Di; 0 marks reserved values.
constexpr std::array<std::uint32_t, 16> kDi = {0, 1, 2, 4, 8, 16, 32, 64, 12, 20, 0, 0, 0, 0, 0, 0};

// Default F used by the T=1 block waiting time.
constexpr std::uint64_t kFd = 372;
constexpr std::uint64_t kWaitingUnit = 960;
constexpr std::uint64_t kCharacterEtus = 12;
constexpr std::uint64_t kT1MinimumGuardEtus = 11;
constexpr std::uint64_t kT1BlockGuardEtus = 22;
constexpr std::uint64_t kNanosecondsPerKHzCycle = 1'000'000; // 1 / (1 kHz) in ns
constexpr std::uint64_t kNanosecondsPerMicrosecond = 1000;
constexpr std::uint64_t kHzPerKHz = 1000;

ParsedAtr Fail(ParsedAtr atr, AtrFault fault) {
    atr.fault = fault;
    return atr;
}

std::uint32_t RoundUp(std::uint64_t nanoseconds) {
    return static_cast<std::uint32_t>((nanoseconds + kNanosecondsPerMicrosecond - 1) / kNanosecondsPerMicrosecond);
}

std::uint32_t RoundNearest(std::uint64_t nanoseconds) {
    return static_cast<std::uint32_t>((nanoseconds + kNanosecondsPerMicrosecond / 2) / kNanosecondsPerMicrosecond);
}

// Reads the structure: TS, T0, the groups, the historical bytes and TCK.
ParsedAtr ReadStructure(std::span<const std::uint8_t> atr) {
    ParsedAtr parsed;
    if (atr.empty()) return Fail(parsed, AtrFault::Empty);
    if (atr.size() > kMaximumAtrLength) return Fail(parsed, AtrFault::TooLong);
    if (atr[0] == kInverseConvention) {
        parsed.inverse = true;
    } else if (atr[0] != kDirectConvention) {
        return Fail(parsed, AtrFault::BadConvention);
    }
    if (atr.size() < 2) return Fail(parsed, AtrFault::Truncated);
    parsed.t0 = atr[1];

    std::size_t next = 2;
    std::uint8_t presence = parsed.t0;
    bool onlyT0 = true;
    bool more = true;
    while (more) {
        AtrGroup& group = parsed.groups[parsed.groupCount++];
        for (const std::uint8_t bit : {kTaPresent, kTbPresent, kTcPresent, kTdPresent}) {
            if ((presence & bit) == 0) continue;
            if (next >= atr.size()) return Fail(parsed, AtrFault::Truncated);
            const std::uint8_t value = atr[next++];
            if (bit == kTaPresent) group.ta = value;
            if (bit == kTbPresent) group.tb = value;
            if (bit == kTcPresent) group.tc = value;
            if (bit == kTdPresent) group.td = value;
        }
        more = group.td.has_value();
        if (more) {
            presence = *group.td;
            const std::uint8_t protocol = *group.td & kLowNibble;
            parsed.offered |= 1u << protocol;
            if (protocol != kProtocolT0) onlyT0 = false;
            if (parsed.groupCount == 1) parsed.firstProtocol = protocol;
        }
    }
    if (parsed.offered == 0) parsed.offered = 1u << kProtocolT0;

    parsed.historicalOffset = next;
    parsed.historicalLength = parsed.t0 & kLowNibble;
    if (atr.size() - next < parsed.historicalLength) return Fail(parsed, AtrFault::Truncated);
    next += parsed.historicalLength;

    // TCK follows unless T=0 is the only protocol offered. A T=0-only card
    // that sends one anyway is accepted as long as it checks.
    const bool tckRequired = !onlyT0;
    if (next < atr.size() && (tckRequired || next + 1 == atr.size())) {
        parsed.tckPresent = true;
        parsed.tck = atr[next++];
        std::uint8_t check = 0;
        for (std::size_t i = 1; i < next; ++i) check ^= atr[i];
        if (check != 0) return Fail(parsed, AtrFault::BadTck);
    } else if (tckRequired) {
        return Fail(parsed, AtrFault::MissingTck);
    }
    if (next != atr.size()) return Fail(parsed, AtrFault::TooLong);
    return parsed;
}

// Reads the meaning of the interface bytes into the ISO values.
ParsedAtr Interpret(ParsedAtr parsed) {
    const AtrGroup& first = parsed.groups[0];
    if (first.ta) {
        parsed.fi = *first.ta >> kHighNibbleShift;
        parsed.di = *first.ta & kLowNibble;
        if (kFi[parsed.fi] == 0) return Fail(parsed, AtrFault::ReservedFi);
        if (kDi[parsed.di] == 0) return Fail(parsed, AtrFault::ReservedDi);
    }
    if (first.tb) {
        parsed.ii = (*first.tb >> kIiShift) & kIiMask;
        parsed.pi = *first.tb & kPiMask;
    }
    if (first.tc) parsed.n = *first.tc;

    if (parsed.groupCount >= 2) {
        const AtrGroup& second = parsed.groups[1];
        if (second.ta) {
            parsed.specific = true;
            parsed.specificProtocol = *second.ta & kLowNibble;
            parsed.implicitRates = (*second.ta & kTa2ImplicitRates) != 0;
        }
        if (second.tb) parsed.pi = *second.tb;
        if (second.tc) {
            if (*second.tc == 0) return Fail(parsed, AtrFault::ReservedWi);
            parsed.wi = *second.tc;
        }
    }

    // The T=1 values sit in the first group i >= 3 whose TD(i-1) names T=1.
    for (std::size_t index = 2; index < parsed.groupCount; ++index) {
        const AtrGroup& previous = parsed.groups[index - 1];
        if (!previous.td || (*previous.td & kLowNibble) != kProtocolT1) continue;
        const AtrGroup& group = parsed.groups[index];
        if (group.ta) {
            if (*group.ta == kIfscReservedLow) return Fail(parsed, AtrFault::ReservedIfsc);
            parsed.ifsc = *group.ta == kIfscReservedHigh ? kIfscMaximum : *group.ta;
        }
        if (group.tb) {
            parsed.bwi = *group.tb >> kHighNibbleShift;
            parsed.cwi = *group.tb & kLowNibble;
            if (parsed.bwi > kMaximumBwi) return Fail(parsed, AtrFault::ReservedBwi);
        }
        if (group.tc) parsed.edc = *group.tc & kEdcCrc;
        break;
    }

    // The global bytes for T=15 sit in the first group i >= 3 whose TD(i-1) names T=15.
    for (std::size_t index = 2; index < parsed.groupCount; ++index) {
        const AtrGroup& previous = parsed.groups[index - 1];
        if (!previous.td || (*previous.td & kLowNibble) != kProtocolT15) continue;
        if (parsed.groups[index].ta) {
            parsed.clockStop = *parsed.groups[index].ta >> kClockStopShift;
            parsed.classIndicator = *parsed.groups[index].ta & kClassMask;
        }
        break;
    }

    const std::uint32_t usable = parsed.offered & ((1u << kProtocolT0) | (1u << kProtocolT1));
    if (usable == 0) return Fail(parsed, AtrFault::UnsupportedProtocol);
    if (parsed.specific && parsed.specificProtocol != kProtocolT0 && parsed.specificProtocol != kProtocolT1) {
        return Fail(parsed, AtrFault::UnsupportedProtocol);
    }
    return parsed;
}

} // namespace

std::string_view AtrFaultName(AtrFault fault) {
    switch (fault) {
    case AtrFault::None: return "none";
    case AtrFault::Empty: return "empty ATR";
    case AtrFault::TooLong: return "ATR longer than its structure";
    case AtrFault::BadConvention: return "TS is neither 3B nor 3F";
    case AtrFault::Truncated: return "ATR ends before the bytes it announces";
    case AtrFault::MissingTck: return "TCK missing";
    case AtrFault::BadTck: return "TCK does not check";
    case AtrFault::ReservedFi: return "reserved Fi in TA1";
    case AtrFault::ReservedDi: return "reserved Di in TA1";
    case AtrFault::ReservedWi: return "reserved WI in TC2";
    case AtrFault::ReservedIfsc: return "reserved IFSC";
    case AtrFault::ReservedBwi: return "reserved BWI";
    case AtrFault::UnsupportedProtocol: return "no T=0 or T=1";
    }
    return "unknown";
}

ParsedAtr ParseAtr(std::span<const std::uint8_t> atr) {
    ParsedAtr parsed = ReadStructure(atr);
    if (!parsed.Ok()) return parsed;
    return Interpret(parsed);
}

std::uint32_t FiValue(std::uint8_t fi) { return fi < kFi.size() ? kFi[fi] : 0; }
std::uint32_t FiMaximumClockKHz(std::uint8_t fi) { return fi < kFmaxKHz.size() ? kFmaxKHz[fi] : 0; }
std::uint32_t DiValue(std::uint8_t di) { return di < kDi.size() ? kDi[di] : 0; }

AtrTimes DeriveTimes(const ParsedAtr& atr, std::uint32_t clockKHz, std::uint8_t fl, std::uint8_t dl) {
    AtrTimes times;
    const std::uint64_t f = FiValue(fl);
    const std::uint64_t d = DiValue(dl);
    const std::uint64_t fi = FiValue(atr.fi);
    if (clockKHz == 0 || f == 0 || d == 0 || fi == 0) return times;
    // One etu in nanoseconds, kept exact as a fraction over (d * clock).
    const std::uint64_t etuNumerator = f * kNanosecondsPerKHzCycle; // divided by d * clockKHz
    const std::uint64_t etuDenominator = d * clockKHz;
    auto etus = [&](std::uint64_t count) { return count * etuNumerator / etuDenominator; };
    auto cycles = [&](std::uint64_t count) { return count * kNanosecondsPerKHzCycle / clockKHz; };

    times.etu = RoundNearest(etus(1));
    const bool t1Only = (atr.offered & 1u) == 0;
    const std::uint64_t guardEtus = atr.n == kNoExtraGuard ? (t1Only ? kT1MinimumGuardEtus : kCharacterEtus)
                                                           : kCharacterEtus + atr.n;
    times.guard = RoundNearest(etus(guardEtus));
    times.t0Wait = RoundUp(cycles(std::uint64_t{atr.wi} * kWaitingUnit * fi));
    times.t1Char = RoundUp(etus(kT1MinimumGuardEtus + (std::uint64_t{1} << atr.cwi)));
    times.t1Block = RoundUp(etus(kT1MinimumGuardEtus) + cycles((std::uint64_t{1} << atr.bwi) * kWaitingUnit * kFd));
    times.t1BlockGuard = RoundNearest(etus(kT1BlockGuardEtus));
    times.dataRate = static_cast<std::uint32_t>(std::uint64_t{clockKHz} * kHzPerKHz * d / f);
    return times;
}

} // namespace qv::smclib
