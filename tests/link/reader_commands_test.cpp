// The reader command set: how each command is built and put on the wire,
// the payload bounds, refused numbers, resynchronisation before a command
// and after a failure, and LinkIdle around every command.
#include <gtest/gtest.h>

#include <memory>

#include "kernel/pool.h"
#include "link/link_fixture.h"
#include "link/link_peer.h"
#include "support/kernel_run.h"

namespace qv::test {
namespace {

TEST(BuildCommand, CopiesHeaderAndPayloadWithinTheDestination) {
    Machine machine;
    RunOk(machine, [] {
        UCHAR destination[READER_BUFFER_SIZE] = {};
        const UCHAR header[] = {0xD0, 0xE7};
        const Bytes payload = Sequence(READER_MAX_PAYLOAD + 1);
        ULONG length = 0;
        EXPECT_EQ(BuildCommand(destination, sizeof destination, header, 2, payload.data(), 4, &length), STATUS_SUCCESS);
        EXPECT_EQ(length, 6u);
        EXPECT_EQ(Bytes(destination, destination + 6), (Bytes{0xD0, 0xE7, 0, 1, 2, 3}));
        EXPECT_EQ(BuildCommand(destination, sizeof destination, header, 2, payload.data(), READER_MAX_PAYLOAD, &length),
                  STATUS_SUCCESS);
        EXPECT_EQ(length, READER_BUFFER_SIZE);
        EXPECT_EQ(BuildCommand(destination, sizeof destination, header, 2, nullptr, 0, &length), STATUS_SUCCESS);
        EXPECT_EQ(length, 2u);

        length = 99;
        EXPECT_EQ(BuildCommand(destination, sizeof destination, header, 2, payload.data(), READER_MAX_PAYLOAD + 1,
                               &length),
                  STATUS_BUFFER_TOO_SMALL);
        // A length that would wrap the sum around to something small.
        EXPECT_EQ(BuildCommand(destination, sizeof destination, header, 2, payload.data(), 0xFFFFFFFF, &length),
                  STATUS_BUFFER_TOO_SMALL);
        EXPECT_EQ(length, 99u) << "nothing reported on failure";
    });
}

// ---------------------------------------------------------------------------
// Commands on the wire

// A reader whose every answer is a one-block I-block with status 0x00,
// kept in step with the driver, answering RESYNCH as the reader does.
ScriptedReader::Responder InStepReader() {
    auto peer = std::make_shared<LinkPeer>(ReplyInf(0x00, {0x08}));
    return [peer](const Bytes& block) { return peer->Respond(block); };
}

Bytes InfOf(const Bytes& block) { return Bytes(block.begin() + 3, block.end() - 1); }

// LinkSynchronized 1, both sequence bits 0: the command goes out alone.
void InStep(LinkBed& t) { t.Reader().LinkSynchronized = 1; }

TEST(SendReaderCommand, CardStatusIsExactlyOnePacket) {
    ForEachSeed([](LinkBed& t) {
        const Bytes inf = ReplyInf(0x00, {0x08, 0x00});
        t.reader.AnswerBlock(ReaderBlock(0x00, inf));
        t.Run([&] {
            InStep(t);
            const harness::CommandResult result = t.bed.SendCommand(0, READER_COMMAND_CARD_STATUS);
            ASSERT_EQ(result.status, STATUS_SUCCESS);
            EXPECT_EQ(result.reply, inf);
            EXPECT_EQ(t.Reader().ReplyLength, 6u);
            EXPECT_EQ(t.Reader().SendSequence, 0x40);
            EXPECT_EQ(t.Reader().ReceiveSequence, 0x40);
        });
        EXPECT_EQ(t.reader.OutTransfers(), (Transfers{{0x04, 0x12, 0x00, 0x02, 0xD0, 0x31, 0xF1}}));
    });
}

TEST(SendReaderCommand, EveryCommandSendsItsHeaderAndPayload) {
    const Bytes pps{0xFF, 0x10, 0x11, 0xFE};
    struct Case {
        ULONG number;
        Bytes payload;
        Bytes sent;
    } const cases[] = {
        {READER_COMMAND_APDU, {0x00, 0xA4, 0x04, 0x00}, {0xD0, 0x23, 0x00, 0xA4, 0x04, 0x00}},
        {READER_COMMAND_CARD_STATUS, {}, {0xD0, 0x31}},
        {READER_COMMAND_READER_INFO, {}, {0xD0, 0xC0}},
        {READER_COMMAND_COLD_RESET, {}, {0xD0, 0xE6, 0x00, 0x0F}},
        {READER_COMMAND_WARM_RESET, {}, {0xD0, 0xE6, 0x01, 0x00}},
        {READER_COMMAND_POWER_DOWN, {}, {0xD0, 0xE1}},
        {READER_COMMAND_PPS, pps, {0xD0, 0xE7, 0xFF, 0x10, 0x11, 0xFE}},
        {READER_COMMAND_SETUP, {}, {0xD0, 0xE4, 0x00, 0x08}},
    };
    ForEachSeed([&](LinkBed& t) {
        t.reader.SetResponder(InStepReader());
        t.Run([&] {
            InStep(t);
            for (const Case& c : cases) {
                // A payload left over from before must not go out with a command that has none.
                const Bytes payload = c.payload.empty() ? Bytes{0xEE, 0xEE} : c.payload;
                EXPECT_EQ(t.bed.SendCommand(0, c.number, payload).status, STATUS_SUCCESS) << c.number;
            }
        });
        ASSERT_EQ(t.reader.Blocks().size(), std::size(cases));
        for (std::size_t i = 0; i < std::size(cases); ++i) {
            EXPECT_EQ(InfOf(t.reader.Blocks()[i]), cases[i].sent) << "command " << cases[i].number;
        }
    });
}

TEST(SendReaderCommand, LongestApduGoesOutInTwoBlocksAndALongerOneNotAtAll) {
    ForEachSeed([](LinkBed& t) {
        const Bytes apdu = Sequence(READER_MAX_PAYLOAD);
        t.reader.AnswerBlock(ReaderBlock(0x90));
        t.reader.AnswerBlock(ReaderBlock(0x00, ReplyInf(0x00)));
        t.Run([&] {
            InStep(t);
            ASSERT_EQ(t.bed.SendCommand(0, READER_COMMAND_APDU, apdu).status, STATUS_SUCCESS);
            const std::size_t sent = t.reader.OutTransfers().size();
            EXPECT_EQ(t.bed.SendCommand(0, READER_COMMAND_APDU, Sequence(READER_MAX_PAYLOAD + 1)).status,
                      STATUS_BUFFER_TOO_SMALL);
            EXPECT_EQ(t.reader.OutTransfers().size(), sent) << "nothing sent";
            EXPECT_EQ(KeReadStateEvent(&t.Reader().LinkIdle), 1);
        });
        const Bytes command = Concat({0xD0, 0x23}, apdu);
        const Transfers expected{DriverBlock(0x20, Bytes(command.begin(), command.begin() + 254)),
                                 DriverBlock(0x40, Bytes(command.begin() + 254, command.end()))};
        EXPECT_EQ(t.reader.Blocks(), expected) << "254 and 16 bytes";
    });
}

TEST(SendReaderCommand, NumbersThatAreNoCommandAreRefusedUntouched) {
    ForEachSeed([](LinkBed& t) {
        t.Run([&] {
            std::fill(std::begin(t.Reader().CommandBuffer), std::end(t.Reader().CommandBuffer), 0xEE);
            for (BOOLEAN idle : {FALSE, TRUE}) {
                if (idle) KeSetEvent(&t.Reader().LinkIdle, IO_NO_INCREMENT, FALSE);
                else KeClearEvent(&t.Reader().LinkIdle);
                for (ULONG number : {1u, 10u, 0xFFFFFFFFu}) {
                    EXPECT_EQ(SendReaderCommand(number, t.Extension()), STATUS_INVALID_PARAMETER) << number;
                    EXPECT_EQ(KeReadStateEvent(&t.Reader().LinkIdle), idle) << number;
                }
            }
            EXPECT_EQ(t.Reader().CommandBuffer[0], 0xEE);
        });
        EXPECT_TRUE(t.reader.OutTransfers().empty());
    });
}

// ---------------------------------------------------------------------------
// Keeping the link in step

TEST(SendReaderCommand, LinkResetSendsOnlyAResynch) {
    ForEachSeed([](LinkBed& t) {
        t.reader.SetResponder(InStepReader());
        t.Run([&] {
            InStep(t);
            t.Reader().SendSequence = t.Reader().ReceiveSequence = 0x40;
            ASSERT_EQ(t.bed.SendCommand(0, READER_COMMAND_LINK_RESET).status, STATUS_SUCCESS);
            EXPECT_EQ(t.Reader().SendSequence, 0);
            EXPECT_EQ(t.Reader().ReceiveSequence, 0);
            t.Reader().LinkSynchronized = 0;
            ASSERT_EQ(t.bed.SendCommand(0, READER_COMMAND_LINK_RESET).status, STATUS_SUCCESS);
        });
        EXPECT_EQ(t.reader.Blocks(), (Transfers{kResynch, kResynch, kResynch}));
    });
}

TEST(SendReaderCommand, UnsynchronizedLinkIsResynchronisedBeforeEveryCommand) {
    ForEachSeed([](LinkBed& t) {
        t.reader.SetResponder(InStepReader());
        t.Run([&] {
            t.Reader().SendSequence = t.Reader().ReceiveSequence = 0x40;
            for (int i = 0; i < 2; ++i) EXPECT_EQ(t.bed.SendCommand(0, READER_COMMAND_CARD_STATUS).status, STATUS_SUCCESS);
            EXPECT_EQ(t.Reader().LinkSynchronized, 0u) << "only the status poll and the start set it";
        });
        const Bytes status = DriverBlock(0x00, {0xD0, 0x31});
        EXPECT_EQ(t.reader.Blocks(), (Transfers{kResynch, status, kResynch, status}));
    });
}

TEST(SendReaderCommand, FailedResynchBeforeACommandStopsIt) {
    ForEachSeed([](LinkBed& t) {
        Bytes damaged = kResynchAnswer;
        damaged.back() ^= 0x01;
        t.reader.AnswerBlock(damaged);
        t.Run([&] {
            t.Reader().SendSequence = 0x40;
            EXPECT_EQ(t.bed.SendCommand(0, READER_COMMAND_CARD_STATUS).status, STATUS_INVALID_DEVICE_STATE);
            EXPECT_EQ(t.Reader().SendSequence, 0);
            EXPECT_EQ(KeReadStateEvent(&t.Reader().LinkIdle), 1);
        });
        EXPECT_EQ(t.reader.Blocks(), Transfers{kResynch}) << "neither the command nor a second RESYNCH";
    });
}

TEST(SendReaderCommand, FailedExchangeIsFollowedByExactlyOneResynch) {
    ForEachSeed([](LinkBed& t) {
        t.reader.AnswerBlock(ReaderBlock(0x40, ReplyInf(0x00))); // out of sequence
        t.reader.AnswerBlock(kResynchAnswer);
        t.reader.AnswerBlock(ReaderBlock(0x00, ReplyInf(0x00)));
        t.Run([&] {
            InStep(t);
            const harness::CommandResult failed = t.bed.SendCommand(0, READER_COMMAND_CARD_STATUS);
            EXPECT_EQ(failed.status, STATUS_INVALID_DEVICE_STATE);
            EXPECT_TRUE(failed.reply.empty()) << "the recovery RESYNCH's answer is all that is left";
            EXPECT_EQ(t.Reader().SendSequence, 0);
            EXPECT_EQ(t.Reader().ReceiveSequence, 0);
            EXPECT_EQ(t.bed.SendCommand(0, READER_COMMAND_CARD_STATUS).status, STATUS_SUCCESS);
        });
        const Bytes status = DriverBlock(0x00, {0xD0, 0x31});
        EXPECT_EQ(t.reader.Blocks(), (Transfers{status, kResynch, status}));
    });
}

TEST(SendReaderCommand, LinkIdleIsClearExactlyWhileACommandRuns) {
    ForEachSeed([](LinkBed& t) {
        std::vector<LONG> idleSeen;
        auto inStep = InStepReader();
        t.reader.SetResponder([&](const Bytes& block) -> std::optional<Transfers> {
            idleSeen.push_back(t.Reader().LinkIdle.Header.SignalState);
            if (block.size() == 6 && block[4] == 0xC0) return std::nullopt; // silent to command 3
            return inStep(block);
        });
        t.Run([&] {
            InStep(t);
            EXPECT_EQ(t.bed.SendCommand(0, READER_COMMAND_CARD_STATUS).status, STATUS_SUCCESS);
            EXPECT_EQ(KeReadStateEvent(&t.Reader().LinkIdle), 1);
            EXPECT_EQ(t.bed.SendCommand(0, READER_COMMAND_READER_INFO).status, STATUS_IO_TIMEOUT);
            EXPECT_EQ(KeReadStateEvent(&t.Reader().LinkIdle), 1);
        });
        EXPECT_EQ(idleSeen, (std::vector<LONG>{0, 0, 0})) << "the command, the silent one, its recovery RESYNCH";
    });
}

// Two threads sending commands at once go through ReaderMutex one command
// at a time: every command finds the link in step.
TEST(SendReaderCommand, CommandsOfTwoThreadsDoNotInterleave) {
    constexpr int kCommandsPerThread = 5;
    ForEachSeed([](LinkBed& t) {
        t.reader.SetResponder(InStepReader());
        LONG succeeded = 0;
        t.Run([&] {
            InStep(t);
            for (const char* name : {"first", "second"}) {
                K().Spawn(name, [&] {
                    for (int i = 0; i < kCommandsPerThread; ++i) {
                        if (t.bed.SendCommand(0, READER_COMMAND_CARD_STATUS).status == STATUS_SUCCESS)
                            InterlockedIncrement(&succeeded);
                    }
                });
            }
        });
        EXPECT_EQ(succeeded, 2 * kCommandsPerThread);
        EXPECT_EQ(t.reader.Blocks().size(), 2u * kCommandsPerThread) << "no recovery was needed";
    });
}

// Every pool allocation of a command, made to fail in turn: the command
// fails or succeeds, LinkIdle is signalled again, and the shutdown's unload
// audit finds nothing left behind.
TEST(SendReaderCommand, AllocationFailuresAnywhereLeaveNothingBehind) {
    bool sawFailure = false;
    for (std::uint64_t nth = 1; nth <= 12; ++nth) {
        SCOPED_TRACE("allocation " + std::to_string(nth));
        LinkBed t(nth);
        t.reader.SetResponder(InStepReader());
        t.Run([&] {
            K().PoolAllocator().FailAfter(nth);
            const NTSTATUS status = t.bed.SendCommand(0, READER_COMMAND_CARD_STATUS).status;
            K().PoolAllocator().SetFaults({});
            sawFailure = sawFailure || status != STATUS_SUCCESS;
            EXPECT_EQ(KeReadStateEvent(&t.Reader().LinkIdle), 1);
        });
    }
    EXPECT_TRUE(sawFailure);
}

} // namespace
} // namespace qv::test
