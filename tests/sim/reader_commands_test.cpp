// The reader's 0xD0 commands as a host sees them through the link: reply
// layout, status bytes, the card slot's state and what card work costs.
#include <gtest/gtest.h>

#include "sim/reader_host.h"

namespace qv::sim {
namespace {

using test::Hex;
using test::Host;

constexpr std::string_view kColdReset = "D0 E6 00 0F";
constexpr std::string_view kWarmReset = "D0 E6 01 00";
constexpr std::string_view kCardStatus = "D0 31";

std::uint8_t CardBits(Host& host) { return Host::Data(host.Command(kCardStatus)).at(0); }

TEST(SimReaderCommands, ReaderInformationCarriesModelAndVersionDigits) {
    for (ReaderModel model : {ReaderModel::Qv38N, ReaderModel::Qv39N}) {
        UsbReader reader({.model = model, .firmwareVersion = {4, 2, 9, 1}});
        Host host(reader);
        Bytes reply = host.Command("D0 C0");
        EXPECT_EQ(Bytes(reply.begin(), reply.begin() + 4), Hex("D0 C0 00 00"));
        Bytes data = Host::Data(reply);
        ASSERT_GE(data.size(), 20u);
        EXPECT_EQ(std::string(data.begin(), data.begin() + 6), ModelId(model));
        EXPECT_EQ(data[11] & 0x0F, 4);
        EXPECT_EQ(data[13] & 0x0F, 2);
        EXPECT_EQ(data[14] & 0x0F, 9);
        EXPECT_EQ(data[15] & 0x0F, 1);
    }
}

TEST(SimReaderCommands, CardStatusFollowsTheSlotAndThePower) {
    UsbReader reader({.cardInserted = false});
    Host host(reader);
    EXPECT_EQ(CardBits(host), 0x00);
    reader.InsertCard();
    EXPECT_EQ(CardBits(host), kCardStatusPresent);
    host.Command(kColdReset);
    EXPECT_EQ(CardBits(host), kCardStatusPresent | kCardStatusActive);
    EXPECT_EQ(Host::Status(host.Command("D0 E1")), kStatusOk);
    EXPECT_EQ(CardBits(host), kCardStatusPresent);
    host.Command(kWarmReset);
    EXPECT_EQ(CardBits(host), kCardStatusPresent | kCardStatusActive) << "a warm reset powers the card up";
    reader.RemoveCard();
    EXPECT_EQ(CardBits(host), 0x00);
    reader.InsertCard();
    EXPECT_EQ(CardBits(host), kCardStatusPresent) << "a card comes back without power";
}

// A sticking card switch reports a card in the empty slot for its count of
// status answers, and nothing else: a reset still finds no card. A slot
// with a card in it does not spend the fault.
TEST(SimReaderCommands, APhantomCardShowsOnlyInTheStatusBit) {
    UsbReader reader;
    Host host(reader);
    reader.Arm(Fault::PhantomCard, 2);
    EXPECT_EQ(CardBits(host), kCardStatusPresent);
    EXPECT_EQ(reader.Faults().Armed(Fault::PhantomCard), 2u);
    reader.RemoveCard();
    EXPECT_EQ(CardBits(host), kCardStatusPresent);
    EXPECT_EQ(host.Command(kWarmReset), Hex("D0 E6 00 AD"));
    EXPECT_EQ(CardBits(host), kCardStatusPresent) << "not active: the reset found no card";
    EXPECT_EQ(CardBits(host), 0x00) << "spent";
    EXPECT_EQ(reader.Faults().Fired(Fault::PhantomCard), 2u);
}

TEST(SimReaderCommands, ResetsAnswerWithTheAtrOrTheirStatus) {
    UsbReader reader({.card = {.atr = Hex("3B 65 00 00 9C 11 01 01 03")}});
    Host host(reader);
    EXPECT_EQ(host.Command(kColdReset), Hex("D0 E6 00 00 3B 65 00 00 9C 11 01 01 03"));
    EXPECT_EQ(Host::Data(host.Command(kWarmReset)), Hex("3B 65 00 00 9C 11 01 01 03"));

    reader.SetShortResetAnswer(true);
    Bytes shortAnswer = host.Command(kWarmReset);
    EXPECT_LE(shortAnswer.size(), 5u);
    EXPECT_EQ(Host::Status(shortAnswer), kStatusResetNoAtr);
    EXPECT_TRUE(reader.CurrentCard().Powered());
    reader.SetShortResetAnswer(false);

    reader.Simple()->SetMute(true);
    EXPECT_EQ(Host::Status(host.Command(kColdReset)), kStatusCardMute);
    reader.RemoveCard();
    EXPECT_EQ(host.Command(kWarmReset), Hex("D0 E6 00 AD"));
    EXPECT_EQ(host.Command(kColdReset), Hex("D0 E6 00 AD"));
}

TEST(SimReaderCommands, PpsVerdictsComeFromTheCard) {
    UsbReader reader({.card = {.protocols = kProtocolT0, .acceptsFasterRates = false}});
    Host host(reader);
    EXPECT_EQ(Host::Status(host.Command("D0 E7 FF 10 11 FE")), kStatusNoActiveCard) << "card not powered";
    host.Command(kColdReset);
    EXPECT_EQ(host.Command("D0 E7 FF 10 11 FE"), Hex("D0 E7 00 00 FF 10 11 FE")) << "accepted: echoed";
    EXPECT_EQ(Host::Status(host.Command("D0 E7 FF 10 13 FC")), kStatusPpsProtocolRefused)
        << "one PPS per activation: the card does not answer a second one";
    host.Command(kColdReset);
    EXPECT_EQ(Host::Status(host.Command("D0 E7 FF 10 13 FC")), kStatusPpsRateRefused);
    host.Command(kColdReset);
    std::uint8_t refusedProtocol = Host::Status(host.Command("D0 E7 FF 11 11 FF"));
    EXPECT_NE(refusedProtocol, kStatusOk);
    EXPECT_NE(refusedProtocol, kStatusPpsRateRefused);
    EXPECT_EQ(Host::Status(host.Command("D0 E7 FF 10 11")), kStatusBadLength);
    reader.RemoveCard();
    EXPECT_EQ(Host::Status(host.Command("D0 E7 FF 10 11 FE")), kStatusCardAbsent);

    UsbReader fast;
    Host other(fast);
    other.Command(kColdReset);
    EXPECT_EQ(Host::Status(other.Command("D0 E7 FF 11 13 FD")), kStatusOk);
    EXPECT_EQ(fast.Simple()->SelectedProtocol(), kProtocolT1);
}

TEST(SimReaderCommands, ApduPassThroughReportsCardAndSlot) {
    UsbReader reader;
    Host host(reader);
    EXPECT_EQ(host.Command("D0 23 00 A4 04 00 00"), Hex("D0 23 00 AD")) << "card not powered";
    host.Command(kColdReset);
    // SELECT without data: the MF, its FCI waiting for GET RESPONSE; the
    // reader took P3 00 as Le 256, so the bare status word ends it early.
    Bytes mf = host.Command("D0 23 00 A4 04 00 00");
    ASSERT_EQ(mf.size(), 6u);
    EXPECT_EQ(Host::Status(mf), kStatusCardEndedEarly);
    EXPECT_EQ(mf[4], 0x61);
    EXPECT_EQ(host.Command("D0 23 00 A4 04 0C 02 3F 00"), Hex("D0 23 00 00 6A 82")) << "no DF of that name";
    EXPECT_EQ(host.Command("D0 23 00 A4 00 0C 02 3F 00"), Hex("D0 23 00 00 90 00"));
    EXPECT_EQ(Host::Status(host.Command("D0 23 00 A4 04 00 05 3F")), kStatusBadLength) << "P3 5, one data byte";
    EXPECT_EQ(host.Command("D0 23 00 FE 00 00 10"), Hex("D0 23 00 D3 6D 00"));
    Bytes challenge = host.Command("D0 23 00 84 00 00 08");
    ASSERT_EQ(challenge.size(), 4u + 8 + 2);
    EXPECT_EQ(Bytes(challenge.end() - 2, challenge.end()), Hex("90 00"));
    EXPECT_EQ(host.Command("D0 23 00 84 00 00 00").size(), 4u + 256 + 2) << "Le 0 asks for 256 bytes";
    EXPECT_EQ(Host::Status(host.Command("D0 23 00 A4 04")), kStatusBadLength);

    reader.Simple()->SetMute(true);
    EXPECT_EQ(host.Command("D0 23 00 A4 04 00 00"), Hex("D0 23 00 D4"));
    reader.Simple()->SetMute(false);
    reader.RemoveCard();
    EXPECT_EQ(host.Command("D0 23 00 A4 04 00 00"), Hex("D0 23 00 AB"));
}

TEST(SimReaderCommands, OtherCommandsAndMalformedOnes) {
    UsbReader reader;
    Host host(reader);
    EXPECT_EQ(host.Command("D0 E4 00 08"), Hex("D0 E4 00 00"));
    EXPECT_EQ(host.Command("D0 E1"), Hex("D0 E1 00 00")) << "power down with nothing powered";
    EXPECT_EQ(Host::Status(host.Command("D0 99")), kStatusUnknownCommand);
    EXPECT_EQ(Host::Status(host.Command("D0 E6 02 00")), kStatusUnknownCommand);
    EXPECT_EQ(Host::Status(host.Command("C0 31")), kStatusUnknownCommand);
    EXPECT_EQ(Host::Status(host.Command("D0 31 00 00")), kStatusBadLength) << "a four-byte header for a two-byte one";
}

// The card's characters cost their time at its data rate: an APDU answer is
// ready later by 1.25 ms per byte at 9600 baud, and sooner after a PPS.
TEST(SimReaderCommands, CardWorkCostsItsCharactersAtTheDataRate) {
    auto answerTime = [](Host& host, std::string_view apdu) {
        usb::Time start = host.now;
        host.Command(apdu);
        return host.now - start;
    };
    UsbReader reader;
    Host host(reader);
    host.Command(kColdReset);
    usb::Time small = answerTime(host, "D0 23 00 84 00 00 08");
    usb::Time large = answerTime(host, "D0 23 00 84 00 00 48");
    constexpr usb::Time kCharacterAt9600 = 12'500; // 12 etu of 1/9600 s
    EXPECT_EQ(large - small, 0x40 * kCharacterAt9600);
    EXPECT_GE(small, kCommandProcessingTime + (6 + 10) * kCharacterAt9600);

    host.Command("D0 E7 FF 10 13 FC"); // Di 4: four times as fast
    usb::Time faster = answerTime(host, "D0 23 00 84 00 00 48");
    EXPECT_EQ(large - faster, (6 + 0x4A) * (kCharacterAt9600 - kCharacterAt9600 / 4));
}

} // namespace
} // namespace qv::sim
