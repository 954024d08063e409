// T=1 through the simulated reader: blocks with NAD 0 go to the card, which
// runs the block rules itself. Chaining both ways, IFS, WTX (the card's own
// and the faults' with multipliers 1, 2 and 255, also inside a chain),
// damaged blocks in both directions, wrong sequence bits for ever, the
// largest block, and whole APDU sequences on every catalogue card.
#include <gtest/gtest.h>

#include "card_host.h"

namespace qv::sim {
namespace {

using test::CardBench;
using test::CardBlock;
using test::CardInf;
using test::Hex;
using test::Host;

constexpr std::uint8_t kR0 = 0x80; // R-block asking for N(S) 0
constexpr std::uint8_t kR1 = 0x90; // R-block asking for N(S) 1

Bytes Filled(std::size_t n) {
    Bytes bytes(n);
    for (std::size_t i = 0; i < n; ++i) bytes[i] = static_cast<std::uint8_t>(i * 5 + 2);
    return bytes;
}

Bytes Echo(std::span<const std::uint8_t> data) {
    Bytes apdu{0x80, 0xEE, 0x00, 0x00, static_cast<std::uint8_t>(data.size())};
    apdu.reserve(data.size() + 6); // also keeps GCC 12 -O3 from a false -Warray-bounds
    apdu.insert(apdu.end(), data.begin(), data.end());
    apdu.push_back(0x00);
    return apdu;
}

TEST(SimCardT1, CrcIsTheOneOfTheStandard) {
    const std::string_view check = "123456789";
    EXPECT_EQ(T1Crc(std::span(reinterpret_cast<const std::uint8_t*>(check.data()), check.size())), 0x906E);
    // A block sealed with CRC carries two check bytes, low byte first.
    const Bytes block = SealT1Block(Hex("00 C1 01 FE"), true);
    ASSERT_EQ(block.size(), 6u);
    EXPECT_TRUE(T1BlockIntact(block, true));
    EXPECT_FALSE(T1BlockIntact(block, false));
}

TEST(SimCardT1, ChainingBothWaysWithinIfscAndIfsd) {
    CardBench b("t1-crc", kProtocolT1);
    ASSERT_EQ(b.status, kStatusOk);
    ASSERT_TRUE(b.crc);
    // Commands longer than IFSC 32 go in pieces; the answer comes in pieces
    // of the default IFSD 32.
    const Bytes data = Filled(100);
    std::size_t blocks = 0;
    EXPECT_EQ(b.T1(Echo(data), 32, &blocks), test::Concat(data, Hex("90 00")));
    EXPECT_EQ(blocks, 4u + 3u) << "four command pieces, then four answer pieces";

    // After S(IFS request) for 254 the answer comes in one block.
    EXPECT_EQ(b.Block(0xC1, "FE"), CardBlock(0xE1, Hex("FE"), true));
    EXPECT_EQ(b.T1(Echo(data), 32, &blocks), test::Concat(data, Hex("90 00")));
    EXPECT_EQ(blocks, 4u);

    // An information field longer than IFSC is refused with an R-block.
    Bytes tooLong = b.Block(b.hostSequence, Filled(33));
    EXPECT_EQ(tooLong, CardBlock(static_cast<std::uint8_t>(0x82 | (b.hostSequence >> 2)), {}, true));
    EXPECT_EQ(b.Block(0xC1, "00"), CardBlock(0x82 | (b.hostSequence >> 2), {}, true)) << "IFS 0 is invalid";
}

TEST(SimCardT1, ReadBinaryOf256BytesComesChained) {
    CardBench b("t1", kProtocolT1);
    ASSERT_EQ(b.status, kStatusOk);
    EXPECT_EQ(b.T1("00 A4 00 0C 02 51 00"), Hex("90 00"));
    EXPECT_EQ(b.T1("00 A4 02 0C 02 01 01"), Hex("90 00"));
    std::size_t blocks = 0;
    Bytes all = b.T1(Hex("00 B0 00 00 00"), 254, &blocks);
    ASSERT_EQ(all.size(), 258u);
    EXPECT_EQ(all[200], DataFileByte(200));
    EXPECT_EQ(blocks, 9u) << "258 bytes in pieces of 32";
    // Under T=1 a Le beyond the end gives what there is.
    EXPECT_EQ(b.T1("00 B0 01 F8 00"), test::Concat(Bytes(Filled(0)), test::Concat([] {
                                                       Bytes tail;
                                                       for (std::size_t i = 504; i < 512; ++i) tail.push_back(DataFileByte(i));
                                                       return tail;
                                                   }(), Hex("62 82"))));
    EXPECT_EQ(b.T1("00 B0 00 00"), Hex("67 00")) << "READ BINARY without Le";
    EXPECT_EQ(b.T1("00 B2 01 04 00"), Hex("69 81"));
    EXPECT_EQ(b.T1("00 A4 04 00 07 F0 51 56 53 43 52 01 00").size(), 0x12u + 2) << "FCI at once under T=1";
}

TEST(SimCardT1, SlowCommandAsksForMoreTime) {
    CardBench b("t1-crc", kProtocolT1); // BWI 2: about 0.4 s
    EXPECT_EQ(b.Block(0xC1, "FE"), CardBlock(0xE1, Hex("FE"), true));
    const usb::Time start = b.host.now;
    Bytes ask = b.Block(0x00, "80 E2 03 00 00");
    ASSERT_EQ(ask.size(), 6u);
    EXPECT_EQ(ask[kPcbOffset], kPcbWtxRequest);
    EXPECT_EQ(ask[kInfOffset], 8) << "3 s in units of the block waiting time";
    Bytes answer = b.Block(kPcbWtxResponse, "08");
    ASSERT_FALSE(answer.empty());
    EXPECT_EQ(answer[kPcbOffset], 0x00);
    EXPECT_EQ(CardInf(answer, true).size(), kKeySize + 2);
    EXPECT_GE(b.host.now - start, 3 * kSecond);
    EXPECT_EQ(b.Block(kPcbWtxResponse, "08"), CardBlock(0x92, {}, true)) << "a WTX response nobody asked for";
}

TEST(SimCardT1, WtxFaultsInsideAChainWithEveryMultiplier) {
    for (auto [name, multiplier] : {std::pair("card-wtx-1", 1), std::pair("card-wtx-2", 2), std::pair("card-wtx-255", 255)}) {
        CardBench b("t1", kProtocolT1);
        EXPECT_EQ(b.T1("00 A4 00 0C 02 51 00"), Hex("90 00"));
        EXPECT_EQ(b.T1("00 A4 02 0C 02 01 01"), Hex("90 00"));
        ASSERT_TRUE(b.reader.Arm(name, 3));
        // The first piece's WTX is checked by hand, the others by the helper.
        Bytes ask = b.Block(0x00, "00 B0 00 00 00");
        b.hostSequence = 0x40;
        ASSERT_EQ(ask[kPcbOffset], kPcbWtxRequest) << name;
        EXPECT_EQ(ask[kInfOffset], multiplier);
        Bytes first = b.Block(kPcbWtxResponse, CardInf(ask, false));
        ASSERT_EQ(first[kPcbOffset], kPcbMore) << "the first piece of the chain";
        b.cardSequence = 0x40;
        Bytes rest;
        std::size_t blocks = 0;
        Bytes reply = b.Block(kR1);
        while (!reply.empty() && reply[kPcbOffset] == kPcbWtxRequest) {
            EXPECT_EQ(reply[kInfOffset], multiplier);
            reply = b.Block(kPcbWtxResponse, CardInf(reply, false));
            ++blocks;
        }
        ASSERT_EQ(reply[kPcbOffset], 0x40 | kPcbMore) << name;
        EXPECT_EQ(blocks, 1u);
        EXPECT_EQ(b.reader.Faults().Fired(*FaultByName(name)), 2u);
    }
}

TEST(SimCardT1, DamagedBlocksInBothDirections) {
    CardBench b("t1-crc", kProtocolT1);
    // From the card: the host asks again with an R-block and gets the good one.
    b.reader.Arm(Fault::CardBadEdc);
    Bytes damaged = b.Block(0x00, "00 84 00 00 08");
    ASSERT_FALSE(damaged.empty());
    EXPECT_FALSE(T1BlockIntact(damaged, true));
    Bytes good = b.Block(0x81);
    EXPECT_TRUE(T1BlockIntact(good, true));
    EXPECT_EQ(good[kPcbOffset], 0x00);
    EXPECT_EQ(CardInf(good, true).size(), 10u);

    // To the card: an R-block with the EDC error bit and N(R) of the block
    // it expects.
    Bytes bad = CardBlock(0x40, Hex("00 84 00 00 08"), true);
    bad.back() ^= 0x01;
    EXPECT_EQ(b.host.Exchange(bad), CardBlock(0x91, {}, true));
    Bytes lrc = CardBlock(0x40, Hex("00 84 00 00 08"), false);
    EXPECT_EQ(b.host.Exchange(lrc), CardBlock(0x91, {}, true)) << "an LRC where CRC is due";
    EXPECT_EQ(CardInf(b.Block(0x40, "00 84 00 00 08"), true).size(), 10u);
}

TEST(SimCardT1, WrongSequenceBitsForEverUntilReset) {
    CardBench b("t1", kProtocolT1);
    b.reader.Arm(Fault::CardWrongSequence);
    Bytes first = b.Block(0x00, "00 84 00 00 08");
    EXPECT_EQ(first[kPcbOffset], 0x40) << "N(S) 1 where 0 is due";
    EXPECT_EQ(b.Block(kR0), first) << "the repeat is just as wrong";
    EXPECT_EQ(b.Block(0xC0), CardBlock(0xE0, {}, false)) << "RESYNCH answered";
    EXPECT_EQ(b.Block(0x00, "00 84 00 00 08")[kPcbOffset], 0x40) << "and still wrong";
    b.host.Command("D0 E6 00 0F");
    ASSERT_EQ(Host::Status(b.host.Command("D0 E7 FF 11 13 FD")), kStatusOk);
    EXPECT_EQ(b.Block(0x00, "00 84 00 00 08")[kPcbOffset], 0x00) << "a reset cures it";
}

TEST(SimCardT1, SilentAndPulledCards) {
    CardBench b("t1", kProtocolT1);
    b.reader.Arm(Fault::CardMute);
    usb::Time start = b.host.now;
    EXPECT_TRUE(b.Block(0x00, "00 84 00 00 08").empty());
    EXPECT_GE(b.host.now - start, 1600 * kMillisecond) << "the reader waited the block waiting time";
    EXPECT_EQ(CardInf(b.Block(0x00, "00 84 00 00 08"), false).size(), 10u);

    b.reader.Arm(Fault::CardPulledMid);
    EXPECT_TRUE(b.Block(0x40, "00 84 00 00 08").empty());
    EXPECT_FALSE(b.reader.CardInserted());

    CardBench t0("t0", kProtocolT0);
    EXPECT_TRUE(t0.Block(0x00, "00 84 00 00 08").empty()) << "a T=0 card does not run T=1";
}

TEST(SimCardT1, TheLargestBlockOf259Bytes) {
    auto options = OptionsFromAtr(BuildAtr({.ta1 = 0x13, .t0 = false, .t1 = true, .ifsc = 254, .crc = true}));
    ASSERT_TRUE(options);
    CardBench b(std::make_unique<SimpleCard>(*options), kProtocolT1);
    ASSERT_TRUE(b.crc);
    EXPECT_EQ(b.Block(0xC1, "FE"), CardBlock(0xE1, Hex("FE"), true));
    const Bytes data = Filled(248);
    const Bytes apdu = Echo(data);
    ASSERT_EQ(apdu.size(), 254u);
    Bytes block = CardBlock(0x00, apdu, true);
    ASSERT_EQ(block.size(), 259u);
    Bytes answer = b.host.Exchange(block);
    EXPECT_TRUE(T1BlockIntact(answer, true));
    EXPECT_EQ(CardInf(answer, true).size(), 250u);
}

TEST(SimCardT1, WholeSequencesOnEveryCatalogueCard) {
    for (const CatalogueEntry& entry : CardCatalogue()) {
        const SimpleCardOptions options = entry.options();
        // The sequence reads the ISO file system, which other applications lack.
        if (options.mute || options.application) continue;
        for (std::uint8_t protocol : {kProtocolT0, kProtocolT1}) {
            if ((options.protocols & protocol) == 0) continue;
            SCOPED_TRACE(std::string(entry.name) + (protocol == kProtocolT0 ? " T=0" : " T=1"));
            CardBench b(entry.name, protocol, 0x11);
            ASSERT_EQ(b.status, kStatusOk);
            Bytes head;
            for (std::size_t i = 16; i < 32; ++i) head.push_back(DataFileByte(i));
            if (protocol == kProtocolT0) {
                EXPECT_EQ(b.T0("00 A4 04 00 07 F0 51 56 53 43 52 01"), std::pair(kStatusOk, Hex("61 12")));
                EXPECT_EQ(b.T0("00 C0 00 00 12").second.size(), 0x14u);
                EXPECT_EQ(b.T0("00 A4 02 0C 02 01 01"), std::pair(kStatusOk, Hex("90 00")));
                EXPECT_EQ(b.T0("00 B0 00 10 10"), std::pair(kStatusOk, test::Concat(head, Hex("90 00"))));
            } else {
                EXPECT_EQ(b.T1("00 A4 04 00 07 F0 51 56 53 43 52 01 00").size(), 0x14u);
                EXPECT_EQ(b.T1("00 A4 02 0C 02 01 01"), Hex("90 00"));
                EXPECT_EQ(b.T1("00 B0 00 10 10"), test::Concat(head, Hex("90 00")));
            }
        }
    }
}

} // namespace
} // namespace qv::sim

