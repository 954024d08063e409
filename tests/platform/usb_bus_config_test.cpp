// The bus driver's control side: descriptor reads, selecting and dropping a
// configuration, the checks it makes on URBs, and its PDO's life.
#include <gtest/gtest.h>

#include <array>
#include <cstring>
#include <functional>
#include <string>

#include "harness/seeds.h"
#include "support/usb_test_client.h"

namespace qv::test {
namespace {

constexpr ULONG kFirstConfigurationRead = 521; // the reader driver's first buffer

struct DescriptorRead {
    NTSTATUS status;
    USBD_STATUS usbd;
    ULONG length;
};

// Runs body once per seed (QV_SEEDS; two by default, one per scheduling
// mode) on a fresh bed, naming the seed in any failure.
void ForEachBed(const std::function<void(UsbBed&)>& body) {
    for (std::uint64_t seed : harness::RunSeeds(2)) {
        SCOPED_TRACE("seed " + std::to_string(seed));
        UsbBed bed(seed);
        body(bed);
    }
}

DescriptorRead Read(UsbTestClient& client, UCHAR type, std::vector<std::uint8_t>& buffer, UCHAR index = 0) {
    URB urb = UsbTestClient::DescriptorRequest(type, buffer.data(), static_cast<ULONG>(buffer.size()), index);
    const NTSTATUS status = client.Submit(&urb);
    return {status, urb.UrbHeader.Status, urb.UrbControlDescriptorRequest.TransferBufferLength};
}

TEST(UsbBusConfig, DescriptorReadsDeliverWhatFitsAndSayHowMuch) {
    ForEachBed([&](UsbBed& bed) {
        bed.Run([&](UsbTestClient& client) {
            std::vector<std::uint8_t> device(sizeof(USB_DEVICE_DESCRIPTOR));
            DescriptorRead read = Read(client, USB_DEVICE_DESCRIPTOR_TYPE, device);
            EXPECT_EQ(read.status, STATUS_SUCCESS);
            EXPECT_EQ(read.usbd, USBD_STATUS_SUCCESS);
            EXPECT_EQ(read.length, sizeof(USB_DEVICE_DESCRIPTOR));
            EXPECT_EQ(device, bed.device.device);

            // A short buffer gets the start of the descriptor, and nothing more.
            std::vector<std::uint8_t> head(12, 0xEE);
            const std::size_t asked = 8;
            URB urb = UsbTestClient::DescriptorRequest(USB_DEVICE_DESCRIPTOR_TYPE, head.data(), asked);
            EXPECT_EQ(client.Submit(&urb), STATUS_SUCCESS);
            EXPECT_EQ(urb.UrbControlDescriptorRequest.TransferBufferLength, asked);
            EXPECT_TRUE(std::equal(head.begin(), head.begin() + asked, bed.device.device.begin()));
            EXPECT_EQ(head[asked], 0xEE);

            // Descriptors the device does not have are stalled.
            std::vector<std::uint8_t> other(64);
            for (auto [type, index] : {std::pair<UCHAR, UCHAR>{USB_STRING_DESCRIPTOR_TYPE, 0},
                                       std::pair<UCHAR, UCHAR>{USB_CONFIGURATION_DESCRIPTOR_TYPE, 1}}) {
                read = Read(client, type, other, index);
                EXPECT_EQ(read.status, STATUS_UNSUCCESSFUL);
                EXPECT_EQ(read.usbd, USBD_STATUS_STALL_PID);
                EXPECT_EQ(read.length, 0u);
            }
        });
    });
}

TEST(UsbBusConfig, ConfigurationDescriptorsOfThirtyTwoAndSixHundredBytes) {
    for (const std::size_t total : {std::size_t{32}, std::size_t{600}}) ForEachBed([&](UsbBed& bed) {
        bed.device.configuration = MakeConfigurationDescriptor({ReaderInterface(total - 32)});
        ASSERT_EQ(bed.device.configuration.size(), total);
        bed.Run([&](UsbTestClient& client) {
            std::vector<std::uint8_t> first(kFirstConfigurationRead);
            DescriptorRead read = Read(client, USB_CONFIGURATION_DESCRIPTOR_TYPE, first);
            EXPECT_EQ(read.status, STATUS_SUCCESS);
            EXPECT_EQ(read.length, std::min<ULONG>(total, kFirstConfigurationRead));
            const auto* header = reinterpret_cast<const USB_CONFIGURATION_DESCRIPTOR*>(first.data());
            EXPECT_EQ(header->wTotalLength, total);
            if (total <= kFirstConfigurationRead) return;
            std::vector<std::uint8_t> whole(header->wTotalLength);
            read = Read(client, USB_CONFIGURATION_DESCRIPTOR_TYPE, whole);
            EXPECT_EQ(read.length, total);
            EXPECT_EQ(whole, bed.device.configuration);
        });
    });
}

TEST(UsbBusConfig, SelectConfigurationFillsThePipesInEndpointOrder) {
    ForEachBed([&](UsbBed& bed) {
        bed.Run([&](UsbTestClient& client) {
            USHORT size = 0;
            auto* descriptor = reinterpret_cast<PUSB_CONFIGURATION_DESCRIPTOR>(bed.device.configuration.data());
            PURB urb = USBD_CreateConfigurationRequest(descriptor, &size);
            ASSERT_NE(urb, nullptr);
            USBD_INTERFACE_INFORMATION& info = urb->UrbSelectConfiguration.Interface;
            info.Pipes[0].MaximumTransferSize = 4096;
            info.Pipes[1].MaximumTransferSize = 100;
            EXPECT_EQ(client.Submit(urb), STATUS_SUCCESS);
            EXPECT_EQ(urb->UrbHeader.Status, USBD_STATUS_SUCCESS);
            EXPECT_NE(urb->UrbSelectConfiguration.ConfigurationHandle, nullptr);
            EXPECT_NE(info.InterfaceHandle, nullptr);
            EXPECT_EQ(info.Class, 0x0B);
            ASSERT_EQ(info.NumberOfPipes, 2u);
            const std::array<UCHAR, 2> order = {kInEndpoint, kOutEndpoint};
            for (ULONG i = 0; i < 2; ++i) {
                const USBD_PIPE_INFORMATION& pipe = info.Pipes[i];
                EXPECT_EQ(pipe.EndpointAddress, order[i]);
                EXPECT_EQ(pipe.PipeType, UsbdPipeTypeBulk);
                EXPECT_EQ(pipe.MaximumPacketSize, 64);
                EXPECT_NE(pipe.PipeHandle, nullptr);
            }
            EXPECT_NE(info.Pipes[0].PipeHandle, info.Pipes[1].PipeHandle);
            EXPECT_EQ(info.Pipes[1].MaximumTransferSize, 100u) << "the client's limit is kept";
            EXPECT_EQ(bed.device.configurationsSet, std::vector<std::uint8_t>{1});

            // ... and enforced.
            std::vector<std::uint8_t> data(101);
            URB transfer = UsbTestClient::BulkRequest(info.Pipes[1].PipeHandle, data.data(), 101, USBD_SHORT_TRANSFER_OK);
            EXPECT_EQ(client.Submit(&transfer), STATUS_INVALID_PARAMETER);
            EXPECT_EQ(transfer.UrbHeader.Status, USBD_STATUS_INVALID_PARAMETER);
            EXPECT_TRUE(bed.device.received.empty());
            ExFreePool(urb);
        });
    });
}

TEST(UsbBusConfig, SelectConfigurationChecksItsLengthsAndTheDescriptor) {
    ForEachBed([&](UsbBed& bed) {
        bed.Run([&](UsbTestClient& client) {
            auto* descriptor = reinterpret_cast<PUSB_CONFIGURATION_DESCRIPTOR>(bed.device.configuration.data());
            auto submit = [&](auto&& damage) {
                USHORT size = 0;
                PURB urb = USBD_CreateConfigurationRequest(descriptor, &size);
                damage(*urb);
                const NTSTATUS status = client.Submit(urb);
                const USBD_STATUS usbd = urb->UrbHeader.Status;
                ExFreePool(urb);
                return std::pair{status, usbd};
            };
            const auto invalid = std::pair{STATUS_INVALID_PARAMETER, USBD_STATUS_INVALID_PARAMETER};
            EXPECT_EQ(submit([](URB& urb) { --urb.UrbHeader.Length; }), invalid) << "no room for the last pipe";
            EXPECT_EQ(submit([](URB& urb) { urb.UrbSelectConfiguration.Interface.Length -= sizeof(USBD_PIPE_INFORMATION); }),
                      invalid)
                << "interface record without room for its pipes";
            EXPECT_EQ(submit([](URB& urb) { urb.UrbSelectConfiguration.Interface.Length = 0; }), invalid);
            EXPECT_EQ(submit([](URB& urb) { urb.UrbSelectConfiguration.Interface.InterfaceNumber = 7; }),
                      std::pair(STATUS_INVALID_PARAMETER, USBD_STATUS_INTERFACE_NOT_FOUND));
            EXPECT_TRUE(bed.device.configurationsSet.empty()) << "nothing reached the device";

            // An interface that claims more endpoints than the descriptor holds.
            std::vector<std::uint8_t> lying = bed.device.configuration;
            lying[sizeof(USB_CONFIGURATION_DESCRIPTOR) + offsetof(USB_INTERFACE_DESCRIPTOR, bNumEndpoints)] = 3;
            std::vector<std::uint8_t> record;
            EXPECT_EQ(client.Configure(lying, record), STATUS_INVALID_PARAMETER);

            bed.device.stallSetConfiguration = true;
            EXPECT_EQ(submit([](URB&) {}), std::pair(STATUS_UNSUCCESSFUL, USBD_STATUS_SET_CONFIG_FAILED));
        });
    });
}

TEST(UsbBusConfig, UnconfigureClosesThePipesAndAbortsWhatWaitsOnThem) {
    ForEachBed([&](UsbBed& bed) {
        bed.Run([&](UsbTestClient& client) {
            std::vector<USBD_PIPE_HANDLE> pipes = bed.Configure(client);
            std::vector<std::uint8_t> buffer(64);
            URB in = UsbTestClient::BulkRequest(pipes[0], buffer.data(), 64, USBD_TRANSFER_DIRECTION_IN | USBD_SHORT_TRANSFER_OK);
            auto waiting = client.Start(&in); // the device has nothing to send
            EXPECT_EQ(waiting->returned, STATUS_PENDING);

            EXPECT_EQ(client.Unconfigure(), STATUS_SUCCESS);
            EXPECT_EQ(waiting->Wait(), STATUS_CANCELLED);
            EXPECT_EQ(in.UrbHeader.Status, USBD_STATUS_CANCELED);
            EXPECT_EQ(bed.device.configurationsSet, (std::vector<std::uint8_t>{1, 0}));

            URB stale = UsbTestClient::BulkRequest(pipes[1], buffer.data(), 4, USBD_SHORT_TRANSFER_OK);
            EXPECT_EQ(client.Submit(&stale), STATUS_INVALID_PARAMETER);
            EXPECT_EQ(stale.UrbHeader.Status, USBD_STATUS_INVALID_PIPE_HANDLE);

            std::vector<USBD_PIPE_HANDLE> again = bed.Configure(client);
            EXPECT_NE(again[0], pipes[0]);
            EXPECT_NE(again[1], pipes[1]);
        });
    });
}

TEST(UsbBusConfig, UnknownFunctionsMissingUrbsAndBadLengthsAreRefused) {
    ForEachBed([&](UsbBed& bed) {
        bed.Run([&](UsbTestClient& client) {
            URB vendor{};
            vendor.UrbHeader.Length = sizeof(struct _URB_CONTROL_TRANSFER);
            vendor.UrbHeader.Function = URB_FUNCTION_VENDOR_DEVICE;
            EXPECT_EQ(client.Submit(&vendor), STATUS_INVALID_PARAMETER);
            EXPECT_EQ(vendor.UrbHeader.Status, USBD_STATUS_INVALID_URB_FUNCTION);

            EXPECT_EQ(client.Submit(nullptr), STATUS_INVALID_PARAMETER);

            std::vector<std::uint8_t> buffer(18);
            URB shortened = UsbTestClient::DescriptorRequest(USB_DEVICE_DESCRIPTOR_TYPE, buffer.data(), 18);
            shortened.UrbHeader.Length -= 4;
            EXPECT_EQ(client.Submit(&shortened), STATUS_INVALID_PARAMETER);
            EXPECT_EQ(shortened.UrbHeader.Status, USBD_STATUS_INVALID_PARAMETER);

            URB noBuffer = UsbTestClient::DescriptorRequest(USB_DEVICE_DESCRIPTOR_TYPE, nullptr, 18);
            EXPECT_EQ(client.Submit(&noBuffer), STATUS_INVALID_PARAMETER);
        });
    });
}

TEST(UsbBusConfig, ThePdoOfAnUnpluggedDeviceGoesWithTheRemoveRequest) {
    ForEachBed([&](UsbBed& bed) {
        bed.Run([&](UsbTestClient& client) {
            // Still plugged in: the PDO outlives a remove request.
            EXPECT_EQ(client.SendPnp(IRP_MN_START_DEVICE), STATUS_SUCCESS);
            EXPECT_EQ(client.SendPnp(IRP_MN_QUERY_CAPABILITIES), STATUS_NOT_SUPPORTED) << "left as the driver above set it";
            EXPECT_EQ(client.SendPnp(IRP_MN_REMOVE_DEVICE), STATUS_SUCCESS);
            std::vector<std::uint8_t> device(18);
            EXPECT_EQ(Read(client, USB_DEVICE_DESCRIPTOR_TYPE, device).status, STATUS_SUCCESS);

            bed.bus.Unplug(bed.pdo);
            EXPECT_EQ(Read(client, USB_DEVICE_DESCRIPTOR_TYPE, device).usbd, USBD_STATUS_DEVICE_GONE);
            EXPECT_EQ(client.SendPnp(IRP_MN_SURPRISE_REMOVAL), STATUS_SUCCESS);
            EXPECT_EQ(client.SendPnp(IRP_MN_REMOVE_DEVICE), STATUS_SUCCESS);
            // The client detaches and deletes its device next; the PDO goes with
            // it, and Shutdown must not delete it again.
        });
    });
}

} // namespace
} // namespace qv::test
