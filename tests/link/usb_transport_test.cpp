// The USB packet layer: blocks cut into reader packets, packets joined back
// into a block, and one block out and one back over the emulated bus, with
// the failures that reset a pipe and the bounds on what a reader may send.
#include <gtest/gtest.h>

#include <memory>

#include "link/link_fixture.h"
#include "kernel/pool.h"

namespace qv::test {
namespace {

std::unique_ptr<READER_EXTENSION> BlankReader() { return std::make_unique<READER_EXTENSION>(); }

Bytes OutStream(const READER_EXTENSION& reader) {
    return Bytes(reader.UsbOutBuffer, reader.UsbOutBuffer + reader.UsbOutLength);
}

Bytes Flatten(const Transfers& transfers) {
    Bytes all;
    for (const Bytes& transfer : transfers) all.insert(all.end(), transfer.begin(), transfer.end());
    return all;
}

// ---------------------------------------------------------------------------
// Packets out

TEST(UsbPackets, BlocksAreCutInto63BytePieces) {
    struct Case {
        std::size_t block;
        std::size_t stream;
    } const cases[] = {{4, 5}, {63, 64}, {64, 66}, {126, 128}, {258, 263}, {265, 270}};
    for (const Case& c : cases) {
        auto reader = BlankReader();
        const Bytes block = Sequence(c.block, 1);
        std::copy(block.begin(), block.end(), reader->CommandBlock);
        reader->CommandLength = static_cast<ULONG>(block.size());
        BuildOutPackets(reader.get());
        EXPECT_EQ(reader->UsbOutLength, c.stream) << c.block << "-byte block";
        EXPECT_EQ(OutStream(*reader), Flatten(Packets(block))) << c.block << "-byte block";
    }
}

TEST(UsbPackets, ResynchIsOnePacket) {
    auto reader = BlankReader();
    std::copy(kResynch.begin(), kResynch.end(), reader->CommandBlock);
    reader->CommandLength = 4;
    BuildOutPackets(reader.get());
    EXPECT_EQ(OutStream(*reader), (Bytes{0x04, 0x12, 0xC0, 0x00, 0xD2}));
}

TEST(UsbPackets, BlockThatCannotFitTheStreamIsNotCut) {
    for (ULONG length : {0u, 266u, 270u, 0xFFFFFFFFu}) {
        auto reader = BlankReader();
        reader->UsbOutLength = 99;
        reader->CommandLength = length;
        BuildOutPackets(reader.get());
        EXPECT_EQ(reader->UsbOutLength, 0u) << length;
    }
}

// ---------------------------------------------------------------------------
// Packets in

Bytes Collect(const Bytes& stream) {
    auto reader = BlankReader();
    std::copy(stream.begin(), stream.end(), reader->UsbInBuffer);
    reader->UsbInLength = static_cast<ULONG>(stream.size());
    CollectInPackets(reader.get());
    return Bytes(reader->ReplyData, reader->ReplyData + reader->ReplyLength);
}

TEST(UsbPackets, PayloadsAreJoinedUpToTheLastPacket) {
    const Bytes first = Sequence(63), second = Sequence(6, 100);
    EXPECT_EQ(Collect(Concat(Concat(Bytes{0x00}, first), Concat(Bytes{0x04}, second))), Concat(first, second));
    // Bit 0x04 ends the block even among other bits; bytes behind it are not taken.
    EXPECT_EQ(Collect({0x05, 1, 2, 0x04, 3}), (Bytes{1, 2, 0x04, 3}));
    EXPECT_EQ(Collect({0x00, 1, 2, 3}), (Bytes{1, 2, 3})) << "the bytes run out before a last packet";
    EXPECT_EQ(Collect({0x01, 1, 2}), (Bytes{1, 2})) << "a header without bit 0x04 does not end the block";
    EXPECT_EQ(Collect({0x04}), Bytes{}) << "a header with nothing behind it";
    EXPECT_EQ(Collect({}), Bytes{});
}

TEST(UsbPackets, StreamLengthBeyondTheBufferIsReadOnlyToItsEnd) {
    auto reader = BlankReader();
    reader->UsbInLength = 1000;
    CollectInPackets(reader.get());
    // 270 bytes of 0x00 headers and payload: four full packets and one of 13 bytes.
    EXPECT_EQ(reader->ReplyLength, 4 * 63u + 13);
}

// ---------------------------------------------------------------------------
// One block out and back over the bus

TEST(UsbExchange, WritesOnePacketPerTransferAndJoinsTheAnswer) {
    ForEachSeed([](LinkBed& t) {
        const Bytes block = Sequence(258, 3);
        const Bytes first = Sequence(63, 50), second = Sequence(6, 200);
        t.reader.Answer({Concat(Bytes{0x00}, first), Concat(Bytes{0x04}, second)});
        t.Run([&] {
            t.SetCommandBlock(block);
            ASSERT_EQ(UsbExchange(t.Extension()), STATUS_SUCCESS);
            EXPECT_EQ(t.Reader().UsbInLength, 71u);
            EXPECT_EQ(t.Reply(), Concat(first, second));
        });
        ASSERT_EQ(t.reader.OutTransfers().size(), 5u);
        for (std::size_t i = 0; i < 4; ++i) EXPECT_EQ(t.reader.OutTransfers()[i].size(), kMaxPacket);
        EXPECT_EQ(t.reader.OutTransfers()[4].size(), 7u);
        EXPECT_EQ(t.reader.Blocks(), Transfers{block});
    });
}

TEST(UsbExchange, ReadEndsAtTheFirstTransferThatIsNotAContinuation) {
    ForEachSeed([](LinkBed& t) {
        t.reader.Answer({{0x01, 7, 8, 9}, {0x04, 1, 2}});
        t.Run([&] {
            t.SetCommandBlock(kResynch);
            ASSERT_EQ(UsbExchange(t.Extension()), STATUS_SUCCESS);
            EXPECT_EQ(t.Reader().UsbInLength, 4u);
            EXPECT_EQ(t.Reply(), (Bytes{7, 8, 9}));
        });
        EXPECT_EQ(t.reader.InTransfers(), 1u);
    });
}

TEST(UsbExchange, ShortInputTransferIsTakenAsItIs) {
    ForEachSeed([](LinkBed& t) {
        t.reader.Answer({{0x04, 1, 2, 3}});
        t.Run([&] {
            t.SetCommandBlock(kResynch);
            ASSERT_EQ(UsbExchange(t.Extension()), STATUS_SUCCESS);
            EXPECT_EQ(t.Reader().UsbInLength, 4u);
            EXPECT_EQ(t.Reply(), (Bytes{1, 2, 3}));
        });
    });
}

// What a failed exchange must leave alone.
constexpr ULONG kEarlierReplyLength = 3;
void MarkEarlierReply(READER_EXTENSION& reader) {
    reader.ReplyData[0] = 0xEE;
    reader.ReplyLength = kEarlierReplyLength;
}
void ExpectEarlierReply(READER_EXTENSION& reader) {
    EXPECT_EQ(reader.ReplyLength, kEarlierReplyLength);
    EXPECT_EQ(reader.ReplyData[0], 0xEE);
}

TEST(UsbExchange, ShortWriteFailsAndResetsTheOutputPipe) {
    ForEachSeed([](LinkBed& t) {
        t.reader.ShortenOut(1, 10);
        t.Run([&] {
            MarkEarlierReply(t.Reader());
            t.SetCommandBlock(Sequence(130));
            EXPECT_EQ(UsbExchange(t.Extension()), STATUS_UNSUCCESSFUL);
            ExpectEarlierReply(t.Reader());
        });
        EXPECT_EQ(t.reader.OutTransfers().size(), 2u) << "the write stops at the short transfer";
        EXPECT_EQ(t.reader.InTransfers(), 0u) << "nothing is read";
        EXPECT_EQ(t.reader.ResetsOf(kOutEndpoint), 1u);
        EXPECT_EQ(t.reader.ResetsOf(kInEndpoint), 0u);
    });
}

TEST(UsbExchange, FailedReadResetsTheInputPipe) {
    for (usb::TransferStatus failure : {usb::TransferStatus::Stall, usb::TransferStatus::Error}) {
        ForEachSeed([failure](LinkBed& t) {
            t.reader.AnswerBlock(ReaderBlock(0x00, ReplyInf(0x00)));
            t.reader.FailIn(0, failure);
            t.Run([&] {
                MarkEarlierReply(t.Reader());
                t.SetCommandBlock(kResynch);
                EXPECT_EQ(UsbExchange(t.Extension()), STATUS_UNSUCCESSFUL);
                ExpectEarlierReply(t.Reader());
            });
            EXPECT_EQ(t.reader.ResetsOf(kInEndpoint), 1u);
            EXPECT_EQ(t.reader.ResetsOf(kOutEndpoint), 0u);
        });
    }
}

TEST(UsbExchange, EndlessContinuationPacketsStopAtTheBuffer) {
    ForEachSeed([](LinkBed& t) {
        t.reader.Answer(Transfers(6, Concat(Bytes{0x00}, Sequence(63))));
        t.Run([&] {
            MarkEarlierReply(t.Reader());
            t.SetCommandBlock(kResynch);
            // An error, not the warning STATUS_BUFFER_OVERFLOW that NT_ERROR misses.
            const NTSTATUS status = UsbExchange(t.Extension());
            EXPECT_EQ(status, STATUS_DEVICE_DATA_ERROR);
            constexpr ULONG kSeverityShift = 30, kSeverityError = 3;
            EXPECT_EQ(static_cast<ULONG>(status) >> kSeverityShift, kSeverityError) << "error severity";
            EXPECT_EQ(t.Reader().UsbInLength, 4 * kMaxPacket) << "the fifth packet would not fit";
            ExpectEarlierReply(t.Reader());
        });
        EXPECT_EQ(t.reader.InTransfers(), 5u);
        EXPECT_EQ(t.reader.ResetsOf(kInEndpoint), 1u);
    });
}

TEST(UsbExchange, ZeroLengthTransfersAreSkippedAFewTimes) {
    ForEachSeed([](LinkBed& t) {
        const Bytes answer = ReaderBlock(0x00, ReplyInf(0x00));
        Transfers few(USB_MAX_EMPTY_TRANSFERS, Bytes{});
        few.push_back(Packets(answer)[0]);
        t.reader.Answer(few);
        t.reader.Answer(Transfers(USB_MAX_EMPTY_TRANSFERS + 1, Bytes{}));
        t.Run([&] {
            t.SetCommandBlock(kResynch);
            ASSERT_EQ(UsbExchange(t.Extension()), STATUS_SUCCESS);
            EXPECT_EQ(t.Reply(), answer);
            EXPECT_EQ(UsbExchange(t.Extension()), STATUS_DEVICE_DATA_ERROR);
        });
        EXPECT_EQ(t.reader.ResetsOf(kInEndpoint), 1u);
    });
}

TEST(UsbExchange, MissingPipesFailWithoutABusRequest) {
    ForEachSeed([](LinkBed& t) {
        t.Run([&] {
            PUSB_CONFIG config = t.Reader().UsbConfig;
            t.SetCommandBlock(kResynch);
            PUSB_PIPE_SLOT slots = config->PipeSlots;
            config->PipeSlots = nullptr;
            EXPECT_EQ(UsbExchange(t.Extension()), STATUS_INVALID_HANDLE);
            config->PipeSlots = slots;
            // An interface with one pipe has no slot 1 to send on.
            config->Interface->NumberOfPipes = 1;
            EXPECT_EQ(UsbExchange(t.Extension()), STATUS_INVALID_HANDLE);
            config->Interface->NumberOfPipes = 2;
        });
        EXPECT_TRUE(t.reader.OutTransfers().empty());
        EXPECT_TRUE(t.reader.Resets().empty());
    });
}

TEST(UsbExchange, BlockThatCannotBeSentIsRefusedAndTheOutputPipeReset) {
    ForEachSeed([](LinkBed& t) {
        t.Run([&] {
            t.Reader().CommandLength = 0;
            EXPECT_EQ(UsbExchange(t.Extension()), STATUS_INVALID_PARAMETER);
            t.Reader().CommandLength = USB_MAX_OUT_BLOCK + 1;
            EXPECT_EQ(UsbExchange(t.Extension()), STATUS_INVALID_PARAMETER);
        });
        EXPECT_TRUE(t.reader.OutTransfers().empty());
        EXPECT_EQ(t.reader.ResetsOf(kOutEndpoint), 2u);
    });
}

// A reader that never answers: the wait is bounded, the transfer cancelled
// and given back by the bus before the driver moves on.
TEST(UsbExchange, SilentReaderTimesOutAfterTheReadersAndTheCardsWaitingTime) {
    ForEachSeed([](LinkBed& t) {
        t.Run([&] {
            t.SetCommandBlock(kResynch);
            VirtualTime start = K().Now();
            EXPECT_EQ(UsbExchange(t.Extension()), STATUS_IO_TIMEOUT);
            VirtualTime waited = K().Now() - start;
            EXPECT_GE(waited, USB_READER_WAIT_MS * kTicksPerMillisecond);
            EXPECT_LT(waited, (USB_READER_WAIT_MS + 1000) * kTicksPerMillisecond);

            constexpr ULONG kBlockWaitingTimeUs = 2'000'000;
            constexpr UCHAR kWtx = 3;
            t.Extension()->CardCapabilities.T1.BWT = kBlockWaitingTimeUs;
            t.Extension()->T1.Wtx = kWtx;
            start = K().Now();
            EXPECT_EQ(UsbExchange(t.Extension()), STATUS_IO_TIMEOUT);
            waited = K().Now() - start;
            EXPECT_GE(waited, (USB_READER_WAIT_MS + kBlockWaitingTimeUs / 1000 * kWtx) * kTicksPerMillisecond);
        });
        EXPECT_EQ(t.reader.ResetsOf(kInEndpoint), 2u);
        EXPECT_GE(t.bed.Bus().Counters().cancelled, 2u);
    });
}

// Every pool allocation of an exchange, made to fail in turn: the exchange
// fails cleanly or succeeds, and nothing is left behind (the shutdown's
// unload audit).
TEST(UsbExchange, AllocationFailuresAnywhereLeaveNothingBehind) {
    bool sawInsufficientResources = false;
    for (std::uint64_t nth = 1; nth <= 8; ++nth) {
        SCOPED_TRACE("allocation " + std::to_string(nth));
        LinkBed t(nth);
        t.reader.SetResponder([](const Bytes&) { return Packets(ReaderBlock(0x00, ReplyInf(0x00))); });
        t.Run([&] {
            MarkEarlierReply(t.Reader());
            t.SetCommandBlock(kResynch);
            K().PoolAllocator().FailAfter(nth);
            const NTSTATUS status = UsbExchange(t.Extension());
            K().PoolAllocator().SetFaults({});
            if (status == STATUS_INSUFFICIENT_RESOURCES) sawInsufficientResources = true;
            if (status != STATUS_SUCCESS) ExpectEarlierReply(t.Reader());
        });
    }
    EXPECT_TRUE(sawInsufficientResources);
}

// A request that cannot be built (no IRP to be had) is a failure below zero
// and leaves nothing behind; the exchange then fails like any failed write.
TEST(SubmitUrb, RequestThatCannotBeBuiltGivesInsufficientResources) {
    LinkBed t(1);
    t.Run([&] {
        PoolFaultConfig noIrps;
        noIrps.failPerMillion = 1'000'000;
        noIrps.onlyTag = QV_POOL_TAG('I', 'r', 'p', ' ');
        K().PoolAllocator().SetFaults(noIrps);
        URB urb{};
        urb.UrbHeader.Length = sizeof(struct _URB_PIPE_REQUEST);
        urb.UrbHeader.Function = URB_FUNCTION_RESET_PIPE;
        EXPECT_EQ(SubmitUrb(t.bed.Device(0), &urb), STATUS_INSUFFICIENT_RESOURCES);
        t.SetCommandBlock(kResynch);
        EXPECT_EQ(UsbExchange(t.Extension()), STATUS_UNSUCCESSFUL);
        K().PoolAllocator().SetFaults({});
    });
}

} // namespace
} // namespace qv::test
