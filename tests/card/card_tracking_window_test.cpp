// The narrowest meeting on the card wait, driven on purpose rather than left
// to the seed: the poll that reports a card takes OsData->SpinLock just as
// the application cancels the wait, after IoCancelIrp has taken the cancel
// routine and before CancelTracking has taken that lock. The poll must leave
// the wait to the cancel routine, which completes it once, cancelled. The
// kernel's spin-lock probe holds the poll in the window until the
// cancelling thread waits at the lock.
#include <gtest/gtest.h>

#include "cards/card_catalogue.h"
#include "kernel/scheduler.h"
#include "support/seeds.h"
#include "tracking_fixture.h"
#include "usb_reader.h"

namespace qv::test {
namespace {

// Switch points the held poll passes before it gives up waiting for the
// canceller: far more than a thread needs to reach the lock.
constexpr unsigned kHoldLimit = 100'000;

struct WindowOutcome {
    bool met = false; // the canceller waited at the lock while the poll held it
    std::size_t outstanding = 1;
    PIRP left = nullptr;
    std::vector<harness::AsyncRequest> done;
};

void MeetInTheWindow(std::uint64_t seed, const ScheduleVariant& mode) {
    const bool removal = seed % 2 == 0;
    sim::UsbReader reader({.cardInserted = removal}, sim::MakeCard("t1", seed));
    harness::TestbedConfig config = TrackingConfig(seed, &mode);
    config.kernel.processors = 2; // the poll holds one, the canceller needs the other
    harness::ReaderTestbed bed(reader, config);
    WindowOutcome outcome;
    const RunResult run = bed.Run([&] {
        ASSERT_EQ(StartReader(bed), STATUS_SUCCESS);
        SleepFor(1500);
        harness::AsyncRequest& wait = bed.SendAsync(removal ? IOCTL_SMARTCARD_IS_ABSENT : IOCTL_SMARTCARD_IS_PRESENT);
        ASSERT_FALSE(wait.done);
        // From here on only the poll's report takes OsData->SpinLock, until
        // the probe itself starts the cancellation.
        Kernel& machine = bed.Machine();
        const KSPIN_LOCK* lock = &bed.Smartcard().OsData->SpinLock;
        machine.ProbeSpinLockOnce(lock, [&] {
            machine.Spawn("app", [&] { bed.Cancel(wait); });
            for (unsigned i = 0; i < kHoldLimit && !machine.Sched().SomeoneSpinsOn(lock); ++i) SwitchPoint();
            outcome.met = machine.Sched().SomeoneSpinsOn(lock);
        });
        if (removal) reader.RemoveCard();
        else reader.InsertCard();
        SleepFor(2500);
        machine.ProbeSpinLockOnce(lock, {});
        outcome.outstanding = bed.Outstanding();
        outcome.left = PendingTracking(bed);
        outcome.done = bed.Reap();
    });
    const std::string where = "seed " + std::to_string(seed) + " mode " + mode.name;
    ASSERT_TRUE(run.Ok()) << where << "\n" << run.report;
    EXPECT_TRUE(outcome.met) << where << ": the canceller never reached the lock";
    EXPECT_EQ(outcome.outstanding, 0u) << where;
    EXPECT_EQ(outcome.left, nullptr) << where;
    ASSERT_EQ(outcome.done.size(), 1u) << where;
    EXPECT_EQ(outcome.done.front().completions, 1u) << where;
    EXPECT_EQ(outcome.done.front().status, STATUS_CANCELLED) << where;
    EXPECT_TRUE(bed.Shutdown().Ok()) << where;
}

TEST(CardTrackingWindow, APollMeetingACancellationUnderWayLeavesTheWaitToItsCancelRoutine) {
    for (const ScheduleVariant& mode : ScheduleVariants()) {
        if (mode.name == "uniform-one-cpu") continue; // the window needs two processors
        for (std::uint64_t seed : TestSeeds(4)) MeetInTheWindow(seed, mode);
    }
}

} // namespace
} // namespace qv::test
