// The reader console as a script sees it.
#include <gtest/gtest.h>

#include <sstream>
#include <string>

#include "qvsim/console/link_console.h"

namespace qv::harness {
namespace {

std::string Transcript(std::initializer_list<const char*> lines, std::uint64_t seed = 1, bool trace = false) {
    std::ostringstream out;
    ConsoleOptions options;
    options.seed = seed;
    options.trace = trace;
    LinkConsole console(options, out);
    EXPECT_TRUE(console.Start()) << out.str();
    for (const char* line : lines) console.Execute(line);
    EXPECT_EQ(console.Finish(), 0) << out.str();
    return out.str();
}

TEST(LinkConsole, CommandsPrintStatusAndReply) {
    const std::string out = Transcript({"cmd 7", "linksync 1", "cmd 2", "state"});
    EXPECT_NE(out.find("cmd 7: STATUS_SUCCESS (0x00000000), reply 0 bytes\n"), std::string::npos) << out;
    EXPECT_NE(out.find("cmd 2: STATUS_SUCCESS (0x00000000), reply 6 bytes: "), std::string::npos) << out;
    EXPECT_NE(out.find("SendSequence 0x40, ReceiveSequence 0x40, LinkSynchronized 1, LinkIdle signalled"),
              std::string::npos)
        << out;
}

TEST(LinkConsole, BadInputGetsAClearErrorAndTheSessionGoesOn) {
    const std::string out = Transcript({"cmd", "cmd 12", "cmd 0 ABC", "cmd 0 zz", "fault nosuch", "linksync 2",
                                        "card sideways", "frobnicate", "   # only a comment", "cmd 2"});
    EXPECT_NE(out.find("error: cmd needs a command number from 0 to 9"), std::string::npos) << out;
    EXPECT_NE(out.find("error: the payload must be hex digits in pairs"), std::string::npos) << out;
    EXPECT_NE(out.find("error: no fault named 'nosuch'"), std::string::npos) << out;
    EXPECT_NE(out.find("error: linksync takes 0 or 1"), std::string::npos) << out;
    EXPECT_NE(out.find("error: unknown command 'frobnicate'"), std::string::npos) << out;
    EXPECT_NE(out.find("cmd 2: STATUS_SUCCESS"), std::string::npos) << out;
}

TEST(LinkConsole, ArmedFaultFailsOneCommandAndTheNextSucceeds) {
    const std::string out = Transcript({"fault list", "cmd 7", "linksync 1", "fault answer-bad-lrc 3", "cmd 2",
                                        "cmd 2"});
    EXPECT_NE(out.find("answer-bad-lrc"), std::string::npos) << out;
    const auto failed = out.find("cmd 2: STATUS_INVALID_DEVICE_STATE (0xC0000184)");
    ASSERT_NE(failed, std::string::npos) << out;
    EXPECT_NE(out.find("cmd 2: STATUS_SUCCESS", failed), std::string::npos) << out;
}

TEST(LinkConsole, TraceShowsTransfersAndDecodedBlocks) {
    const std::string out = Transcript({"linksync 1", "cmd 2"}, 3, true);
    EXPECT_NE(out.find("usb> 04 12 00 02 D0 31 F1\n"), std::string::npos) << out;
    EXPECT_NE(out.find("blk> NAD 12 PCB 00 I-block N(S)=0 LEN 2 LRC F1 ok\n"), std::string::npos) << out;
    EXPECT_NE(out.find("usb< 04 21 00 06 "), std::string::npos) << out;
    EXPECT_NE(out.find("blk< NAD 21 PCB 00 I-block N(S)=0 LEN 6 LRC"), std::string::npos) << out;
}

TEST(LinkConsole, OneSeedOneTranscript) {
    const auto session = {"cmd 7", "cmd 3", "fault answer-wtx", "cmd 2", "card remove", "cmd 2"};
    EXPECT_EQ(Transcript(session, 11, true), Transcript(session, 11, true));
}

// Scripts rely on these names; each is listed with its sentence.
TEST(LinkConsole, FaultListNamesTheMisbehaviours) {
    const std::string out = Transcript({"fault list"});
    for (const char* name : {"late-answer", "slow-no-wtx", "answer-r-block", "answer-s-block", "endless-empty-chain",
                             "short-middle-packet"}) {
        EXPECT_NE(out.find("  " + std::string(name) + ": the next COUNT "), std::string::npos) << name << "\n" << out;
    }
}

TEST(LinkConsole, LateAnswerFailsOneCommandAndTheNextSucceeds) {
    const std::string out = Transcript({"cmd 7", "linksync 1", "fault late-answer", "cmd 2", "cmd 2"});
    const auto failed = out.find("cmd 2: STATUS_IO_TIMEOUT (0xC00000B5)");
    ASSERT_NE(failed, std::string::npos) << out;
    EXPECT_NE(out.find("cmd 2: STATUS_SUCCESS (0x00000000), reply 6 bytes", failed), std::string::npos) << out;
}

TEST(LinkConsole, ReaderWithWrongPipesDoesNotStart) {
    for (sim::PipeLayout pipes : {sim::PipeLayout::Swapped, sim::PipeLayout::Small}) {
        std::ostringstream out;
        ConsoleOptions options;
        options.pipes = pipes;
        LinkConsole console(options, out);
        EXPECT_FALSE(console.Start());
        EXPECT_NE(out.str().find("configure: STATUS_DEVICE_CONFIGURATION_ERROR (0xC0000182)"), std::string::npos)
            << out.str();
        console.Finish();
    }
}

} // namespace
} // namespace qv::harness
