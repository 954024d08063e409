// Card presence: the one-second poll keeps the card state in step with the
// reader and reports a card that came or went to the application's pending
// wait; cancellation and cleanup end a wait; a card does not lend its ATR
// to the next one; a card powered before the start is found.
#include <gtest/gtest.h>

#include <atomic>
#include <vector>

#include "cards/card_catalogue.h"
#include "kernel/pool.h"
#include "harness/seeds.h"
#include "tracking_fixture.h"
#include "usb_reader.h"

namespace qv::test {
namespace {

// A poll runs at the next timer tick; a second and a half always covers it.
constexpr std::uint64_t kPollCovered = 1500;

struct Bed {
    explicit Bed(bool cardIn, std::uint64_t seed = 1, sim::ReaderModel model = sim::ReaderModel::Qv38N)
        : reader({.model = model, .cardInserted = cardIn}, sim::MakeCard("t1", seed)),
          bed(reader, TrackingConfig(seed)) {}
    sim::UsbReader reader;
    harness::ReaderMachine bed;
};

TEST(CardTracking, InsertionAndRemovalCompleteTheWaits) {
    Bed b(false);
    const RunResult run = b.bed.Run([&] {
        ASSERT_EQ(StartReader(b.bed), STATUS_SUCCESS);
        SleepFor(kPollCovered);
        EXPECT_EQ(CardState(b.bed), ULONG{SCARD_ABSENT});

        harness::AsyncRequest& present = b.bed.SendAsync(0, IOCTL_SMARTCARD_IS_PRESENT, harness::SentIrp::KeptUntilReap);
        EXPECT_FALSE(present.done);
        SleepFor(kPollCovered);
        EXPECT_FALSE(present.done) << "no card came";
        b.reader.InsertCard();
        SleepFor(kPollCovered);
        EXPECT_TRUE(present.done);
        EXPECT_EQ(present.status, STATUS_SUCCESS);
        EXPECT_EQ(CardState(b.bed), ULONG{SCARD_PRESENT});

        ASSERT_EQ(Power(b.bed, SCARD_COLD_RESET).status, STATUS_SUCCESS);
        harness::AsyncRequest& absent = b.bed.SendAsync(0, IOCTL_SMARTCARD_IS_ABSENT, harness::SentIrp::KeptUntilReap);
        SleepFor(3 * kPollCovered);
        EXPECT_FALSE(absent.done) << "an active card stays";
        EXPECT_GE(CardState(b.bed), ULONG{SCARD_POWERED});
        b.reader.RemoveCard();
        SleepFor(kPollCovered);
        EXPECT_TRUE(absent.done);
        EXPECT_EQ(absent.status, STATUS_SUCCESS);
        const CardView gone = ViewCard(b.bed);
        EXPECT_EQ(gone.state, ULONG{SCARD_ABSENT});
        EXPECT_EQ(gone.atrLength, 0);
        EXPECT_EQ(gone.protocol, 0u);
        EXPECT_EQ(gone.atrCacheLength, 0u) << "the card that left keeps no ATR in the reader";
        for (const auto& done : b.bed.Reap()) EXPECT_EQ(done.completions, 1u);
        EXPECT_EQ(PendingTracking(b.bed), nullptr);
    });
    EXPECT_TRUE(run.Ok()) << run.report;
    EXPECT_TRUE(b.bed.Shutdown().Ok());
}

TEST(CardTracking, CardInButNotActiveCountsPresentAndCompletesNothing) {
    Bed b(true);
    const RunResult run = b.bed.Run([&] {
        ASSERT_EQ(StartReader(b.bed), STATUS_SUCCESS);
        SleepFor(kPollCovered);
        EXPECT_EQ(CardState(b.bed), ULONG{SCARD_PRESENT});
        harness::AsyncRequest& absent = b.bed.SendAsync(0, IOCTL_SMARTCARD_IS_ABSENT, harness::SentIrp::KeptUntilReap);
        SleepFor(4 * kPollCovered);
        EXPECT_FALSE(absent.done);
        EXPECT_EQ(CardState(b.bed), ULONG{SCARD_PRESENT});
        EXPECT_EQ(b.bed.Cleanup(0), STATUS_SUCCESS);
        EXPECT_TRUE(absent.done);
        EXPECT_EQ(absent.status, STATUS_CANCELLED);
    });
    EXPECT_TRUE(run.Ok()) << run.report;
}

TEST(CardTracking, CancelAndCleanupEndTheWait) {
    Bed b(false);
    const RunResult run = b.bed.Run([&] {
        ASSERT_EQ(StartReader(b.bed), STATUS_SUCCESS);
        SleepFor(kPollCovered);
        // Cleanup with nothing pending completes only itself.
        EXPECT_EQ(b.bed.Cleanup(0), STATUS_SUCCESS);

        harness::AsyncRequest& first = b.bed.SendAsync(0, IOCTL_SMARTCARD_IS_PRESENT, harness::SentIrp::KeptUntilReap);
        // One wait at a time: the library refuses a second.
        harness::AsyncRequest& second = b.bed.SendAsync(0, IOCTL_SMARTCARD_IS_PRESENT, harness::SentIrp::KeptUntilReap);
        EXPECT_TRUE(second.done);
        EXPECT_EQ(second.status, STATUS_DEVICE_BUSY);
        EXPECT_TRUE(b.bed.Cancel(first));
        EXPECT_TRUE(first.done);
        EXPECT_EQ(first.status, STATUS_CANCELLED);
        EXPECT_EQ(PendingTracking(b.bed), nullptr);

        harness::AsyncRequest& third = b.bed.SendAsync(0, IOCTL_SMARTCARD_IS_PRESENT, harness::SentIrp::KeptUntilReap);
        EXPECT_FALSE(third.done);
        EXPECT_EQ(b.bed.Cleanup(0), STATUS_SUCCESS);
        EXPECT_TRUE(third.done);
        EXPECT_EQ(third.status, STATUS_CANCELLED);
        EXPECT_EQ(PendingTracking(b.bed), nullptr);

        // A card arriving later finds nothing to complete.
        b.reader.InsertCard();
        SleepFor(kPollCovered);
        for (const auto& done : b.bed.Reap()) EXPECT_EQ(done.completions, 1u);
    });
    EXPECT_TRUE(run.Ok()) << run.report;
}

// A client that keeps a card wait pending at all times, as the smart card
// resource manager does: each wait's completion sends the next one at once,
// from the completion itself (a card-present wait after a card-absent one,
// and the other way round), and notes the IRQL it was called at.
struct WaitChain {
    PDEVICE_OBJECT device = nullptr;
    std::atomic<ULONG> code = 0; // the wait pending now; read by the test while the poll sends
    unsigned toSend = 0;     // waits still to send after this one
    std::vector<KIRQL> irqls; // of every completion
    std::vector<NTSTATUS> statuses;
};

void SendWait(WaitChain& chain, ULONG code);

NTSTATUS NTAPI WaitDone(PDEVICE_OBJECT, PIRP irp, PVOID context) {
    auto& chain = *static_cast<WaitChain*>(context);
    chain.irqls.push_back(KeGetCurrentIrql());
    chain.statuses.push_back(irp->IoStatus.Status);
    const bool reported = irp->IoStatus.Status == STATUS_SUCCESS;
    IoFreeIrp(irp);
    if (reported && chain.toSend > 0) {
        --chain.toSend;
        SendWait(chain, chain.code == IOCTL_SMARTCARD_IS_PRESENT ? IOCTL_SMARTCARD_IS_ABSENT : IOCTL_SMARTCARD_IS_PRESENT);
    }
    return STATUS_MORE_PROCESSING_REQUIRED;
}

void SendWait(WaitChain& chain, ULONG code) {
    PIRP irp = IoAllocateIrp(chain.device->StackSize, FALSE);
    ASSERT_NE(irp, nullptr);
    PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
    next->MajorFunction = IRP_MJ_DEVICE_CONTROL;
    next->Parameters.DeviceIoControl.IoControlCode = code;
    irp->IoStatus.Status = STATUS_NOT_SUPPORTED;
    chain.code = code;
    IoSetCompletionRoutine(irp, &WaitDone, &chain, TRUE, TRUE, TRUE);
    IoCallDriver(chain.device, irp);
}

// The poll that reports a card completes the wait after it has let go of
// every lock, at PASSIVE_LEVEL, so that a completion that sends the next
// wait finds the driver as any caller does. Guards against a poll that
// completes the wait while still holding OsData->SpinLock: the completion
// then runs at DISPATCH_LEVEL, and the next wait, which needs that lock and
// PASSIVE_LEVEL, can never be served.
TEST(CardTracking, ACompletionThatSendsTheNextWaitFindsNoLockHeld) {
    for (std::uint64_t seed : harness::RunSeeds()) {
        SCOPED_TRACE(testing::Message() << "seed " << seed);
        Bed b(false, seed);
        WaitChain chain;
        const RunResult run = b.bed.Run([&] {
            ASSERT_EQ(StartReader(b.bed), STATUS_SUCCESS);
            SleepFor(kPollCovered);
            chain.device = b.bed.Device(0);
            chain.toSend = 2;
            SendWait(chain, IOCTL_SMARTCARD_IS_PRESENT);
            b.reader.InsertCard();
            SleepFor(kPollCovered);
            EXPECT_EQ(chain.code, ULONG{IOCTL_SMARTCARD_IS_ABSENT}) << "the next wait went out";
            b.reader.RemoveCard();
            SleepFor(kPollCovered);
            b.reader.InsertCard();
            SleepFor(kPollCovered);
            EXPECT_EQ(PendingTracking(b.bed), nullptr);
        });
        ASSERT_TRUE(run.Ok()) << run.report;
        EXPECT_EQ(chain.statuses, (std::vector<NTSTATUS>(3, STATUS_SUCCESS)));
        EXPECT_EQ(chain.irqls, (std::vector<KIRQL>(3, PASSIVE_LEVEL)));
        EXPECT_TRUE(b.bed.Shutdown().Ok());
    }
}

// A card swapped for another must not be handed the ATR the reader's cache
// kept for the first: with a reader that answers resets without an ATR, the
// second card's reset fails rather than report the first card's ATR.
TEST(CardTracking, ASwappedCardIsNotLentTheLastCardsAtr) {
    Bed b(true);
    const RunResult run = b.bed.Run([&] {
        ASSERT_EQ(StartReader(b.bed), STATUS_SUCCESS);
        SleepFor(kPollCovered);
        ASSERT_EQ(Power(b.bed, SCARD_COLD_RESET).status, STATUS_SUCCESS);
        EXPECT_NE(AtrCacheLength(b.bed), 0u);
        b.reader.RemoveCard();
        SleepFor(kPollCovered);
        b.reader.InsertCard(sim::MakeCard("dual", 2));
        b.reader.SetShortResetAnswer(true);
        SleepFor(kPollCovered);
        const harness::IoctlResult reset = Power(b.bed, SCARD_COLD_RESET);
        EXPECT_EQ(reset.status, STATUS_UNRECOGNIZED_MEDIA);
        EXPECT_TRUE(reset.output.empty());
    });
    EXPECT_TRUE(run.Ok()) << run.report;
}

// Pulled and put back between two polls: the poll never sees the slot
// empty, but a powered card found without power has been out.
TEST(CardTracking, ACardThatLostItsPowerBetweenPollsKeepsNoCachedAtr) {
    Bed b(true);
    const RunResult run = b.bed.Run([&] {
        ASSERT_EQ(StartReader(b.bed), STATUS_SUCCESS);
        SleepFor(kPollCovered);
        ASSERT_EQ(Power(b.bed, SCARD_COLD_RESET).status, STATUS_SUCCESS);
        SleepFor(kPollCovered);
        b.reader.RemoveCard();
        b.reader.InsertCard(sim::MakeCard("dual", 2));
        SleepFor(kPollCovered);
        EXPECT_EQ(CardState(b.bed), ULONG{SCARD_PRESENT});
        EXPECT_EQ(AtrCacheLength(b.bed), 0u);
    });
    EXPECT_TRUE(run.Ok()) << run.report;
}

// The start sequence counts the card absent; a card left powered from
// before (a stop and start) is found and reported all the same.
TEST(CardTracking, ACardPoweredBeforeTheStartIsFound) {
    Bed b(true);
    const RunResult run = b.bed.Run([&] {
        ASSERT_EQ(StartReader(b.bed), STATUS_SUCCESS);
        SleepFor(kPollCovered);
        ASSERT_EQ(Power(b.bed, SCARD_COLD_RESET).status, STATUS_SUCCESS);
        b.bed.StopPolling(0);
        ASSERT_EQ(b.bed.StartPolling(0), STATUS_SUCCESS);
        EXPECT_EQ(CardState(b.bed), ULONG{SCARD_ABSENT});
        harness::AsyncRequest& present = b.bed.SendAsync(0, IOCTL_SMARTCARD_IS_PRESENT, harness::SentIrp::KeptUntilReap);
        SleepFor(kPollCovered);
        EXPECT_EQ(CardState(b.bed), ULONG{SCARD_PRESENT});
        EXPECT_TRUE(present.done);
        EXPECT_EQ(present.status, STATUS_SUCCESS);
        // Its ATR is not known to this start: a reset makes it known.
        EXPECT_EQ(ViewCard(b.bed).atrLength, 0);
        EXPECT_EQ(Power(b.bed, SCARD_WARM_RESET).status, STATUS_SUCCESS);
    });
    EXPECT_TRUE(run.Ok()) << run.report;
}

// The first poll after power-up with a card known before reports even when
// the card is still there; with no card before and none now it reports
// nothing.
TEST(CardTracking, TheFirstPollAfterPowerUpReportsAKnownCard) {
    for (const bool cardIn : {true, false}) {
        Bed b(cardIn);
        const RunResult run = b.bed.Run([&] {
            ASSERT_EQ(StartReader(b.bed), STATUS_SUCCESS);
            SleepFor(kPollCovered);
            ASSERT_EQ(Power(b.bed, SCARD_COLD_RESET).status, cardIn ? STATUS_SUCCESS : STATUS_NO_MEDIA);
            harness::AsyncRequest& wait = b.bed.SendAsync(0, cardIn ? IOCTL_SMARTCARD_IS_ABSENT : IOCTL_SMARTCARD_IS_PRESENT, harness::SentIrp::KeptUntilReap);
            b.bed.StopPolling(0);
            b.bed.Reader(0).LinkSynchronized = 0; // as after power-up
            EXPECT_EQ(PollCardStatus(&b.bed.Smartcard(0)), STATUS_SUCCESS);
            EXPECT_EQ(b.bed.Reader(0).LinkSynchronized, 1u);
            EXPECT_EQ(wait.done, cardIn);
            if (cardIn) {
                EXPECT_EQ(wait.status, STATUS_SUCCESS);
                EXPECT_EQ(CardState(b.bed), ULONG{SCARD_PRESENT});
            } else {
                EXPECT_EQ(b.bed.Cleanup(0), STATUS_SUCCESS);
            }
        });
        EXPECT_TRUE(run.Ok()) << run.report;
    }
}

TEST(CardTracking, TheQv39nSkipsTheModelCheck) {
    for (const auto model : {sim::ReaderModel::Qv38N, sim::ReaderModel::Qv39N}) {
        Bed b(true, 1, model);
        unsigned resets = 0;
        const RunResult run = b.bed.Run([&] {
            ASSERT_EQ(StartReader(b.bed), STATUS_SUCCESS);
            SleepFor(kPollCovered);
            EXPECT_EQ(CardState(b.bed), ULONG{SCARD_PRESENT});
            // The QV-38N's check warm-resets the card, which is active then.
            const harness::CommandResult status = b.bed.SendCommand(0, READER_COMMAND_CARD_STATUS);
            ASSERT_TRUE(status.Ok());
            resets = (status.reply[READER_REPLY_DATA_OFFSET] & CARD_STATUS_ACTIVE) != 0 ? 1 : 0;
        });
        EXPECT_TRUE(run.Ok()) << run.report;
        EXPECT_EQ(resets, model == sim::ReaderModel::Qv38N ? 1u : 0u);
    }
}

// A QV-38N whose card switch sticks reports a card in the empty slot; the
// warm reset of the model check finds none (0xAD). The card counts absent,
// the wait for its removal completes, and the ATR the reader kept for the
// card that left is dropped, although the poll never saw the slot empty.
TEST(CardTracking, AQv38nCardBitWithoutACardCountsAbsent) {
    Bed b(true);
    const RunResult run = b.bed.Run([&] {
        ASSERT_EQ(StartReader(b.bed), STATUS_SUCCESS);
        SleepFor(kPollCovered);
        ASSERT_EQ(Power(b.bed, SCARD_COLD_RESET).status, STATUS_SUCCESS);
        ASSERT_EQ(Power(b.bed, SCARD_POWER_DOWN).status, STATUS_SUCCESS);
        // Counted present, not powered, with the ATR kept: the next poll's
        // drop of a powered card's cache does not apply.
        SleepFor(kPollCovered);
        ASSERT_EQ(CardState(b.bed), ULONG{SCARD_PRESENT});
        ASSERT_NE(AtrCacheLength(b.bed), 0u);

        harness::AsyncRequest& absent = b.bed.SendAsync(0, IOCTL_SMARTCARD_IS_ABSENT, harness::SentIrp::KeptUntilReap);
        b.reader.RemoveCard();
        b.reader.Arm(sim::Fault::PhantomCard, 1);
        SleepFor(kPollCovered);
        EXPECT_EQ(b.reader.Faults().Fired(sim::Fault::PhantomCard), 1u);
        EXPECT_TRUE(absent.done);
        EXPECT_EQ(absent.status, STATUS_SUCCESS);
        EXPECT_EQ(CardState(b.bed), ULONG{SCARD_ABSENT});
        EXPECT_EQ(AtrCacheLength(b.bed), 0u) << "the card that left keeps no ATR in the reader";

        // With nothing kept, a card that comes in and is reset without an
        // ATR is not handed the one that left.
        b.reader.InsertCard(sim::MakeCard("dual", 2));
        b.reader.SetShortResetAnswer(true);
        SleepFor(kPollCovered);
        EXPECT_EQ(Power(b.bed, SCARD_COLD_RESET).status, STATUS_UNRECOGNIZED_MEDIA);
    });
    EXPECT_TRUE(run.Ok()) << run.report;
    EXPECT_TRUE(b.bed.Shutdown().Ok());
}

// An hour of polling leaves the pool as it found it after the first minute.
TEST(CardTracking, AnHourOfPollingUsesNoMorePool) {
    Bed b(true);
    std::size_t afterMinute = 0;
    std::size_t afterHour = 0;
    const RunResult run = b.bed.Run([&] {
        ASSERT_EQ(StartReader(b.bed), STATUS_SUCCESS);
        SleepFor(60'000);
        afterMinute = b.bed.Machine().Kernel().PoolAllocator().OutstandingCount();
        SleepFor(3'600'000);
        afterHour = b.bed.Machine().Kernel().PoolAllocator().OutstandingCount();
    });
    EXPECT_TRUE(run.Ok()) << run.report;
    EXPECT_EQ(afterHour, afterMinute);
}

} // namespace
} // namespace qv::test
