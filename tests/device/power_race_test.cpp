// Sleep and wake racing the requests an application sends and the stop and
// restart of the reader, on QV_SEEDS and under every scheduling the kernel
// offers. Whatever the interleaving: every request is completed exactly once
// (a second completion is a bug check, a lost one a deadlock), with a status
// that fits what happened to it; an answer that claims success carries the
// card's data; and the run ends with nothing left behind (the unload audit).
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <random>
#include <set>
#include <string>

#include "card/card_service_bed.h"
#include "card/tracking_fixture.h"
#include "cards/card_catalogue.h"
#include "cards/iso_application.h"
#include "device.h"
#include "harness/reader_machine.h"
#include "kernel/status_names.h"
#include "power/power_manager.h"
#include "support/kernel_run.h"
#include "support/machine_helpers.h"
#include "support/seed_run.h"
#include "harness/seeds.h"
#include "usb_reader.h"

namespace qv::test {
namespace {

using harness::ReaderMachine;

constexpr SYSTEM_POWER_STATE kSleepStates[] = {PowerSystemSleeping1, PowerSystemSleeping2, PowerSystemSleeping3,
                                               PowerSystemHibernate, PowerSystemShutdown};

const Bytes kSelectDf = {0x00, 0xA4, 0x00, 0x0C, 0x02, 0x51, 0x00};
const Bytes kSelectData = {0x00, 0xA4, 0x00, 0x0C, 0x02, 0x01, 0x01};
const Bytes kRead64 = {0x00, 0xB0, 0x00, 0x00, 0x40};

// The bus of each seed's machine completes a share of requests later from
// a DPC, drawn from the seed.
void RaceBus(std::uint64_t seed, MachineConfig&, usb::UsbBusConfig& bus) {
    bus.asyncPercent = static_cast<unsigned>((seed * 37) % 101);
}

// What a request may end with when the reader sleeps, wakes, stops or
// restarts under it. Success, or: the card lost its power with the reader
// and has to be reset (STATUS_INVALID_DEVICE_STATE, STATUS_NO_MEDIA when the
// library has not seen it back yet); a reader command that found the reader
// suspended or unconfigured (STATUS_IO_TIMEOUT, the card services' verdict on
// a failed reader command, or the transport's own failure when the library
// reports it as it came); a T=1 exchange the power-down cut off between two
// of its blocks (STATUS_DEVICE_PROTOCOL_ERROR, the library's verdict: the
// power-down waits for a reader command, and the blocks of a T=1 exchange go
// to the transport without one); the reader stopped
// (STATUS_DEVICE_NOT_READY) or pulled (STATUS_DEVICE_REMOVED).
// Never STATUS_PENDING, never a request left without an answer.
const std::set<NTSTATUS>& FittingStatuses() {
    static const std::set<NTSTATUS> statuses = {
        STATUS_SUCCESS,           STATUS_INVALID_DEVICE_STATE, STATUS_NO_MEDIA,           STATUS_IO_TIMEOUT,
        STATUS_DEVICE_NOT_READY,  STATUS_UNSUCCESSFUL,         STATUS_DEVICE_DATA_ERROR,  STATUS_IO_DEVICE_ERROR,
        STATUS_INVALID_HANDLE,    STATUS_DEVICE_NOT_CONNECTED, STATUS_UNRECOGNIZED_MEDIA, STATUS_CANCELLED,
        STATUS_DEVICE_REMOVED,    STATUS_DEVICE_PROTOCOL_ERROR,
    };
    return statuses;
}

std::string CodeText(ULONG code) {
    char text[32];
    std::snprintf(text, sizeof text, "control code 0x%08X", static_cast<unsigned>(code));
    return text;
}

// An application that keeps its card powered and reads its data file: it
// powers the card and selects the file whenever a failure shows that the
// card lost its power, and checks every answer that claims success.
class Application {
  public:
    Application(ReaderMachine& machine, ULONG protocol) : machine_(machine), protocol_(protocol) {}

    void Round() {
        if (!ready_) ready_ = Prepare();
        if (!ready_) return;
        const harness::IoctlResult read = Send(IOCTL_SMARTCARD_TRANSMIT, TransmitRequest(protocol_, kRead64), 300);
        if (read.status != STATUS_SUCCESS) {
            ready_ = false;
            return;
        }
        bool right = read.output.size() == kHeaderLength + 0x40 + 2;
        for (std::size_t i = 0; right && i < 0x40; ++i) right = read.output[kHeaderLength + i] == sim::DataFileByte(i);
        if (right) right = read.output[kHeaderLength + 0x40] == 0x90 && read.output[kHeaderLength + 0x41] == 0x00;
        if (right) {
            ++reads;
        } else {
            wrongAnswers.push_back("read of " + std::to_string(read.output.size()) + " bytes");
        }
    }

    unsigned reads = 0;
    std::vector<std::string> wrongAnswers;
    std::vector<std::string> unfitting;
    std::set<NTSTATUS> seen;
    std::vector<std::string> history; // for the report of a failure

