// Bulk transfers through the bus driver: lengths and short transfers, NAKs
// and their retries in virtual time, stalls, bus errors and the halted pipe,
// cancellation, a device that goes away, and completions at once or later
// as the seed decides.
#include <gtest/gtest.h>

#include <string>

#include "harness/seeds.h"
#include "support/usb_test_client.h"
#include "usb/usb_timing.h"

namespace qv::test {
namespace {

using usb::TransferStatus;
namespace timing = usb::timing;

constexpr ULONG kInFlags = USBD_TRANSFER_DIRECTION_IN | USBD_SHORT_TRANSFER_OK;
constexpr ULONG kOutFlags = USBD_SHORT_TRANSFER_OK;
constexpr ULONG kPacket = 64;
constexpr std::uint64_t kSeeds = 8;

struct Transfer {
    NTSTATUS status;
    USBD_STATUS usbd;
    ULONG length;
    std::vector<std::uint8_t> data;
    bool operator==(const Transfer&) const = default;
};

Transfer Send(UsbTestClient& client, USBD_PIPE_HANDLE pipe, std::vector<std::uint8_t> data, ULONG flags = kOutFlags) {
    URB urb = UsbTestClient::BulkRequest(pipe, data.data(), static_cast<ULONG>(data.size()), flags);
    const NTSTATUS status = client.Submit(&urb);
    return {status, urb.UrbHeader.Status, urb.UrbBulkOrInterruptTransfer.TransferBufferLength, {}};
}

Transfer Receive(UsbTestClient& client, USBD_PIPE_HANDLE pipe, ULONG length = kPacket, ULONG flags = kInFlags) {
    std::vector<std::uint8_t> buffer(length);
    URB urb = UsbTestClient::BulkRequest(pipe, buffer.data(), length, flags);
    const NTSTATUS status = client.Submit(&urb);
    const ULONG got = urb.UrbBulkOrInterruptTransfer.TransferBufferLength;
    buffer.resize(std::min(got, length));
    return {status, urb.UrbHeader.Status, got, buffer};
}

// A pending IN transfer with the buffer and URB it needs.
struct PendingIn {
    std::vector<std::uint8_t> buffer = std::vector<std::uint8_t>(kPacket);
    URB urb;
    std::unique_ptr<UsbTestClient::InFlight> flight;

