// The ATR parser on a corpus of answers to reset with their expected parse:
// good ones of every shape, the extremes (33 bytes, inverse convention, the
// 20-byte ATR with TD1 T=1, TD2 T=1 and TA3), and malformed ones, each
// refused for its own reason. Then SmartcardUpdateCardCapabilities on the
// extension: what it fills, the derived times at 3.571 MHz, the card state.
#include <gtest/gtest.h>

#include <cmath>
#include <memory>
#include <random>
#include <cstring>
#include <string>
#include <vector>

#include "smclib/atr_parser.h"
#include "smclib/fake_reader.h"

namespace qv::test {
namespace {

using smclib::AtrFault;
using smclib::ParseAtr;
using smclib::ParsedAtr;

std::vector<std::uint8_t> Hex(const std::string& text) {
    std::vector<std::uint8_t> bytes;
    std::string digits;
    for (char c : text) {
        if (c != ' ') digits += c;
    }
    for (std::size_t i = 0; i + 1 < digits.size(); i += 2) {
        bytes.push_back(static_cast<std::uint8_t>(std::stoul(digits.substr(i, 2), nullptr, 16)));
    }
    return bytes;
}

const std::string kTwentyByte = "3B FA 13 00 FF 81 31 FB 45 80 12 39 2F 31 C0 73 C7 01 49 91";
const std::string kThirtyThree =
    "3B FF 96 00 00 F1 01 00 0A F1 FE 45 01 71 20 20 00 41 42 43 44 45 46 47 48 49 4A 4B 4C 4D 4E 4F E9";
const std::string kBothProtocols = "3B D6 18 00 80 B1 FE 45 1F 07 31 32 33 34 35 36 5B";
const std::string kInverse = "3F 65 25 00 2C 09 69 90 00";
const std::string kMinimalT0 = "3B 02 14 50";

ParsedAtr Parse(const std::string& text) {
    const std::vector<std::uint8_t> bytes = Hex(text);
    return ParseAtr(bytes);
}

TEST(SmclibAtrParser, TheTwentyByteAtrNamesT1WithItsFrameSizeAndTimes) {
    const ParsedAtr atr = Parse(kTwentyByte);
    ASSERT_TRUE(atr.Ok()) << smclib::AtrFaultName(atr.fault);
    EXPECT_FALSE(atr.inverse);
    EXPECT_EQ(atr.fi, 1);
    EXPECT_EQ(atr.di, 3);
    EXPECT_EQ(atr.n, 255);
    EXPECT_EQ(atr.offered, 1u << 1);
    EXPECT_EQ(atr.firstProtocol, 1);
    EXPECT_FALSE(atr.specific);
    EXPECT_EQ(atr.ifsc, 0xFB);
    EXPECT_EQ(atr.bwi, 4);
    EXPECT_EQ(atr.cwi, 5);
    EXPECT_EQ(atr.edc, 0);
    EXPECT_EQ(atr.historicalOffset, 9u);
    EXPECT_EQ(atr.historicalLength, 10u);
    EXPECT_TRUE(atr.tckPresent);
    EXPECT_EQ(atr.groupCount, 3u);
}

TEST(SmclibAtrParser, GoodAtrsOfEveryShape) {
    const ParsedAtr minimal = Parse(kMinimalT0);
    ASSERT_TRUE(minimal.Ok());
    EXPECT_EQ(minimal.offered, 1u);
    EXPECT_FALSE(minimal.tckPresent);
    EXPECT_EQ(minimal.historicalLength, 2u);
    EXPECT_EQ(minimal.wi, 10);
    EXPECT_EQ(minimal.ifsc, 32);

    const ParsedAtr inverse = Parse(kInverse);
    ASSERT_TRUE(inverse.Ok()) << smclib::AtrFaultName(inverse.fault);
    EXPECT_TRUE(inverse.inverse);
    EXPECT_EQ(inverse.ii, 1);
    EXPECT_EQ(inverse.pi, 5);
    EXPECT_EQ(inverse.historicalLength, 5u);

    const ParsedAtr both = Parse(kBothProtocols);
    ASSERT_TRUE(both.Ok()) << smclib::AtrFaultName(both.fault);
    EXPECT_EQ(both.offered, (1u << 0) | (1u << 1) | (1u << 15));
    EXPECT_EQ(both.firstProtocol, 0);
    EXPECT_EQ(both.di, 8); // D = 12
    EXPECT_EQ(both.ifsc, 0xFE);
    EXPECT_EQ(both.clockStop, 0);
    EXPECT_EQ(both.classIndicator, 7);

    const ParsedAtr longest = Parse(kThirtyThree);
    ASSERT_TRUE(longest.Ok()) << smclib::AtrFaultName(longest.fault);
    EXPECT_EQ(Hex(kThirtyThree).size(), smclib::kMaximumAtrLength);
    EXPECT_EQ(longest.historicalLength, 15u);
    EXPECT_TRUE(longest.specific);
    EXPECT_EQ(longest.specificProtocol, 1);
    EXPECT_EQ(longest.wi, 10);
    EXPECT_EQ(longest.ifsc, 0xFE);
    EXPECT_EQ(longest.edc, 1);
    EXPECT_EQ(longest.groupCount, 4u);

    // IFSC 0xFF in TA3 is reserved, yet some real cards announce it: taken
    // as 254, the largest valid size, rather than refusing the card.
    const ParsedAtr ifscFf = Parse("3B 80 81 11 FF EF");
    ASSERT_TRUE(ifscFf.Ok()) << smclib::AtrFaultName(ifscFf.fault);
    EXPECT_EQ(ifscFf.ifsc, 0xFE);

    // A T=0-only card that sends a TCK anyway, and it checks.
    const ParsedAtr spareTck = Parse("3B 02 14 50 46");
    ASSERT_TRUE(spareTck.Ok());
    EXPECT_TRUE(spareTck.tckPresent);
}

struct MalformedCase {
    const char* name;
    std::string atr;
    AtrFault fault;
};

TEST(SmclibAtrParser, MalformedAtrsAreRefusedForTheirReason) {
    std::string badTck = kTwentyByte;
    badTck.replace(badTck.size() - 2, 2, "90");
    std::string tooLong = kThirtyThree + " 00";
    const std::vector<MalformedCase> cases = {
        {"empty", "", AtrFault::Empty},
        {"TS alone", "3B", AtrFault::Truncated},
        {"unknown convention", "3A 00", AtrFault::BadConvention},
        {"raw inverse TS not decoded", "03 00", AtrFault::BadConvention},
        {"34 bytes", tooLong, AtrFault::TooLong},
        {"bad TCK", badTck, AtrFault::BadTck},
        {"presence bits past the end", "3B FA 13 00 FF 81 31", AtrFault::Truncated},
        {"TD chain past the end", "3B 80 81", AtrFault::Truncated},
        {"historical bytes cut short", "3B 05 14 50", AtrFault::Truncated},
        {"TCK missing under T=1", kTwentyByte.substr(0, kTwentyByte.size() - 3), AtrFault::MissingTck},
        {"byte after a T=0 ATR is taken as a TCK and must check", "3B 02 14 50 47", AtrFault::BadTck},
        {"two bytes after a T=0 ATR", "3B 02 14 50 46 00", AtrFault::TooLong},
        {"reserved Fi 7", "3B 10 71", AtrFault::ReservedFi},
        {"reserved Fi 15", "3B 10 F1", AtrFault::ReservedFi},
        {"reserved Di 0", "3B 10 10", AtrFault::ReservedDi},
        {"reserved Di 10", "3B 10 1A", AtrFault::ReservedDi},
        {"WI 0", "3B 80 40 00", AtrFault::ReservedWi},
        {"IFSC 00", "3B 80 81 11 00 10", AtrFault::ReservedIfsc},
        {"BWI above 9", "3B 80 81 21 A5 85", AtrFault::ReservedBwi},
        {"only T=14", "3B 80 0E 8E", AtrFault::UnsupportedProtocol},
        {"specific mode in T=14", "3B 80 10 0E", AtrFault::UnsupportedProtocol},
    };
    for (const MalformedCase& c : cases) {
        const ParsedAtr atr = Parse(c.atr);
        EXPECT_EQ(atr.fault, c.fault) << c.name << ": got " << smclib::AtrFaultName(atr.fault);
    }
}

TEST(SmclibAtrParser, NoByteBeyondTheGivenLengthIsRead) {
    // The 20-byte ATR handed over one byte at a time from a buffer whose
    // tail is poison: every prefix is refused or parsed from its own bytes
    // only, never from the poison behind it.
    const std::vector<std::uint8_t> atr = Hex(kTwentyByte);
    for (std::size_t length = 0; length < atr.size(); ++length) {
        std::vector<std::uint8_t> buffer(atr.begin(), atr.begin() + static_cast<std::ptrdiff_t>(length));
        buffer.resize(64, 0xFF); // presence bits everywhere, were they read
        const ParsedAtr parsed = ParseAtr(std::span<const std::uint8_t>(buffer.data(), length));
        EXPECT_FALSE(parsed.Ok()) << "prefix of " << length;
    }
}

// The times of the 20-byte ATR at the reader's clock, against the ISO
// formulas worked out in floating point.
TEST(SmclibAtrParser, DerivedTimesFollowTheIsoFormulas) {
    const ParsedAtr atr = Parse(kTwentyByte);
    const double f = kClockKHz * 1000.0;
    for (std::uint8_t dl : {std::uint8_t{1}, std::uint8_t{3}}) {
        const double d = dl == 1 ? 1 : 4;
        const double etu = 372.0 / (d * f) * 1e6;
        const smclib::AtrTimes times = smclib::DeriveTimes(atr, kClockKHz, 1, dl);
        EXPECT_NEAR(times.etu, etu, 1.0);
        EXPECT_NEAR(times.guard, 11 * etu, 1.0); // N = 255 under T=1: 11 etu
        EXPECT_NEAR(times.t1Char, (11 + 32) * etu, 1.0);
        EXPECT_NEAR(times.t1Block, 11 * etu + 16 * 960 * 372 / f * 1e6, 1.0);
        EXPECT_NEAR(times.t1BlockGuard, 22 * etu, 1.0);
        EXPECT_NEAR(times.t0Wait, 10 * 960 * 372 / f * 1e6, 1.0);
        EXPECT_NEAR(times.dataRate, f * d / 372, 1.0);
    }
}

TEST(SmclibUpdateCardCapabilities, FillsTheCardRecordAndMovesTheState) {
    Machine machine;
    RunOk(machine, [&] {
        FakeReaderDevice reader;
        SMARTCARD_EXTENSION& ext = reader.Extension();
        auto load = [&](const std::string& text) {
            const std::vector<std::uint8_t> bytes = Hex(text);
            std::memcpy(ext.CardCapabilities.ATR.Buffer, bytes.data(), bytes.size());
            ext.CardCapabilities.ATR.Length = static_cast<UCHAR>(bytes.size());
            ext.ReaderCapabilities.CurrentState = SCARD_POWERED;
        };

        load(kTwentyByte);
        ASSERT_EQ(SmartcardUpdateCardCapabilities(&ext), STATUS_SUCCESS);
        const SCARD_CARD_CAPABILITIES& card = ext.CardCapabilities;
        EXPECT_EQ(ext.ReaderCapabilities.CurrentState, ULONG{SCARD_NEGOTIABLE});
        EXPECT_EQ(card.Protocol.Supported, ULONG{SCARD_PROTOCOL_T1});
        EXPECT_EQ(card.Fl, 1);
        EXPECT_EQ(card.Dl, 3);
        EXPECT_EQ(card.N, 255);
        EXPECT_EQ(card.T1.IFSC, 0xFB);
        EXPECT_EQ(card.T1.BWI, 4);
        EXPECT_EQ(card.T1.CWI, 5);
        EXPECT_EQ(ext.T1.IFSC, 0xFB);
        EXPECT_EQ(ext.T1.IFSD, 254);
        EXPECT_EQ(card.HistoricalChars.Length, 10);
        EXPECT_EQ(card.HistoricalChars.Buffer[0], 0x80);
        EXPECT_EQ(card.etu, 104u); // 372 / 3.571 MHz at the default rate (PtsData.Type default)
        EXPECT_NEAR(card.T1.BWT, 1601235.0, 2.0);
        EXPECT_EQ(card.PtsData.CLKFrequency, kClockKHz);
        EXPECT_EQ(card.PtsData.Fl, 1);
        EXPECT_EQ(card.PtsData.Dl, 1);
        ASSERT_NE(card.ClockRateConversion, nullptr);
        EXPECT_EQ(card.ClockRateConversion[card.Fl].F, 372u);
        EXPECT_EQ(card.BitRateAdjustment[card.Dl].DNumerator, 4u);

        // Asked for the optimal rate, the card's own when the reader can run it.
        ext.CardCapabilities.PtsData.Type = PTS_TYPE_OPTIMAL;
        load(kTwentyByte);
        ASSERT_EQ(SmartcardUpdateCardCapabilities(&ext), STATUS_SUCCESS);
        EXPECT_EQ(card.PtsData.Dl, 3);
        EXPECT_EQ(card.etu, 26u);
        // A reader whose top rate is below the card's keeps the default.
        ext.ReaderCapabilities.DataRate.Max = 9600;
        load(kTwentyByte);
        ASSERT_EQ(SmartcardUpdateCardCapabilities(&ext), STATUS_SUCCESS);
        EXPECT_EQ(card.PtsData.Dl, 1);

        load(kThirtyThree);
        ASSERT_EQ(SmartcardUpdateCardCapabilities(&ext), STATUS_SUCCESS);
        EXPECT_EQ(ext.ReaderCapabilities.CurrentState, ULONG{SCARD_SPECIFIC});
        EXPECT_EQ(card.Protocol.Selected, ULONG{SCARD_PROTOCOL_T1});
        EXPECT_EQ(card.T1.EDC, 1);
        EXPECT_EQ(card.HistoricalChars.Length, 15);

        load(kInverse);
        ASSERT_EQ(SmartcardUpdateCardCapabilities(&ext), STATUS_SUCCESS);
        EXPECT_TRUE(card.InversConvention);
        EXPECT_EQ(card.Protocol.Supported, ULONG{SCARD_PROTOCOL_T0});

        // A refused ATR leaves the state where the reader put it.
        std::string bad = kTwentyByte;
        bad.replace(bad.size() - 2, 2, "90");
        load(bad);
        EXPECT_EQ(SmartcardUpdateCardCapabilities(&ext), STATUS_UNRECOGNIZED_MEDIA);
        EXPECT_EQ(ext.ReaderCapabilities.CurrentState, ULONG{SCARD_POWERED});

        // A length beyond the ATR buffer is refused without reading it.
        ext.CardCapabilities.ATR.Length = 65;
        EXPECT_EQ(SmartcardUpdateCardCapabilities(&ext), STATUS_UNRECOGNIZED_MEDIA);
        ext.CardCapabilities.ATR.Length = 0;
        EXPECT_EQ(SmartcardUpdateCardCapabilities(&ext), STATUS_UNRECOGNIZED_MEDIA);
    });
}

} // namespace
} // namespace qv::test