  private:
    bool Prepare() {
        if (Send(IOCTL_SMARTCARD_POWER, AsInput(SCARD_COLD_RESET), 64).status != STATUS_SUCCESS) return false;
        if (Send(IOCTL_SMARTCARD_SET_PROTOCOL, AsInput(protocol_), sizeof(ULONG)).status != STATUS_SUCCESS)
            return false;
        for (const Bytes& select : {kSelectDf, kSelectData}) {
            const harness::IoctlResult answer = Send(IOCTL_SMARTCARD_TRANSMIT, TransmitRequest(protocol_, select), 300);
            if (answer.status != STATUS_SUCCESS) return false;
            if (answer.output.size() != kHeaderLength + 2 || answer.output[kHeaderLength] != 0x90) {
                wrongAnswers.push_back("select answered with " + std::to_string(answer.output.size()) + " bytes");
                return false;
            }
        }
        return true;
    }

    harness::IoctlResult Send(ULONG code, const Bytes& input, ULONG outputLength) {
        harness::IoctlResult result = machine_.DeviceControl(0, code, input, outputLength);
        seen.insert(result.status);
        history.push_back(std::to_string(K().Now() / kTicksPerMillisecond) + " ms " + CodeText(code) + ": " +
                          NtStatusName(result.status));
        if (!FittingStatuses().contains(result.status))
            unfitting.push_back(CodeText(code) + ": " + NtStatusName(result.status));
        return result;
    }

