// The simulated cards: ATRs built from parameters and read back, the named
// cards of the catalogue, the time a reset costs, warm resets with another
// ATR, and what the reader does with a card's rate and a short reset answer.
#include <gtest/gtest.h>

#include "cards/atr.h"
#include "cards/card_catalogue.h"
#include "sim/reader_host.h"

namespace qv::sim {
namespace {

using test::Hex;
using test::Host;

constexpr std::string_view kColdReset = "D0 E6 00 0F";
constexpr std::string_view kWarmReset = "D0 E6 01 00";
// At the reader's 3.5712 MHz clock an etu is 372 clocks and a character 12
// etu: 1.25 ms, in 100 ns units.
constexpr usb::Time kCharacterTime = 12'500;
constexpr std::uint64_t kClockHz = 3'571'200;

usb::Time ClockTime(std::uint64_t clocks) { return clocks * kSecond / kClockHz; }

TEST(SimAtr, BuiltAtrsReadBackAsTheirParameters) {
    const AtrParameters dual{.ta1 = 0x13, .t0 = true, .t1 = true, .ifsc = 0xFE, .bwi = 4, .cwi = 5,
                             .historical = Hex("80 51 56")};
    const Bytes atr = BuildAtr(dual);
    EXPECT_EQ(atr, Hex("3B 93 13 80 31 FE 45 80 51 56 0D")) << "TD1 T=0, TD2 T=1, then TA3 TB3, TCK";
    const AtrProfile profile = ReadAtr(atr);
    EXPECT_EQ(profile.protocols, kProtocolT0 | kProtocolT1);
    EXPECT_EQ(profile.rate, 0x13);
    EXPECT_EQ(profile.ifsc, 0xFE);
    EXPECT_EQ(profile.bwi, 4);
    EXPECT_EQ(profile.cwi, 5);
    EXPECT_TRUE(profile.complete);
    EXPECT_TRUE(profile.tckGood);

    const Bytes t0Only = BuildAtr({.inverse = true, .t0 = true, .historical = Hex("01 02")});
    EXPECT_EQ(t0Only, Hex("3F 02 01 02")) << "T=0 only: no TD, no TCK";
    EXPECT_TRUE(ReadAtr(t0Only).inverse);
    EXPECT_EQ(ReadAtr(t0Only).protocols, kProtocolT0);
    EXPECT_FALSE(ReadAtr(t0Only).tckPresent);

    const Bytes bad = BuildAtr({.t0 = false, .t1 = true, .tck = TckMode::Bad});
    EXPECT_TRUE(ReadAtr(bad).tckPresent);
    EXPECT_FALSE(ReadAtr(bad).tckGood);
    EXPECT_FALSE(ReadAtr(BuildAtr({.t0 = false, .t1 = true, .tck = TckMode::Omit})).complete);
    EXPECT_EQ(ReadAtr(BuildAtr({.t0 = false, .t1 = true, .crc = true})).crc, true);
}

TEST(SimAtr, ReadingACutAtrStopsAtItsEnd) {
    const Bytes full = Hex("3B FA 13 00 FF 81 31 FB 45 80 12 39 2F 31 C0 73 C7 01 49 91");
    EXPECT_TRUE(ReadAtr(full).complete);
    EXPECT_EQ(ReadAtr(full).ifsc, 0xFB);
    for (std::size_t length = 0; length < full.size(); ++length) {
        // A copy of exactly that length, so that a read past it is caught by
        // the sanitizer build.
        const Bytes cut(full.begin(), full.begin() + static_cast<std::ptrdiff_t>(length));
        EXPECT_FALSE(ReadAtr(cut).complete) << "length " << length;
    }
}

TEST(SimCardCatalogue, EveryCardHasAValidAtrThatAnnouncesWhatItDoes) {
    ASSERT_NE(FindCard("dual"), nullptr) << "the console's default card";
    for (const CatalogueEntry& entry : CardCatalogue()) {
        SCOPED_TRACE(std::string(entry.name));
        const SimpleCardOptions options = entry.options();
        ASSERT_FALSE(options.atr.empty());
        EXPECT_LE(options.atr.size(), kMaxAtrLength);
        EXPECT_TRUE(options.atr[0] == kTsDirect || options.atr[0] == kTsInverse);
        const AtrProfile profile = ReadAtr(options.atr);
        EXPECT_TRUE(profile.complete);
        if (entry.name == "bad-tck") {
            EXPECT_FALSE(profile.tckGood);
        } else if (profile.tckPresent) {
            EXPECT_TRUE(profile.tckGood);
        }
        if (entry.name != "two-mode" && entry.name != "plain") {
            EXPECT_EQ(profile.protocols, options.protocols);
        }
    }
    EXPECT_EQ(CardOptions("atr33")->atr.size(), 33u);
    EXPECT_EQ(CardOptions("atr20")->atr, Hex("3B FA 13 00 FF 81 31 FB 45 80 12 39 2F 31 C0 73 C7 01 49 91"));
    EXPECT_EQ(CardOptions("inverse")->atr[0], kTsInverse);
    EXPECT_FALSE(CardOptions("no-such-card"));
}

TEST(SimCardCatalogue, CardsFromAnyAtrBehaveAsTheAtrSays) {
    EXPECT_FALSE(OptionsFromAtr({}));
    EXPECT_FALSE(OptionsFromAtr(Bytes(34, 0x3B)));
    const auto t1 = OptionsFromAtr(Hex("3B FA 13 00 FF 81 31 FB 45 80 12 39 2F 31 C0 73 C7 01 49 91"));
    ASSERT_TRUE(t1);
    EXPECT_EQ(t1->protocols, kProtocolT1);
    EXPECT_EQ(t1->ifsc, 0xFB);
    SimpleCard card(*t1);
    EXPECT_EQ(*card.Reset(ResetKind::Cold).bytes, t1->atr);
    EXPECT_EQ(card.Pps(Hex("FF 10 11 FE")).verdict, PpsVerdict::ProtocolRefused) << "T=0 not offered";
    EXPECT_EQ(card.Pps(Hex("FF 11 13 FD")).verdict, PpsVerdict::Accepted);
    card.Reset(ResetKind::Cold);
    EXPECT_EQ(card.Pps(Hex("FF 11 14 FA")).verdict, PpsVerdict::RateRefused) << "Di 8 beyond TA1's Di 4";
    const auto plain = OptionsFromAtr(Hex("3B 02 14 50"));
    ASSERT_TRUE(plain);
    EXPECT_EQ(plain->protocols, kProtocolT0) << "no TD byte: T=0";
}

TEST(SimCardTiming, AResetCostsTheCardsClocksAndItsAtrAtTheDefaultRate) {
    for (const CatalogueEntry& entry : CardCatalogue()) {
        SCOPED_TRACE(std::string(entry.name));
        const SimpleCardOptions options = entry.options();
        SimpleCard card(options);
        const CardReply reply = card.Reset(ResetKind::Cold);
        EXPECT_GE(options.resetClocks, 400u);
        EXPECT_LE(options.resetClocks, 40'000u);
        if (options.mute) {
            EXPECT_FALSE(reply.bytes);
            EXPECT_EQ(reply.duration, ClockTime(40'000)) << "the reader gives up after 40000 clocks";
        } else {
            ASSERT_TRUE(reply.bytes);
            EXPECT_EQ(reply.duration, ClockTime(options.resetClocks) + reply.bytes->size() * kCharacterTime);
        }
    }
    // 20 bytes: 25 ms of characters after 10000 clocks (2.8 ms).
    SimpleCard atr20(*CardOptions("atr20"));
    EXPECT_EQ(atr20.Reset(ResetKind::Cold).duration, ClockTime(10'000) + 20 * kCharacterTime);
}

TEST(SimCardTiming, AWarmResetMayBringAnotherAtr) {
    SimpleCard card(*CardOptions("two-mode"));
    const Bytes cold = *card.Reset(ResetKind::Cold).bytes;
    const Bytes warm = *card.Reset(ResetKind::Warm).bytes;
    EXPECT_NE(cold, warm);
    EXPECT_TRUE(ReadAtr(cold).specific.has_value());
    EXPECT_FALSE(ReadAtr(warm).specific.has_value());
    card.PowerDown();
    EXPECT_EQ(*card.Reset(ResetKind::Warm).bytes, cold) << "a warm reset of an unpowered card is a cold one";
}

TEST(SimReaderReset, ArmedShortAnswerCarriesStatusAaAndNoAtr) {
    UsbReader reader({}, MakeCard("dual"));
    Host host(reader);
    const Bytes atr = CardOptions("dual")->atr;
    EXPECT_EQ(Host::Data(host.Command(kColdReset)), atr);
    reader.Arm(Fault::ResetNoAtr, 2);
    EXPECT_EQ(host.Command(kWarmReset), Hex("D0 E6 00 AA"));
    EXPECT_EQ(host.Command(kColdReset), Hex("D0 E6 00 AA"));
    EXPECT_TRUE(reader.CurrentCard().Powered()) << "the reset itself was done";
    EXPECT_EQ(Host::Data(host.Command(kColdReset)), atr) << "spent after two";
    EXPECT_TRUE(FaultByName("reset-no-atr"));
}

TEST(SimReaderReset, TheReaderRefusesRatesAbove38400Baud) {
    UsbReader reader({}, MakeCard("fast"));
    Host host(reader);
    host.Command(kColdReset);
    EXPECT_EQ(Host::Status(host.Command("D0 E7 FF 11 95 7B")), kStatusPpsRateRefused) << "Fi 512 Di 16";
    EXPECT_EQ(Host::Status(host.Command("D0 E7 FF 11 13 FD")), kStatusPpsRateRefused)
        << "the card's Fi is 512, so it refuses Fi 372";
    EXPECT_EQ(Host::Status(host.Command("D0 E7 FF 11 11 FF")), kStatusOk) << "the default rate";
}

} // namespace
} // namespace qv::sim
