// Races on the card wait: the poll that reports a card against the
// application cancelling its wait, closing its handle (cleanup) or sending
// the wait just as the poll runs. Every wait completes exactly once, with a
// status that fits what happened, and nothing is left pending. Runs on
// QV_SEEDS in every scheduling mode; a failure names its seed and mode.
#include <gtest/gtest.h>

#include <random>

#include "cards/card_catalogue.h"
#include "harness/seeds.h"
#include "tracking_fixture.h"
#include "usb_reader.h"

namespace qv::test {
namespace {

constexpr ULONG kStallUs = 1;

enum class Ender { Cancel, Cleanup, SendLate };

const char* Name(Ender ender) {
    switch (ender) {
    case Ender::Cancel: return "cancel";
    case Ender::Cleanup: return "cleanup";
    case Ender::SendLate: return "send-late";
    }
    return "?";
}

// A virtual instant near a poll: the timer ticks once a second and a poll
// takes a few milliseconds, so instants a little after a whole second meet
// it. Varied by the seed.
std::uint64_t NearAPoll(std::mt19937_64& random, unsigned seconds) {
    std::uniform_int_distribution<std::uint64_t> jitter(0, 40);
    return seconds * 1000 + jitter(random);
}

void RunRace(Ender ender, std::uint64_t seed, const harness::ScheduleVariant& mode) {
    std::mt19937_64 random(seed * 7919 + static_cast<unsigned>(ender));
    const bool removal = (seed % 2) == 0; // half the seeds wait for absence
    sim::UsbReader reader({.cardInserted = removal}, sim::MakeCard("t1", seed));
    harness::ReaderMachine bed(reader, TrackingConfig(seed, &mode));
    const std::uint64_t moveAt = NearAPoll(random, 2);
    const std::uint64_t actAt = NearAPoll(random, 2 + static_cast<unsigned>(random() % 2));
    // Half the runs act at a seeded instant, half as the poll that finds the
    // card takes its lock to report, or a seeded number of microseconds
    // later.
    const bool watch = (seed / 2) % 2 == 0;
    const unsigned extraStalls = static_cast<unsigned>(random() % 8);
    std::uint64_t movedAt = 0;
    std::uint64_t actedAt = 0;
    std::vector<harness::AsyncRequest> done;
    std::size_t outstanding = 1;
    PIRP left = nullptr;

    const RunResult run = bed.Run([&] {
        ASSERT_EQ(StartReader(bed), STATUS_SUCCESS);
        const std::uint64_t start = bed.Machine().Now() / kTicksPerMillisecond;
        SleepFor(1100);
        const ULONG code = removal ? IOCTL_SMARTCARD_IS_ABSENT : IOCTL_SMARTCARD_IS_PRESENT;
        harness::AsyncRequest* wait = ender == Ender::SendLate ? nullptr : &bed.SendAsync(0, code, harness::SentIrp::KeptUntilReap);
        KEVENT handDone;
        KEVENT appDone;
        KeInitializeEvent(&handDone, NotificationEvent, FALSE);
        KeInitializeEvent(&appDone, NotificationEvent, FALSE);
        bed.Machine().Spawn("hand", [&] {
            SleepFor(start + moveAt - bed.Machine().Now() / kTicksPerMillisecond);
            if (removal) reader.RemoveCard();
            else reader.InsertCard();
            movedAt = bed.Machine().Now();
            KeSetEvent(&handDone, IO_NO_INCREMENT, FALSE);
        });
        // The poll that finds the card takes OsData->SpinLock to report; a
        // watching application is woken right then (the wait sent before
        // has already taken and left the lock, and no other party takes it
        // before the application acts).
        KEVENT reporting;
        KeInitializeEvent(&reporting, NotificationEvent, FALSE);
        if (watch) {
            bed.Machine().Kernel().ProbeSpinLockOnce(&bed.Smartcard(0).OsData->SpinLock,
                                            [&] { KeSetEvent(&reporting, IO_NO_INCREMENT, FALSE); });
        }
        bed.Machine().Spawn("app", [&] {
            if (watch) {
                // While the poll reports, or a few microseconds later.
                LARGE_INTEGER giveUp;
                giveUp.QuadPart = -static_cast<LONGLONG>((moveAt + 3000) * kTicksPerMillisecond);
                KeWaitForSingleObject(&reporting, Executive, KernelMode, FALSE, &giveUp);
                for (unsigned i = 0; i < extraStalls; ++i) KeStallExecutionProcessor(kStallUs);
            } else {
                SleepFor(start + actAt - bed.Machine().Now() / kTicksPerMillisecond);
            }
            actedAt = bed.Machine().Now();
            switch (ender) {
            case Ender::Cancel: bed.Cancel(*wait); break;
            case Ender::Cleanup: EXPECT_EQ(bed.Cleanup(0), STATUS_SUCCESS); break;
            case Ender::SendLate: bed.SendAsync(0, code, harness::SentIrp::KeptUntilReap); break;
            }
            KeSetEvent(&appDone, IO_NO_INCREMENT, FALSE);
        });
        KeWaitForSingleObject(&handDone, Executive, KernelMode, FALSE, nullptr);
        KeWaitForSingleObject(&appDone, Executive, KernelMode, FALSE, nullptr);
        SleepFor(2500); // the poll after the last event has run
        bed.Machine().Kernel().ProbeSpinLockOnce(&bed.Smartcard(0).OsData->SpinLock, {});
        outstanding = bed.Outstanding();
        left = PendingTracking(bed);
        done = bed.Reap();
    });
    const std::string where = std::string(Name(ender)) + " seed " + std::to_string(seed) + " mode " + mode.name;
    ASSERT_TRUE(run.Ok()) << where << "\n" << run.report;
    EXPECT_EQ(outstanding, 0u) << where;
    EXPECT_EQ(left, nullptr) << where;
    ASSERT_EQ(done.size(), 1u) << where;
    const harness::AsyncRequest& wait = done.front();
    EXPECT_EQ(wait.completions, 1u) << where;
    if (wait.status == STATUS_SUCCESS) {
        // Only a card that moved completes it with success.
        EXPECT_GE(wait.completedAt, movedAt) << where;
    } else {
        EXPECT_EQ(wait.status, STATUS_CANCELLED) << where;
        EXPECT_NE(ender, Ender::SendLate) << where;
        EXPECT_GE(wait.completedAt, actedAt) << where;
    }
    if (ender == Ender::SendLate) {
        EXPECT_EQ(wait.status, STATUS_SUCCESS) << where;
    }
    EXPECT_TRUE(bed.Shutdown().Ok()) << where;
}

TEST(CardTrackingRace, PollAgainstCancel) {
    for (const harness::ScheduleVariant& mode : harness::ScheduleVariants())
        for (std::uint64_t seed : harness::RunSeeds(16)) RunRace(Ender::Cancel, seed, mode);
}

TEST(CardTrackingRace, PollAgainstCleanup) {
    for (const harness::ScheduleVariant& mode : harness::ScheduleVariants())
        for (std::uint64_t seed : harness::RunSeeds(16)) RunRace(Ender::Cleanup, seed, mode);
}

// The wait arrives while the poll that finds the card runs: it is answered
// at once or by that poll, never left waiting for the next change.
TEST(CardTrackingRace, WaitSentAsThePollReports) {
    for (const harness::ScheduleVariant& mode : harness::ScheduleVariants())
        for (std::uint64_t seed : harness::RunSeeds(16)) RunRace(Ender::SendLate, seed, mode);
}

} // namespace
} // namespace qv::test
