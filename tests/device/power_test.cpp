// The reader follows the system to sleep and back: one D3 request per
// sleep, the reader powered down and its port suspended, and on wake one D0
// request, the link resynchronised by the poll after power-up and requests
// admitted again.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <memory>
#include <string_view>

#include "card/card_service_bed.h"
#include "cards/card_catalogue.h"
#include "device.h"
#include "harness/reader_machine.h"
#include "io/io_state.h"
#include "kernel/pool.h"
#include "power/power_manager.h"
#include "support/kernel_run.h"
#include "support/machine_helpers.h"
#include "support/seed_run.h"
#include "harness/seeds.h"
#include "usb_reader.h"

namespace qv::test {
namespace {

using harness::ReaderMachine;

MachineConfig Seeded(std::uint64_t seed) {
    MachineConfig config;
    config.seed = seed;
    return config;
}

std::size_t Count(const std::vector<std::string>& journal, const std::string& line) {
    return static_cast<std::size_t>(std::count(journal.begin(), journal.end(), line));
}

TEST(DriverPower, EachSleepingStateAsksForD3OnceAndWakeBringsTheReaderBack) {
    for (SYSTEM_POWER_STATE state : {PowerSystemSleeping1, PowerSystemSleeping2, PowerSystemSleeping3,
                                     PowerSystemHibernate, PowerSystemShutdown}) {
        OnEachSeed(4, [&](SeedRun& seedRun) {
            const std::uint64_t seed = seedRun.seed;
            ReaderMachine& machine = seedRun.machine;
            sim::UsbReader reader(sim::ReaderOptions{}, sim::MakeCard("dual", seed));
            seedRun.Run([&] {
                ASSERT_EQ(machine.Plug(reader).status, STATUS_SUCCESS);
                ASSERT_EQ(machine.Pnp(0, IRP_MN_START_DEVICE), STATUS_SUCCESS);
                PDEVICE_EXTENSION extension = machine.Extension(0);
                PREADER_EXTENSION readerExtension = extension->SmartcardExtension.ReaderExtension;

                ASSERT_EQ(power::Sleep(state), STATUS_SUCCESS);
                EXPECT_EQ(readerExtension->PowerState, READER_POWERED_DOWN);
                EXPECT_TRUE(reader.Suspended());
                EXPECT_EQ(KeReadStateEvent(&extension->ReaderStarted), 0) << "the sleep query closed the gate";
                const auto asleep = power::Journal();
                EXPECT_EQ(Count(asleep, "request set D3 -> " + Io().Internals().devices.Label(
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
        });
    }
}


// Two readers: each stack gets the system's requests and asks for D3 once,
// and each is resynchronised on wake.
TEST(DriverPower, TwoReadersEachAskForD3OnceAndComeBack) {
    OnEachSeed(4, [&](SeedRun& seedRun) {
        const std::uint64_t seed = seedRun.seed;
        ReaderMachine& machine = seedRun.machine;
        sim::UsbReader first(sim::ReaderOptions{}, sim::MakeCard("dual", seed));
        sim::UsbReader second(sim::ReaderOptions{}, sim::MakeCard("dual", seed + 1));
        seedRun.Run([&] {
            for (sim::UsbReader* reader : {&first, &second}) {
                const auto added = machine.Plug(*reader);
                ASSERT_EQ(added.status, STATUS_SUCCESS);
                ASSERT_EQ(machine.Pnp(added.index, IRP_MN_START_DEVICE), STATUS_SUCCESS);
            }
            ASSERT_EQ(power::Sleep(PowerSystemSleeping3), STATUS_SUCCESS);
            const auto asleep = power::Journal();
            for (std::size_t index = 0; index < 2; ++index) {
                const std::string label = Io().Internals().devices.Label(machine.Readers()[index].device);
                EXPECT_EQ(Count(asleep, "request set D3 -> " + label), 1u) << label;
                EXPECT_EQ(machine.Extension(index)->SmartcardExtension.ReaderExtension->PowerState,
                          READER_POWERED_DOWN);
            }
            EXPECT_TRUE(first.Suspended());
            EXPECT_TRUE(second.Suspended());
            ASSERT_EQ(power::Wake(), STATUS_SUCCESS);
            const auto awake = power::Journal();
            for (std::size_t index = 0; index < 2; ++index) {
                const std::string label = Io().Internals().devices.Label(machine.Readers()[index].device);
                EXPECT_EQ(Count(awake, "request set D0 -> " + label), 1u) << label;
                PREADER_EXTENSION readerExtension = machine.Extension(index)->SmartcardExtension.ReaderExtension;
                EXPECT_EQ(readerExtension->PowerState, READER_POWERED);
                EXPECT_EQ(readerExtension->LinkSynchronized, 1u);
            }
            EXPECT_FALSE(first.Suspended());
            EXPECT_FALSE(second.Suspended());
        });
    });
}

enum class DuringSleep { Nothing, Pull, Insert };

struct WakeCase {
    bool cardBefore;
    DuringSleep during;
    ULONG wait;     // the tracking request pending across the sleep
    bool reported;  // whether wake completes it
};

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
        OnEachSeed(4, [&](SeedRun& seedRun) {
            const std::uint64_t seed = seedRun.seed;
            ReaderMachine& machine = seedRun.machine;
            sim::ReaderOptions options;
            options.cardInserted = wake.cardBefore;
            sim::UsbReader reader(options, sim::MakeCard("dual", seed));
            bool reported = false;
            unsigned completions = 0;
            seedRun.Run([&] {
                ASSERT_EQ(PlugStartAndOpen(machine, reader), STATUS_SUCCESS);
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
            }, [&] {
                EXPECT_EQ(reported, wake.reported) << "seed " << seed << " case " << (&wake - cases);
                EXPECT_EQ(completions, 1u) << "seed " << seed << " case " << (&wake - cases);
            });
        });
    }
}

// The D0 request comes back and no work item can be had to finish the
// power-up at PASSIVE_LEVEL (every pool block of the driver fails during the
// wake). The completion routine itself lets the next power request through,
// admits requests again and leaves the poll to the polling thread's next
// tick, which still reports the card known from before the sleep, since the
// link is not yet in step. Guards against this path forgetting
// PoStartNextPowerIrp: the power manager before Vista then sends this
// device no more power requests, and its check bug-checks 0x9F.
TEST(DriverPower, APowerUpWithoutAWorkItemStillStartsTheNextPowerIrpAndReportsTheCard) {
    OnEachSeed(4, [&](SeedRun& seedRun) {
        const std::uint64_t seed = seedRun.seed;
        ReaderMachine& machine = seedRun.machine;
        SCOPED_TRACE(testing::Message() << "seed " << seed);
        sim::UsbReader reader(sim::ReaderOptions{}, sim::MakeCard("dual", seed));
        std::vector<harness::AsyncRequest> done;
        seedRun.Run([&] {
            ASSERT_EQ(PlugStartAndOpen(machine, reader), STATUS_SUCCESS);
            Pause(2500); // the poller finds the card
            machine.SendAsync(0, IOCTL_SMARTCARD_IS_ABSENT);
            Pause(10);
            ASSERT_EQ(power::Sleep(PowerSystemSleeping3), STATUS_SUCCESS);
            Pause(1000);
            const std::uint64_t failedBefore = K().PoolAllocator().FailedAllocations();
            K().PoolAllocator().SetFaults({.failPerMillion = 1'000'000, .onlyTag = READER_POOL_TAG});
            const NTSTATUS woke = power::Wake();
            K().PoolAllocator().SetFaults({});
            ASSERT_EQ(woke, STATUS_SUCCESS);
            EXPECT_GT(K().PoolAllocator().FailedAllocations(), failedBefore) << "the work item's block was refused";
            PDEVICE_EXTENSION extension = machine.Extension(0);
            EXPECT_EQ(extension->SmartcardExtension.ReaderExtension->PowerState, READER_POWERED);
            EXPECT_NE(KeReadStateEvent(&extension->ReaderStarted), 0) << "requests are admitted again";
            Pause(2500); // the next tick polls
            done = machine.Reap();
            EXPECT_EQ(machine.DeviceControl(0, IOCTL_SMARTCARD_GET_STATE, {}, 4).status, STATUS_SUCCESS);
            // A second sleep and wake: the power manager takes power requests
            // for this device again.
            ASSERT_EQ(power::Sleep(PowerSystemSleeping3), STATUS_SUCCESS);
            ASSERT_EQ(power::Wake(), STATUS_SUCCESS);
            EXPECT_EQ(machine.Close(0), STATUS_SUCCESS);
            EXPECT_EQ(machine.Pnp(0, IRP_MN_REMOVE_DEVICE), STATUS_SUCCESS);
        }, [&] {
            ASSERT_EQ(done.size(), 1u) << "the card wait pending across the sleep";
            EXPECT_EQ(done[0].status, STATUS_SUCCESS) << "the card known before the sleep is reported";
            EXPECT_EQ(done[0].completions, 1u);
        });
    });
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

// What the power manager and the bus driver below the reader report while a
// sleep runs: the power requests that reached the bus (its PDO logs each),
// and, each time a system query came back to the power manager, whether the
// driver's gate ReaderStarted was set at that moment.
class PowerWatch {
  public:
    explicit PowerWatch(PDEVICE_EXTENSION extension) {
        K().Events().SetListener([this, extension](std::uint64_t, std::string_view, std::string_view category,
                                                   std::string_view text) {
            if (category == "usb" && text.find(" power ") != std::string_view::npos) bus.emplace_back(text);
            if (category == "power" && text.rfind("query ", 0) == 0 && text.find(" <- ") != std::string_view::npos)
                gateAtQuery.push_back(KeReadStateEvent(&extension->ReaderStarted) != 0);
        });
    }
    ~PowerWatch() { K().Events().SetListener({}); }
    PowerWatch(const PowerWatch&) = delete;
    PowerWatch& operator=(const PowerWatch&) = delete;

    std::size_t BusSaw(const std::string& request) const {
        return static_cast<std::size_t>(std::count_if(bus.begin(), bus.end(), [&](const std::string& line) {
            return line.size() >= request.size() && line.compare(line.size() - request.size(), request.size(), request) == 0;
        }));
    }

    std::vector<std::string> bus;
    std::vector<bool> gateAtQuery;
};

// A sleep query with no request inside: the driver closes its gate and the
// query goes down to the bus. A request sent while the system sleeps waits at
// the gate, never reaching the powered-down reader, and goes on after wake.
TEST(DriverPower, SleepQueryWithNoRequestInsideClosesTheGateAndGoesDown) {
    OnEachSeed(4, [&](SeedRun& seedRun) {
        const std::uint64_t seed = seedRun.seed;
        ReaderMachine& machine = seedRun.machine;
        sim::UsbReader reader(sim::ReaderOptions{}, sim::MakeCard("dual", seed));
        seedRun.Run([&] {
            ASSERT_EQ(PlugStartAndOpen(machine, reader), STATUS_SUCCESS);
            PDEVICE_EXTENSION extension = machine.Extension(0);
            PowerWatch watch(extension);

            ASSERT_EQ(power::Sleep(PowerSystemSleeping3), STATUS_SUCCESS);
            ASSERT_EQ(watch.gateAtQuery.size(), 1u);
            EXPECT_FALSE(watch.gateAtQuery[0]) << "the query closed the gate";
            EXPECT_EQ(watch.BusSaw(" power query S3"), 1u) << "the query went down";
            EXPECT_EQ(Count(power::Journal(), "query S3 <- STATUS_SUCCESS"), 1u);

            KEVENT answered;
            KeInitializeEvent(&answered, NotificationEvent, FALSE);
            harness::IoctlResult state;
            K().Spawn("app", [&] {
                state = machine.DeviceControl(0, IOCTL_SMARTCARD_GET_STATE, {}, sizeof(ULONG));
                KeSetEvent(&answered, IO_NO_INCREMENT, FALSE);
            });
            LARGE_INTEGER asleep = Relative(3000);
            EXPECT_EQ(KeWaitForSingleObject(&answered, Executive, KernelMode, FALSE, &asleep), STATUS_TIMEOUT)
                << "a request waits while the system sleeps";
            ASSERT_EQ(power::Wake(), STATUS_SUCCESS);
            KeWaitForSingleObject(&answered, Executive, KernelMode, FALSE, nullptr);
            EXPECT_EQ(state.status, STATUS_SUCCESS);
            EXPECT_EQ(machine.Close(0), STATUS_SUCCESS);
            EXPECT_EQ(machine.Pnp(0, IRP_MN_REMOVE_DEVICE), STATUS_SUCCESS);
        });
    });
}

// A sleep query while a transmit is inside the driver (held there by a
// reader that takes 20 s to answer): the driver answers the query itself
// with success, the bus never sees it, and the gate stays open. The set-power
// that follows asks for D3 once, and the power-down waits for the reader
// command to end, so the transmit still gets the card's answer.
TEST(DriverPower, SleepQueryWithARequestInsideIsAnsweredHereAndLeavesTheGateOpen) {
    const Bytes selectDf = {0x00, 0xA4, 0x00, 0x0C, 0x02, 0x51, 0x00};
    OnEachSeed(4, [&](SeedRun& seedRun) {
        const std::uint64_t seed = seedRun.seed;
        ReaderMachine& machine = seedRun.machine;
        sim::UsbReader reader(sim::ReaderOptions{}, sim::MakeCard("dual", seed));
        seedRun.Run([&] {
            ASSERT_EQ(PlugStartAndOpen(machine, reader), STATUS_SUCCESS);
            Pause(2500); // the poller finds the card
            ASSERT_EQ(ColdResetToT0(machine), STATUS_SUCCESS);
            PDEVICE_EXTENSION extension = machine.Extension(0);
            PREADER_EXTENSION readerExtension = extension->SmartcardExtension.ReaderExtension;

            reader.Arm(sim::Fault::SlowNoWtx);
            KEVENT answered;
            KeInitializeEvent(&answered, NotificationEvent, FALSE);
            harness::IoctlResult transmit;
            std::uint64_t transmitEnded = 0;
            K().Spawn("app", [&] {
                transmit = machine.DeviceControl(0, IOCTL_SMARTCARD_TRANSMIT,
                                                 TransmitRequest(SCARD_PROTOCOL_T0, selectDf), 300);
                transmitEnded = K().Now();
                KeSetEvent(&answered, IO_NO_INCREMENT, FALSE);
            });
            Pause(2000);
            KIRQL irql;
            KeAcquireSpinLock(&extension->SpinLock, &irql);
            const LONG inside = extension->IoCount;
            KeReleaseSpinLock(&extension->SpinLock, irql);
            ASSERT_EQ(inside, 1) << "the transmit is inside the driver";

            PowerWatch watch(extension);
            ASSERT_EQ(power::Sleep(PowerSystemSleeping3), STATUS_SUCCESS);
            const std::uint64_t slept = K().Now();
            ASSERT_EQ(watch.gateAtQuery.size(), 1u);
            EXPECT_TRUE(watch.gateAtQuery[0]) << "the gate stays open";
            EXPECT_EQ(watch.BusSaw(" power query S3"), 0u) << "the driver answered the query itself";
            EXPECT_EQ(watch.BusSaw(" power set S3"), 1u);
            EXPECT_EQ(watch.BusSaw(" power set D3"), 1u);
            const auto journal = power::Journal();
            EXPECT_EQ(Count(journal, "query S3 <- STATUS_SUCCESS"), 1u);
            EXPECT_EQ(Count(journal, "request set D3 -> " +
                                         Io().Internals().devices.Label(machine.Readers()[0].device)),
                      1u);
            // The query left it open for the request inside; the power-down
            // closed it, so that no new request meets the sleeping reader.
            EXPECT_EQ(KeReadStateEvent(&extension->ReaderStarted), 0);
            EXPECT_EQ(readerExtension->PowerState, READER_POWERED_DOWN);

            KeWaitForSingleObject(&answered, Executive, KernelMode, FALSE, nullptr);
            EXPECT_EQ(transmit.status, STATUS_SUCCESS) << "the power-down waited for the reader command";
            EXPECT_EQ(transmit.output.size(), kHeaderLength + 2);
            if (transmit.output.size() == kHeaderLength + 2) {
                EXPECT_EQ(transmit.output[kHeaderLength], 0x90);
                EXPECT_EQ(transmit.output[kHeaderLength + 1], 0x00);
            }
            EXPECT_LE(transmitEnded, slept);

            ASSERT_EQ(power::Wake(), STATUS_SUCCESS);
            EXPECT_EQ(readerExtension->PowerState, READER_POWERED);
            EXPECT_NE(KeReadStateEvent(&extension->ReaderStarted), 0) << "the wake opened it again";
            EXPECT_EQ(machine.Close(0), STATUS_SUCCESS);
            EXPECT_EQ(machine.Pnp(0, IRP_MN_REMOVE_DEVICE), STATUS_SUCCESS);
        });
    });
}

// Sleep and wake on one thread while another sends card-tracking waits,
// cancels them and closes its handle, on many seeds and, last, the reader
// surprise-removed: every request completes exactly once and the run ends
// with nothing left behind.
TEST(DriverPower, SleepAndWakeRaceWaitsCancelsAndSurpriseRemoval) {
    OnEachSeed(8, [&](SeedRun& seedRun) {
        const std::uint64_t seed = seedRun.seed;
        ReaderMachine& machine = seedRun.machine;
        sim::UsbReader reader(sim::ReaderOptions{}, sim::MakeCard("dual", seed));
        std::vector<harness::AsyncRequest> finished;
        seedRun.Run([&] {
            ASSERT_EQ(PlugStartAndOpen(machine, reader), STATUS_SUCCESS);
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
        }, [&] {
            for (const auto& request : finished) EXPECT_EQ(request.completions, 1u) << "seed " << seed;
        });
    });
}

} // namespace
} // namespace qv::test