namespace qv::sim {
namespace {

TEST(SimCardT1, TheReaderPassesDamagedCardBlocksToTheCard) {
    test::CardBench b("t1", kProtocolT1);
    // A 70-byte block whose first packet is short but announces more: the
    // card gets what came and judges it by its own check byte; here all of
    // it came, so the card answers the command (a wrong Lc).
    Bytes block = test::CardBlock(0x00, Bytes(66, 0x11), false);
    Bytes first{kPacketMore};
    first.insert(first.end(), block.begin(), block.begin() + 10);
    Bytes second{kPacketLast};
    second.insert(second.end(), block.begin() + 10, block.end());
    ASSERT_EQ(b.reader.BulkOut(kBulkOutEndpoint, first, b.host.now).status, usb::TransferStatus::Ok);
    ASSERT_EQ(b.reader.BulkOut(kBulkOutEndpoint, second, b.host.now).status, usb::TransferStatus::Ok);
    Bytes answer = test::Host::Join(b.host.ReadPackets());
    EXPECT_EQ(answer, test::CardBlock(0x00, Hex("67 00"), false)) << "the card's block, not the link's";

    // A block longer than any T=1 block reaches the card cut, and is refused.
    Bytes huge = test::CardBlock(0x00, Bytes(254, 0x22), false);
    huge.insert(huge.end(), 10, 0x33);
    EXPECT_EQ(b.host.Exchange(huge), test::CardBlock(0x91, {}, false));
}

} // namespace
} // namespace qv::sim

