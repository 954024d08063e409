// qvsim app --scriptor: APDU scripts as people write them for pcsc-tools'
// scriptor, run through the installed program, printed as scriptor prints.
#include "tools/qvsim_program_support.h"

namespace {

using qv::test::Qvsim;
using qv::test::TestFile;

// The lines between scriptor's protocol line and qvsim's end lines.
std::vector<std::string> ScriptorLines(const qv::test::ProgramRun& run) {
    std::vector<std::string> lines;
    bool in = false;
    for (const std::string& line : run.Lines()) {
        if (line.starts_with("qvsim app: clean") || line.starts_with("qvsim app: stopped")) break;
        if (in) lines.push_back(line);
        if (line.starts_with("Using T=")) in = true;
    }
    return lines;
}

TEST(QvsimScriptor, SpacedUnspacedLowerCaseAndCommentsFromStandardInput) {
    const std::string script = "# select the application's DF, then its file 0101\n"
                               "00 A4 00 0C 02 51 00\n"
                               "\n"
                               "00a4000c020101\n"
                               "  # an indented comment\n"
                               "00 b0 00 00 04   # four bytes\n";
    const auto run = Qvsim("app --seed 3 --scriptor", script);
    ASSERT_EQ(run.status, 0) << run.out;
    EXPECT_TRUE(run.Has("\nUsing T=0 protocol\n")) << "the dual card's first protocol, as pcsc-lite picks\n" << run.out;
    // From standard input scriptor does not echo the script; an APDU written
    // without spaces is shown spaced, with scriptor's trailing space.
    const std::vector<std::string> expected = {
        "> 00 A4 00 0C 02 51 00",
        "< 90 00 : Normal processing.",
        "> 00 a4 00 0c 02 01 01 ",
        "< 90 00 : Normal processing.",
        "> 00 b0 00 00 04",
        "< 03 0A 11 18 90 00 : Normal processing.",
    };
    EXPECT_EQ(ScriptorLines(run), expected) << run.out;
}

TEST(QvsimScriptor, ResetInTheMiddleContinuationExitAndTheFileEchoed) {
    const std::string path = TestFile("script.txt", "00A4000C025100\n"
                                                    "reset\n"
                                                    "00 A4 00 0C 02 01 01\n"
                                                    "00 A4 00 0C \\\n"
                                                    "02 51 00\n"
                                                    "EXIT\n"
                                                    "00 B0 00 00 04\n");
    const auto run = Qvsim("app --seed 4 --protocol T=1 --scriptor " + path);
    ASSERT_EQ(run.status, 0) << run.out;
    EXPECT_TRUE(run.Has("\nUsing T=1 protocol\n")) << run.out;
    // A script file's lines are echoed before their results; the reset shows
    // the ATR (with scriptor's trailing space) and deselects the DF, so the
    // file 0101 is not found until the DF is selected again.
    const std::vector<std::string> expected = {
        "00A4000C025100",
        "> 00 A4 00 0C 02 51 00 ",
        "< 90 00 : Normal processing.",
        "reset",
        "> RESET",
        "< OK: 3B 98 13 80 31 FE 45 80 51 56 20 44 55 41 4C 3A ",
        "00 A4 00 0C 02 01 01",
        "> 00 A4 00 0C 02 01 01",
        "< 6A 82 : Wrong parameter(s) P1-P2. File not found.",
        "00 A4 00 0C \\",
        "02 51 00",
        "> 00 A4 00 0C 02 51 00",
        "< 90 00 : Normal processing.",
        "EXIT",
    };
    EXPECT_EQ(ScriptorLines(run), expected) << run.out;
}

TEST(QvsimScriptor, LongAnswersWrapAfterSixteenBytesAndStatusWordsAreExplained) {
    const auto run = Qvsim("app --seed 5 --card t0 --scriptor",
                           "00A4000C025100\n00A4000C020101\n00B0000012\n00 20 00 81 04 39 39 39 39\n00B001FC10\n");
    ASSERT_EQ(run.status, 0) << run.out;
    const std::vector<std::string> expected = {
        "> 00 A4 00 0C 02 51 00 ",
        "< 90 00 : Normal processing.",
        "> 00 A4 00 0C 02 01 01 ",
        "< 90 00 : Normal processing.",
        "> 00 B0 00 00 12 ",
        "< 03 0A 11 18 1F 26 2D 34 3B 42 49 50 57 5E 65 6C ",
        "73 7A 90 00 : Normal processing.",
        "> 00 20 00 81 04 39 39 39 39",
        "< 63 C2 : State of non-volatile memory changed. Counter: 0x2",
        "> 00 B0 01 FC 10 ",
        "< 6C 04 : Wrong length Le: should be 0x04",
    };
    EXPECT_EQ(ScriptorLines(run), expected) << run.out;
}

TEST(QvsimScriptor, AWrongLineIsNamedWithItsNumberAndNothingRuns) {
    const auto run = Qvsim("app --seed 1 --scriptor", "# fine\n00 A4 00 0C 02 51 00\n00 A4 0G\n00A400\n0A4\n", true);
    EXPECT_EQ(run.status, 2) << run.out;
    EXPECT_TRUE(run.Has("line 3: '0G' is not a byte in hex")) << run.out;
    EXPECT_TRUE(run.Has("line 4: an APDU has 4 to 261 bytes")) << run.out;
    EXPECT_TRUE(run.Has("line 5: '0A4' has an odd number of hex digits")) << run.out;
    EXPECT_FALSE(run.Has("Normal processing")) << "a wrong script runs nothing\n" << run.out;

    const auto dangling = Qvsim("app --scriptor", "00 A4 00 0C \\\n", true);
    EXPECT_EQ(dangling.status, 2) << dangling.out;
    EXPECT_TRUE(dangling.Has("ends in \\")) << dangling.out;
    EXPECT_NE(Qvsim("app --scriptor /no/such/script", {}, true).status, 0);
}

TEST(QvsimScriptor, ScriptsSavedWithWindowsLineEndingsRunAlike) {
    const auto run = Qvsim("app --seed 3 --scriptor", "00A4000C025100\r\n00 a4 00 0c 02 01 01\r\nRESET\r\n");
    ASSERT_EQ(run.status, 0) << run.out;
    const std::vector<std::string> expected = {
        "> 00 A4 00 0C 02 51 00 ",
        "< 90 00 : Normal processing.",
        "> 00 a4 00 0c 02 01 01",
        "< 90 00 : Normal processing.",
        "> RESET",
        "< OK: 3B 98 13 80 31 FE 45 80 51 56 20 44 55 41 4C 3A ",
    };
    EXPECT_EQ(ScriptorLines(run), expected) << run.out;
}

TEST(QvsimScriptor, NoCardMeansNoConnection) {
    const auto none = Qvsim("app --seed 2 --no-card --scriptor", "00A4000C025100\n", true);
    EXPECT_EQ(none.status, 1) << none.out;
    EXPECT_TRUE(none.Has("Can't allocate Chipcard::PCSC::Card object: ")) << none.out;
    EXPECT_FALSE(none.Has("Normal processing")) << none.out;
}

} // namespace
