// The reader follows the system to sleep and back: one D3 request per
// sleep, the reader powered down and its port suspended, and on wake one D0
// request, the link resynchronised by the poll after power-up and requests
// admitted again.
#include <gtest/gtest.h>

#include <algorithm>
#include <memory>

#include "cards/card_catalogue.h"
#include "device.h"
#include "harness/reader_machine.h"
#include "io/io_state.h"
#include "power/power_manager.h"
#include "support/kernel_run.h"
#include "support/seeds.h"
#include "usb_reader.h"

namespace qv::test {
namespace {

using harness::ReaderMachine;

KernelConfig Seeded(std::uint64_t seed) {
    KernelConfig config;
    config.seed = seed;
    return config;
}

std::size_t Count(const std::vector<std::string>& journal, const std::string& line) {
    return static_cast<std::size_t>(std::count(journal.begin(), journal.end(), line));
}

TEST(DriverPower, EachSleepingStateAsksForD3OnceAndWakeBringsTheReaderBack) {
    for (SYSTEM_POWER_STATE state : {PowerSystemSleeping1, PowerSystemSleeping2, PowerSystemSleeping3,
                                     PowerSystemHibernate, PowerSystemShutdown}) {
        for (std::uint64_t seed : TestSeeds(4)) {
            ReaderMachine machine(Seeded(seed));
            sim::UsbReader reader(sim::ReaderOptions{}, sim::MakeCard("dual", seed));
            RunResult run = machine.Run([&] {
                ASSERT_EQ(machine.Plug(reader).status, STATUS_SUCCESS);
                ASSERT_EQ(machine.Pnp(0, IRP_MN_START_DEVICE), STATUS_SUCCESS);
                PDEVICE_EXTENSION extension = machine.Extension(0);
                PREADER_EXTENSION readerExtension = extension->SmartcardExtension.ReaderExtension;

                ASSERT_EQ(power::Sleep(state), STATUS_SUCCESS);
                EXPECT_EQ(readerExtension->PowerState, READER_POWERED_DOWN);
                EXPECT_TRUE(reader.Suspended());
                EXPECT_EQ(KeReadStateEvent(&extension->ReaderStarted), 0) << "the sleep query closed the gate";
                const auto asleep = power::Journal();
                EXPECT_EQ(Count(asleep, "request set D3 -> " + K().Io().Internals().devices.Label(
                                                                    machine.Readers()[0].device)),
                          1u);

                ASSERT_EQ(power::Wake(), STATUS_SUCCESS);
                EXPECT_EQ(readerExtension->PowerState, READER_POWERED);
                EXPECT_FALSE(reader.Suspended());
                EXPECT_EQ(readerExtension->LinkSynchronized, 1u) << "the poll after power-up resynchronised";
                EXPECT_NE(KeReadStateEvent(&extension->ReaderStarted), 0);
                EXPECT_EQ(readerExtension->PollEnabled, 0u) << "the next tick is skipped";
                EXPECT_EQ(machine.Pnp(0, IRP_MN_REMOVE_DEVICE), STATUS_SUCCESS);
            });
            EXPECT_TRUE(run.Ok()) << "seed " << seed << "\n" << run.report;
            RunResult end = machine.Shutdown();
            EXPECT_TRUE(end.Ok()) << "seed " << seed << "\n" << end.report;
        }
    }
}


enum class DuringSleep { Nothing, Pull, Insert };

struct WakeCase {
    bool cardBefore;
    DuringSleep during;
    ULONG wait;     // the tracking request pending across the sleep
    bool reported;  // whether wake completes it
};

void Pause(std::int64_t milliseconds) {
    LARGE_INTEGER interval = Relative(milliseconds);
    KeDelayExecutionThread(KernelMode, FALSE, &interval);
}

// The first poll after power-up reports a card known from before even when
// it stayed; a card that came or went during the sleep is reported as any
// change is; with no card before or after nothing is reported.
TEST(DriverPower, WakeReportsTheCardAsItWasFoundAfterTheSleep) {
    const WakeCase cases[] = {
        {true, DuringSleep::Nothing, IOCTL_SMARTCARD_IS_ABSENT, true},
        {true, DuringSleep::Pull, IOCTL_SMARTCARD_IS_ABSENT, true},
        {false, DuringSleep::Insert, IOCTL_SMARTCARD_IS_PRESENT, true},
        {false, DuringSleep::Nothing, IOCTL_SMARTCARD_IS_PRESENT, false},
    };
    for (const WakeCase& wake : cases) {
        for (std::uint64_t seed : TestSeeds(4)) {
            ReaderMachine machine(Seeded(seed));
            sim::ReaderOptions options;
            options.cardInserted = wake.cardBefore;
            sim::UsbReader reader(options, sim::MakeCard("dual", seed));
            bool reported = false;
            unsigned completions = 0;
            RunResult run = machine.Run([&] {
                ASSERT_EQ(machine.Plug(reader).status, STATUS_SUCCESS);
                ASSERT_EQ(machine.Pnp(0, IRP_MN_START_DEVICE), STATUS_SUCCESS);
                ASSERT_EQ(machine.Open(0), STATUS_SUCCESS);
                Pause(2500); // the poller finds the card as it is
                machine.SendAsync(0, wake.wait);
                Pause(10);
                ASSERT_EQ(power::Sleep(PowerSystemSleeping3), STATUS_SUCCESS);
                if (wake.during == DuringSleep::Pull) reader.RemoveCard();
                if (wake.during == DuringSleep::Insert) reader.InsertCard();
                Pause(5000); // asleep: no polls
                ASSERT_EQ(power::Wake(), STATUS_SUCCESS);
                Pause(50);
                for (const auto& request : machine.Reap()) {
                    reported = reported || (request.done && request.status == STATUS_SUCCESS);
                    completions += request.completions;
                }
                EXPECT_EQ(machine.Cleanup(0), STATUS_SUCCESS);
                EXPECT_EQ(machine.Close(0), STATUS_SUCCESS);
                for (const auto& request : machine.Reap()) completions += request.completions;
                EXPECT_EQ(machine.Pnp(0, IRP_MN_REMOVE_DEVICE), STATUS_SUCCESS);
            });
            EXPECT_TRUE(run.Ok()) << "seed " << seed << "\n" << run.report;
            EXPECT_EQ(reported, wake.reported) << "seed " << seed << " case " << (&wake - cases);
            EXPECT_EQ(completions, 1u) << "seed " << seed << " case " << (&wake - cases);
            RunResult end = machine.Shutdown();
            EXPECT_TRUE(end.Ok()) << "seed " << seed << "\n" << end.report;
        }
    }
}

TEST(DriverPower, D1AndD2GoDownWithoutAChangeOfState) {
    ReaderMachine machine(Seeded(1));
    sim::UsbReader reader;
    RunResult run = machine.Run([&] {
        ASSERT_EQ(machine.Plug(reader).status, STATUS_SUCCESS);
        ASSERT_EQ(machine.Pnp(0, IRP_MN_START_DEVICE), STATUS_SUCCESS);
        PREADER_EXTENSION readerExtension = machine.Extension(0)->SmartcardExtension.ReaderExtension;
        for (DEVICE_POWER_STATE state : {PowerDeviceD1, PowerDeviceD2}) {
            POWER_STATE wanted;
            wanted.DeviceState = state;
            EXPECT_EQ(PoRequestPowerIrp(machine.Readers()[0].device, IRP_MN_SET_POWER, wanted, nullptr, nullptr,
                                        nullptr),
                      STATUS_PENDING);
            Pause(10);
            EXPECT_EQ(readerExtension->PowerState, READER_POWERED);
            EXPECT_EQ(readerExtension->LinkSynchronized, 1u);
        }
        EXPECT_EQ(machine.Pnp(0, IRP_MN_REMOVE_DEVICE), STATUS_SUCCESS);
    });
    EXPECT_TRUE(run.Ok()) << run.report;
    EXPECT_TRUE(machine.Shutdown().Ok());
}

// Sleep and wake on one thread while another sends card-tracking waits,
// cancels them and closes its handle, on many seeds and, last, the reader
// surprise-removed: every request completes exactly once and the run ends
// with nothing left behind.
TEST(DriverPower, SleepAndWakeRaceWaitsCancelsAndSurpriseRemoval) {
    for (std::uint64_t seed : TestSeeds(8)) {
        ReaderMachine machine(Seeded(seed));
        sim::UsbReader reader(sim::ReaderOptions{}, sim::MakeCard("dual", seed));
        std::vector<harness::AsyncRequest> finished;
        RunResult run = machine.Run([&] {
            ASSERT_EQ(machine.Plug(reader).status, STATUS_SUCCESS);
            ASSERT_EQ(machine.Pnp(0, IRP_MN_START_DEVICE), STATUS_SUCCESS);
            ASSERT_EQ(machine.Open(0), STATUS_SUCCESS);
            KEVENT done;
            KeInitializeEvent(&done, NotificationEvent, FALSE);
            K().Spawn("sleeper", [&] {
                for (int round = 0; round < 2; ++round) {
                    EXPECT_EQ(power::Sleep(round == 0 ? PowerSystemSleeping3 : PowerSystemHibernate), STATUS_SUCCESS);
                    Pause(300);
                    EXPECT_EQ(power::Wake(), STATUS_SUCCESS);
                    Pause(700);
                }
                KeSetEvent(&done, IO_NO_INCREMENT, FALSE);
            });
            for (int round = 0; round < 6; ++round) {
                auto& request = machine.SendAsync(0, round % 2 == 0 ? IOCTL_SMARTCARD_IS_ABSENT
                                                                    : IOCTL_SMARTCARD_IS_PRESENT);
                Pause(100 + 37 * round);
                if (!request.done) machine.Cancel(request.irp);
                Pause(200);
                for (auto& reaped : machine.Reap()) finished.push_back(reaped);
            }
            KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, nullptr);
            EXPECT_EQ(machine.Cleanup(0), STATUS_SUCCESS);
            EXPECT_EQ(machine.Close(0), STATUS_SUCCESS);
            EXPECT_EQ(machine.Unplug(0), STATUS_SUCCESS);
            for (auto& reaped : machine.Reap()) finished.push_back(reaped);
            EXPECT_EQ(machine.Outstanding(), 0u);
        });
        EXPECT_TRUE(run.Ok()) << "seed " << seed << "\n" << run.report;
        for (const auto& request : finished) EXPECT_EQ(request.completions, 1u) << "seed " << seed;
        RunResult end = machine.Shutdown();
        EXPECT_TRUE(end.Ok()) << "seed " << seed << "\n" << end.report;
    }
}

} // namespace
} // namespace qv::test
