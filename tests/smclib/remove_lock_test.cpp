// The library's remove lock: a hold per open handle and per request,
// release-and-wait at removal, no new hold once removal began, and the
// verifier's checks of holds that do not balance. The race of requests
// against removal runs on many seeds (QV_SEEDS).
#include <gtest/gtest.h>

#include <atomic>

#include <memory>
#include <string>

#include "smclib/fake_reader.h"
#include "smclib/library_state.h"
#include "harness/seeds.h"

namespace qv::test {
namespace {

using smclib::libviolation::ExitWithRemoveLockHeld;
using smclib::libviolation::ExtensionNotInitialized;
using smclib::libviolation::RemoveLockReleasedWithoutHold;

TEST(SmclibRemoveLock, HoldsAreCountedAndRemovalRefusesNewOnes) {
    Machine machine;
    RunOk(machine, [&] {
        FakeReaderDevice reader;
        PSMARTCARD_EXTENSION ext = &reader.Extension();
        ASSERT_EQ(SmartcardAcquireRemoveLock(ext), STATUS_SUCCESS);
        ASSERT_EQ(SmartcardAcquireRemoveLock(ext), STATUS_SUCCESS);
        SmartcardReleaseRemoveLock(ext);
        SmartcardReleaseRemoveLock(ext);
        ASSERT_EQ(SmartcardAcquireRemoveLock(ext), STATUS_SUCCESS); // the remove request's own hold
        SmartcardReleaseRemoveLockAndWait(ext);
        EXPECT_EQ(SmartcardAcquireRemoveLock(ext), STATUS_DELETE_PENDING);
        EXPECT_EQ(SmartcardAcquireRemoveLock(ext), STATUS_DELETE_PENDING);
    });
}

TEST(SmclibRemoveLock, ReleaseWithoutAHoldIsAVerifierViolation) {
    RunExpectingBugCheck(
        [] {
            FakeReaderDevice reader;
            SmartcardReleaseRemoveLock(&reader.Extension());
        },
        bugcode::DRIVER_VERIFIER_DETECTED_VIOLATION, RemoveLockReleasedWithoutHold);
    RunExpectingBugCheck(
        [] {
            FakeReaderDevice reader;
            SmartcardReleaseRemoveLockAndWait(&reader.Extension());
        },
        bugcode::DRIVER_VERIFIER_DETECTED_VIOLATION, RemoveLockReleasedWithoutHold);
}

TEST(SmclibRemoveLock, EndingTheLibraryWhileHoldsRemainIsAVerifierViolation) {
    RunExpectingBugCheck(
        [] {
            FakeReaderDevice reader;
            ASSERT_EQ(SmartcardAcquireRemoveLock(&reader.Extension()), STATUS_SUCCESS);
        }, // the destructor's SmartcardExit finds the hold
        bugcode::DRIVER_VERIFIER_DETECTED_VIOLATION, ExitWithRemoveLockHeld);
}

TEST(SmclibRemoveLock, LibraryCallsBeforeInitialisationAreCaught) {
    RunExpectingBugCheck(
        [] {
            SMARTCARD_EXTENSION extension{};
            SmartcardAcquireRemoveLock(&extension);
        },
        bugcode::DRIVER_VERIFIER_DETECTED_VIOLATION, ExtensionNotInitialized);
}

// Requests and an open handle race the remove path. Whatever the schedule:
// a request either gets its hold (and then finishes before release-and-wait
// returns) or is refused; the handle's hold keeps removal waiting until the
// handle closes; after release-and-wait nothing holds the lock, so the
// library's record can be freed.
TEST(SmclibRemoveLock, RequestsRacingReleaseAndWaitNeverOutliveIt) {
    constexpr int kRequests = 3;
    int refusedSomewhere = 0;
    int servedSomewhere = 0;
    for (const unsigned processors : {1u, 2u})
    for (const std::uint64_t seed : harness::RunSeeds(64)) {
        MachineConfig config;
        config.seed = seed;
        config.processors = processors;
        Machine machine(config);
        // The requests' own bookkeeping, shared by threads that may all hold
        // the remove lock at once, is counted atomically. handleOpen and
        // removed are plain: only the remove lock orders their writes before
        // the reads that check them, so a lock that let a request outlive
        // removal would also show as a race.
        std::atomic<int> inside = 0;
        bool handleOpen = false;
        bool removed = false;
        std::atomic<int> refused = 0;
        std::atomic<int> served = 0;
        std::atomic<bool> violated = false;
        RunOk(machine, [&] {
            auto reader = std::make_unique<FakeReaderDevice>();
            PSMARTCARD_EXTENSION ext = &reader->Extension();
            reader->SetState(SCARD_PRESENT);
            KEVENT done[kRequests + 2];
            for (KEVENT& event : done) KeInitializeEvent(&event, NotificationEvent, FALSE);

            ASSERT_EQ(SmartcardAcquireRemoveLock(ext), STATUS_SUCCESS); // the open handle
            handleOpen = true;
            for (int i = 0; i < kRequests; ++i) {
                K().Spawn("request " + std::to_string(i), [&, i] {
                    if (SmartcardAcquireRemoveLock(ext) == STATUS_SUCCESS) {
                        if (removed) violated = true;
                        ++inside;
                        const Reply reply = Send(reader->Device(), IOCTL_SMARTCARD_GET_STATE, {}, sizeof(ULONG));
                        if (reply.status != STATUS_SUCCESS || removed) violated = true;
                        --inside;
                        ++served;
                        SmartcardReleaseRemoveLock(ext);
                    } else {
                        ++refused;
                    }
                    KeSetEvent(&done[i], IO_NO_INCREMENT, FALSE);
                });
            }
            K().Spawn("close", [&] {
                LARGE_INTEGER delay = Relative(1);
                KeDelayExecutionThread(KernelMode, FALSE, &delay);
                handleOpen = false;
                SmartcardReleaseRemoveLock(ext);
                KeSetEvent(&done[kRequests], IO_NO_INCREMENT, FALSE);
            });
            K().Spawn("remove", [&] {
                if (SmartcardAcquireRemoveLock(ext) == STATUS_SUCCESS) {
                    SmartcardReleaseRemoveLockAndWait(ext);
                    if (inside != 0 || handleOpen) violated = true;
                    removed = true;
                    if (SmartcardAcquireRemoveLock(ext) != STATUS_DELETE_PENDING) violated = true;
                }
                KeSetEvent(&done[kRequests + 1], IO_NO_INCREMENT, FALSE);
            });
            for (KEVENT& event : done) KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr);
            reader.reset();
        });
        EXPECT_FALSE(violated.load()) << "seed " << seed << ", processors " << processors;
        EXPECT_TRUE(removed) << "seed " << seed;
        EXPECT_EQ(served.load() + refused.load(), kRequests) << "seed " << seed;
        refusedSomewhere += refused.load() > 0;
        servedSomewhere += served.load() > 0;
    }
    // Both outcomes of the race occurred across the seeds.
    EXPECT_GT(refusedSomewhere, 0);
    EXPECT_GT(servedSomewhere, 0);
}

} // namespace
} // namespace qv::test
