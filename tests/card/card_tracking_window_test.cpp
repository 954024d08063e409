// The narrowest meetings on the card wait, driven on purpose rather than
// left to the seed. The poll that reports a card takes OsData->SpinLock just
// as the application cancels the wait, after IoCancelIrp has taken the
// cancel routine and before CancelTracking has taken that lock: the poll
// must leave the wait to the cancel routine, which completes it once,
// cancelled. The kernel's spin-lock probe holds the poll in the window until
// the cancelling thread waits at the lock. Then the same meeting one step
// earlier, with IoCancelIrp between setting the flag and taking the routine,
// and a cancellation before CardTracking has armed the routine at all.
#include <gtest/gtest.h>

#include <atomic>
#include <functional>

#include "cards/card_catalogue.h"
#include "io/cancel_probe.h"
#include "kernel/scheduler.h"
#include "harness/seeds.h"
#include "tracking_fixture.h"
#include "usb_reader.h"

namespace qv::test {
namespace {

// Switch points the held poll passes before it gives up waiting for the
// canceller: far more than a thread needs to reach the lock.
constexpr unsigned kHoldLimit = 100'000;

// What the probes saw, written and read on the poll's and the canceller's
// threads while both run.
struct WindowFlags {
    std::atomic<bool> met = false; // the canceller reached the step the window needs while the poll reported
    // For the window between IoCancelIrp's two steps: the poll cleared the
    // routine while the canceller stood between them, and IoCancelIrp
    // then found no routine.
    std::atomic<bool> routineTaken = false;
    std::atomic<bool> cancelFoundRoutine = true;
};

struct WindowOutcome {
    bool met = false;
    bool routineTaken = false;
    bool cancelFoundRoutine = true;
    std::size_t outstanding = 1;
    PIRP left = nullptr;
    std::vector<harness::AsyncRequest> done;
};

using ArmWindow = std::function<void(harness::ReaderMachine&, harness::AsyncRequest&, WindowFlags&)>;

// Sends a card wait, lets `arm` set the probes that meet the poll's report
// with the application's cancellation, moves the card, and checks that the
// wait completed exactly once, cancelled, and left nothing pending. Returns
// the outcome for the checks of the window itself.
WindowOutcome RunWindow(std::uint64_t seed, const harness::ScheduleVariant& mode, const ArmWindow& arm) {
    const bool removal = seed % 2 == 0;
    sim::UsbReader reader({.cardInserted = removal}, sim::MakeCard("t1", seed));
    harness::HeldReader config = TrackingConfig(seed, &mode);
    config.machine.processors = 2; // the poll holds one, the canceller needs the other
    harness::ReaderMachine bed(reader, config);
    WindowFlags flags;
    WindowOutcome outcome;
    const RunResult run = bed.Run([&] {
        ASSERT_EQ(StartReader(bed), STATUS_SUCCESS);
        SleepFor(1500);
        harness::AsyncRequest& wait = bed.SendAsync(0, removal ? IOCTL_SMARTCARD_IS_ABSENT : IOCTL_SMARTCARD_IS_PRESENT, harness::SentIrp::KeptUntilReap);
        ASSERT_FALSE(wait.done);
        // From here on only the poll's report takes OsData->SpinLock, until
        // the probe itself starts the cancellation.
        arm(bed, wait, flags);
        if (removal) reader.RemoveCard();
        else reader.InsertCard();
        SleepFor(2500);
        bed.Machine().Kernel().ProbeSpinLockOnce(&bed.Smartcard(0).OsData->SpinLock, {});
        io::ProbeCancelOnce({});
        outcome.outstanding = bed.Outstanding();
        outcome.left = PendingTracking(bed);
        outcome.done = bed.Reap();
    });
    outcome.met = flags.met;
    outcome.routineTaken = flags.routineTaken;
    outcome.cancelFoundRoutine = flags.cancelFoundRoutine;
    const std::string where = "seed " + std::to_string(seed) + " mode " + mode.name;
    EXPECT_TRUE(run.Ok()) << where << "\n" << run.report;
    if (!run.Ok()) return outcome;
    EXPECT_EQ(outcome.outstanding, 0u) << where;
    EXPECT_EQ(outcome.left, nullptr) << where;
    EXPECT_EQ(outcome.done.size(), 1u) << where;
    if (outcome.done.size() == 1) {
        EXPECT_EQ(outcome.done.front().completions, 1u) << where;
        EXPECT_EQ(outcome.done.front().status, STATUS_CANCELLED) << where;
    }
    EXPECT_TRUE(bed.Shutdown().Ok()) << where;
    return outcome;
}

// The poll must leave the wait to the cancel routine, which completes it.
TEST(CardTrackingWindow, APollMeetingACancellationUnderWayLeavesTheWaitToItsCancelRoutine) {
    for (const harness::ScheduleVariant& mode : harness::ScheduleVariants()) {
        if (mode.name == "uniform-one-cpu") continue; // the window needs two processors
        for (std::uint64_t seed : harness::RunSeeds(4)) {
            const WindowOutcome outcome = RunWindow(seed, mode, [](auto& bed, auto& wait, WindowFlags& flags) {
                Machine* machine = &bed.Machine();
                const KSPIN_LOCK* lock = &bed.Smartcard(0).OsData->SpinLock;
                machine->Kernel().ProbeSpinLockOnce(lock, [&bed, &wait, &flags, machine, lock] {
                    machine->Spawn("app", [&bed, &wait] { bed.Cancel(wait); });
                    for (unsigned i = 0; i < kHoldLimit && !machine->Kernel().Sched().SomeoneSpinsOn(lock); ++i) SwitchPoint();
                    flags.met = machine->Kernel().Sched().SomeoneSpinsOn(lock);
                });
            });
            EXPECT_TRUE(outcome.met) << "seed " << seed << " mode " << mode.name
                                     << ": the canceller never reached the lock";
        }
    }
}

// The other side of that window: the application's IoCancelIrp has set the
// IRP's Cancel flag but not yet taken its cancel routine when the poll that
// reports a card clears the routine. The poll got the routine back, so the
// cancel routine will never run and IoCancelIrp will find nothing: the poll
// must complete the wait itself, cancelled, though the flag is set. Guards
// against a poll that goes by the flag and ignores what IoSetCancelRoutine
// returned, and so leaves the wait to a cancel routine that never comes: the
// wait then hangs. The kernel's spin-lock probe stops the poll in its report
// until the canceller stands in the cancel probe between the two steps,
// which holds it there until the poll has cleared the routine.
TEST(CardTrackingWindow, APollThatClearsTheRoutineOfAWaitBeingCancelledCompletesItItself) {
    for (const harness::ScheduleVariant& mode : harness::ScheduleVariants()) {
        if (mode.name == "uniform-one-cpu") continue; // the window needs two processors
        for (std::uint64_t seed : harness::RunSeeds(4)) {
            const WindowOutcome outcome = RunWindow(seed, mode, [](auto& bed, auto& wait, WindowFlags& flags) {
                io::ProbeCancelOnce([&flags](PIRP irp) {
                    flags.met = true;
                    for (unsigned i = 0; i < kHoldLimit && irp->CancelRoutine != nullptr; ++i) SwitchPoint();
                    flags.routineTaken = irp->CancelRoutine == nullptr;
                });
                Machine* machine = &bed.Machine();
                machine->Kernel().ProbeSpinLockOnce(&bed.Smartcard(0).OsData->SpinLock, [&bed, &wait, &flags, machine] {
                    machine->Spawn("app", [&bed, &wait, &flags] { flags.cancelFoundRoutine = bed.Cancel(wait); });
                    for (unsigned i = 0; i < kHoldLimit && !flags.met; ++i) SwitchPoint();
                });
            });
            const std::string where = "seed " + std::to_string(seed) + " mode " + mode.name;
            EXPECT_TRUE(outcome.met) << where << ": the canceller never set the flag while the poll reported";
            EXPECT_TRUE(outcome.routineTaken) << where << ": the poll never cleared the routine";
            EXPECT_FALSE(outcome.cancelFoundRoutine) << where << ": IoCancelIrp found a cancel routine";
        }
    }
}

// A cancellation that lands after the library has stored the wait in
// OsData->NotificationIrp and before it calls CardTracking finds no cancel
// routine, so IoCancelIrp does nothing more than set the IRP's Cancel flag.
// CardTracking must see the flag and complete the wait, cancelled. Guards
// against a CardTracking that arms the cancel routine without looking at
// the flag: the cancellation is then lost and the wait stays pending until
// the card moves or the handle closes. Driven in the library's own call: the reader callback slot
// cancels the stored wait, as another thread of the application would, and
// then hands over to CardTracking.
NTSTATUS NTAPI CancelThenTrack(PSMARTCARD_EXTENSION SmartcardExtension) {
    POS_DEP_DATA os = SmartcardExtension->OsData;
    KIRQL irql;
    KeAcquireSpinLock(&os->SpinLock, &irql);
    PIRP stored = os->NotificationIrp;
    KeReleaseSpinLock(&os->SpinLock, irql);
    EXPECT_NE(stored, nullptr);
    if (stored != nullptr) {
        EXPECT_FALSE(IoCancelIrp(stored)) << "no cancel routine yet";
    }
    return CardTracking(SmartcardExtension);
}

TEST(CardTrackingWindow, AWaitCancelledBeforeCardTrackingRunsIsCompletedCancelled) {
    for (std::uint64_t seed : harness::RunSeeds(4)) {
        for (const ULONG code : {IOCTL_SMARTCARD_IS_PRESENT, IOCTL_SMARTCARD_IS_ABSENT}) {
            const bool cardIn = code == IOCTL_SMARTCARD_IS_ABSENT;
            SCOPED_TRACE(testing::Message() << "seed " << seed << (cardIn ? ", card-absent wait" : ", card-present wait"));
            sim::UsbReader reader({.cardInserted = cardIn}, sim::MakeCard("t1", seed));
            harness::ReaderMachine bed(reader, TrackingConfig(seed));
            std::vector<harness::AsyncRequest> done;
            std::size_t outstanding = 1;
            PIRP left = nullptr;
            const RunResult run = bed.Run([&] {
                ASSERT_EQ(StartReader(bed), STATUS_SUCCESS);
                SleepFor(1500);
                PSMARTCARD_EXTENSION card = &bed.Smartcard(0);
                card->ReaderFunction[RDF_CARD_TRACKING] = &CancelThenTrack;
                harness::AsyncRequest& wait = bed.SendAsync(0, code, harness::SentIrp::KeptUntilReap);
                card->ReaderFunction[RDF_CARD_TRACKING] = &CardTracking;
                EXPECT_TRUE(wait.done) << "completed before the request came back";
                // The card moves: nothing is left for the poll to complete.
                if (cardIn) reader.RemoveCard();
                else reader.InsertCard();
                SleepFor(2500);
                outstanding = bed.Outstanding();
                left = PendingTracking(bed);
                done = bed.Reap();
            });
            ASSERT_TRUE(run.Ok()) << run.report;
            EXPECT_EQ(outstanding, 0u);
            EXPECT_EQ(left, nullptr);
            ASSERT_EQ(done.size(), 1u);
            EXPECT_EQ(done.front().completions, 1u);
            EXPECT_EQ(done.front().status, STATUS_CANCELLED);
            EXPECT_TRUE(bed.Shutdown().Ok());
        }
    }
}

} // namespace
} // namespace qv::test