namespace qv::test {
namespace {

// Random answers to reset, each in a heap block of exactly its length (so an
// address-sanitised build sees any read past it): every one is either parsed
// with its structure adding up to its length or refused, and a parsed one
// parses again the same from a copy.
TEST(SmclibAtrParser, RandomAtrsAreParsedOrRefusedWithinTheirLength) {
    std::mt19937_64 random(20261207);
    int parsed = 0;
    for (int round = 0; round < 20000; ++round) {
        const std::size_t length = random() % 36;
        auto bytes = std::make_unique<std::uint8_t[]>(length == 0 ? 1 : length);
        for (std::size_t i = 0; i < length; ++i) bytes[i] = static_cast<std::uint8_t>(random());
        if (length > 0) bytes[0] = (random() & 1) ? smclib::kDirectConvention : smclib::kInverseConvention;
        if (length > 1) bytes[1] &= 0x9F; // fewer interface bytes, more complete ATRs
        const ParsedAtr atr = ParseAtr(std::span<const std::uint8_t>(bytes.get(), length));
        if (!atr.Ok()) continue;
        ++parsed;
        EXPECT_LE(atr.historicalOffset + atr.historicalLength + (atr.tckPresent ? 1 : 0), length);
        EXPECT_EQ(atr.historicalOffset + atr.historicalLength + (atr.tckPresent ? 1 : 0), length);
        EXPECT_NE(atr.offered & 3u, 0u);
    }
    EXPECT_GT(parsed, 0);
}

} // namespace
} // namespace qv::test
