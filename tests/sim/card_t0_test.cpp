// T=0 through the simulated reader's command 0: every APDU case, the
// largest transfers, the application's status words, and the reader's
// procedure-byte rules against a card that misbehaves.
#include <gtest/gtest.h>

#include "card_host.h"

namespace qv::sim {
namespace {

using test::CardBench;
using test::Hex;
using test::Sw;

Bytes Filled(std::size_t n) {
    Bytes bytes(n);
    for (std::size_t i = 0; i < n; ++i) bytes[i] = static_cast<std::uint8_t>(i * 3 + 1);
    return bytes;
}

TEST(SimCardT0, EveryApduCase) {
    CardBench b("dual", kProtocolT0);
    ASSERT_EQ(b.status, kStatusOk);

    // Case 4: SELECT by AID brings data and has an FCI, kept for GET RESPONSE.
    EXPECT_EQ(b.T0("00 A4 04 00 07 F0 51 56 53 43 52 01"), std::pair(kStatusOk, Hex("61 12")));
    auto [status, fci] = b.T0("00 C0 00 00 12");
    EXPECT_EQ(status, kStatusOk);
    ASSERT_EQ(fci.size(), 0x12u + 2);
    EXPECT_EQ(fci[0], 0x6F);
    EXPECT_EQ(Sw(fci), Hex("90 00"));
    EXPECT_EQ(b.T0("00 C0 00 00 12"), std::pair(kStatusCardEndedEarly, Hex("69 85"))) << "nothing kept any more";

    // Case 3: UPDATE BINARY of the protected file, after VERIFY.
    EXPECT_EQ(b.T0("00 A4 02 0C 02 01 02"), std::pair(kStatusOk, Hex("90 00")));
    EXPECT_EQ(b.T0("00 D6 00 00 04 01 02 03 04"), std::pair(kStatusOk, Hex("69 82")));
    EXPECT_EQ(b.T0("00 20 00 81 04 31 32 33 34"), std::pair(kStatusOk, Hex("90 00")));
    EXPECT_EQ(b.T0("00 D6 00 02 04 01 02 03 04"), std::pair(kStatusOk, Hex("90 00")));
    EXPECT_EQ(b.T0("00 B0 00 00 06"), std::pair(kStatusOk, Hex("00 00 01 02 03 04 90 00")));

    // Case 1: four bytes, which the reader sends with P3 00 and so takes as
    // Le 256; the card's bare status word ends it early.
    EXPECT_EQ(b.T0("00 A4 00 0C"), std::pair(kStatusCardEndedEarly, Hex("90 00")));

    // Case 2 with P3 00: 256 bytes and SW1 SW2, 258 in one transmission.
    EXPECT_EQ(b.T0("00 A4 00 0C 02 51 00").first, kStatusOk);
    EXPECT_EQ(b.T0("00 A4 02 0C 02 01 01").first, kStatusOk);
    for (std::size_t offset : {0u, 256u}) {
        Bytes tpdu{0x00, 0xB0, static_cast<std::uint8_t>(offset >> 8), static_cast<std::uint8_t>(offset), 0x00};
        auto [s, data] = b.T0(tpdu);
        EXPECT_EQ(s, kStatusOk);
        ASSERT_EQ(data.size(), 258u);
        EXPECT_EQ(data[0], DataFileByte(offset));
        EXPECT_EQ(data[255], DataFileByte(offset + 255));
        EXPECT_EQ(Sw(data), Hex("90 00"));
    }
    // Le beyond the file's end: the exact length, left to the application.
    EXPECT_EQ(b.T0("00 B0 01 80 00"), std::pair(kStatusCardEndedEarly, Hex("6C 80")));
    EXPECT_EQ(b.T0("00 B0 01 80 80").second.size(), 0x80u + 2);
    EXPECT_EQ(b.T0("00 B0 03 00 01"), std::pair(kStatusCardEndedEarly, Hex("6B 00")));
}

TEST(SimCardT0, LargestCommandAndEchoesOfAnyLength) {
    CardBench b("t0", kProtocolT0);
    ASSERT_EQ(b.status, kStatusOk);
    for (std::size_t length : {1u, 2u, 127u, 254u, 255u}) {
        const Bytes data = Filled(length);
        Bytes tpdu = test::Concat(Bytes{0x80, 0xEE, 0x00, 0x00, static_cast<std::uint8_t>(length)}, data);
        auto [status, reply] = b.T0(tpdu);
        EXPECT_EQ(status, kStatusOk);
        EXPECT_EQ(reply, (Bytes{0x61, static_cast<std::uint8_t>(length)})) << length;
        auto [fetched, response] = b.T0(Bytes{0x00, 0xC0, 0x00, 0x00, static_cast<std::uint8_t>(length)});
        EXPECT_EQ(fetched, kStatusOk);
        EXPECT_EQ(response, test::Concat(data, Hex("90 00"))) << length;
    }
    // GET RESPONSE asking for less takes part and says what is left.
    b.T0(test::Concat(Hex("80 EE 00 00 10"), Filled(16)));
    EXPECT_EQ(b.T0("00 C0 00 00 04"), std::pair(kStatusOk, test::Concat(Filled(4), Hex("61 0C"))));
    EXPECT_EQ(b.T0("00 C0 00 00 10"), std::pair(kStatusCardEndedEarly, Hex("6C 0C")));
    EXPECT_EQ(b.T0("00 C0 00 00 0C").second.size(), 14u);
}

TEST(SimCardT0, ErrorStatusWordsAndTheRetryCounter) {
    CardBench b("dual", kProtocolT0);
    EXPECT_EQ(b.T0("00 FE 00 00 00"), std::pair(kStatusCardEndedEarly, Hex("6D 00")));
    EXPECT_EQ(b.T0("90 B0 00 00 01"), std::pair(kStatusCardEndedEarly, Hex("6E 00")));
    EXPECT_EQ(b.T0("00 6A 00 00 00"), std::pair(kStatusCardEndedEarly, Hex("6D 00"))) << "INS 6x is not T=0's";
    EXPECT_EQ(b.T0("00 A4 00 00 02 12 34"), std::pair(kStatusOk, Hex("6A 82")));
    EXPECT_EQ(b.T0("00 A4 00 00 03 3F 00 01"), std::pair(kStatusOk, Hex("67 00")));
    EXPECT_EQ(b.T0("00 A4 00 05 02 3F 00"), std::pair(kStatusOk, Hex("6A 86")));
    EXPECT_EQ(b.T0("00 B0 00 00 01"), std::pair(kStatusCardEndedEarly, Hex("69 86"))) << "no current EF";

    EXPECT_EQ(b.T0("00 A4 00 0C 02 51 00").first, kStatusOk);
    EXPECT_EQ(b.T0("00 A4 02 0C 02 01 03").first, kStatusOk);
    EXPECT_EQ(b.T0("00 B2 02 04 05"), std::pair(kStatusCardEndedEarly, Hex("6C 0C")));
    EXPECT_EQ(b.T0("00 B2 02 04 0C"), std::pair(kStatusOk, test::Concat(RecordContents(2), Hex("90 00"))));
    EXPECT_EQ(b.T0("00 B2 09 04 01"), std::pair(kStatusCardEndedEarly, Hex("6A 83")));
    EXPECT_EQ(b.T0("00 B0 00 00 01"), std::pair(kStatusCardEndedEarly, Hex("69 81"))) << "a record file";

    EXPECT_EQ(b.T0("00 20 00 81 00"), std::pair(kStatusCardEndedEarly, Hex("63 C3")));
    EXPECT_EQ(b.T0("00 20 00 81 04 30 30 30 30"), std::pair(kStatusOk, Hex("63 C2")));
    EXPECT_EQ(b.T0("00 20 00 81 04 30 30 30 30"), std::pair(kStatusOk, Hex("63 C1")));
    EXPECT_EQ(b.T0("00 20 00 81 04 30 30 30 30"), std::pair(kStatusOk, Hex("69 83")));
    EXPECT_EQ(b.T0("00 20 00 81 04 31 32 33 34"), std::pair(kStatusOk, Hex("69 83"))) << "blocked for good";
}

TEST(SimCardT0, NullBytesKeepTheReaderWaiting) {
    CardBench b("t0", kProtocolT0);
    usb::Time start = b.host.now;
    auto [status, key] = b.T0("80 E2 03 00 40");
    EXPECT_EQ(status, kStatusOk);
    EXPECT_EQ(key.size(), kKeySize + 2);
    EXPECT_GE(b.host.now - start, 3 * kSecond) << "three seconds of the card's work";
    EXPECT_EQ(b.T0("80 E2 01 00 00"), std::pair(kStatusCardEndedEarly, Hex("6C 40")));

    // Without NULL bytes the reader gives up after the work waiting time.
    b.reader.Arm(Fault::CardNoNull);
    EXPECT_EQ(b.T0("80 E2 03 00 40").first, kStatusCardMute);
}

TEST(SimCardT0, MisbehavingCardsEndInTimeOutsAndErrors) {
    CardBench b("dual", kProtocolT0);
    EXPECT_EQ(b.T0("00 A4 00 00 05 3F").first, kStatusBadLength) << "P3 5 with one data byte";
    EXPECT_EQ(b.T0("00 A4 00").first, kStatusBadLength);

    b.reader.Arm(Fault::CardT0Truncated);
    auto [truncated, partial] = b.T0("00 84 00 00 08");
    EXPECT_EQ(truncated, kStatusCardMute);
    EXPECT_EQ(partial.size(), 8u) << "the data came, the status word did not";

    b.reader.Arm(Fault::CardT0BadProcedure);
    EXPECT_EQ(b.T0("00 A4 00 0C 02 3F 00").first, kStatusProcedureError);
    b.reader.Arm(Fault::CardT0BadProcedure);
    EXPECT_EQ(b.T0("00 84 00 00 08").first, kStatusProcedureError);

    b.reader.Arm(Fault::CardMute);
    EXPECT_EQ(b.T0("00 84 00 00 08"), std::pair(kStatusCardMute, Bytes{}));
    EXPECT_EQ(b.T0("00 84 00 00 08").first, kStatusOk) << "the card is back";

    b.reader.Arm(Fault::CardPulledMid);
    EXPECT_EQ(b.T0("00 84 00 00 08").first, kStatusCardAbsent);
    EXPECT_FALSE(b.reader.CardInserted());
}

TEST(SimCardT0, LineTimeFollowsTheNegotiatedRate) {
    auto readTime = [](std::uint8_t pps1) {
        CardBench b("t0", kProtocolT0, pps1);
        EXPECT_EQ(b.status, kStatusOk);
        b.T0("00 A4 00 0C 02 51 00");
        b.T0("00 A4 02 0C 02 01 01");
        const usb::Time start = b.host.now;
        EXPECT_EQ(b.T0("00 B0 00 00 00").first, kStatusOk);
        return b.host.now - start;
    };
    const usb::Time slow = readTime(0x11);
    const usb::Time fast = readTime(0x13);
    // 264 characters at 12 etu: 330 ms at 9600 bit/s, 82.5 ms at 38400.
    EXPECT_GE(slow, 330 * kMillisecond);
    EXPECT_LT(fast, slow / 3);
    EXPECT_GE(fast, 82 * kMillisecond);
}

TEST(SimCardT0, AT1CardDoesNotAnswerT0) {
    CardBench b("t1", kProtocolT1);
    EXPECT_EQ(b.T0("00 84 00 00 08").first, kStatusCardMute);
}

} // namespace
} // namespace qv::sim

