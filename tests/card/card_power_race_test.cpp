// Power requests from several applications' threads at once, with a thread
// that uses the reader link the way the poller will: ReaderMutex keeps
// every reader command whole, each request gets its card's ATR, and the
// I/O timer ends started after the last request. Runs on QV_SEEDS.
#include <gtest/gtest.h>

#include <atomic>

#include <array>

#include "card.h"
#include "cards/card_catalogue.h"
#include "harness/reader_machine.h"
#include "link.h"
#include "harness/seeds.h"
#include "usb_reader.h"

namespace qv::test {
namespace {

constexpr int kRequesters = 3;
constexpr int kRounds = 3;

TEST(CardPowerRace, ConcurrentResetsAndStatusPollsStayWhole) {
    const auto atr = sim::CardOptions("t1")->atr;
    for (std::uint64_t seed : harness::RunSeeds(12)) {
        sim::UsbReader reader({}, sim::MakeCard("t1", seed));
        harness::HeldReader config = harness::HeldReader::ForSeed(seed);
        config.admitRequests = true;
        harness::ReaderMachine bed(reader, config);
        // Shared by the simulated threads, which the race detector sees as
        // concurrent: counted atomically.
        std::atomic<int> good = 0;
        std::atomic<int> polls = 0;
        std::atomic<bool> wrong = false;
        const RunResult run = bed.Run([&] {
            ASSERT_EQ(bed.Configure(0), STATUS_SUCCESS);
            ASSERT_TRUE(bed.SendCommand(0, READER_COMMAND_LINK_RESET).Ok());
            bed.Reader(0).LinkSynchronized = 1;
            std::array<KEVENT, kRequesters + 1> done;
            for (KEVENT& event : done) KeInitializeEvent(&event, NotificationEvent, FALSE);
            for (int i = 0; i < kRequesters; ++i) {
                bed.Machine().Spawn("app " + std::to_string(i), [&, i] {
                    for (int round = 0; round < kRounds; ++round) {
                        const ULONG action = (i + round) % 2 == 0 ? SCARD_COLD_RESET : SCARD_WARM_RESET;
                        const auto input = std::span(reinterpret_cast<const std::uint8_t*>(&action), sizeof(action));
                        const harness::IoctlResult result = bed.DeviceControl(0, IOCTL_SMARTCARD_POWER, input, 64);
                        if (result.status == STATUS_SUCCESS && result.output == atr) {
                            ++good;
                        } else {
                            wrong = true;
                        }
                    }
                    KeSetEvent(&done[i], IO_NO_INCREMENT, FALSE);
                });
            }
            bed.Machine().Spawn("poll", [&] {
                for (int round = 0; round < kRounds * 2; ++round) {
                    const harness::CommandResult status = bed.SendCommand(0, READER_COMMAND_CARD_STATUS);
                    if (status.Ok() && status.reply.size() >= 5) ++polls;
                    else wrong = true;
                }
                KeSetEvent(&done[kRequesters], IO_NO_INCREMENT, FALSE);
            });
            for (KEVENT& event : done) KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr);
        });
        EXPECT_TRUE(run.Ok()) << "seed " << seed << "\n" << run.report;
        EXPECT_FALSE(wrong.load()) << "seed " << seed;
        EXPECT_EQ(good.load(), kRequesters * kRounds) << "seed " << seed;
        EXPECT_EQ(polls.load(), kRounds * 2) << "seed " << seed;
        EXPECT_TRUE(bed.Shutdown().Ok()) << "seed " << seed;
    }
}

} // namespace
} // namespace qv::test
