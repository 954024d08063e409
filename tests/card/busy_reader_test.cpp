// A reader kept busy still sees its card come and go. Every card operation
// stops the poller's timer while it runs, and a tick that falls inside one
// is lost; an application that sends one request after another must still
// learn within about a poll period that the card was pulled out.
#include <gtest/gtest.h>

#include <atomic>
#include <random>
#include <string>

#include "cards/card_catalogue.h"
#include "harness/reader_machine.h"
#include "support/kernel_run.h"
#include "support/machine_helpers.h"
#include "support/seed_run.h"
#include "harness/seeds.h"
#include "usb_reader.h"

namespace qv::test {
namespace {

using harness::ReaderMachine;

// The longest a removal may go unreported under load: a poll period, the
// tick a card operation made the poller skip, and the operation under way.
constexpr std::uint64_t kReportWithinMs = 2000;

TEST(BusyReader, ACardPulledOutUnderSteadyLoadIsReportedWithinTwoSeconds) {
    OnEachSeed(24, [&](SeedRun& seedRun) {
        const std::uint64_t seed = seedRun.seed;
        const std::string& where = seedRun.where;
        ReaderMachine& machine = seedRun.machine;
        sim::UsbReader reader(sim::ReaderOptions{}, sim::MakeCard("t1", seed));
        std::mt19937_64 random(seed);
        // The load has a generator of its own: the two threads' draws are
        // not ordered with each other.
        std::mt19937_64 loadRandom(seed * 7919);
        seedRun.Run([&] {
            ASSERT_EQ(PlugStartAndOpen(machine, reader), STATUS_SUCCESS);
            Pause(1500);
            std::atomic<bool> stop = false;
            KEVENT loadDone;
            KeInitializeEvent(&loadDone, NotificationEvent, FALSE);
            K().Spawn("load", [&] {
                ULONG action = SCARD_COLD_RESET;
                while (!stop) {
                    machine.DeviceControl(0, IOCTL_SMARTCARD_POWER, AsInput(action), 64);
                    action = action == SCARD_COLD_RESET ? SCARD_WARM_RESET : SCARD_COLD_RESET;
                    Pause(1 + static_cast<std::int64_t>(loadRandom() % 10));
                }
                KeSetEvent(&loadDone, IO_NO_INCREMENT, FALSE);
            });
            harness::AsyncRequest& wait = machine.SendAsync(0, IOCTL_SMARTCARD_IS_ABSENT);
            Pause(500 + static_cast<std::int64_t>(random() % 1000));
            const VirtualTime pulled = K().Now();
            reader.RemoveCard();
            for (int step = 0; step < 100 && !wait.done; ++step) Pause(100);
            stop = true;
            KeWaitForSingleObject(&loadDone, Executive, KernelMode, FALSE, nullptr);
            ASSERT_TRUE(wait.done) << where << ": the removal was never reported";
            EXPECT_EQ(wait.status, STATUS_SUCCESS) << where;
            EXPECT_LE((wait.completedAt - pulled) / kTicksPerMillisecond, kReportWithinMs) << where;
            machine.Reap();
            EXPECT_EQ(machine.Close(0), STATUS_SUCCESS);
        });
    });
}

} // namespace
} // namespace qv::test