namespace qv::sim {
namespace {

TEST(SimCardT0, ACardThatMovesOneByteAtATime) {
    SimpleCardOptions options;
    options.t0ByteByByte = true;
    test::CardBench b(std::make_unique<SimpleCard>(options), kProtocolT0, 0x11);
    ASSERT_EQ(b.status, kStatusOk);
    // Data to the card byte by byte after the complement of INS...
    EXPECT_EQ(b.T0("00 A4 00 0C 02 51 00"), std::pair(kStatusOk, test::Hex("90 00")));
    EXPECT_EQ(b.T0("00 A4 02 0C 02 01 01"), std::pair(kStatusOk, test::Hex("90 00")));
    // ...and from it, 256 of them plus the status word.
    auto [status, data] = b.T0("00 B0 00 00 00");
    EXPECT_EQ(status, kStatusOk);
    ASSERT_EQ(data.size(), 258u);
    EXPECT_EQ(data[255], DataFileByte(255));
}

// The card's own account of its work: every reply's time on the line adds
// to its busy time, and the APDUs it ran are counted, GET RESPONSE and
// chained links apart.
TEST(SimCardT0, TheCardCountsItsBusyTimeAndItsCommands) {
    auto card = MakeCard("t0");
    usb::Time charged = 0;
    auto run = [&](std::string_view hex) {
        CardReply reply = card->T0Characters(test::Hex(hex));
        charged += reply.duration;
        return reply;
    };
    charged += card->Reset(ResetKind::Cold).duration;
    EXPECT_EQ(*run("80 EE 00 00 02").bytes, test::Hex("EE"));
    EXPECT_EQ(*run("AB CD").bytes, test::Hex("61 02"));
    EXPECT_EQ(*run("00 C0 00 00 02").bytes, test::Hex("C0 AB CD 90 00"));
    run("10 B0 00 00 04");
    const CardStatistics& statistics = card->Statistics();
    EXPECT_EQ(statistics.busy, charged);
    EXPECT_EQ(statistics.commands, 3u) << "the data bytes of a command are no command of their own";
    EXPECT_EQ(statistics.getResponses, 1u);
    EXPECT_EQ(statistics.chained, 1u);
    EXPECT_EQ(statistics.extended, 0u);
}

} // namespace
} // namespace qv::sim