    ReaderMachine& machine_;
    ULONG protocol_;
    bool ready_ = false;
};

// Sleeps and wakes the system, with pauses drawn from the seed.
void SleepAndWake(std::mt19937_64& random, int rounds) {
    for (int round = 0; round < rounds; ++round) {
        const SYSTEM_POWER_STATE state = kSleepStates[random() % std::size(kSleepStates)];
        EXPECT_EQ(power::Sleep(state), STATUS_SUCCESS);
        Pause(static_cast<std::int64_t>(random() % 700));
        EXPECT_EQ(power::Wake(), STATUS_SUCCESS);
        Pause(static_cast<std::int64_t>(random() % 900));
    }
}

struct Done {
    Done() { KeInitializeEvent(&event, NotificationEvent, FALSE); }
    void Set() { KeSetEvent(&event, IO_NO_INCREMENT, FALSE); }
    void Wait() { KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr); }
    KEVENT event{};
};

std::string History(const Application& app) {
    std::string text;
    for (const std::string& line : app.history) text += line + "\n";
    return text;
}

// The Plug and Play manager's hold on the device tree, which system power
// transitions and rebalances take in turn.
struct DeviceTree {
    DeviceTree() { KeInitializeEvent(&free, SynchronizationEvent, TRUE); }
    void Lock() { KeWaitForSingleObject(&free, Executive, KernelMode, FALSE, nullptr); }
    void Unlock() { KeSetEvent(&free, IO_NO_INCREMENT, FALSE); }
    KEVENT free{};
};

void ExpectCleanApplication(const Application& app, const std::string& where) {
    EXPECT_TRUE(app.wrongAnswers.empty()) << where << ": " << app.wrongAnswers.front();
    EXPECT_TRUE(app.unfitting.empty()) << where << ": " << app.unfitting.front() << "\n" << History(app);
}

// Transmits under T=0 or T=1 (by the seed) on one thread, sleep and wake on
// another; after the races the reader wakes and reads once more, and is then
// removed in order or pulled out.
TEST(PowerRace, TransmitsRaceSleepAndWake) {
    OnEachSeedAndScheduling(4, [&](SeedRun& seedRun) {
        const std::uint64_t seed = seedRun.seed;
        const std::string& where = seedRun.where;
        ReaderMachine& machine = seedRun.machine;
        sim::UsbReader reader(sim::ReaderOptions{}, sim::MakeCard("dual", seed));
        const ULONG protocol = seed % 2 == 0 ? SCARD_PROTOCOL_T1 : SCARD_PROTOCOL_T0;
        Application app(machine, protocol);
        std::mt19937_64 random(seed);
        seedRun.Run([&] {
            ASSERT_EQ(machine.Plug(reader).status, STATUS_SUCCESS);
            ASSERT_EQ(machine.Pnp(0, IRP_MN_START_DEVICE), STATUS_SUCCESS);
            ASSERT_EQ(machine.Open(0), STATUS_SUCCESS);
            Done slept;
            Done sent;
            K().Spawn("sleeper", [&] {
                SleepAndWake(random, 2);
                slept.Set();
            });
            K().Spawn("app", [&] {
                for (int round = 0; round < 8; ++round) app.Round();
                sent.Set();
            });
            slept.Wait();
            sent.Wait();
            // Awake and working again: the application gets its data.
            Pause(2500);
            const unsigned before = app.reads;
            for (int round = 0; round < 3 && app.reads == before; ++round) app.Round();
            EXPECT_GT(app.reads, before) << where << ": the reader works after the races\n" << History(app);
            if (seed % 3 == 0) {
                EXPECT_EQ(machine.Unplug(0), STATUS_SUCCESS);
                EXPECT_EQ(machine.Close(0), STATUS_SUCCESS);
            } else {
                EXPECT_EQ(machine.Close(0), STATUS_SUCCESS);
                EXPECT_EQ(machine.Pnp(0, IRP_MN_QUERY_REMOVE_DEVICE), STATUS_SUCCESS);
                EXPECT_EQ(machine.Pnp(0, IRP_MN_REMOVE_DEVICE), STATUS_SUCCESS);
            }
            EXPECT_EQ(machine.Outstanding(), 0u);
        }, [&] {
            ExpectCleanApplication(app, where);
        });
    }, RaceBus);
}

// The Plug and Play side stops and restarts the reader (query, then stop and
// start, or cancel when the query is refused) while the system sleeps and
// wakes and an application transmits. Windows changes no device's Plug and
// Play state during a system power transition: the power manager holds the
// device tree from its first query until the stacks are awake again, and a
// rebalance holds it from its query to its restart. The test keeps that order
// with a lock of its own; everything else, the application's requests, the
// driver's power-up work and its poller, races freely. A restart that fails
// ends with the reader pulled, as the Plug and Play manager removes a device
// that failed to start.
TEST(PowerRace, StopAndRestartRaceSleepWakeAndTransmits) {
    OnEachSeedAndScheduling(4, [&](SeedRun& seedRun) {
        const std::uint64_t seed = seedRun.seed;
        const std::string& where = seedRun.where;
        ReaderMachine& machine = seedRun.machine;
        sim::UsbReader reader(sim::ReaderOptions{}, sim::MakeCard("dual", seed));
        Application app(machine, seed % 2 == 0 ? SCARD_PROTOCOL_T0 : SCARD_PROTOCOL_T1);
        std::mt19937_64 random(seed * 7919);
        std::mt19937_64 pnpRandom(seed * 104729);
        bool pulled = false;
        std::vector<std::string> pnpFailures;
        seedRun.Run([&] {
            ASSERT_EQ(machine.Plug(reader).status, STATUS_SUCCESS);
            ASSERT_EQ(machine.Pnp(0, IRP_MN_START_DEVICE), STATUS_SUCCESS);
            ASSERT_EQ(machine.Open(0), STATUS_SUCCESS);
            Done slept;
            Done sent;
            Done stopped;
            DeviceTree tree;
            K().Spawn("sleeper", [&] {
                for (int round = 0; round < 2; ++round) {
                    tree.Lock();
                    SleepAndWake(random, 1);
                    tree.Unlock();
                }
                slept.Set();
            });
            K().Spawn("app", [&] {
                for (int round = 0; round < 6; ++round) app.Round();
                sent.Set();
            });
            K().Spawn("pnp", [&] {
                for (int round = 0; round < 2 && !pulled; ++round) {
                    Pause(static_cast<std::int64_t>(pnpRandom() % 900));
                    tree.Lock();
                    const NTSTATUS query = machine.Pnp(0, IRP_MN_QUERY_STOP_DEVICE);
                    if (query != STATUS_SUCCESS) {
                        // The manager sends the cancel after a refused
                        // query itself, as Windows does.
                        if (query != STATUS_DEVICE_BUSY) pnpFailures.push_back("query-stop " + NtStatusName(query));
                        tree.Unlock();
                        continue;
                    }
                    const NTSTATUS stop = machine.Pnp(0, IRP_MN_STOP_DEVICE);
                    if (stop != STATUS_SUCCESS) pnpFailures.push_back("stop " + NtStatusName(stop));
                    Pause(static_cast<std::int64_t>(pnpRandom() % 300));
                    const NTSTATUS start = machine.Pnp(0, IRP_MN_START_DEVICE);
                    if (start != STATUS_SUCCESS) {
                        pnpFailures.push_back("start " + NtStatusName(start));
                        EXPECT_EQ(machine.Unplug(0), STATUS_SUCCESS) << where;
                        pulled = true;
                    }
                    tree.Unlock();
                }
                stopped.Set();
            });
            slept.Wait();
            sent.Wait();
            stopped.Wait();
            if (!pulled) {
                Pause(2500); // the poller finds the card again
                const unsigned before = app.reads;
                for (int round = 0; round < 3 && app.reads == before; ++round) app.Round();
                EXPECT_GT(app.reads, before) << where << ": the reader works after the races\n" << History(app);
                EXPECT_EQ(machine.Unplug(0), STATUS_SUCCESS);
            }
            EXPECT_EQ(machine.Close(0), STATUS_SUCCESS);
            EXPECT_EQ(machine.Outstanding(), 0u);
        }, [&] {
            ExpectCleanApplication(app, where);
            EXPECT_TRUE(pnpFailures.empty()) << where << ": " << pnpFailures.front();
        });
    }, RaceBus);
}

} // namespace
} // namespace qv::test