namespace qv::sim {
namespace {

TEST(SimCardT1, ResynchAndAbortStartAfresh) {
    test::CardBench b("t1", kProtocolT1);
    // A chained command broken off by S(ABORT request): the next command
    // stands alone.
    EXPECT_TRUE(IsRBlock(b.Block(0x20, test::Hex("80 EE 00 00 04"))[kPcbOffset]));
    EXPECT_EQ(b.Block(0xC2), test::CardBlock(0xE2, {}, false));
    EXPECT_EQ(test::CardInf(b.Block(0x40, "00 84 00 00 04"), false).size(), 6u);
    // After RESYNCH both sequence numbers are 0 and IFSD is back at 32.
    EXPECT_EQ(b.Block(0xC1, "FE"), test::CardBlock(0xE1, test::Hex("FE"), false));
    EXPECT_EQ(b.Block(0xC0), test::CardBlock(0xE0, {}, false));
    Bytes first = b.Block(0x00, "00 84 00 00 40");
    EXPECT_EQ(first[kPcbOffset], kPcbMore) << "N(S) 0 again, and chained at 32";
    EXPECT_EQ(test::CardInf(first, false).size(), 32u);
    EXPECT_EQ(b.Block(0x40, "00 84 00 00 04"), test::CardBlock(0x92, {}, false))
        << "an I-block while the card's chain is going out";
}

} // namespace
} // namespace qv::sim
