// A two-driver stack, a filter over a bus that completes requests from its
// own thread, under several seeds; and what a built device-control request
// hands back to its caller.
#include <gtest/gtest.h>

#include <set>

#include "kernel/scheduler.h"
#include "platform/io_test_drivers.h"
#include "harness/seeds.h"

namespace qv::test {
namespace {

constexpr ULONG kEchoIoctl = CTL_CODE(FILE_DEVICE_UNKNOWN, 0x800, METHOD_BUFFERED, FILE_ANY_ACCESS);
constexpr ULONG kEchoLength = 4;
constexpr int kRequests = 6;

// The bus parks each request for its worker thread, which echoes every
// input byte plus one. One request is in flight at a time.
void BusWorker(Layer& bus, KEVENT& parked) {
    for (int i = 0; i < kRequests; ++i) {
        KeWaitForSingleObject(&parked, Executive, KernelMode, FALSE, nullptr);
        PIRP irp = bus.pended;
        auto* buffer = static_cast<unsigned char*>(irp->AssociatedIrp.SystemBuffer);
        for (ULONG b = 0; b < kEchoLength; ++b) ++buffer[b];
        irp->IoStatus.Status = STATUS_SUCCESS;
        irp->IoStatus.Information = kEchoLength;
        IoCompleteRequest(irp, IO_NO_INCREMENT);
    }
}

void SendEcho(PDEVICE_OBJECT filter, unsigned char first) {
    unsigned char input[kEchoLength] = {first, 1, 2, 3};
    unsigned char output[kEchoLength] = {};
    KEVENT done;
    KeInitializeEvent(&done, NotificationEvent, FALSE);
    IO_STATUS_BLOCK iosb{};
    PIRP irp =
        IoBuildDeviceIoControlRequest(kEchoIoctl, filter, input, kEchoLength, output, kEchoLength, FALSE, &done, &iosb);
    if (IoCallDriver(filter, irp) == STATUS_PENDING)
        KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, nullptr);
    EXPECT_EQ(iosb.Status, STATUS_SUCCESS);
    EXPECT_EQ(iosb.Information, kEchoLength);
    for (ULONG i = 0; i < kEchoLength; ++i) EXPECT_EQ(output[i], input[i] + 1);
}

void RunEchoStack() {
    PDEVICE_OBJECT bus = AddLayer(Load(u"\\Driver\\Bus"), Role::Pend);
    PDEVICE_OBJECT filter = AddLayer(Load(u"\\Driver\\Filter"), Role::Forward, bus);
    std::vector<Seen> seen;
    LayerOf(filter).seen = &seen;
    KEVENT parked;
    KeInitializeEvent(&parked, SynchronizationEvent, FALSE);
    LayerOf(bus).pendedEvent = &parked;
    SimThread& worker = K().Spawn("bus worker", [bus, &parked] { BusWorker(LayerOf(bus), parked); });

    for (int r = 0; r < kRequests; ++r) SendEcho(filter, static_cast<unsigned char>(r * 16));
    KeWaitForSingleObject(worker.Object(), Executive, KernelMode, FALSE, nullptr);
    EXPECT_EQ(seen.size(), static_cast<std::size_t>(kRequests));
    PDRIVER_OBJECT busDriver = bus->DriverObject;
    RemoveStack(filter);
    Io().UnloadDriver(busDriver);
}

TEST(IoStack, FilterOverABusCompletingFromItsOwnThreadUnderManySeeds) {
    std::set<std::uint64_t> digests;
    const std::vector<std::uint64_t> seeds = harness::RunSeeds(8);
    for (std::uint64_t seed : seeds) {
        MachineConfig config;
        config.seed = seed;
        Machine first(config);
        const std::uint64_t digest = RunOk(first, &RunEchoStack).digest;
        Machine again(config);
        EXPECT_EQ(RunOk(again, &RunEchoStack).digest, digest) << "seed " << seed << " did not repeat its run";
        digests.insert(digest);
    }
    if (seeds.size() > 1) {
        EXPECT_GT(digests.size(), 1u) << "the seeds should give different interleavings";
    }
}

TEST(IoControl, BufferedOutputIsCopiedBackUpToInformation) {
    Machine machine;
    RunOk(machine, [] {
        PDEVICE_OBJECT device = AddLayer(Load(u"\\Driver\\Layers"), Role::Complete);
        constexpr unsigned char kCanary = 0x11;
        struct Case {
            NTSTATUS status;
            ULONG_PTR reported;
            ULONG outputLength, copied;
        } const cases[] = {
            {STATUS_SUCCESS, 3, 8, 3},
            {STATUS_BUFFER_OVERFLOW, 4, 4, 4}, // a warning still delivers the data
            {STATUS_IO_DEVICE_ERROR, 4, 4, 0},
        };
        for (const Case& c : cases) {
            LayerOf(device).status = c.status;
            LayerOf(device).information = c.reported;
            unsigned char input[2] = {1, 2};
            unsigned char output[16];
            __builtin_memset(output, kCanary, sizeof output);
            KEVENT done;
            KeInitializeEvent(&done, NotificationEvent, FALSE);
            IO_STATUS_BLOCK iosb{};
            PIRP irp = IoBuildDeviceIoControlRequest(kEchoIoctl, device, input, sizeof input, output, c.outputLength,
                                                     FALSE, &done, &iosb);
            EXPECT_EQ(IoCallDriver(device, irp), c.status);
            EXPECT_EQ(KeReadStateEvent(&done), 1);
            EXPECT_EQ(iosb.Status, c.status);
            EXPECT_EQ(iosb.Information, c.reported);
            for (ULONG i = 0; i < sizeof output; ++i) {
                EXPECT_EQ(output[i], i < c.copied ? kReplyByte : kCanary) << "byte " << i << ", case " << &c - cases;
            }
        }
        RemoveStack(device);
    });
}

} // namespace
} // namespace qv::test
