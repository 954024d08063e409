// The card line through the reader: the PPS exchange and its status bytes,
// and what a card exchange costs in virtual time (12 etu a character at the
// rate in force, plus the extra guard time of TC1 on the reader's
// characters, plus the card's work).
#include <gtest/gtest.h>

#include "card_host.h"
#include "card_timing.h"

namespace qv::sim {
namespace {

using test::CardBench;
using test::Hex;
using test::Host;

constexpr std::string_view kColdReset = "D0 E6 00 0F";

TEST(SimCardLine, PpsRequestsAndTheirStatusBytes) {
    UsbReader reader({}, MakeCard("dual"));
    Host host(reader);
    host.Command(kColdReset);
    EXPECT_EQ(Host::Status(host.Command("D0 E7 FF 11 13 FC")), kStatusBadLength) << "PCK does not make the xor 0";
    EXPECT_EQ(Host::Status(host.Command("D0 E7 FE 11 13 FF")), kStatusBadLength) << "PPSS not FF";
    EXPECT_EQ(Host::Status(host.Command("D0 E7 FF 31 13 DD")), kStatusBadLength) << "PPS2 announced, not sent";
    EXPECT_EQ(Host::Status(host.Command("D0 E7 FF 11 14 FA")), kStatusPpsRateRefused) << "76800 bit/s: above 38400";
    EXPECT_EQ(Host::Status(host.Command("D0 E7 FF 11 95 7B")), kStatusPpsRateRefused);
    EXPECT_EQ(Host::Status(host.Command("D0 E7 FF 12 13 FE")), kStatusPpsProtocolRefused) << "T=2";
    EXPECT_EQ(host.Command("D0 E7 FF 11 13 FD"), Hex("D0 E7 00 00 FF 11 13 FD"));
    EXPECT_EQ(reader.Simple()->RateIndex(), 0x13);
    EXPECT_EQ(reader.Simple()->SelectedProtocol(), kProtocolT1);

    // A card that offers T=0 only refuses T=1 with 0xE8.
    UsbReader t0({}, MakeCard("t0"));
    Host other(t0);
    other.Command(kColdReset);
    EXPECT_EQ(Host::Status(other.Command("D0 E7 FF 11 13 FD")), kStatusPpsProtocolRefused);
}

TEST(SimCardLine, FallbackToTheDefaultRateAfterTheCardRefusedOne) {
    SimpleCardOptions options;
    options.acceptsFasterRates = false;
    UsbReader reader({}, std::make_unique<SimpleCard>(options));
    Host host(reader);
    host.Command(kColdReset);
    EXPECT_EQ(Host::Status(host.Command("D0 E7 FF 10 13 FC")), kStatusPpsRateRefused);
    EXPECT_EQ(Host::Status(host.Command("D0 E7 FF 10 11 FE")), kStatusOk) << "the default rate, asked again";
    EXPECT_EQ(reader.Simple()->RateIndex(), 0x11);
    EXPECT_EQ(Host::Status(host.Command("D0 E7 FF 10 11 FE")), kStatusPpsProtocolRefused)
        << "no third PPS in one activation";
}

// The time of one GET CHALLENGE of 8 bytes under T=0 at the default rate:
// 5 header characters from the reader, INS, 8 data bytes and SW1 SW2 from
// the card, plus the card's 2 ms of work.
usb::Time ChallengeTime(std::unique_ptr<SimpleCard> card) {
    UsbReader reader({}, std::move(card));
    Host host(reader);
    host.Command(kColdReset);
    host.Command("D0 E7 FF 10 11 FE");
    const usb::Time start = host.now;
    EXPECT_EQ(Host::Status(host.Command("D0 23 00 84 00 00 08")), kStatusOk);
    return host.now - start;
}

TEST(SimCardLine, ExchangesCostTheirCharactersAndTheGuardTime) {
    constexpr usb::Time kEtu = 372 * kSecond / kReaderCardClockHz; // about 104 us
    const usb::Time plain = ChallengeTime(std::make_unique<SimpleCard>());
    const usb::Time floor = (5 + 11) * 12 * kEtu + 2 * kMillisecond;
    EXPECT_GE(plain, floor);
    EXPECT_LT(plain, floor + 20 * kMillisecond) << "the reader and USB add little";

    // TC1 = 20: every character from the reader takes 20 etu more.
    SimpleCardOptions guarded;
    guarded.atr = BuildAtr({.tc1 = 20, .t0 = true});
    const usb::Time slower = ChallengeTime(std::make_unique<SimpleCard>(guarded));
    EXPECT_GE(slower - plain, 5 * 20 * kEtu - kMicrosecond);
    EXPECT_LE(slower - plain, 5 * 20 * kEtu + kMillisecond);
}

} // namespace
} // namespace qv::sim
