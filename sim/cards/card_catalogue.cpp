#include "cards/card_catalogue.h"

#include <algorithm>
#include <array>

#include "cards/atr.h"
#include "cards/openpgp_application.h"

namespace qv::sim {

namespace {

// Historical bytes: a category indicator 0x80 followed by text that names
// the card, so that an ATR shows where it came from.
Bytes Historical(std::string_view text) {
    constexpr std::uint8_t kCategoryStatusLast = 0x80;
    Bytes bytes(text.size() + 1, kCategoryStatusLast);
    std::ranges::copy(text, bytes.begin() + 1);
    return bytes;
}

// Fi 372, Di 4: 38400 bit/s at the reader's clock, the fastest it can do.
constexpr std::uint8_t kRate38400 = 0x13;
// Fi 512, Di 16: about 111600 bit/s, more than the reader can do.
constexpr std::uint8_t kRateTooFast = 0x95;
constexpr std::uint8_t kIfsc254 = 0xFE;
// Specific mode: the card starts in T=1 and may change mode.
constexpr std::uint8_t kSpecificT1 = 0x01;

SimpleCardOptions FromParameters(const AtrParameters& p) {
    SimpleCardOptions options;
    options.atr = BuildAtr(p);
    options.protocols = static_cast<std::uint8_t>((p.t0 ? kProtocolT0 : 0) | (p.t1 ? kProtocolT1 : 0));
    options.offeredRate = p.ta1.value_or(kDefaultRate);
    options.ifsc = p.ifsc;
    return options;
}

SimpleCardOptions T0Card() {
    return FromParameters({.ta1 = kRate38400, .tc2 = 0x0A, .t0 = true, .historical = Historical("QV T0")});
}

SimpleCardOptions T1Card() {
    return FromParameters({.ta1 = kRate38400, .t0 = false, .t1 = true, .ifsc = kIfsc254, .bwi = 4, .cwi = 5,
                           .historical = Historical("QV T1")});
}

SimpleCardOptions DualCard() {
    auto options = FromParameters({.ta1 = kRate38400, .t0 = true, .t1 = true, .ifsc = kIfsc254, .bwi = 4,
                                   .cwi = 5, .historical = Historical("QV DUAL")});
    options.resetClocks = 12'000;
    return options;
}

SimpleCardOptions InverseCard() {
    auto options = FromParameters({.inverse = true, .ta1 = kRate38400, .t0 = true, .historical = Historical("INV")});
    options.resetClocks = 40'000;
    return options;
}

// The card recognised by its whole ATR: T=1 with IFSC 251 in TA3, extra
// guard time 255 in TC1.
SimpleCardOptions Atr20Card() {
    SimpleCardOptions options;
    options.atr = {0x3B, 0xFA, 0x13, 0x00, 0xFF, 0x81, 0x31, 0xFB, 0x45, 0x80,
                   0x12, 0x39, 0x2F, 0x31, 0xC0, 0x73, 0xC7, 0x01, 0x49, 0x91};
    options.protocols = kProtocolT1;
    options.offeredRate = kRate38400;
    options.ifsc = 0xFB;
    return options;
}

SimpleCardOptions TooFastCard() {
    return FromParameters({.ta1 = kRateTooFast, .t0 = true, .t1 = true, .ifsc = kIfsc254,
                           .historical = Historical("QV FAST")});
}

// As long as an ATR may be: TS, T0, TA1 TB1 TC1 TD1 (T=0), TB2 TC2 TD2
// (T=1), TA3 TB3 TC3 TD3 (T=1), TA4 TB4 TC4 TD4 (T=1), 15 historical bytes
// and TCK. Its first TD names T=0, so the T=1 values come only from group 3.
SimpleCardOptions Atr33Card() {
    SimpleCardOptions options;
    options.atr = {0x3B, 0xFF, kRate38400, 0x00, 0x00, 0xE0, 0x00, 0x0A, 0xF1,
                   kIfsc254, 0x45, 0x00, 0xF1, 0x20, 0x45, 0x00, 0x01};
    const Bytes historical = Historical("QV LONG ATR 33");
    options.atr.insert(options.atr.end(), historical.begin(), historical.end());
    std::uint8_t tck = 0;
    for (std::size_t i = 1; i < options.atr.size(); ++i) tck ^= options.atr[i];
    options.atr.push_back(tck);
    options.protocols = kProtocolT0 | kProtocolT1;
    options.offeredRate = kRate38400;
    options.ifsc = kIfsc254;
    return options;
}

// T=1 with CRC as its error detection code, a small IFSC and a short block
// waiting time, so that chaining and WTX come up often.
SimpleCardOptions T1CrcCard() {
    return FromParameters({.ta1 = kRate38400, .t0 = false, .t1 = true, .ifsc = 32, .bwi = 2, .cwi = 5, .crc = true,
                           .historical = Historical("QV CRC")});
}

SimpleCardOptions BadTckCard() {
    return FromParameters(
        {.ta1 = kRate38400, .t0 = false, .t1 = true, .historical = Historical("BADTCK"), .tck = TckMode::Bad});
}

SimpleCardOptions MuteCard() {
    auto options = DualCard();
    options.mute = true;
    return options;
}

// A cold reset finds the card in specific mode (TA2, T=1); a warm reset
// makes it negotiable with T=0 and T=1 offered.
SimpleCardOptions TwoModeCard() {
    auto options = FromParameters({.ta1 = kRate38400, .ta2 = kSpecificT1, .t0 = false, .t1 = true,
                                   .ifsc = kIfsc254, .historical = Historical("QV MODE")});
    options.protocols = kProtocolT0 | kProtocolT1;
    options.warmAtr = BuildAtr({.ta1 = kRate38400, .t0 = true, .t1 = true, .ifsc = kIfsc254,
                                .historical = Historical("QV MODE")});
    return options;
}

// OpenPGP cards (cards/openpgp_application.h): their historical bytes say
// short APDUs with command chaining. The T=1 card's block waiting time (BWI
// 4, 1.6 s) is shorter than its key generation, which it asks S(WTX) for;
// the T=0 card sends NULL bytes at half its work waiting time (WI 10).
SimpleCardOptions OpenPgpCard(AtrParameters atr, std::uint32_t serial) {
    atr.ta1 = kRate38400;
    atr.historical = OpenPgpHistoricalBytes();
    auto options = FromParameters(atr);
    options.application = [serial](std::uint64_t seed) -> std::unique_ptr<CardApplication> {
        return std::make_unique<OpenPgpApplication>(seed, OpenPgpOptions{.serial = serial});
    };
    return options;
}

SimpleCardOptions OpenPgpT1Card() {
    return OpenPgpCard({.t0 = false, .t1 = true, .ifsc = kIfsc254, .bwi = 4, .cwi = 5}, 0x51563101);
}

SimpleCardOptions OpenPgpT0Card() { return OpenPgpCard({.tc2 = 0x0A, .t0 = true}, 0x51563001); }

// The small card of the link tests: ATR 3B 02 14 50, T=0 and T=1, any rate.
SimpleCardOptions PlainCard() { return SimpleCardOptions{}; }

constexpr std::array<CatalogueEntry, 14> kCatalogue{{
    {"dual", "T=0 and T=1, up to 38400 bit/s, IFSC 254", &DualCard},
    {"t0", "T=0 only, up to 38400 bit/s, WI 10", &T0Card},
    {"t1", "T=1 only, up to 38400 bit/s, IFSC 254, BWI 4 CWI 5", &T1Card},
    {"inverse", "inverse convention (TS 3F), T=0, slowest reset allowed", &InverseCard},
    {"atr20", "the 20-byte T=1 ATR that protocol selection follows with reader command 9", &Atr20Card},
    {"fast", "offers Fi 512 Di 16 in TA1, faster than the reader can go", &TooFastCard},
    {"atr33", "an ATR of 33 bytes, the longest ISO/IEC 7816-3 allows; TD1 names T=0, then T=1 groups", &Atr33Card},
    {"bad-tck", "T=1 card whose ATR check byte is wrong", &BadTckCard},
    {"mute", "never answers a reset", &MuteCard},
    {"two-mode", "specific mode T=1 after a cold reset, another ATR (T=0 and T=1) after a warm one", &TwoModeCard},
    {"plain", "the small card ATR 3B 02 14 50, T=0 and T=1, any rate", &PlainCard},
    {"t1-crc", "T=1 only with CRC, up to 38400 bit/s, IFSC 32, BWI 2", &T1CrcCard},
    {"openpgp", "OpenPGP card 3.4, T=1 only, RSA 2048, P-256 and Curve25519, short APDUs with chaining", &OpenPgpT1Card},
    {"openpgp-t0", "OpenPGP card 3.4, T=0 only, RSA 2048, P-256 and Curve25519, short APDUs with chaining",
     &OpenPgpT0Card},
}};

} // namespace

std::span<const CatalogueEntry> CardCatalogue() { return kCatalogue; }

const CatalogueEntry* FindCard(std::string_view name) {
    auto it = std::ranges::find(kCatalogue, name, &CatalogueEntry::name);
    return it == kCatalogue.end() ? nullptr : &*it;
}

std::optional<SimpleCardOptions> CardOptions(std::string_view name, std::uint64_t seed) {
    const CatalogueEntry* entry = FindCard(name);
    if (entry == nullptr) return std::nullopt;
    SimpleCardOptions options = entry->options();
    options.seed = seed;
    return options;
}

std::unique_ptr<SimpleCard> MakeCard(std::string_view name, std::uint64_t seed) {
    auto options = CardOptions(name, seed);
    if (!options) return nullptr;
    return std::make_unique<SimpleCard>(*options);
}

std::optional<SimpleCardOptions> OptionsFromAtr(std::span<const std::uint8_t> atr, std::uint64_t seed) {
    if (atr.empty() || atr.size() > kMaxAtrLength) return std::nullopt;
    const AtrProfile profile = ReadAtr(atr);
    SimpleCardOptions options;
    options.atr.assign(atr.begin(), atr.end());
    options.protocols = profile.protocols & (kProtocolT0 | kProtocolT1);
    options.offeredRate = profile.rate;
    options.ifsc = profile.ifsc;
    options.seed = seed;
    return options;
}

std::string ProtocolNames(std::uint8_t protocols) {
    const bool t0 = (protocols & kProtocolT0) != 0;
    const bool t1 = (protocols & kProtocolT1) != 0;
    if (t0 && t1) return "T0,T1";
    if (t0) return "T0";
    if (t1) return "T1";
    return "none";
}

} // namespace qv::sim
