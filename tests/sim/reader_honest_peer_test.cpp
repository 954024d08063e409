// The simulated reader as a peer with a mind of its own: it keeps its
// answers in its own queue, in order, until the host fetches them; it
// refuses packets that break the packet rules; and the misbehaviours it can
// be made to show look on the wire as their descriptions say. A card
// pulled out before its answer is done answers nothing, whatever the queue
// held for it.
#include <gtest/gtest.h>

#include "sim/card_host.h"
#include "sim/reader_host.h"

namespace qv::sim {
namespace {

using test::Hex;
using test::Host;
using test::LinkBlock;

const Bytes kCardStatusBlock = Hex("12 00 02 D0 31 F1");
const Bytes kCardStatusAnswer = Hex("21 00 06 D0 31 00 00 08 00 CE");
const Bytes kResynch = Hex("12 C0 00 D2");
const Bytes kResynchResponse = Hex("21 E0 00 C1");

TEST(SimReaderPeer, AnswersWaitInTheirQueueInOrder) {
    UsbReader reader;
    Host host(reader);
    host.Send(kCardStatusBlock);
    host.Send(kResynch); // before the first answer was fetched
    EXPECT_EQ(reader.QueuedAnswers(), 2u);
    EXPECT_EQ(Host::Join(host.ReadPackets()), kCardStatusAnswer) << "the earlier answer is not replaced";
    EXPECT_EQ(Host::Join(host.ReadPackets()), kResynchResponse);
    EXPECT_TRUE(host.Idle());
}

TEST(SimReaderPeer, InPipeResetKeepsAnswersNotYetBegun) {
    UsbReader reader;
    Host host(reader);
    host.Send(kCardStatusBlock);
    host.Send(kResynch);
    reader.ResetEndpoint(kBulkInEndpoint);
    EXPECT_EQ(Host::Join(host.ReadPackets()), kCardStatusAnswer);
    EXPECT_EQ(Host::Join(host.ReadPackets()), kResynchResponse);
}

TEST(SimReaderPeer, LateAnswerIsHeldUntilTheNextBlockAndGoesFirst) {
    UsbReader reader;
    Host host(reader);
    reader.Arm(Fault::LateAnswer);
    host.Send(kCardStatusBlock);
    host.now += 3600 * kSecond;
    EXPECT_TRUE(host.Idle()) << "NAK without a time to retry: nothing comes until the host sends";
    EXPECT_EQ(reader.QueuedAnswers(), 1u);
    host.Send(kResynch);
    EXPECT_EQ(Host::Join(host.ReadPackets()), kCardStatusAnswer);
    EXPECT_EQ(Host::Join(host.ReadPackets()), kResynchResponse);
    EXPECT_EQ(host.Exchange(kCardStatusBlock), kCardStatusAnswer) << "the RESYNCH put both ends back in step";
}

TEST(SimReaderPeer, SlowReaderAnswersAfterTwentySecondsWithoutWtx) {
    UsbReader reader;
    Host host(reader);
    reader.Arm(Fault::SlowNoWtx);
    host.Send(kCardStatusBlock);
    Bytes buffer(kMaxPacketSize);
    usb::InResult nak = reader.BulkIn(kBulkInEndpoint, buffer, host.now);
    ASSERT_FALSE(nak.ready);
    ASSERT_TRUE(nak.retryAt.has_value());
    EXPECT_GE(*nak.retryAt, host.now + kSlowAnswerTime);
    EXPECT_EQ(Host::Join(host.ReadPackets()), kCardStatusAnswer) << "the answer itself, no S(WTX request)";
}

TEST(SimReaderPeer, NonIBlockAnswersTakeTheAnswersPlace) {
    UsbReader reader;
    Host host(reader);
    reader.Arm(Fault::AnswerRBlock);
    // N(R) 1: the reader took the host's I-block with N(S) 0.
    EXPECT_EQ(host.Exchange(kCardStatusBlock), Hex("21 90 00 B1"));
    EXPECT_EQ(reader.Link().ReaderSequence(), 0x00) << "no I-block went out";

    reader.Arm(Fault::AnswerSBlock);
    EXPECT_EQ(host.Exchange(Hex("12 40 02 D0 31 B1")), LinkBlock(kPcbIfsRequest, Hex("FE"), kReaderNad));
    EXPECT_EQ(host.Exchange(kResynch), kResynchResponse);
    EXPECT_EQ(host.Exchange(kCardStatusBlock), kCardStatusAnswer);
}

TEST(SimReaderPeer, EndlessEmptyChainNeverEndsUntilAResynch) {
    UsbReader reader;
    Host host(reader);
    reader.Arm(Fault::EndlessEmptyChain);
    Bytes block = host.Exchange(kCardStatusBlock);
    std::uint8_t expected = 0x00;
    for (int i = 0; i < 50; ++i) {
        ASSERT_EQ(block, LinkBlock(expected | kPcbMore, {}, kReaderNad)) << "piece " << i;
        expected ^= kPcbSequence;
        // Acknowledge, asking for the next piece.
        block = host.Exchange(LinkBlock(kPcbRBlockType | (expected >> kSequenceToRShift)));
    }
    EXPECT_EQ(host.Exchange(kResynch), kResynchResponse);
    EXPECT_EQ(host.Exchange(kCardStatusBlock), kCardStatusAnswer);
}

TEST(SimReaderPeer, ShortMiddlePacketStillAnnouncesMore) {
    UsbReader reader;
    Host host(reader);
    reader.Arm(Fault::ShortMiddlePacket);
    host.Send(kCardStatusBlock);
    std::vector<Bytes> packets = host.ReadPackets();
    ASSERT_EQ(packets.size(), 2u);
    EXPECT_EQ(packets[0][0], kPacketMore);
    EXPECT_LT(packets[0].size(), kMaxPacketSize);
    EXPECT_EQ(packets[1][0], kPacketLast);
    EXPECT_EQ(Host::Join(packets), kCardStatusAnswer) << "only the cut is wrong, not the bytes";
}

// A host packet that announces more must fill the endpoint's 64 bytes, and
// its header must be 0x00 or 0x04: otherwise the block is damaged, answered
// by an error R-block, and the link state stays where it was.
TEST(SimReaderPeer, HostPacketsThatBreakThePacketRulesDamageTheBlock) {
    UsbReader reader;
    Host host(reader);
    ASSERT_EQ(reader.BulkOut(kBulkOutEndpoint, Hex("00 12 00 02"), host.now).accepted, 4u);
    ASSERT_EQ(reader.BulkOut(kBulkOutEndpoint, Hex("04 D0 31 F1"), host.now).accepted, 4u);
    EXPECT_EQ(Host::Join(host.ReadPackets()), Hex("21 81 00 A0"));
    ASSERT_EQ(reader.BulkOut(kBulkOutEndpoint, Hex("07 12 00 02 D0 31 F1"), host.now).accepted, 7u);
    EXPECT_EQ(Host::Join(host.ReadPackets()), Hex("21 81 00 A0")) << "unknown packet header";
    EXPECT_EQ(reader.Link().HostSequence(), 0x00);
    EXPECT_EQ(host.Exchange(kCardStatusBlock), kCardStatusAnswer);
}

// While its answer is chained the reader waits for acknowledges: a new
// I-block from the host is refused, and the chain goes on afterwards.
TEST(SimReaderPeer, NewCommandInTheMiddleOfAChainedAnswerIsRefused) {
    UsbReader reader;
    Host host(reader);
    reader.Arm(Fault::AnswerChained);
    EXPECT_EQ(host.Exchange(kCardStatusBlock), LinkBlock(kPcbMore, Hex("D0 31 00 00"), kReaderNad));
    EXPECT_EQ(host.Exchange(Hex("12 40 02 D0 31 B1")), Hex("21 92 00 B3"));
    EXPECT_EQ(reader.Link().HostSequence(), 0x40) << "the refused block was not taken";
    EXPECT_EQ(host.Exchange(Hex("12 90 00 82")), LinkBlock(kPcbSequence, Hex("08 00"), kReaderNad));
}

// Work longer than any one request can cover: the reader asks for more
// time again whenever the time granted runs out.
TEST(SimReaderPeer, VerySlowReaderKeepsAskingForTime) {
    UsbReader reader;
    Host host(reader);
    reader.Arm(Fault::SlowWtx);
    const usb::Time start = host.now;
    Bytes block = host.Exchange(kCardStatusBlock);
    int requests = 0;
    while (block.at(kPcbOffset) == kPcbWtxRequest) {
        ++requests;
        EXPECT_LE(block.at(kInfOffset) * kDefaultReaderWaitingTime, kMaxWtxSpan);
        block = host.Exchange(Hex("12 E3 01 01 F1"));
        ASSERT_LT(requests, 100);
    }
    EXPECT_EQ(block, kCardStatusAnswer);
    EXPECT_GE(host.now - start, kVerySlowAnswerTime);
    EXPECT_GE(requests, static_cast<int>(kVerySlowAnswerTime / kMaxWtxSpan));
}

// The card is pulled out while the reader still waits for its answer:
// under T=0 the reader's answer to command 0 says the slot is empty, in
// place of the card's answer, and a repeat of it says so too; under T=1 the
// card's block that was on its way never comes, the reader passes on
// silence. An answer the host fetched before the card went stays as it was.
TEST(SimReaderPeer, ACardPulledBeforeItsAnswerIsDoneAnswersNothing) {
    auto command0 = [](std::string_view tpdu) { return test::Concat(Bytes{kCommandClass, kInsApdu}, Hex(tpdu)); };
    const Bytes noCard{kCommandClass, kInsApdu, kSlotNumber, kStatusCardAbsent};
    {
        test::CardBench b("t0", kProtocolT0);
        ASSERT_EQ(b.status, kStatusOk);
        // SELECT: a few milliseconds on the line, less than the reader's
        // waiting time, so its answer block is queued at once.
        b.host.Send(LinkBlock(b.host.sendSequence, command0("00 A4 00 0C 02 3F 00")));
        b.host.sendSequence ^= kPcbSequence;
        EXPECT_EQ(Host::Join(b.host.ReadPackets()),
                  LinkBlock(b.host.receiveSequence, Bytes{kCommandClass, kInsApdu, kSlotNumber, kStatusOk, 0x90, 0x00}, kReaderNad))
            << "fetched before the card went: the card's answer";
        b.host.receiveSequence ^= kPcbSequence;
        b.host.Send(LinkBlock(b.host.sendSequence, command0("00 A4 00 0C 02 51 00")));
        b.reader.RemoveCard();
        const Bytes absent = Host::Join(b.host.ReadPackets());
        EXPECT_EQ(absent, LinkBlock(b.host.receiveSequence, noCard, kReaderNad));
        const std::uint8_t repeat = kPcbRBlockType | ((b.host.receiveSequence ^ kPcbSequence) >> kSequenceToRShift);
        EXPECT_EQ(b.host.Exchange(LinkBlock(repeat)), absent) << "a repeat says the same";
    }
    {
        // Two seconds of work: the reader asks for time first, and the card
        // is pulled out before that time is up.
        test::CardBench b("t0", kProtocolT0);
        b.host.Send(LinkBlock(b.host.sendSequence, command0("80 E2 02 00 40")));
        EXPECT_EQ(Host::Join(b.host.ReadPackets()).at(kPcbOffset), kPcbWtxRequest);
        b.reader.RemoveCard();
        EXPECT_EQ(b.host.Exchange(LinkBlock(kPcbWtxResponse, Hex("04"))), LinkBlock(b.host.receiveSequence, noCard, kReaderNad));
    }
    {
        test::CardBench b("t1", kProtocolT1);
        ASSERT_EQ(b.status, kStatusOk);
        b.host.Send(test::CardBlock(0x00, Hex("00 A4 00 0C 02 3F 00"), b.crc));
        b.reader.RemoveCard();
        EXPECT_TRUE(Host::Join(b.host.ReadPackets()).empty()) << "the card's block never came";
    }
}

} // namespace
} // namespace qv::sim
