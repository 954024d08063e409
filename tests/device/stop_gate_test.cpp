// The gate that device-control requests pass (ReaderStarted and the count
// IoCount) across a stop that is refused and one that goes through: a
// refused query cancelled while its request is still inside leaves the count
// right, and requests waiting on a handle kept open across a stop come in
// only when the restart has finished its start sequence.
#include <gtest/gtest.h>

#include <cstring>

#include "card/card_service_bed.h"
#include "cards/card_catalogue.h"
#include "device.h"
#include "harness/reader_machine.h"
#include "support/kernel_run.h"
#include "support/machine_helpers.h"
#include "support/seed_run.h"
#include "harness/seeds.h"
#include "usb_reader.h"

namespace qv::test {
namespace {

using harness::ReaderMachine;

LONG RequestsInside(PDEVICE_EXTENSION extension) {
    KIRQL irql;
    KeAcquireSpinLock(&extension->SpinLock, &irql);
    const LONG inside = extension->IoCount;
    KeReleaseSpinLock(&extension->SpinLock, irql);
    return inside;
}

// A transmit held inside by a reader that takes 20 s to answer: the query is
// refused as busy and cancelled; when the transmit leaves, the count is back
// at 0, and the next query with nothing inside is accepted and closes the
// gate again.
TEST(StopGate, ACancelledQueryLeavesTheCountOfTheRequestInside) {
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

            reader.Arm(sim::Fault::SlowNoWtx);
            KEVENT answered;
            KeInitializeEvent(&answered, NotificationEvent, FALSE);
            NTSTATUS transmit = STATUS_PENDING;
            K().Spawn("app", [&] {
                transmit = machine.DeviceControl(0, IOCTL_SMARTCARD_TRANSMIT,
                                                 TransmitRequest(SCARD_PROTOCOL_T0, selectDf), 300)
                               .status;
                KeSetEvent(&answered, IO_NO_INCREMENT, FALSE);
            });
            Pause(2000);
            ASSERT_EQ(RequestsInside(extension), 1);
            EXPECT_EQ(machine.Pnp(0, IRP_MN_QUERY_STOP_DEVICE), STATUS_DEVICE_BUSY);
            // The Plug and Play manager follows the refused query with its cancel.
            EXPECT_EQ(RequestsInside(extension), 1) << "the transmit is still inside";
            KeWaitForSingleObject(&answered, Executive, KernelMode, FALSE, nullptr);
            EXPECT_EQ(transmit, STATUS_SUCCESS);
            EXPECT_EQ(RequestsInside(extension), 0);

            EXPECT_EQ(machine.Pnp(0, IRP_MN_QUERY_STOP_DEVICE), STATUS_SUCCESS);
            EXPECT_EQ(KeReadStateEvent(&extension->ReaderStarted), 0) << "the gate is closed for the stop";
            EXPECT_EQ(machine.Pnp(0, IRP_MN_CANCEL_STOP_DEVICE), STATUS_SUCCESS);
            EXPECT_EQ(machine.Close(0), STATUS_SUCCESS);
            EXPECT_EQ(machine.Pnp(0, IRP_MN_REMOVE_DEVICE), STATUS_SUCCESS);
        });
    });
}

// A request sent on a handle kept open across a stop waits; the restart's
// reader commands (link reset, reader information, set-up) all go out before
// the request gets in, so the request finds the reader as the start left it:
// the version it reads is the one the reader reported.
TEST(StopGate, ARequestWaitingAcrossAStopComesInAfterTheStartSequence) {
    OnEachSeed(4, [&](SeedRun& seedRun) {
        const std::uint64_t seed = seedRun.seed;
        ReaderMachine& machine = seedRun.machine;
        sim::UsbReader reader(sim::ReaderOptions{}, sim::MakeCard("dual", seed));
        seedRun.Run([&] {
            ASSERT_EQ(PlugStartAndOpen(machine, reader), STATUS_SUCCESS);
            const ULONG versionId = ATTR_READER_VERSION;
            const auto before = machine.DeviceControl(0, IOCTL_SMARTCARD_GET_ATTRIBUTE, AsInput(versionId), 4);
            ASSERT_EQ(before.status, STATUS_SUCCESS);

            ASSERT_EQ(machine.Pnp(0, IRP_MN_QUERY_STOP_DEVICE), STATUS_SUCCESS);
            ASSERT_EQ(machine.Pnp(0, IRP_MN_STOP_DEVICE), STATUS_SUCCESS);
            KEVENT answered;
            KeInitializeEvent(&answered, NotificationEvent, FALSE);
            harness::IoctlResult during;
            std::uint64_t transfersAtAnswer = 0;
            K().Spawn("app", [&] {
                during = machine.DeviceControl(0, IOCTL_SMARTCARD_GET_ATTRIBUTE, AsInput(versionId), 4);
                transfersAtAnswer = machine.Bus().Counters().outTransfers;
                KeSetEvent(&answered, IO_NO_INCREMENT, FALSE);
            });
            Pause(500);
            ASSERT_EQ(KeReadStateEvent(&answered), 0) << "the request waits while the reader is stopped";
            const std::uint64_t transfersBeforeStart = machine.Bus().Counters().outTransfers;
            ASSERT_EQ(machine.Pnp(0, IRP_MN_START_DEVICE), STATUS_SUCCESS);
            const std::uint64_t transfersAfterStart = machine.Bus().Counters().outTransfers;
            KeWaitForSingleObject(&answered, Executive, KernelMode, FALSE, nullptr);
            EXPECT_EQ(during.status, STATUS_SUCCESS);
            EXPECT_EQ(during.output, before.output) << "the version as the restart read it";
            EXPECT_GE(transfersAtAnswer, transfersAfterStart) << "answered after the start sequence";
            EXPECT_GT(transfersAfterStart, transfersBeforeStart);
            EXPECT_EQ(machine.Close(0), STATUS_SUCCESS);
            EXPECT_EQ(machine.Pnp(0, IRP_MN_REMOVE_DEVICE), STATUS_SUCCESS);
        });
    });
}

} // namespace
} // namespace qv::test
