// The bus's watchers: what a capture of the bus needs to see. Every request
// with its setup packet, the address the bus gave the device, and when it
// was submitted; the console's observer keeps seeing only bulk transfers and
// pipe resets.
#include <gtest/gtest.h>

#include "support/usb_test_client.h"

namespace qv::test {
namespace {

constexpr ULONG kOutFlags = USBD_SHORT_TRANSFER_OK;

TEST(UsbBusWatcher, SeesControlRequestsWithSetupPacketsBesideTheObserver) {
    UsbBed bed;
    std::vector<usb::TransferEvent> watched;
    std::vector<usb::TransferEvent> observed;
    bed.bus.SetObserver([&](const usb::TransferEvent& event) { observed.push_back(event); });
    const std::size_t watcher = bed.bus.AddWatcher([&](const usb::TransferEvent& event) { watched.push_back(event); });
    std::vector<std::uint8_t> command = {0x04, 0x12, 0xC0, 0x00, 0xD2};
    bed.Run([&](UsbTestClient& client) {
        std::vector<USBD_PIPE_HANDLE> pipes = bed.Configure(client);
        URB urb = UsbTestClient::BulkRequest(pipes[1], command.data(), static_cast<ULONG>(command.size()), kOutFlags);
        EXPECT_EQ(client.Submit(&urb), STATUS_SUCCESS);
        URB reset = UsbTestClient::PipeRequest(URB_FUNCTION_RESET_PIPE, pipes[0]);
        EXPECT_EQ(client.Submit(&reset), STATUS_SUCCESS);
        bed.bus.RemoveWatcher(watcher);
        URB again = UsbTestClient::BulkRequest(pipes[1], command.data(), static_cast<ULONG>(command.size()), kOutFlags);
        EXPECT_EQ(client.Submit(&again), STATUS_SUCCESS);
    });
    // The client's configuration: a select (SET_CONFIGURATION, value 1),
    // then the transfer and the reset (CLEAR_FEATURE(ENDPOINT_HALT) of the
    // IN endpoint); nothing after the watcher went.
    ASSERT_GE(watched.size(), 3u);
    const usb::TransferEvent& select = watched[watched.size() - 3];
    EXPECT_EQ(select.kind, usb::TransferKind::Control);
    ASSERT_EQ(select.setup.size(), 8u);
    EXPECT_EQ(select.setup[0], 0x00);
    EXPECT_EQ(select.setup[1], 0x09) << "SET_CONFIGURATION";
    const usb::TransferEvent& out = watched[watched.size() - 2];
    EXPECT_EQ(out.kind, usb::TransferKind::Out);
    EXPECT_EQ(out.data, command);
    EXPECT_TRUE(out.setup.empty());
    EXPECT_EQ(out.address, 2) << "the first device on the bus, after the root hub";
    EXPECT_LE(out.submittedAt, out.time);
    EXPECT_GT(out.id, select.id);
    const usb::TransferEvent& reset = watched.back();
    EXPECT_EQ(reset.kind, usb::TransferKind::ResetPipe);
    EXPECT_EQ(reset.setup, (std::vector<std::uint8_t>{0x02, 0x01, 0x00, 0x00, reset.endpoint, 0x00, 0x00, 0x00}));

    for (const usb::TransferEvent& event : observed) EXPECT_NE(event.kind, usb::TransferKind::Control);
    EXPECT_EQ(observed.size(), 3u) << "two transfers and the reset, as before";
}

} // namespace
} // namespace qv::test
