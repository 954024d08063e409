#include "cards/atr.h"

#include <algorithm>

namespace qv::sim {

namespace {

constexpr std::uint8_t kTaPresent = 0x10;
constexpr std::uint8_t kTbPresent = 0x20;
constexpr std::uint8_t kTcPresent = 0x40;
constexpr std::uint8_t kTdPresent = 0x80;
constexpr std::uint8_t kLowNibble = 0x0F;
constexpr unsigned kBwiShift = 4;
constexpr std::uint8_t kEdcCrc = 0x01;
constexpr std::uint8_t kProtocolT0Number = 0;
constexpr std::uint8_t kProtocolT1Number = 1;
constexpr std::uint8_t kBitT0 = 0x01;
constexpr std::uint8_t kBitT1 = 0x02;

// One group of interface bytes: its TA, TB, TC and the protocol its TD
// names for the next group (none ends the chain).
struct Group {
    std::optional<std::uint8_t> ta, tb, tc;
    std::optional<std::uint8_t> nextProtocol;
};

std::uint8_t Xor(std::span<const std::uint8_t> bytes) {
    std::uint8_t sum = 0;
    for (std::uint8_t b : bytes) sum ^= b;
    return sum;
}

} // namespace

Bytes BuildAtr(const AtrParameters& p) {
    const std::size_t historical = std::min(p.historical.size(), kMaxHistoricalBytes);
    // Group 1 carries the global TA1/TC1; group 2 TA2/TC2 (TC2 is T=0's);
    // the T=1 group follows the TD that names T=1.
    std::vector<Group> groups(1);
    groups[0].ta = p.ta1;
    groups[0].tc = p.tc1;
    const bool group2 = p.ta2 || (p.tc2 && p.t0);
    if (p.t0 && (p.t1 || group2)) {
        groups[0].nextProtocol = kProtocolT0Number;
        groups.emplace_back();
    } else if (p.t1) {
        groups[0].nextProtocol = kProtocolT1Number;
        groups.emplace_back();
    }
    if (groups.size() > 1) {
        groups[1].ta = p.ta2;
        if (p.t0) groups[1].tc = p.tc2;
    }
    if (p.t1) {
        groups.back().nextProtocol = kProtocolT1Number;
        Group t1;
        t1.ta = p.ifsc;
        t1.tb = static_cast<std::uint8_t>((p.bwi << kBwiShift) | (p.cwi & kLowNibble));
        if (p.crc) t1.tc = kEdcCrc;
        groups.push_back(t1);
    }

    Bytes atr{p.inverse ? kTsInverse : kTsDirect};
    auto presence = [](const Group& g) {
        std::uint8_t y = 0;
        if (g.ta) y |= kTaPresent;
        if (g.tb) y |= kTbPresent;
        if (g.tc) y |= kTcPresent;
        if (g.nextProtocol) y |= kTdPresent;
        return y;
    };
    atr.push_back(static_cast<std::uint8_t>(presence(groups[0]) | historical));
    for (std::size_t i = 0; i < groups.size(); ++i) {
        const Group& g = groups[i];
        for (const auto& byte : {g.ta, g.tb, g.tc}) {
            if (byte) atr.push_back(*byte);
        }
        if (g.nextProtocol) atr.push_back(static_cast<std::uint8_t>(presence(groups[i + 1]) | *g.nextProtocol));
    }
    atr.insert(atr.end(), p.historical.begin(), p.historical.begin() + static_cast<std::ptrdiff_t>(historical));
    const bool tckRequired = p.t1;
    if (p.tck == TckMode::Bad) {
        atr.push_back(static_cast<std::uint8_t>(Xor(std::span(atr).subspan(1)) ^ kLowNibble));
    } else if (p.tck == TckMode::Auto && tckRequired) {
        atr.push_back(Xor(std::span(atr).subspan(1)));
    }
    return atr;
}

AtrProfile ReadAtr(std::span<const std::uint8_t> atr) {
    AtrProfile profile;
    if (atr.empty()) return profile;
    profile.inverse = atr[0] == kTsInverse;
    if (atr.size() < 2) {
        profile.protocols = kBitT0;
        return profile;
    }
    std::size_t at = 1;
    std::uint8_t y = atr[at];
    profile.historicalCount = y & kLowNibble;
    ++at;
    // The protocol the current group belongs to: none for group 1 and 2
    // (global), then the one the previous TD named.
    int group = 1;
    std::optional<std::uint8_t> groupProtocol;
    bool offersOther = false;
    bool t1GroupSeen = false;
    bool truncated = false;
    while (true) {
        auto take = [&](std::uint8_t bit) -> std::optional<std::uint8_t> {
            if ((y & bit) == 0) return std::nullopt;
            if (at >= atr.size()) {
                truncated = true;
                return std::nullopt;
            }
            return atr[at++];
        };
        auto ta = take(kTaPresent);
        auto tb = take(kTbPresent);
        auto tc = take(kTcPresent);
        auto td = take(kTdPresent);
        if (group == 1 && ta) profile.rate = *ta;
        if (group == 1 && tc) profile.extraGuard = *tc;
        if (group == 2 && tc && groupProtocol == kProtocolT0Number && *tc != 0) profile.wi = *tc;
        if (group == 2 && ta) profile.specific = *ta;
        if (group >= 3 && groupProtocol == kProtocolT1Number && !t1GroupSeen) {
            t1GroupSeen = true;
            if (ta) profile.ifsc = *ta;
            if (tb) {
                profile.bwi = static_cast<std::uint8_t>(*tb >> kBwiShift);
                profile.cwi = static_cast<std::uint8_t>(*tb & kLowNibble);
            }
            if (tc) profile.crc = (*tc & kEdcCrc) != 0;
        }
        if (!td) break;
        const std::uint8_t protocol = *td & kLowNibble;
        if (protocol == kProtocolT0Number) profile.protocols |= kBitT0;
        else if (protocol == kProtocolT1Number) profile.protocols |= kBitT1;
        else offersOther = true;
        groupProtocol = protocol;
        y = *td;
        ++group;
    }
    if (profile.protocols == 0 && !offersOther) profile.protocols = kBitT0;
    const std::size_t historicalEnd = at + profile.historicalCount;
    const bool tckRequired = (profile.protocols & ~kBitT0) != 0 || offersOther;
    if (historicalEnd > atr.size()) truncated = true;
    profile.tckPresent = !truncated && atr.size() > historicalEnd;
    profile.tckGood = profile.tckPresent && Xor(atr.subspan(1, historicalEnd - 1)) == atr[historicalEnd];
    profile.complete = !truncated && (!tckRequired || profile.tckPresent);
    return profile;
}

} // namespace qv::sim