    PendingIn(UsbTestClient& client, USBD_PIPE_HANDLE pipe)
        : urb(UsbTestClient::BulkRequest(pipe, buffer.data(), kPacket, kInFlags)), flight(client.Start(&urb)) {}
};

void Sleep(VirtualTime ticks) {
    LARGE_INTEGER interval;
    interval.QuadPart = -static_cast<LONGLONG>(ticks);
    KeDelayExecutionThread(KernelMode, FALSE, &interval);
}

const std::vector<std::uint8_t> kCommand = {0x12, 0xC0, 0x00, 0xD2};
const std::vector<std::uint8_t> kReply = {0x04, 0x21, 0xE0, 0x00, 0xC1};

TEST(UsbBusTransfer, LengthsShortTransfersAndZeroLengthPackets) {
    UsbBed bed;
    bed.device.QueueIn(kInEndpoint, kReply);
    bed.device.QueueIn(kInEndpoint, kReply);
    bed.device.QueueIn(kInEndpoint, std::vector<std::uint8_t>{});
    bed.device.QueueOut(kOutEndpoint, {.accept = 2});
    bed.device.QueueOut(kOutEndpoint, {.accept = 2});
    bed.Run([&](UsbTestClient& client) {
        std::vector<USBD_PIPE_HANDLE> pipes = bed.Configure(client);

        EXPECT_EQ(Receive(client, pipes[0]), (Transfer{STATUS_SUCCESS, USBD_STATUS_SUCCESS, 5, kReply}));
        EXPECT_EQ(Receive(client, pipes[0], kPacket, USBD_TRANSFER_DIRECTION_IN),
                  (Transfer{STATUS_UNSUCCESSFUL, USBD_STATUS_ERROR_SHORT_TRANSFER, 5, kReply}))
            << "short without USBD_SHORT_TRANSFER_OK";
        EXPECT_EQ(Receive(client, pipes[0]), (Transfer{STATUS_SUCCESS, USBD_STATUS_SUCCESS, 0, {}}));

        EXPECT_EQ(Send(client, pipes[1], kCommand), (Transfer{STATUS_SUCCESS, USBD_STATUS_SUCCESS, 2, {}}));
        EXPECT_EQ(Send(client, pipes[1], kCommand, 0),
                  (Transfer{STATUS_UNSUCCESSFUL, USBD_STATUS_ERROR_SHORT_TRANSFER, 2, {}}));
        EXPECT_EQ(Send(client, pipes[1], kCommand), (Transfer{STATUS_SUCCESS, USBD_STATUS_SUCCESS, 4, {}}));
        ASSERT_EQ(bed.device.Seen().received.size(), 3u);
        EXPECT_EQ(bed.device.Seen().received[2].data, kCommand);
        EXPECT_EQ(bed.device.Seen().received[2].endpoint, kOutEndpoint);
    });
    EXPECT_EQ(bed.bus.Counters().outTransfers, 3u);
    EXPECT_EQ(bed.bus.Counters().bytesOut, 6u) << "the failed transfer's bytes are not counted";
}

TEST(UsbBusTransfer, MalformedTransfersAreRefusedBeforeTheWire) {
    UsbBed bed;
    bed.Run([&](UsbTestClient& client) {
        std::vector<USBD_PIPE_HANDLE> pipes = bed.Configure(client);
        EXPECT_EQ(Send(client, pipes[0], kCommand).usbd, USBD_STATUS_INVALID_PARAMETER) << "OUT on the IN pipe";
        EXPECT_EQ(Receive(client, pipes[1]).usbd, USBD_STATUS_INVALID_PARAMETER) << "IN on the OUT pipe";
        URB missing = UsbTestClient::BulkRequest(pipes[1], nullptr, 4, kOutFlags);
        EXPECT_EQ(client.Submit(&missing), STATUS_INVALID_PARAMETER);
        URB shortUrb = UsbTestClient::BulkRequest(pipes[1], nullptr, 0, kOutFlags);
        shortUrb.UrbHeader.Length = sizeof(struct _URB_PIPE_REQUEST);
        EXPECT_EQ(client.Submit(&shortUrb), STATUS_INVALID_PARAMETER);
        URB unknown = UsbTestClient::BulkRequest(reinterpret_cast<USBD_PIPE_HANDLE>(0x1000), nullptr, 0, kOutFlags);
        EXPECT_EQ(client.Submit(&unknown), STATUS_INVALID_PARAMETER);
        EXPECT_EQ(unknown.UrbHeader.Status, USBD_STATUS_INVALID_PIPE_HANDLE);
        EXPECT_TRUE(bed.device.Seen().received.empty());
        EXPECT_TRUE(bed.device.Seen().inAsked.empty());
    });
}

// A transfer starts at the next frame and ends after its bytes have passed,
// whether the caller waits inside the dispatch routine or for a DPC.
TEST(UsbBusTransfer, ATransferCostsItsFrameAndItsBytes) {
    for (const unsigned asyncPercent : {0u, 100u}) {
        UsbBed bed(1, asyncPercent);
        bed.Run([&](UsbTestClient& client) {
            std::vector<USBD_PIPE_HANDLE> pipes = bed.Configure(client);
            Sleep(timing::kFrame / 3);
            const VirtualTime start = K().Now();
            EXPECT_EQ(Send(client, pipes[1], std::vector<std::uint8_t>(kPacket)).status, STATUS_SUCCESS);
            const VirtualTime due = timing::NextFrame(start) + timing::BulkTime(kPacket, kPacket);
            EXPECT_GE(K().Now(), due) << "async " << asyncPercent;
            EXPECT_LT(K().Now(), due + 100 * kTicksPerMicrosecond) << "async " << asyncPercent;
            ASSERT_EQ(bed.device.Seen().received.size(), 1u);
            EXPECT_GE(bed.device.Seen().received[0].time, timing::NextFrame(start)) << "the device sees it in the next frame";
        });
        EXPECT_EQ(asyncPercent == 0 ? bed.bus.Counters().completedLater : bed.bus.Counters().completedAtOnce, 0u);
    }
}

TEST(UsbBusTransfer, ANakedTransferCompletesWhenTheDeviceIsReady) {
    for (std::uint64_t seed : harness::RunSeeds(kSeeds)) {
        UsbBed bed(seed);
        const VirtualTime ready = 7 * timing::kFrame + 3 * kTicksPerMicrosecond * 100;
        bed.device.QueueIn(kInEndpoint, {.data = kReply, .readyAt = ready});
        bed.Run([&](UsbTestClient& client) {
            std::vector<USBD_PIPE_HANDLE> pipes = bed.Configure(client);
            ASSERT_LT(K().Now(), ready);
            PendingIn in(client, pipes[0]);
            EXPECT_EQ(in.flight->returned, STATUS_PENDING) << "seed " << seed;
            EXPECT_EQ(in.flight->Wait(), STATUS_SUCCESS) << "seed " << seed;
            const VirtualTime due = timing::FrameAtOrAfter(ready) + timing::BulkTime(kReply.size(), kPacket);
            EXPECT_GE(K().Now(), due) << "seed " << seed;
            EXPECT_LT(K().Now(), due + timing::kFrame) << "seed " << seed;
            EXPECT_EQ(std::vector<std::uint8_t>(in.buffer.begin(), in.buffer.begin() + 5), kReply);
            EXPECT_EQ(bed.device.Seen().inAsked.size(), 2u) << "asked once, then at the time it named";
        });
        EXPECT_EQ(bed.bus.Counters().naks, 1u);
    }
}

TEST(UsbBusTransfer, ANakWithoutRetryTimeWaitsForTheNextOutTransfer) {
    for (std::uint64_t seed : harness::RunSeeds(kSeeds)) {
        UsbBed bed(seed);
        bed.device.QueueIn(kInEndpoint, {.data = kReply, .afterOut = true});
        bed.Run([&](UsbTestClient& client) {
            std::vector<USBD_PIPE_HANDLE> pipes = bed.Configure(client);
            PendingIn in(client, pipes[0]);
            Sleep(20 * timing::kFrame);
            EXPECT_FALSE(in.flight->Done()) << "seed " << seed;
            EXPECT_EQ(bed.bus.PendingRequests(bed.pdo), 1u);
            EXPECT_EQ(bed.device.Seen().inAsked.size(), 1u) << "no polling without a reason, seed " << seed;

            EXPECT_EQ(Send(client, pipes[1], kCommand).status, STATUS_SUCCESS);
            const VirtualTime sent = K().Now();
            EXPECT_EQ(in.flight->Wait(), STATUS_SUCCESS) << "seed " << seed;
            EXPECT_LE(K().Now(), sent + 2 * timing::kFrame) << "seed " << seed;
            EXPECT_EQ(in.urb.UrbBulkOrInterruptTransfer.TransferBufferLength, kReply.size());
        });
    }
}

TEST(UsbBusTransfer, StallsAndBusErrorsHaltThePipeUntilItIsReset) {
    UsbBed bed;
    bed.device.QueueIn(kInEndpoint, {.status = TransferStatus::Stall});
    bed.device.QueueIn(kInEndpoint, kReply);
    bed.device.QueueOut(kOutEndpoint, {.status = TransferStatus::Error});
    std::vector<usb::TransferEvent> events;
    bed.bus.SetObserver([&](const usb::TransferEvent& event) { events.push_back(event); });
    bed.Run([&](UsbTestClient& client) {
        std::vector<USBD_PIPE_HANDLE> pipes = bed.Configure(client);
        EXPECT_EQ(Receive(client, pipes[0]), (Transfer{STATUS_UNSUCCESSFUL, USBD_STATUS_STALL_PID, 0, {}}));
        EXPECT_EQ(Receive(client, pipes[0]).usbd, USBD_STATUS_ENDPOINT_HALTED);
        EXPECT_EQ(bed.device.Seen().inAsked.size(), 1u) << "a halted pipe does not reach the device";
        EXPECT_EQ(Send(client, pipes[1], kCommand), (Transfer{STATUS_UNSUCCESSFUL, USBD_STATUS_XACT_ERROR, 0, {}}));

        URB reset = UsbTestClient::PipeRequest(URB_FUNCTION_RESET_PIPE, pipes[0]);
        EXPECT_EQ(client.Submit(&reset), STATUS_SUCCESS);
        EXPECT_EQ(bed.device.resets, std::vector<std::uint8_t>{kInEndpoint});
        EXPECT_EQ(Receive(client, pipes[0]).data, kReply);
        EXPECT_EQ(Send(client, pipes[1], kCommand).usbd, USBD_STATUS_ENDPOINT_HALTED) << "the other pipe is still halted";
    });
    ASSERT_EQ(events.size(), 6u);
    EXPECT_EQ(events[0].kind, usb::TransferKind::In);
    EXPECT_EQ(events[0].status, USBD_STATUS_STALL_PID);
    EXPECT_EQ(events[3].kind, usb::TransferKind::ResetPipe);
    EXPECT_EQ(events[3].endpoint, kInEndpoint);
    EXPECT_EQ(events[4].data, kReply);
    EXPECT_EQ(events[4].device, "dev");
    EXPECT_EQ(bed.bus.Counters().stalls, 1u);
    EXPECT_EQ(bed.bus.Counters().busErrors, 1u);
    EXPECT_EQ(bed.bus.Counters().pipeResets, 1u);
}

TEST(UsbBusTransfer, CancellingAPendingInLetsTheNextOneRun) {
    for (std::uint64_t seed : harness::RunSeeds(kSeeds)) {
        UsbBed bed(seed);
        bed.Run([&](UsbTestClient& client) {
            std::vector<USBD_PIPE_HANDLE> pipes = bed.Configure(client);
            PendingIn first(client, pipes[0]);
            PendingIn second(client, pipes[0]);
            Sleep(3 * timing::kFrame);
            bed.device.QueueIn(kInEndpoint, kReply);
            EXPECT_TRUE(first.flight->Cancel()) << "seed " << seed;
            EXPECT_EQ(first.flight->Wait(), STATUS_CANCELLED);
            EXPECT_EQ(first.urb.UrbHeader.Status, USBD_STATUS_CANCELED);
            EXPECT_EQ(first.urb.UrbBulkOrInterruptTransfer.TransferBufferLength, 0u);
            EXPECT_EQ(second.flight->Wait(), STATUS_SUCCESS) << "seed " << seed;
            EXPECT_EQ(second.urb.UrbBulkOrInterruptTransfer.TransferBufferLength, kReply.size());

            PendingIn aborted(client, pipes[0]);
            URB abort = UsbTestClient::PipeRequest(URB_FUNCTION_ABORT_PIPE, pipes[0]);
            EXPECT_EQ(client.Submit(&abort), STATUS_SUCCESS);
            EXPECT_EQ(aborted.flight->Wait(), STATUS_CANCELLED);
        });
        EXPECT_EQ(bed.bus.Counters().cancelled, 2u);
    }
}

TEST(UsbBusTransfer, AGoneDeviceFailsWhatIsPendingAndEverythingAfter) {
    for (std::uint64_t seed : harness::RunSeeds(kSeeds)) {
        UsbBed bed(seed);
        bed.Run([&](UsbTestClient& client) {
            std::vector<USBD_PIPE_HANDLE> pipes = bed.Configure(client);
            PendingIn in(client, pipes[0]);
            Sleep(2 * timing::kFrame);
            bed.bus.Unplug(bed.pdo);
            EXPECT_EQ(in.flight->Wait(), STATUS_DEVICE_NOT_CONNECTED) << "seed " << seed;
            EXPECT_EQ(in.urb.UrbHeader.Status, USBD_STATUS_DEVICE_GONE);
            EXPECT_EQ(Send(client, pipes[1], kCommand), (Transfer{STATUS_DEVICE_NOT_CONNECTED, USBD_STATUS_DEVICE_GONE, 0, {}}));
            EXPECT_EQ(client.Unconfigure(), STATUS_DEVICE_NOT_CONNECTED);
            EXPECT_TRUE(bed.device.Seen().received.empty());
        });
    }
}

TEST(UsbBusTransfer, ADeviceThatVanishesIsNoticedAtItsNextTransaction) {
    UsbBed bed;
    bed.device.QueueIn(kInEndpoint, {.status = TransferStatus::DeviceGone});
    bed.Run([&](UsbTestClient& client) {
        std::vector<USBD_PIPE_HANDLE> pipes = bed.Configure(client);
        PendingIn waiting(client, pipes[0]);
        EXPECT_EQ(waiting.flight->Wait(), STATUS_DEVICE_NOT_CONNECTED);
        EXPECT_EQ(Send(client, pipes[1], kCommand).usbd, USBD_STATUS_DEVICE_GONE);
    });
    UsbBed silent;
    silent.Run([&](UsbTestClient& client) {
        std::vector<USBD_PIPE_HANDLE> pipes = silent.Configure(client);
        silent.device.attached = false;
        EXPECT_EQ(Send(client, pipes[1], kCommand).usbd, USBD_STATUS_DEVICE_GONE);
        EXPECT_TRUE(silent.device.received.empty());
    });
}

// One exchange, run under many seeds: the seed decides which requests
// complete at once and which later, never what they deliver.
TEST(UsbBusTransfer, CompletionAtOnceOrLaterGivesTheSameResults) {
    auto exchange = [](std::uint64_t seed, usb::UsbBusCounters& counters, std::uint64_t& digest) {
        UsbBed bed(seed);
        bed.device.QueueIn(kInEndpoint, {.data = {0x00, 1, 2, 3}, .afterOut = true});
        bed.device.QueueIn(kInEndpoint, std::vector<std::uint8_t>{0x04, 4, 5});
        bed.device.QueueIn(kInEndpoint, std::vector<std::uint8_t>{0x04, 9});
        bed.device.QueueOut(kOutEndpoint, {.accept = 3});
        std::vector<Transfer> results;
        const RunResult run = bed.Run([&](UsbTestClient& client) {
            std::vector<USBD_PIPE_HANDLE> pipes = bed.Configure(client);
            results.push_back(Send(client, pipes[1], kCommand));
            results.push_back(Receive(client, pipes[0]));
            results.push_back(Receive(client, pipes[0]));
            results.push_back(Receive(client, pipes[0], kPacket, USBD_TRANSFER_DIRECTION_IN));
        });
        counters = bed.bus.Counters();
        digest = run.digest;
        return results;
    };
    std::uint64_t atOnce = 0, later = 0, digest = 0;
    usb::UsbBusCounters counters;
    const std::vector<Transfer> reference = exchange(1, counters, digest);
    ASSERT_EQ(reference.size(), 4u);
    EXPECT_EQ(reference[0].length, 3u);
    EXPECT_EQ(reference[2].data, (std::vector<std::uint8_t>{0x04, 4, 5}));
    EXPECT_EQ(reference[3].usbd, USBD_STATUS_ERROR_SHORT_TRANSFER);
    for (std::uint64_t seed : harness::RunSeeds(kSeeds)) {
        EXPECT_EQ(exchange(seed, counters, digest), reference) << "seed " << seed;
        atOnce += counters.completedAtOnce;
        later += counters.completedLater;
    }
    if (harness::RunSeeds(kSeeds).size() >= kSeeds) {
        EXPECT_GT(atOnce, 0u);
        EXPECT_GT(later, 0u);
    }

    std::uint64_t again = 0;
    exchange(5, counters, digest);
    exchange(5, counters, again);
    EXPECT_EQ(digest, again) << "one seed, one run";
}

TEST(UsbBusTransfer, TheTraceNamesEveryRequestWithoutAddresses) {
    UsbBed bed;
    bed.device.QueueIn(kInEndpoint, kReply);
    std::vector<std::string> lines;
    bed.machine.Events().SetListener([&](std::uint64_t, std::string_view, std::string_view category, std::string_view text) {
        if (category == "usb") lines.emplace_back(text);
    });
    bed.Run([&](UsbTestClient& client) {
        std::vector<USBD_PIPE_HANDLE> pipes = bed.Configure(client);
        Send(client, pipes[1], kCommand);
        Receive(client, pipes[0]);
    });
    auto has = [&](const std::string& text) {
        return std::any_of(lines.begin(), lines.end(), [&](const std::string& line) { return line.find(text) != std::string::npos; });
    };
    EXPECT_TRUE(has("dev submit bulk-out ep 0x02 len 4"));
    EXPECT_TRUE(has("dev complete bulk-in ep 0x81 len 64 -> USBD_STATUS_SUCCESS, 5 bytes"));
    EXPECT_TRUE(has("dev complete select-configuration 1 -> USBD_STATUS_SUCCESS"));
    EXPECT_FALSE(has("0x5B")) << "no handle values in the trace";
}

TEST(UsbBusTransfer, ShutdownFailsWhatIsStillQueued) {
    Machine machine(MachineConfig{}, {.asyncPercent = 100});
    ScriptedUsbDevice device;
    usb::UsbBus& bus = machine.Usb();
    PDEVICE_OBJECT pdo = bus.Plug(device, "dev"); // from the host, before the machine runs
    RunOk(machine, [&] {
        // Sent straight to the PDO: there is no client device to detach.
        std::vector<std::uint8_t> buffer(18);
        URB urb = UsbTestClient::DescriptorRequest(USB_DEVICE_DESCRIPTOR_TYPE, buffer.data(), 18);
        KEVENT event;
        KeInitializeEvent(&event, NotificationEvent, FALSE);
        IO_STATUS_BLOCK iosb{};
        PIRP irp = IoBuildDeviceIoControlRequest(IOCTL_INTERNAL_USB_SUBMIT_URB, pdo, nullptr, 0, nullptr, 0, TRUE,
                                                 &event, &iosb);
        IoGetNextIrpStackLocation(irp)->Parameters.Others.Argument1 = &urb;
        EXPECT_EQ(IoCallDriver(pdo, irp), STATUS_PENDING);
        bus.Shutdown();
        EXPECT_NE(KeReadStateEvent(&event), 0);
        EXPECT_EQ(iosb.Status, STATUS_DEVICE_NOT_CONNECTED);
        EXPECT_EQ(bus.Driver(), nullptr);
    });
}

} // namespace
} // namespace qv::test
