// The reader's side of the link block protocol, byte for byte: sequence
// bits, chaining both ways, resynchronisation, repeats, error R-blocks,
// waiting time extensions and the card's own blocks passing through.
#include <gtest/gtest.h>

#include "sim/reader_host.h"

namespace qv::sim {
namespace {

using test::Concat;
using test::Hex;
using test::Host;
using test::Inf;
using test::LinkBlock;

Bytes Filled(std::size_t size) {
    Bytes bytes(size);
    for (std::size_t i = 0; i < size; ++i) bytes[i] = static_cast<std::uint8_t>(i * 7);
    return bytes;
}

TEST(SimReaderLink, CardStatusIsOnePacketEachWay) {
    UsbReader reader;
    Host host(reader);
    ASSERT_EQ(reader.BulkOut(kBulkOutEndpoint, Hex("04 12 00 02 D0 31 F1"), 0).accepted, 7u);
    auto packets = host.ReadPackets();
    ASSERT_EQ(packets.size(), 1u);
    // 21 00 06, then D0 31 00 (leading bytes), status 00, card in (0x08), 00.
    EXPECT_EQ(packets[0], Hex("04 21 00 06 D0 31 00 00 08 00 CE"));
    EXPECT_EQ(reader.Link().HostSequence(), 0x40);
    EXPECT_EQ(reader.Link().ReaderSequence(), 0x40);
}

TEST(SimReaderLink, ChainedHostCommandIsAcknowledgedPieceByPiece) {
    UsbReader reader;
    Host host(reader);
    host.Command("D0 E6 00 0F");
    host.Exchange(Hex("12 C0 00 D2"));

    // 270 bytes: D0 23 and an ECHO of 263 data bytes, which the reader
    // refuses (P3 0xFF does not match), so the answer is short.
    Bytes command = Concat(Hex("D0 23 80 EE 00 00 FF"), Filled(263));
    ASSERT_EQ(command.size(), 270u);
    Bytes first = LinkBlock(0x20, std::span(command).first(kMaxInfSize));
    EXPECT_EQ(host.Exchange(first), Hex("21 90 00 B1")) << "acknowledge asks for N(S) 1";
    EXPECT_EQ(reader.Link().HostSequence(), 0x40);

    // The same piece again with the old sequence bit is refused.
    EXPECT_EQ(host.Exchange(first), Hex("21 92 00 B3"));

    Bytes last = LinkBlock(0x40, std::span(command).subspan(kMaxInfSize));
    ASSERT_EQ(last[kLenOffset], 16);
    Bytes answer = host.Exchange(last);
    EXPECT_EQ(answer, LinkBlock(0x00, Hex("D0 23 00 F1"), kReaderNad));
}

TEST(SimReaderLink, LongAnswerIsChainedAndWaitsForAcknowledges) {
    UsbReader reader;
    Host host(reader);
    host.Command("D0 E6 00 0F");
    host.sendSequence = host.receiveSequence = 0x40;

    Bytes first = host.Exchange(LinkBlock(0x40, Hex("D0 23 00 84 00 00 00")));
    EXPECT_EQ(first[kPcbOffset], 0x40 | kPcbMore);
    EXPECT_EQ(first[kLenOffset], kMaxInfSize);
    EXPECT_TRUE(host.Idle()) << "the next piece waits for the acknowledge";

    // An acknowledge that asks for the piece just sent gets it again.
    EXPECT_EQ(host.Exchange(Hex("12 90 00 82")), first);
    Bytes second = host.Exchange(Hex("12 80 00 92"));
    EXPECT_EQ(second[kPcbOffset], 0x00);
    EXPECT_EQ(second[kLenOffset], 262 - kMaxInfSize);
    Bytes reply = Concat(Inf(first), Inf(second));
    EXPECT_EQ(Bytes(reply.begin(), reply.begin() + 4), Hex("D0 23 00 00"));
    EXPECT_EQ(Bytes(reply.end() - 2, reply.end()), Hex("90 00"));
    EXPECT_EQ(reader.Link().ReaderSequence(), 0x40) << "two I-blocks went out";
}

TEST(SimReaderLink, ResynchResetsBothSequenceBits) {
    UsbReader reader;
    Host host(reader);
    host.Command("D0 31");
    ASSERT_EQ(reader.Link().HostSequence(), 0x40);
    EXPECT_EQ(host.Exchange(Hex("12 C0 00 D2")), Hex("21 E0 00 C1"));
    EXPECT_EQ(reader.Link().HostSequence(), 0x00);
    EXPECT_EQ(reader.Link().ReaderSequence(), 0x00);
    // A command with N(S) 0 is accepted again and answered with N(S) 0.
    EXPECT_EQ(host.Exchange(Hex("12 00 02 D0 31 F1"))[kPcbOffset], 0x00);
}

TEST(SimReaderLink, RepeatRequestResendsTheLastBlock) {
    UsbReader reader;
    Host host(reader);
    Bytes answer = host.Exchange(Hex("12 00 02 D0 31 F1"));
    EXPECT_EQ(host.Exchange(Hex("12 82 00 90")), answer);
    EXPECT_EQ(host.Exchange(Hex("12 92 00 80")), answer);
    EXPECT_EQ(host.Exchange(Hex("12 81 00 93")), answer);
    EXPECT_EQ(reader.Link().ReaderSequence(), 0x40) << "a resent block is not a new one";

    UsbReader fresh;
    Host other(fresh);
    EXPECT_EQ(other.Exchange(Hex("12 82 00 90")), Hex("21 82 00 A3")) << "nothing to repeat yet";
}

TEST(SimReaderLink, DamagedHostBlocksGetErrorRBlocks) {
    UsbReader reader;
    Host host(reader);
    EXPECT_EQ(host.Exchange(Hex("12 00 02 D0 31 F0")), Hex("21 81 00 A0")) << "bad LRC";
    EXPECT_EQ(host.Exchange(Hex("12 00 03 D0 31 F2")), Hex("21 82 00 A3")) << "LEN does not fit";
    EXPECT_EQ(host.Exchange(Hex("05 00 02 D0 31 E6")), Hex("21 82 00 A3")) << "foreign NAD";
    EXPECT_EQ(host.Exchange(Hex("12 00")), Hex("21 82 00 A3")) << "too short for a block";
    EXPECT_EQ(host.Exchange(Hex("12 40 02 D0 31 B1")), Hex("21 82 00 A3")) << "wrong N(S)";
    EXPECT_EQ(reader.Link().HostSequence(), 0x00) << "nothing above was taken";

    host.Command("D0 31");
    // N(R) follows the host's sequence bit.
    EXPECT_EQ(host.Exchange(Hex("12 40 02 D0 31 00")), Hex("21 91 00 B0"));
}

TEST(SimReaderLink, SlowAnswerIsPrecededByAWtxRequest) {
    ReaderOptions options;
    options.card.processingTime = 2 * kSecond;
    UsbReader reader(options);
    Host host(reader);
    host.Command("D0 E6 00 0F");
    host.Exchange(Hex("12 C0 00 D2"));

    usb::Time start = host.now;
    Bytes wtx = host.Exchange(LinkBlock(0x00, Hex("D0 23 00 A4 00 0C 00")));
    // SELECT: 2 s of card work plus its characters: five units of 500 ms.
    EXPECT_EQ(wtx, Hex("21 C3 01 05 E6"));
    EXPECT_LT(host.now - start, 10 * kMillisecond) << "the request comes at once";
    EXPECT_TRUE(host.Idle()) << "the answer waits for the WTX response";

    Bytes answer = host.Exchange(Hex("12 E3 01 01 F1"));
    EXPECT_EQ(answer, LinkBlock(0x00, Hex("D0 23 00 D3 90 00"), kReaderNad));
    EXPECT_GE(host.now - start, 2 * kSecond);

    // A WTX response nobody asked for is an error.
    EXPECT_EQ(host.Exchange(Hex("12 E3 01 01 F1")), Hex("21 92 00 B3"));
}

TEST(SimReaderLink, CardBlocksPassThroughUntouched) {
    UsbReader reader;
    Host host(reader);
    host.Command("D0 E6 00 0F");
    // The small card's ATR offers T=0 only; T=1 needs a PPS first.
    ASSERT_EQ(Host::Status(host.Command("D0 E7 FF 11 11 FF")), kStatusOk);
    std::uint8_t hostSequence = reader.Link().HostSequence();

    // A T=1 I-block with NAD 0: GET CHALLENGE for 8 bytes.
    Bytes block = LinkBlock(0x00, Hex("00 84 00 00 08"), kCardNad);
    Bytes answer = host.Exchange(block);
    ASSERT_EQ(answer.size(), 4u + 10);
    EXPECT_EQ(answer[kNadOffset], kCardNad);
    EXPECT_EQ(answer[kPcbOffset], 0x00);
    EXPECT_EQ(Lrc(answer), 0);
    EXPECT_EQ(Bytes(answer.end() - 3, answer.end() - 1), Hex("90 00"));
    // The card's S(IFS request) answer, and its own sequence bit moving on.
    EXPECT_EQ(host.Exchange(LinkBlock(0xC1, Hex("FE"), kCardNad)), LinkBlock(0xE1, Hex("FE"), kCardNad));
    EXPECT_EQ(host.Exchange(LinkBlock(0x40, Hex("00 A4 00 0C"), kCardNad)),
              LinkBlock(0x40, Hex("90 00"), kCardNad));
    EXPECT_EQ(reader.Link().HostSequence(), hostSequence) << "the link did not see any of it";

    // Without a card the reader sends back a header-only packet.
    reader.RemoveCard();
    host.Send(block);
    auto packets = host.ReadPackets();
    ASSERT_EQ(packets.size(), 1u);
    EXPECT_EQ(packets[0], Hex("04"));
}

} // namespace
} // namespace qv::sim
