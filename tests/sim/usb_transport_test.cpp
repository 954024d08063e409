// The simulated reader as a USB device: its descriptors, its configuration,
// and how blocks travel in 64-byte reader packets with NAKs until the answer
// is ready.
#include <gtest/gtest.h>

#include "sim/reader_host.h"

namespace qv::sim {
namespace {

using test::Hex;
using test::Host;
using test::LinkBlock;

constexpr std::uint8_t kEndpointDescriptorType = 0x05;
constexpr std::uint8_t kInterfaceDescriptorType = 0x04;

std::uint16_t Word(std::span<const std::uint8_t> bytes, std::size_t offset) {
    return static_cast<std::uint16_t>(bytes[offset] | bytes[offset + 1] << 8);
}

struct Walk {
    std::vector<std::uint8_t> types;
    std::vector<std::uint8_t> endpoints;
    std::size_t end = 0;
};

// Walks a configuration descriptor by bLength, as a USB stack does.
Walk WalkConfiguration(std::span<const std::uint8_t> config) {
    Walk walk;
    std::size_t offset = 0;
    while (offset + 2 <= config.size() && config[offset] >= 2) {
        std::uint8_t type = config[offset + 1];
        walk.types.push_back(type);
        if (type == kEndpointDescriptorType) {
            walk.endpoints.push_back(config[offset + 2]);
            EXPECT_EQ(config[offset + 3], 0x02) << "bulk";
            EXPECT_EQ(Word(config, offset + 4), kMaxPacketSize);
        }
        offset += config[offset];
    }
    walk.end = offset;
    return walk;
}

TEST(SimUsbTransport, DeviceDescriptorNamesTheModelAndFirmware) {
    UsbReader qv38({.model = ReaderModel::Qv38N, .firmwareVersion = {3, 0, 1, 2}});
    UsbReader qv39({.model = ReaderModel::Qv39N});
    auto d = qv38.DeviceDescriptor();
    ASSERT_EQ(d.size(), kDeviceDescriptorSize);
    EXPECT_EQ(d[0], kDeviceDescriptorSize);
    EXPECT_EQ(d[1], 0x01);
    EXPECT_EQ(Word(d, 8), kVendorId);
    EXPECT_EQ(Word(d, 10), kProductIdQv38N);
    EXPECT_EQ(Word(d, 12), 0x3012) << "bcdDevice carries the firmware digits";
    EXPECT_EQ(d[17], 1) << "one configuration";
    EXPECT_EQ(Word(qv39.DeviceDescriptor(), 10), kProductIdQv39N);
}

TEST(SimUsbTransport, PlainConfigurationIsThirtyTwoBytesInEndpointFirst) {
    UsbReader reader;
    auto c = reader.ConfigurationDescriptor();
    ASSERT_EQ(c.size(), 32u);
    EXPECT_EQ(Word(c, 2), 32u);
    EXPECT_EQ(c[5], kConfigurationValue);
    Walk walk = WalkConfiguration(c);
    EXPECT_EQ(walk.end, c.size());
    EXPECT_EQ(walk.endpoints, (std::vector<std::uint8_t>{kBulkInEndpoint, kBulkOutEndpoint}));
    EXPECT_EQ(c[9 + 4], 2) << "the interface has two endpoints";
    EXPECT_EQ(c[9 + 5], 0xFF) << "vendor class";
}

// Readers built wrong, for the host to refuse: the OUT endpoint listed
// first, or both endpoints with 32-byte packets.
TEST(SimUsbTransport, PipeLayoutsChangeOrderOrPacketSize) {
    UsbReader swapped({.pipes = PipeLayout::Swapped});
    EXPECT_EQ(WalkConfiguration(swapped.ConfigurationDescriptor()).endpoints,
              (std::vector<std::uint8_t>{kBulkOutEndpoint, kBulkInEndpoint}));
    UsbReader small({.pipes = PipeLayout::Small});
    auto c = small.ConfigurationDescriptor();
    constexpr std::size_t kFirstEndpoint = 18, kAddressOffset = 2, kMaxPacketOffset = 4;
    EXPECT_EQ(c[kFirstEndpoint + kAddressOffset], kBulkInEndpoint);
    EXPECT_EQ(c[kFirstEndpoint + kEndpointDescriptorSize + kAddressOffset], kBulkOutEndpoint);
    EXPECT_EQ(Word(c, kFirstEndpoint + kMaxPacketOffset), kSmallPacketSize);
    EXPECT_EQ(Word(c, kFirstEndpoint + kEndpointDescriptorSize + kMaxPacketOffset), kSmallPacketSize);
    EXPECT_EQ(PipeLayoutByName("swapped"), PipeLayout::Swapped);
    EXPECT_EQ(PipeLayoutByName("sideways"), std::nullopt);
}

TEST(SimUsbTransport, PaddedConfigurationWalksToItsTotalLength) {
    for (std::size_t length : {34u, 287u, 600u}) {
        SCOPED_TRACE(length);
        UsbReader reader({.configurationLength = length});
        auto c = reader.ConfigurationDescriptor();
        ASSERT_EQ(c.size(), length);
        EXPECT_EQ(Word(c, 2), length);
        Walk walk = WalkConfiguration(c);
        EXPECT_EQ(walk.end, length);
        EXPECT_EQ(walk.endpoints, (std::vector<std::uint8_t>{kBulkInEndpoint, kBulkOutEndpoint}));
        // Vendor descriptors sit between the interface and its endpoints.
        ASSERT_GE(walk.types.size(), 5u);
        EXPECT_EQ(walk.types[1], kInterfaceDescriptorType);
        EXPECT_EQ(walk.types[2], kVendorDescriptorType);
        EXPECT_EQ(walk.types[walk.types.size() - 3], kVendorDescriptorType);
    }
    EXPECT_THROW(UsbReader({.configurationLength = 33}), std::invalid_argument);
    EXPECT_THROW(UsbReader({.configurationLength = 31}), std::invalid_argument);
}

TEST(SimUsbTransport, EndpointsAnswerOnlyWhenConfigured) {
    UsbReader reader;
    const Bytes resynch = Hex("04 12 C0 00 D2");
    Bytes buffer(kMaxPacketSize);
    EXPECT_EQ(reader.BulkOut(kBulkOutEndpoint, resynch, 0).status, usb::TransferStatus::Stall);
    EXPECT_FALSE(reader.SetConfiguration(2));
    ASSERT_TRUE(reader.SetConfiguration(kConfigurationValue));
    EXPECT_EQ(reader.BulkOut(0x03, resynch, 0).status, usb::TransferStatus::Stall);
    EXPECT_EQ(reader.BulkIn(0x82, buffer, 0).status, usb::TransferStatus::Stall);
    EXPECT_EQ(reader.BulkOut(kBulkOutEndpoint, resynch, 0).status, usb::TransferStatus::Ok);
    ASSERT_TRUE(reader.SetConfiguration(0));
    EXPECT_EQ(reader.BulkIn(kBulkInEndpoint, buffer, 0).status, usb::TransferStatus::Stall);
}

TEST(SimUsbTransport, InTransfersNakUntilTheAnswerIsReady) {
    UsbReader reader;
    Host host(reader);
    Bytes buffer(kMaxPacketSize);
    usb::InResult idle = reader.BulkIn(kBulkInEndpoint, buffer, 0);
    EXPECT_FALSE(idle.ready);
    EXPECT_FALSE(idle.retryAt) << "nothing pending: no retry time";

    host.now = 5 * kMillisecond;
    host.Send(LinkBlock(0x00, Hex("D0 31")));
    usb::InResult early = reader.BulkIn(kBulkInEndpoint, buffer, host.now);
    ASSERT_FALSE(early.ready);
    ASSERT_TRUE(early.retryAt);
    EXPECT_EQ(*early.retryAt, host.now + kCommandProcessingTime);
    EXPECT_FALSE(reader.BulkIn(kBulkInEndpoint, buffer, *early.retryAt - 1).ready);
    usb::InResult due = reader.BulkIn(kBulkInEndpoint, buffer, *early.retryAt);
    EXPECT_TRUE(due.ready);
    EXPECT_EQ(buffer[0], kPacketLast);
    usb::InResult after = reader.BulkIn(kBulkInEndpoint, buffer, *early.retryAt);
    EXPECT_FALSE(after.ready);
    EXPECT_FALSE(after.retryAt);
}

TEST(SimUsbTransport, LongBlocksGoOutInFullPacketsAndAShortLastOne) {
    UsbReader reader;
    Host host(reader);
    host.Command("D0 E6 00 0F");
    // GET CHALLENGE for 256 bytes: a 262-byte reply, whose first 254 bytes
    // make a 258-byte block: four full packets and one of 7 bytes.
    Bytes apdu = Hex("D0 23 00 84 00 00 00");
    host.Send(LinkBlock(host.sendSequence, apdu));
    auto packets = host.ReadPackets();
    ASSERT_EQ(packets.size(), 5u);
    for (std::size_t i = 0; i < 4; ++i) {
        EXPECT_EQ(packets[i].size(), kMaxPacketSize);
        EXPECT_EQ(packets[i][0], kPacketMore);
    }
    EXPECT_EQ(packets[4].size(), 7u);
    EXPECT_EQ(packets[4][0], kPacketLast);
    Bytes block = Host::Join(packets);
    EXPECT_EQ(block[kLenOffset], kMaxInfSize);
    EXPECT_EQ(block[kPcbOffset], 0x40 | kPcbMore);
}

TEST(SimUsbTransport, HostBlocksAreJoinedFromPacketsHoweverTheyAreCut) {
    UsbReader reader;
    Host host(reader);
    host.Command("D0 E6 00 0F");
    // A 126-byte block (ECHO of 115 bytes) in two full packets...
    Bytes echo = Hex("D0 23 80 EE 00 00 73");
    for (int i = 0; i < 0x73; ++i) echo.push_back(static_cast<std::uint8_t>(i));
    Bytes reply = host.Command(echo);
    EXPECT_EQ(reply, Hex("D0 23 00 00 61 73")) << "under T=0 the echo waits for GET RESPONSE";
    Bytes data = host.Command("D0 23 00 C0 00 00 73");
    ASSERT_EQ(data.size(), 4u + 0x73 + 2);
    EXPECT_EQ(data[4 + 0x72], 0x72);

    // ...and the same block as one OUT transfer of both packets.
    Bytes block = LinkBlock(host.sendSequence, echo);
    ASSERT_EQ(block.size(), 126u);
    Bytes transfer{kPacketMore};
    transfer.insert(transfer.end(), block.begin(), block.begin() + kPacketPayloadSize);
    transfer.push_back(kPacketLast);
    transfer.insert(transfer.end(), block.begin() + kPacketPayloadSize, block.end());
    ASSERT_EQ(reader.BulkOut(kBulkOutEndpoint, transfer, host.now).accepted, 128u);
    Bytes answer = Host::Join(host.ReadPackets());
    EXPECT_EQ(Bytes(answer.begin() + kInfOffset, answer.end() - 1), reply);
}

TEST(SimUsbTransport, PipeResetDropsAHalfReceivedBlock) {
    UsbReader reader;
    Host host(reader);
    ASSERT_EQ(reader.BulkOut(kBulkOutEndpoint, Hex("00 12 00 50 D0 23"), 0).status, usb::TransferStatus::Ok);
    reader.ResetEndpoint(kBulkOutEndpoint);
    EXPECT_EQ(host.Exchange(Hex("12 C0 00 D2")), Hex("21 E0 00 C1"));
}

TEST(SimUsbTransport, VanishedReaderIsGoneUntilReattached) {
    UsbReader reader;
    Host host(reader);
    host.Command("D0 E6 00 0F");
    reader.Vanish();
    Bytes buffer(kMaxPacketSize);
    EXPECT_FALSE(reader.Attached());
    EXPECT_FALSE(reader.SetConfiguration(kConfigurationValue));
    EXPECT_EQ(reader.BulkOut(kBulkOutEndpoint, Hex("04 12 C0 00 D2"), 0).status, usb::TransferStatus::DeviceGone);
    EXPECT_EQ(reader.BulkIn(kBulkInEndpoint, buffer, 0).status, usb::TransferStatus::DeviceGone);

    reader.Reattach();
    EXPECT_TRUE(reader.Attached());
    EXPECT_FALSE(reader.Configured());
    EXPECT_FALSE(reader.CurrentCard().Powered()) << "the card lost its power with the reader";
    Host again(reader);
    EXPECT_EQ(again.Command("D0 31"), Hex("D0 31 00 00 08 00")) << "link state back to zero";
}

} // namespace
} // namespace qv::sim
