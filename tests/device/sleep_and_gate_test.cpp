// The reader's sleep and the request gate: a sleep lets the card operation
// under way finish and then nothing reaches the suspended reader, not even
// the poller; a wake whose first poll fails still reports the card known
// from before; and a wake opens the gate only as far as Plug and Play left
// it open (a stop asked for, a start held back, a stopped reader).
#include <gtest/gtest.h>

#include <atomic>
#include <string>

#include "card/card_service_bed.h"
#include "card/tracking_fixture.h"
#include "cards/card_catalogue.h"
#include "device.h"
#include "harness/reader_machine.h"
#include "power/power_manager.h"
#include "support/kernel_run.h"
#include "support/machine_helpers.h"
#include "support/seed_run.h"
#include "harness/seeds.h"
#include "usb_reader.h"

namespace qv::test {
namespace {

using harness::ReaderMachine;

// An echo for which the card asks for more time three times before it
// answers: a T=1 exchange of several blocks that takes seconds.
const Bytes kSlowEcho = {0x80, 0xE4, 0x03, 0x00, 0x04, 0x51, 0x56, 0x53, 0x43, 0x04};

NTSTATUS PowerUpUnderT1(ReaderMachine& machine) {
    NTSTATUS status = machine.DeviceControl(0, IOCTL_SMARTCARD_POWER, AsInput(SCARD_COLD_RESET), 64).status;
    if (NT_SUCCESS(status)) {
        status = machine.DeviceControl(0, IOCTL_SMARTCARD_SET_PROTOCOL, AsInput(SCARD_PROTOCOL_T1), 4).status;
    }
    return status;
}

// A sleep that comes while a T=1 exchange goes on between the card and the
// application lets it end first: it does not cut the card off between two
// blocks. Then, for the whole sleep, the driver sends nothing to the
// suspended reader: no card service ending late starts the poller's timer
// again behind the power-down.
TEST(ReaderSleep, AnExchangeUnderWayEndsFirstAndNothingReachesTheSuspendedReader) {
    OnEachSeedAndScheduling(4, [&](SeedRun& seedRun) {
        const std::uint64_t seed = seedRun.seed;
        const std::string& where = seedRun.where;
        ReaderMachine& machine = seedRun.machine;
        sim::UsbReader reader(sim::ReaderOptions{}, sim::MakeCard("dual", seed));
        seedRun.Run([&] {
            ASSERT_EQ(PlugStartAndOpen(machine, reader), STATUS_SUCCESS) << where;
            Pause(2500); // the poller finds the card
            ASSERT_EQ(PowerUpUnderT1(machine), STATUS_SUCCESS) << where;
            harness::IoctlResult echo;
            KEVENT answered;
            KeInitializeEvent(&answered, NotificationEvent, FALSE);
            K().Spawn("application", [&] {
                echo = machine.DeviceControl(0, IOCTL_SMARTCARD_TRANSMIT,
                                             TransmitRequest(SCARD_PROTOCOL_T1, kSlowEcho), 300);
                KeSetEvent(&answered, IO_NO_INCREMENT, FALSE);
            });
            Pause(50); // the exchange is under way
            const std::uint64_t before = machine.Bus().Counters().whileSuspended;
            ASSERT_EQ(power::Sleep(PowerSystemSleeping3), STATUS_SUCCESS) << where;
            KeWaitForSingleObject(&answered, Executive, KernelMode, FALSE, nullptr);
            EXPECT_EQ(echo.status, STATUS_SUCCESS) << where;
            const Bytes expected = {0x51, 0x56, 0x53, 0x43, 0x90, 0x00};
            EXPECT_EQ(Bytes(echo.output.begin() + std::min<std::size_t>(kHeaderLength, echo.output.size()),
                            echo.output.end()),
                      expected)
                << where;
            Pause(3500); // three ticks of the poller's timer, were it running
            EXPECT_EQ(machine.Bus().Counters().whileSuspended, before)
                << where << ": requests were sent to the suspended reader";
            ASSERT_EQ(power::Wake(), STATUS_SUCCESS) << where;
            EXPECT_EQ(machine.Close(0), STATUS_SUCCESS) << where;
        });
    });
}

// The poll at power-up finds the reader not yet answering (every transfer to
// it fails). The card known from before the sleep is still reported, by the
// next poll that gets through: the failed one left the link to be
// resynchronised and the report to be made.
TEST(ReaderSleep, AWakeWhoseFirstPollFailsStillReportsTheCardKnownFromBefore) {
    OnEachSeed(4, [&](SeedRun& seedRun) {
        const std::uint64_t seed = seedRun.seed;
        ReaderMachine& machine = seedRun.machine;
        sim::UsbReader reader(sim::ReaderOptions{}, sim::MakeCard("dual", seed));
        const std::string& where = seedRun.where;
        seedRun.Run([&] {
            ASSERT_EQ(PlugStartAndOpen(machine, reader), STATUS_SUCCESS);
            Pause(2500);
            ASSERT_EQ(ColdResetToT0(machine), STATUS_SUCCESS);
            harness::AsyncRequest& wait = machine.SendAsync(0, IOCTL_SMARTCARD_IS_ABSENT);
            Pause(20);
            ASSERT_FALSE(wait.done);
            ASSERT_EQ(power::Sleep(PowerSystemSleeping3), STATUS_SUCCESS);
            Pause(1000);
            reader.Faults().Arm(sim::Fault::OutFail, 1000);
            ASSERT_EQ(power::Wake(), STATUS_SUCCESS);
            const unsigned failed = reader.Faults().Fired(sim::Fault::OutFail);
            reader.Faults().Disarm(sim::Fault::OutFail);
            EXPECT_GT(failed, 0u) << where << ": the power-up's poll reached the reader";
            EXPECT_FALSE(wait.done) << where << ": nothing was reported while the reader failed";
            for (int step = 0; step < 30 && !wait.done; ++step) Pause(100);
            EXPECT_TRUE(wait.done) << where << ": the card known before the sleep was never reported";
            if (wait.done) {
                EXPECT_EQ(wait.status, STATUS_SUCCESS) << where;
            }
            if (!wait.done) machine.Cancel(wait.irp);
            machine.Reap();
            EXPECT_EQ(machine.Close(0), STATUS_SUCCESS);
        });
    });
}

// What a wake finds of the gate: requests a stopped, stopping or not yet
// started reader holds stay held through a sleep and a wake, and go on only
// when Plug and Play lets them. GET_STATE needs no reader command, so it
// shows the gate itself: held, it does not complete.
TEST(ReaderSleep, AWakeOpensTheGateOnlyAsFarAsPlugAndPlayLeftIt) {
    enum class Left { StopAsked, Stopped, NeverStarted };
    for (Left left : {Left::StopAsked, Left::Stopped, Left::NeverStarted}) {
        OnEachSeed(2, [&](SeedRun& seedRun) {
            const std::uint64_t seed = seedRun.seed;
            ReaderMachine& machine = seedRun.machine;
            sim::UsbReader reader(sim::ReaderOptions{}, sim::MakeCard("dual", seed));
            seedRun.where = "case " + std::to_string(static_cast<int>(left)) + ", seed " + std::to_string(seed);
            const std::string& where = seedRun.where;
            seedRun.Run([&] {
                const harness::PlugStart start = left == Left::NeverStarted ? harness::PlugStart::Held
                                                                            : harness::PlugStart::Now;
                ASSERT_EQ(machine.Plug(reader, {}, start).status, STATUS_SUCCESS) << where;
                if (left == Left::StopAsked) {
                    ASSERT_EQ(machine.Pnp(0, IRP_MN_QUERY_STOP_DEVICE), STATUS_SUCCESS);
                }
                if (left == Left::Stopped) {
                    ASSERT_EQ(machine.Pnp(0, IRP_MN_STOP_DEVICE), STATUS_SUCCESS);
                }
                PDEVICE_EXTENSION extension = machine.Extension(0);
                ASSERT_EQ(power::Sleep(PowerSystemSleeping3), STATUS_SUCCESS) << where;
                ASSERT_EQ(power::Wake(), STATUS_SUCCESS) << where;
                EXPECT_EQ(KeReadStateEvent(&extension->ReaderStarted), 0) << where << ": the wake opened the gate";

                // A kernel-mode request (no handle can be opened now) waits
                // at the gate, in its sender's thread, until the reader is back.
                std::atomic<bool> done = false;
                std::atomic<NTSTATUS> status = STATUS_PENDING;
                K().Spawn("kernel-mode client", [&] {
                    status = machine.DeviceControl(0, IOCTL_SMARTCARD_GET_STATE, {}, sizeof(ULONG)).status;
                    done = true;
                });
                Pause(1500);
                EXPECT_FALSE(done) << where << ": a request went in while Plug and Play held the reader";
                const UCHAR back = left == Left::StopAsked ? IRP_MN_CANCEL_STOP_DEVICE : IRP_MN_START_DEVICE;
                ASSERT_EQ(machine.Pnp(0, back), STATUS_SUCCESS) << where;
                for (int step = 0; step < 20 && !done; ++step) Pause(100);
                EXPECT_TRUE(done) << where;
                EXPECT_EQ(status.load(), STATUS_SUCCESS) << where;
            });
        });
    }
}

} // namespace
} // namespace qv::test
