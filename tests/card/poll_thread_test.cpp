// The polling thread's rhythm, seen on the bus: one card-status command per
// timer tick; a tick with PollEnabled not 1 only turns it back to 1, but
// never two ticks in a row; a stop still runs the poll its wake-up asks for.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <atomic>

#include "cards/card_catalogue.h"
#include "harness/seeds.h"
#include "tracking_fixture.h"
#include "usb/usb_bus.h"
#include "usb_reader.h"

namespace qv::test {
namespace {

// The card-status command's class and instruction bytes as they go out.
constexpr std::array<std::uint8_t, 2> kCardStatusCommand{READER_COMMAND_CLASS, 0x31};

// Counts the card-status commands on the bus: on the polling thread, read
// on the test's.
void CountPolls(harness::ReaderMachine& bed, std::atomic<unsigned>& polls) {
    bed.Bus().SetObserver([&polls](const usb::TransferEvent& event) {
        if (event.kind == usb::TransferKind::Out &&
            std::ranges::search(event.data, kCardStatusCommand).begin() != event.data.end()) {
            ++polls;
        }
    });
}

TEST(PollThread, OnePollATickASkippedTickAndALastPollAtStop) {
    sim::UsbReader reader({}, sim::MakeCard("t1", 1));
    harness::ReaderMachine bed(reader, TrackingConfig(1));
    std::atomic<unsigned> polls = 0;
    CountPolls(bed, polls);
    unsigned inFiveSeconds = 0;
    unsigned withSkip = 0;
    unsigned atStop = 0;
    const RunResult run = bed.Run([&] {
        ASSERT_EQ(StartReader(bed), STATUS_SUCCESS);
        SleepFor(500);
        const unsigned before = polls;
        SleepFor(5000);
        inFiveSeconds = polls - before;

        // As a transmit does: the next tick is skipped, the one after polls.
        WritePollFlag(&bed.Reader(0).PollEnabled, 0);
        const unsigned beforeSkip = polls;
        SleepFor(1000);
        withSkip = polls - beforeSkip;
        EXPECT_EQ(ReadPollFlag(&bed.Reader(0).PollEnabled), 1u);

        const unsigned beforeStop = polls;
        bed.StopPolling(0);
        atStop = polls - beforeStop;
    });
    EXPECT_TRUE(run.Ok()) << run.report;
    EXPECT_EQ(inFiveSeconds, 5u);
    EXPECT_EQ(withSkip, 0u);
    EXPECT_EQ(atStop, 1u) << "the stop's wake-up polls once more";
}

// A poll whose card-status command fails (the reader loses its answer, and
// the answer to the resynchronisation that follows) makes the thread skip
// the next tick: it gives the reader a second to recover instead of asking
// again at once; the tick after that polls again. Guards against a poll failure that leaves PollEnabled at 1, which
// sends the next card-status command one tick early.
TEST(PollThread, AFailedPollSkipsTheNextTick) {
    for (std::uint64_t seed : harness::RunSeeds()) {
        SCOPED_TRACE(testing::Message() << "seed " << seed);
        sim::UsbReader reader({}, sim::MakeCard("t1", seed));
        harness::ReaderMachine bed(reader, TrackingConfig(seed));
        std::atomic<unsigned> polls = 0;
        CountPolls(bed, polls);
        unsigned failedTick = 0;
        unsigned skippedTick = 0;
        unsigned nextTick = 0;
        const RunResult run = bed.Run([&] {
            ASSERT_EQ(StartReader(bed), STATUS_SUCCESS);
            SleepFor(500); // half-way between two ticks
            reader.Arm(sim::Fault::InFail, 2);
            unsigned before = polls;
            SleepFor(1000);
            failedTick = polls - before;
            EXPECT_EQ(reader.Faults().Armed(sim::Fault::InFail), 0u) << "the poll's command used up the fault";
            before = polls;
            SleepFor(1000);
            skippedTick = polls - before;
            before = polls;
            SleepFor(1000);
            nextTick = polls - before;
            bed.StopPolling(0);
        });
        EXPECT_TRUE(run.Ok()) << run.report;
        EXPECT_GE(failedTick, 1u);
        EXPECT_EQ(skippedTick, 0u) << "the tick after a failed poll sends nothing";
        EXPECT_EQ(nextTick, 1u);
    }
}

// An application that transmits twice a second clears PollEnabled before
// every tick; the poll still runs every other tick, so that a card pulled
// meanwhile is seen within two seconds.
TEST(PollThread, TransmitsTwiceASecondStillLeaveEveryOtherTickToThePoll) {
    sim::UsbReader reader({}, sim::MakeCard("t1", 1));
    harness::ReaderMachine bed(reader, TrackingConfig(1));
    std::atomic<unsigned> polls = 0;
    CountPolls(bed, polls);
    unsigned inSixSeconds = 0;
    const RunResult run = bed.Run([&] {
        ASSERT_EQ(StartReader(bed), STATUS_SUCCESS);
        SleepFor(500);
        const unsigned before = polls;
        for (int i = 0; i < 12; ++i) {
            WritePollFlag(&bed.Reader(0).PollEnabled, 0);
            SleepFor(500);
        }
        inSixSeconds = polls - before;
        bed.StopPolling(0);
    });
    EXPECT_TRUE(run.Ok()) << run.report;
    EXPECT_EQ(inSixSeconds, 3u) << "one poll every other tick";
}

} // namespace
} // namespace qv::test
