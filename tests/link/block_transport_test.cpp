// The block protocol: checking the reader's blocks, chaining in both
// directions, acknowledgements, waiting-time extensions, repeat requests and
// their limit, the reply table's failures, and the bound on an answer.
#include <gtest/gtest.h>

#include "link/link_fixture.h"

namespace qv::test {
namespace {

NTSTATUS Check(const Bytes& block, std::optional<ULONG> length = {}) {
    const ULONG count = length.value_or(static_cast<ULONG>(block.size()));
    return CheckReplyBlock(block.data(), &count);
}

TEST(CheckReplyBlock, AcceptsWellFormedReaderBlocks) {
    EXPECT_EQ(Check(ReaderBlock(0x00, ReplyInf(0x00, {1, 2}))), STATUS_SUCCESS);
    EXPECT_EQ(Check(MakeBlock(0x00, 0x40, {5})), STATUS_SUCCESS) << "NAD 0x00 is accepted too";
    EXPECT_EQ(Check(ReaderBlock(0x80)), STATUS_SUCCESS);
    EXPECT_EQ(Check(ReaderBlock(0x90)), STATUS_SUCCESS);
}

TEST(CheckReplyBlock, RejectsDamagedBlocks) {
    const Bytes good = ReaderBlock(0x00, {1, 2, 3});
    Bytes badLrc = good;
    badLrc.back() ^= 0x01;
    EXPECT_EQ(Check(badLrc), STATUS_INVALID_DEVICE_STATE);
    EXPECT_EQ(Check(MakeBlock(0x05, 0x00, {1})), STATUS_INVALID_DEVICE_STATE) << "foreign NAD";
    EXPECT_EQ(Check(good, static_cast<ULONG>(good.size() - 1)), STATUS_INVALID_DEVICE_STATE)
        << "LEN beyond what arrived";
    EXPECT_EQ(Check(Concat(good, {0})), STATUS_INVALID_DEVICE_STATE) << "more than LEN + 4 bytes";
    for (std::uint8_t pcb : {0x81, 0x82, 0x91, 0x92}) {
        EXPECT_EQ(Check(ReaderBlock(pcb)), STATUS_INVALID_DEVICE_STATE) << "error R-block " << int(pcb);
    }
}

TEST(CheckReplyBlock, BlocksShorterThanTheFrameAreDamaged) {
    // 21 00 00 21 cut short: without four bytes there is no frame to check.
    const Bytes empty = ReaderBlock(0x00);
    for (ULONG length = 0; length < 4; ++length) {
        EXPECT_EQ(Check(empty, length), STATUS_INVALID_DEVICE_STATE) << length << " bytes";
    }
}

// ---------------------------------------------------------------------------
// Exchanges over the bus

NTSTATUS Exchange(LinkBed& t, const Bytes& command, LINK_BLOCK_KIND kind = KindInformation) {
    return LinkExchange(command.data(), static_cast<ULONG>(command.size()), t.Extension(), kind);
}

Bytes Slice(const Bytes& bytes, std::size_t from, std::size_t count) {
    return Bytes(bytes.begin() + static_cast<std::ptrdiff_t>(from),
                 bytes.begin() + static_cast<std::ptrdiff_t>(from + count));
}

TEST(LinkExchange, OneBlockCommandAndAnswer) {
    ForEachSeed([](LinkBed& t) {
        const Bytes command = Sequence(254), inf = ReplyInf(0x00, {0xAB, 0xCD});
        t.reader.AnswerBlock(ReaderBlock(0x00, inf));
        t.Run([&] {
            ASSERT_EQ(Exchange(t, command), STATUS_SUCCESS);
            EXPECT_EQ(t.Reply(), inf);
            EXPECT_EQ(t.Reader().SendSequence, 0x40);
            EXPECT_EQ(t.Reader().ReceiveSequence, 0x40);
        });
        EXPECT_EQ(t.reader.Blocks(), Transfers{DriverBlock(0x00, command)}) << "LEN 254, no chaining bit";
    });
}

// A 270-byte command and a two-block answer, both chained.
TEST(LinkExchange, ChainsALongCommandAndALongAnswer) {
    ForEachSeed([](LinkBed& t) {
        const Bytes command = Sequence(270), first = Sequence(200, 1), second = Sequence(50, 7);
        t.reader.AnswerBlock(ReaderBlock(0x90));
        t.reader.AnswerBlock(ReaderBlock(0x20, first));
        t.reader.AnswerBlock(ReaderBlock(0x40, second));
        t.Run([&] {
            ASSERT_EQ(Exchange(t, command), STATUS_SUCCESS);
            EXPECT_EQ(t.Reply(), Concat(first, second));
            EXPECT_EQ(t.Reader().SendSequence, 0x00);
            EXPECT_EQ(t.Reader().ReceiveSequence, 0x00);
        });
        const Transfers expected{DriverBlock(0x20, Slice(command, 0, 254)), DriverBlock(0x40, Slice(command, 254, 16)),
                                 Bytes{0x12, 0x90, 0x00, 0x82}};
        EXPECT_EQ(t.reader.Blocks(), expected);
    });
}

TEST(LinkExchange, ChainedAnswerIsAcknowledgedAndMustGoOnInSequence) {
    ForEachSeed([](LinkBed& t) {
        t.reader.AnswerBlock(ReaderBlock(0x20, {1}));
        t.reader.AnswerBlock(ReaderBlock(0x60, {2}));
        t.reader.AnswerBlock(ReaderBlock(0x00, {3}));
        // The second exchange: a chained piece, then a block with the old sequence bit.
        t.reader.AnswerBlock(ReaderBlock(0x20, {4}));
        t.reader.AnswerBlock(ReaderBlock(0x00, {5}));
        t.Run([&] {
            ASSERT_EQ(Exchange(t, {0xD0, 0x31}), STATUS_SUCCESS);
            EXPECT_EQ(t.Reply(), (Bytes{1, 2, 3}));
            t.Reader().SendSequence = t.Reader().ReceiveSequence = 0;
            EXPECT_EQ(Exchange(t, {0xD0, 0x31}), STATUS_INVALID_DEVICE_STATE);
            EXPECT_EQ(t.Reply(), ReaderBlock(0x00, {5})) << "a failed reply stays as it came";
        });
        const Bytes ack1{0x12, 0x90, 0x00, 0x82}, ack0{0x12, 0x80, 0x00, 0x92};
        EXPECT_EQ(t.reader.Blocks()[1], ack1);
        EXPECT_EQ(t.reader.Blocks()[2], ack0);
        EXPECT_EQ(t.reader.Blocks()[4], ack1);
        EXPECT_EQ(t.reader.Blocks().size(), 5u);
    });
}

TEST(LinkExchange, WaitingTimeExtensionIsGrantedAfterTenMilliseconds) {
    ForEachSeed([](LinkBed& t) {
        std::vector<usb::TransferEvent> events;
        t.bed.Bus().SetObserver([&](const usb::TransferEvent& event) { events.push_back(event); });
        const Bytes inf = ReplyInf(0x00, {9});
        t.reader.AnswerBlock(kWtxRequest);
        t.reader.AnswerBlock(ReaderBlock(0x00, inf));
        t.Run([&] {
            ASSERT_EQ(Exchange(t, {0xD0, 0x31}), STATUS_SUCCESS);
            EXPECT_EQ(t.Reply(), inf) << "the request's own byte is not collected";
        });
        ASSERT_EQ(t.reader.Blocks().size(), 2u);
        EXPECT_EQ(t.reader.Blocks()[1], kWtxResponse);
        // From the moment the request was in to the moment the response went out.
        auto request = std::find_if(events.begin(), events.end(), [](const usb::TransferEvent& e) {
            return e.kind == usb::TransferKind::In && e.data.size() > 2 && e.data[2] == 0xC3;
        });
        auto response = std::find_if(events.begin(), events.end(), [](const usb::TransferEvent& e) {
            return e.kind == usb::TransferKind::Out && e.data.size() > 2 && e.data[2] == 0xE3;
        });
        ASSERT_NE(request, events.end());
        ASSERT_NE(response, events.end());
        EXPECT_GE(response->time - request->time, LINK_WTX_DELAY_MS * kTicksPerMillisecond);
    });
}

TEST(LinkExchange, DamagedReplyIsAskedForAgain) {
    ForEachSeed([](LinkBed& t) {
        const Bytes inf = ReplyInf(0x00);
        Bytes damaged = ReaderBlock(0x00, inf);
        damaged.back() ^= 0xFF;
        t.reader.AnswerBlock(damaged);
        t.reader.AnswerBlock(MakeBlock(0x05, 0x00, inf)); // foreign NAD
        t.reader.AnswerBlock(ReaderBlock(0x00, inf));
        t.Run([&] {
            ASSERT_EQ(Exchange(t, {0xD0, 0x31}), STATUS_SUCCESS);
            EXPECT_EQ(t.Reply(), inf);
        });
        const Bytes repeat{0x12, 0x82, 0x00, 0x90};
        EXPECT_EQ(t.reader.Blocks(), (Transfers{DriverBlock(0x00, {0xD0, 0x31}), repeat, repeat}));
    });
}

TEST(LinkExchange, ThirdDamagedReplyEndsTheExchangeAfterTwoRepeats) {
    ForEachSeed([](LinkBed& t) {
        for (int i = 0; i < 3; ++i) t.reader.AnswerBlock(ReaderBlock(0x82));
        t.Run([&] { EXPECT_EQ(Exchange(t, {0xD0, 0x31}), STATUS_INVALID_DEVICE_STATE); });
        EXPECT_EQ(t.reader.Blocks().size(), 3u) << "the command and exactly two repeat requests";
    });
}

TEST(LinkExchange, DamagedAnswerToResynchEndsAtOnce) {
    ForEachSeed([](LinkBed& t) {
        Bytes damaged = kResynchAnswer;
        damaged.back() ^= 0x01;
        t.reader.AnswerBlock(damaged);
        t.Run([&] { EXPECT_EQ(Exchange(t, {}, KindResynch), STATUS_INVALID_DEVICE_STATE); });
        EXPECT_EQ(t.reader.Blocks(), Transfers{kResynch});
    });
}

// A whole error R-block ahead of the RESYNCH response is the reader's
// complaint about an earlier block (one cut short by a failed write): it is
// dropped like any stale block, and the response that follows ends the
// exchange.
TEST(LinkExchange, ErrorBlockAheadOfTheResynchResponseIsStale) {
    ForEachSeed([](LinkBed& t) {
        t.reader.Answer(Concat(Packets(ReaderBlock(0x92)), Packets(kResynchAnswer)));
        t.Run([&] { EXPECT_EQ(Exchange(t, {}, KindResynch), STATUS_SUCCESS); });
        EXPECT_EQ(t.reader.Blocks(), Transfers{kResynch});
    });
}

// The last piece of a chained answer, after a WTX response or a repeat
// request, is collected like any other.
TEST(LinkExchange, AnswerPieceAfterWtxOrRepeatIsCollected) {
    ForEachSeed([](LinkBed& t) {
        t.reader.AnswerBlock(ReaderBlock(0x20, {1}));
        t.reader.AnswerBlock(kWtxRequest);
        t.reader.AnswerBlock(ReaderBlock(0x60, {2}));
        t.reader.AnswerBlock(ReaderBlock(0x81));
        t.reader.AnswerBlock(ReaderBlock(0x00, {3}));
        t.Run([&] {
            ASSERT_EQ(Exchange(t, {0xD0, 0x31}), STATUS_SUCCESS);
            EXPECT_EQ(t.Reply(), (Bytes{1, 2, 3}));
        });
    });
}

// While a long command is still going out, a WTX request or a damaged reply
// ends the sending: the reader's acknowledgement that follows fails.
TEST(LinkExchange, InterruptedChainedCommandFails) {
    for (const Bytes& interruption : {kWtxRequest, ReaderBlock(0x92)}) {
        ForEachSeed([&](LinkBed& t) {
            t.reader.AnswerBlock(interruption);
            t.reader.AnswerBlock(ReaderBlock(0x90));
            t.Run([&] { EXPECT_EQ(Exchange(t, Sequence(255)), STATUS_INVALID_DEVICE_STATE); });
            EXPECT_EQ(t.reader.Blocks().size(), 2u);
        });
    }
}

TEST(LinkExchange, AcknowledgementEndsAOneBlockCommandOnlyInSequence) {
    ForEachSeed([](LinkBed& t) {
        t.reader.AnswerBlock(ReaderBlock(0x80));
        t.reader.AnswerBlock(ReaderBlock(0x80));
        t.Run([&] {
            ASSERT_EQ(Exchange(t, {0xD0, 0x31}), STATUS_SUCCESS);
            EXPECT_EQ(t.Reader().ReplyLength, 0u);
            t.Reader().SendSequence = t.Reader().ReceiveSequence = 0x40;
            EXPECT_EQ(Exchange(t, {0xD0, 0x31}), STATUS_INVALID_DEVICE_STATE);
        });
    });
}

// Replies that do not fit the block just sent, one per row of the table.
TEST(LinkExchange, RepliesOutOfStateFailAtOnce) {
    struct Row {
        const char* what;
        std::size_t commandLength;
        Transfers replies; // reader blocks; the last one fails
    };
    const std::vector<Row> rows = {
        {"I-block with the wrong sequence bit", 2, {ReaderBlock(0x40)}},
        {"chained I-block with the wrong sequence bit", 2, {ReaderBlock(0x60)}},
        {"I-block instead of an acknowledgement", 255, {ReaderBlock(0x00)}},
        {"acknowledgement with the wrong N(R)", 255, {ReaderBlock(0x80)}},
        {"old sequence after acknowledge 0x90", 2, {ReaderBlock(0x20), ReaderBlock(0x20)}},
        {"R-block after acknowledge 0x90", 2, {ReaderBlock(0x20), ReaderBlock(0x90)}},
        {"wrong sequence after acknowledge 0x80", 2, {ReaderBlock(0x20), ReaderBlock(0x60), ReaderBlock(0x40)}},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        ForEachSeed([&](LinkBed& t) {
            for (const Bytes& reply : row.replies) t.reader.AnswerBlock(reply);
            t.Run([&] {
                EXPECT_EQ(Exchange(t, Sequence(row.commandLength)), STATUS_INVALID_DEVICE_STATE);
                EXPECT_EQ(t.Reply(), row.replies.back()) << "the failing reply stays in ReplyData as it came";
            });
            EXPECT_EQ(t.reader.Blocks().size(), row.replies.size());
        });
    }
}

// A RESYNCH ends only with the S(RESYNCH response); what the reader had
// queued before it (here an I-block and a WTX request) is read and dropped
// unanswered, and the sequence bits stay the caller's to reset.
TEST(LinkExchange, ResynchDropsWhatCameBeforeItsResponse) {
    ForEachSeed([](LinkBed& t) {
        t.reader.Answer(Concat(Packets(ReaderBlock(0x40, {7})),
                               Concat(Packets(kWtxRequest), Packets(ReaderBlock(0xE0)))));
        t.Run([&] {
            t.Reader().SendSequence = 0x40;
            ASSERT_EQ(Exchange(t, {}, KindResynch), STATUS_SUCCESS);
            EXPECT_EQ(t.Reader().ReplyLength, 0u);
            EXPECT_EQ(t.Reader().SendSequence, 0x40) << "the sequence bits are the caller's to reset";
        });
        EXPECT_EQ(t.reader.Blocks(), Transfers{kResynch}) << "nothing is sent while the response is awaited";
    });
}

// Past LINK_MAX_STALE_BLOCKS other blocks the reader is given up on, with
// nothing of theirs left in the reply.
TEST(LinkExchange, ResynchGivesUpOnAReaderThatNeverResponds) {
    ForEachSeed([](LinkBed& t) {
        Transfers stale;
        for (ULONG i = 0; i <= LINK_MAX_STALE_BLOCKS; ++i) stale = Concat(stale, Packets(ReaderBlock(0x00, {1, 2})));
        stale = Concat(stale, Packets(ReaderBlock(0xE0)));
        t.reader.Answer(stale);
        t.Run([&] {
            EXPECT_EQ(Exchange(t, {}, KindResynch), STATUS_INVALID_DEVICE_STATE);
            EXPECT_EQ(t.Reader().ReplyLength, 0u);
        });
        EXPECT_EQ(t.reader.Blocks(), Transfers{kResynch});
    });
}

// The reader never answers with more than 270 bytes; an answer that would
// is stopped rather than written past Collected and ReplyData.
TEST(LinkExchange, AnswerLongerThanTheBufferFails) {
    for (std::size_t last : {16u, 17u}) {
        ForEachSeed([last](LinkBed& t) {
            t.reader.AnswerBlock(ReaderBlock(0x20, Sequence(254)));
            t.reader.AnswerBlock(ReaderBlock(0x40, Sequence(last)));
            t.Run([&] {
                const NTSTATUS status = Exchange(t, {0xD0, 0x31});
                if (last == 16) {
                    EXPECT_EQ(status, STATUS_SUCCESS);
                    EXPECT_EQ(t.Reader().ReplyLength, READER_BUFFER_SIZE);
                } else {
                    EXPECT_EQ(status, STATUS_INVALID_DEVICE_STATE);
                }
            });
        });
    }
}

TEST(LinkExchange, RefusesWhatCannotStartAnExchange) {
    ForEachSeed([](LinkBed& t) {
        t.Run([&] {
            for (int kind : {2, 3, 4, 5}) { // acknowledge, WTX response, repeat, no kind at all
                EXPECT_EQ(Exchange(t, {0xD0}, static_cast<LINK_BLOCK_KIND>(kind)), STATUS_DEVICE_DATA_ERROR) << kind;
            }
            EXPECT_EQ(Exchange(t, Sequence(READER_BUFFER_SIZE + 1)), STATUS_DEVICE_DATA_ERROR);
        });
        EXPECT_TRUE(t.reader.OutTransfers().empty());
    });
}

} // namespace
} // namespace qv::test
