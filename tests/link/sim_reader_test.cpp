// The driver's link against the simulated reader: the start's commands and
// a card reset come back as the reader protocol says, and after every fault
// the reader can be made to show, the link either rides it out or fails the
// one command and is in step again for the next.
#include <gtest/gtest.h>

#include <string>

#include "harness/reader_machine.h"
#include "link.h"
#include "harness/seeds.h"
#include "usb_reader.h"

namespace qv::test {
namespace {

// Four seeds by default (QV_SEEDS chooses others).
const std::vector<std::uint64_t> kSimSeeds = harness::RunSeeds(4);

std::uint8_t StatusByte(const harness::CommandResult& result) {
    return result.reply.size() > READER_REPLY_STATUS_OFFSET ? result.reply[READER_REPLY_STATUS_OFFSET] : 0xFF;
}

void RunOnSimReader(std::uint64_t seed, sim::UsbReader& reader,
                    const std::function<void(harness::ReaderMachine&)>& body) {
    harness::ReaderMachine bed(reader, harness::HeldReader::ForSeed(seed));
    RunResult run = bed.Run([&] {
        ASSERT_EQ(bed.Configure(0), STATUS_SUCCESS);
        body(bed);
    });
    EXPECT_TRUE(run.Ok()) << "seed " << seed << "\n" << run.report;
    RunResult end = bed.Shutdown();
    EXPECT_TRUE(end.Ok()) << "seed " << seed << "\n" << end.report;
}

TEST(LinkWithSimReader, StartCommandsAndAColdReset) {
    for (std::uint64_t seed : kSimSeeds) {
        SCOPED_TRACE("seed " + std::to_string(seed));
        sim::UsbReader reader;
        RunOnSimReader(seed, reader, [](harness::ReaderMachine& bed) {
            EXPECT_EQ(bed.SendCommand(0, READER_COMMAND_LINK_RESET).status, STATUS_SUCCESS);
            bed.Reader(0).LinkSynchronized = 1;

            const harness::CommandResult info = bed.SendCommand(0, READER_COMMAND_READER_INFO);
            ASSERT_EQ(info.status, STATUS_SUCCESS);
            ASSERT_GE(info.reply.size(), READER_REPLY_DATA_OFFSET + 6);
            EXPECT_EQ(std::string(info.reply.begin() + READER_REPLY_DATA_OFFSET,
                                  info.reply.begin() + READER_REPLY_DATA_OFFSET + 6),
                      "QV-38N");
            EXPECT_EQ(bed.SendCommand(0, READER_COMMAND_SETUP).status, STATUS_SUCCESS);

            const harness::CommandResult status = bed.SendCommand(0, READER_COMMAND_CARD_STATUS);
            ASSERT_EQ(status.status, STATUS_SUCCESS);
            EXPECT_EQ(StatusByte(status), 0x00);
            EXPECT_NE(status.reply.at(READER_REPLY_DATA_OFFSET) & 0x08, 0) << "a card is in";

            const harness::CommandResult reset = bed.SendCommand(0, READER_COMMAND_COLD_RESET);
            ASSERT_EQ(reset.status, STATUS_SUCCESS);
            ASSERT_GT(reset.reply.size(), 5u);
            const std::uint8_t ts = reset.reply[READER_REPLY_DATA_OFFSET];
            EXPECT_TRUE(ts == 0x3B || ts == 0x3F) << "ATR starts with " << int(ts);
        });
    }
}

TEST(LinkWithSimReader, EveryLinkFaultIsRiddenOutOrRecoveredFrom) {
    struct Case {
        sim::Fault fault;
        bool survives; // the command itself still succeeds
    } const cases[] = {
        {sim::Fault::AnswerBadLrc, true},       {sim::Fault::AnswerBadNad, true},
        {sim::Fault::AnswerBadLength, true},    {sim::Fault::AnswerErrorBlock, true},
        {sim::Fault::AnswerWtx, true},          {sim::Fault::AnswerChained, true},
        {sim::Fault::AnswerWrongSequence, false}, {sim::Fault::OutFail, false},
        {sim::Fault::OutShort, false},          {sim::Fault::OutStall, false},
        {sim::Fault::InFail, false},            {sim::Fault::InStall, false},
        {sim::Fault::InEndless, false},         {sim::Fault::InZeroLength, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(sim::DescribeFault(c.fault).name));
        for (std::uint64_t seed : kSimSeeds) {
            SCOPED_TRACE("seed " + std::to_string(seed));
            sim::UsbReader reader;
            RunOnSimReader(seed, reader, [&](harness::ReaderMachine& bed) {
                ASSERT_EQ(bed.SendCommand(0, READER_COMMAND_LINK_RESET).status, STATUS_SUCCESS);
                bed.Reader(0).LinkSynchronized = 1;
                reader.Arm(c.fault);
                const harness::CommandResult first = bed.SendCommand(0, READER_COMMAND_CARD_STATUS);
                if (c.survives) {
                    EXPECT_EQ(first.status, STATUS_SUCCESS);
                    EXPECT_EQ(StatusByte(first), 0x00);
                } else {
                    EXPECT_NE(first.status, STATUS_SUCCESS);
                }
                const harness::CommandResult next = bed.SendCommand(0, READER_COMMAND_CARD_STATUS);
                EXPECT_EQ(next.status, STATUS_SUCCESS);
                EXPECT_EQ(StatusByte(next), 0x00);
            });
            EXPECT_EQ(reader.Faults().Fired(c.fault), 1u);
        }
    }
}

} // namespace
} // namespace qv::test
