// The driver's records and the platform records they are built from: member
// order, buffer sizes, the command table, and the wire and control-code values
// the driver shares with the USB stack and the smart card library.
#include <gtest/gtest.h>

#include <cstddef>
#include <cstring>
#include <string>
#include <vector>

#include "qvscr.h"

namespace {

// True when the offsets are strictly increasing, i.e. the members were
// declared in the order given.
bool Increasing(const std::vector<size_t>& offsets) {
    for (size_t i = 1; i < offsets.size(); ++i)
        if (offsets[i] <= offsets[i - 1]) return false;
    return true;
}

// ---------------------------------------------------------------------------
// Driver records

TEST(DriverRecords, DeviceExtensionIsTheLibraryRecord) {
    // The library's callbacks and the dispatch routines cast the one address
    // both ways; any member placed before SmartcardExtension breaks that.
    DEVICE_EXTENSION extension{};
    PSMARTCARD_EXTENSION smartcard = &extension.SmartcardExtension;
    EXPECT_EQ(static_cast<void*>(&extension), static_cast<void*>(smartcard));
    EXPECT_EQ(reinterpret_cast<PDEVICE_EXTENSION>(smartcard), &extension);
}

TEST(DriverRecords, DeviceExtensionMembersInOrder) {
    EXPECT_TRUE(Increasing({
        offsetof(DEVICE_EXTENSION, SmartcardExtension), offsetof(DEVICE_EXTENSION, PnPDeviceName),
        offsetof(DEVICE_EXTENSION, IoCount), offsetof(DEVICE_EXTENSION, SpinLock),
        offsetof(DEVICE_EXTENSION, ReaderRemoved), offsetof(DEVICE_EXTENSION, ReaderStarted),
        offsetof(DEVICE_EXTENSION, ReaderClosed), offsetof(DEVICE_EXTENSION, PollThread),
        offsetof(DEVICE_EXTENSION, PollEvent), offsetof(DEVICE_EXTENSION, PollThreadRun),
        offsetof(DEVICE_EXTENSION, LegacyOs), offsetof(DEVICE_EXTENSION, DosLinkName),
    }));
}

TEST(DriverRecords, ReaderExtensionMembersInOrderWithPerReaderBuffersLast) {
    EXPECT_TRUE(Increasing({
        offsetof(READER_EXTENSION, PendingSystemPowerIrp), offsetof(READER_EXTENSION, PowerState),
        offsetof(READER_EXTENSION, LowerDevice), offsetof(READER_EXTENSION, MaxTransferSize),
        offsetof(READER_EXTENSION, ReaderMutex), offsetof(READER_EXTENSION, UsbConfig),
        offsetof(READER_EXTENSION, PreviousCardState), offsetof(READER_EXTENSION, CommandBlock),
        offsetof(READER_EXTENSION, ReplyData), offsetof(READER_EXTENSION, CommandLength),
        offsetof(READER_EXTENSION, ReplyLength), offsetof(READER_EXTENSION, UsbOutBuffer),
        offsetof(READER_EXTENSION, UsbInBuffer), offsetof(READER_EXTENSION, UsbOutLength),
        offsetof(READER_EXTENSION, UsbInLength), offsetof(READER_EXTENSION, SendSequence),
        offsetof(READER_EXTENSION, ReceiveSequence), offsetof(READER_EXTENSION, CardReady),
        offsetof(READER_EXTENSION, PollEnabled), offsetof(READER_EXTENSION, DeviceObject),
        offsetof(READER_EXTENSION, ReaderInfo), offsetof(READER_EXTENSION, LinkIdle),
        offsetof(READER_EXTENSION, LinkSynchronized), offsetof(READER_EXTENSION, CommandBuffer),
        offsetof(READER_EXTENSION, AtrCache), offsetof(READER_EXTENSION, AtrCacheLength),
    }));
}

TEST(DriverRecords, BuffersHoldTheLargestBlockReplyAndAtr) {
    READER_EXTENSION reader{};
    EXPECT_EQ(sizeof(reader.CommandBlock), 270u);
    EXPECT_EQ(sizeof(reader.ReplyData), 270u);
    EXPECT_EQ(sizeof(reader.UsbOutBuffer), 270u);
    EXPECT_EQ(sizeof(reader.UsbInBuffer), 270u);
    EXPECT_EQ(sizeof(reader.CommandBuffer), 270u);
    EXPECT_EQ(sizeof(reader.ReaderInfo), 32u);
    EXPECT_EQ(sizeof(reader.AtrCache), 36u);

    SMARTCARD_EXTENSION smartcard{};
    EXPECT_EQ(sizeof(smartcard.CardCapabilities.ATR.Buffer), 64u);
    // A cached ATR must always fit back into the library's ATR buffer.
    EXPECT_LE(sizeof(reader.AtrCache), sizeof(smartcard.CardCapabilities.ATR.Buffer));
    EXPECT_EQ(sizeof(smartcard.VendorAttr.VendorName.Buffer), 32u);
    EXPECT_EQ(sizeof(smartcard.VendorAttr.IfdType.Buffer), 32u);
}

TEST(DriverRecords, UsbConfigIsFivePointerSizedMembers) {
    EXPECT_EQ(sizeof(USB_CONFIG), 5 * sizeof(void*));
    EXPECT_EQ(offsetof(USB_CONFIG, DeviceDescriptor), 0 * sizeof(void*));
    EXPECT_EQ(offsetof(USB_CONFIG, ConfigurationDescriptor), 1 * sizeof(void*));
    EXPECT_EQ(offsetof(USB_CONFIG, Interface), 2 * sizeof(void*));
    EXPECT_EQ(offsetof(USB_CONFIG, PipeSlots), 3 * sizeof(void*));
    EXPECT_EQ(offsetof(USB_CONFIG, ConfigurationHandle), 4 * sizeof(void*));
}

TEST(DriverRecords, PoolTagReadsScs4InMemory) {
    char bytes[4];
    std::memcpy(bytes, &READER_POOL_TAG, sizeof(bytes));
    EXPECT_EQ(std::string(bytes, 4), "SCS4");
    EXPECT_EQ(READER_POOL_TAG, 0x34534353u);
}

// ---------------------------------------------------------------------------
// Driver-wide data

TEST(DriverData, CommandTableHoldsTheReaderHeaders) {
    const UCHAR expected[8][4] = {
        {0xD0, 0x23, 0x00, 0x00}, {0xD0, 0x31, 0x00, 0x00}, {0xD0, 0xC0, 0x00, 0x00}, {0xD0, 0xE6, 0x00, 0x0F},
        {0xD0, 0xE6, 0x01, 0x00}, {0xD0, 0xE1, 0x00, 0x00}, {0xD0, 0xE7, 0x00, 0x00}, {0xD0, 0xE4, 0x00, 0x08},
    };
    ASSERT_EQ(sizeof(ReaderCommandTable), sizeof(expected));
    for (int entry = 0; entry < 8; ++entry)
        for (int i = 0; i < 4; ++i)
            EXPECT_EQ(ReaderCommandTable[entry][i], expected[entry][i]) << "entry " << entry << " byte " << i;
}

// ---------------------------------------------------------------------------
// USB records and codes

TEST(UsbRecords, DescriptorsMatchTheWire) {
    // A configuration descriptor as a device sends it: wTotalLength 0x0220
    // little-endian at byte 2, and an endpoint with wMaxPacketSize 64 at byte 4.
    const UCHAR configuration[9] = {9, 2, 0x20, 0x02, 1, 1, 0, 0x80, 50};
    USB_CONFIGURATION_DESCRIPTOR config;
    std::memcpy(&config, configuration, sizeof(config));
    EXPECT_EQ(config.wTotalLength, 0x0220);
    EXPECT_EQ(config.bNumInterfaces, 1);
    EXPECT_EQ(config.MaxPower, 50);

    const UCHAR endpoint[7] = {7, 5, 0x81, 0x02, 0x40, 0x00, 0};
    USB_ENDPOINT_DESCRIPTOR ep;
    std::memcpy(&ep, endpoint, sizeof(ep));
    EXPECT_EQ(ep.wMaxPacketSize, 64);
    EXPECT_TRUE(USB_ENDPOINT_DIRECTION_IN(ep.bEndpointAddress));
    EXPECT_EQ(ep.bmAttributes & USB_ENDPOINT_TYPE_MASK, USB_ENDPOINT_TYPE_BULK);

    EXPECT_EQ(offsetof(USB_DEVICE_DESCRIPTOR, idVendor), 8u);
    EXPECT_EQ(offsetof(USB_DEVICE_DESCRIPTOR, bNumConfigurations), 17u);
}

TEST(UsbRecords, RequestCodesAndFlags) {
    EXPECT_EQ(IOCTL_INTERNAL_USB_SUBMIT_URB, 0x220003u);
    EXPECT_EQ(URB_FUNCTION_SELECT_CONFIGURATION, 0x0000);
    EXPECT_EQ(URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER, 0x0009);
    EXPECT_EQ(URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE, 0x000B);
    EXPECT_EQ(URB_FUNCTION_RESET_PIPE, 0x001E);
    EXPECT_EQ(USBD_TRANSFER_DIRECTION_IN | USBD_SHORT_TRANSFER_OK, 3);
    EXPECT_EQ(USB_DEVICE_DESCRIPTOR_TYPE, 1);
    EXPECT_EQ(USB_CONFIGURATION_DESCRIPTOR_TYPE, 2);
}

TEST(UsbRecords, StatusClassesFollowTheTopBits) {
    EXPECT_TRUE(USBD_SUCCESS(USBD_STATUS_SUCCESS));
    EXPECT_FALSE(USBD_ERROR(USBD_STATUS_PENDING));
    EXPECT_TRUE(USBD_PENDING(USBD_STATUS_PENDING));
    EXPECT_TRUE(USBD_ERROR(USBD_STATUS_STALL_PID));
    EXPECT_TRUE(USBD_HALTED(USBD_STATUS_STALL_PID));
    EXPECT_TRUE(USBD_ERROR(USBD_STATUS_INVALID_PIPE_HANDLE));
    EXPECT_FALSE(USBD_HALTED(USBD_STATUS_INVALID_PIPE_HANDLE));
}

TEST(UsbRecords, BuildMacrosFillEveryFieldTheBusDriverReads) {
    URB urb;
    std::memset(&urb, 0xCC, sizeof(urb));
    UCHAR buffer[18];
    UsbBuildGetDescriptorRequest(&urb, (USHORT)sizeof(struct _URB_CONTROL_DESCRIPTOR_REQUEST),
                                 USB_DEVICE_DESCRIPTOR_TYPE, 0, 0, buffer, NULL, sizeof(buffer), NULL);
    const auto& d = urb.UrbControlDescriptorRequest;
    EXPECT_EQ(d.Hdr.Length, sizeof(struct _URB_CONTROL_DESCRIPTOR_REQUEST));
    EXPECT_EQ(d.Hdr.Function, URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE);
    EXPECT_EQ(d.DescriptorType, USB_DEVICE_DESCRIPTOR_TYPE);
    EXPECT_EQ(d.Index, 0);
    EXPECT_EQ(d.LanguageId, 0);
    EXPECT_EQ(d.TransferBuffer, buffer);
    EXPECT_EQ(d.TransferBufferMDL, nullptr);
    EXPECT_EQ(d.TransferBufferLength, 18u);
    EXPECT_EQ(d.UrbLink, nullptr);

    std::memset(&urb, 0xCC, sizeof(urb));
    int pipe = 0;
    UsbBuildInterruptOrBulkTransferRequest(&urb, (USHORT)sizeof(struct _URB_BULK_OR_INTERRUPT_TRANSFER), &pipe,
                                           buffer, NULL, 7, USBD_TRANSFER_DIRECTION_IN | USBD_SHORT_TRANSFER_OK,
                                           NULL);
    const auto& b = urb.UrbBulkOrInterruptTransfer;
    EXPECT_EQ(b.Hdr.Function, URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER);
    EXPECT_EQ(b.PipeHandle, &pipe);
    EXPECT_EQ(b.TransferFlags, 3u);
    EXPECT_EQ(b.TransferBufferLength, 7u);
    EXPECT_EQ(b.UrbLink, nullptr);

    std::memset(&urb, 0xCC, sizeof(urb));
    UsbBuildSelectConfigurationRequest(&urb, (USHORT)sizeof(struct _URB_SELECT_CONFIGURATION), NULL);
    EXPECT_EQ(urb.UrbSelectConfiguration.Hdr.Function, URB_FUNCTION_SELECT_CONFIGURATION);
    EXPECT_EQ(urb.UrbSelectConfiguration.ConfigurationDescriptor, nullptr);
}

TEST(UsbRecords, SelectConfigurationSizeHasRoomForEveryPipe) {
    // One interface with two pipes: the second pipe lies past the URB's own
    // Pipes[1] and must still be inside the request.
    size_t needed = offsetof(struct _URB_SELECT_CONFIGURATION, Interface) +
                    offsetof(USBD_INTERFACE_INFORMATION, Pipes) + 2 * sizeof(USBD_PIPE_INFORMATION);
    EXPECT_GE(GET_SELECT_CONFIGURATION_REQUEST_SIZE(1, 2), needed);
    EXPECT_EQ(GET_SELECT_CONFIGURATION_REQUEST_SIZE(1, 1), sizeof(struct _URB_SELECT_CONFIGURATION));
}

// ---------------------------------------------------------------------------
// Smart card library codes

TEST(SmartcardCodes, IoControlCodesAreTheWindowsOnes) {
    EXPECT_EQ(IOCTL_SMARTCARD_POWER, 0x00310004u);
    EXPECT_EQ(IOCTL_SMARTCARD_GET_ATTRIBUTE, 0x00310008u);
    EXPECT_EQ(IOCTL_SMARTCARD_SET_ATTRIBUTE, 0x0031000Cu);
    EXPECT_EQ(IOCTL_SMARTCARD_CONFISCATE, 0x00310010u);
    EXPECT_EQ(IOCTL_SMARTCARD_TRANSMIT, 0x00310014u);
    EXPECT_EQ(IOCTL_SMARTCARD_EJECT, 0x00310018u);
    EXPECT_EQ(IOCTL_SMARTCARD_SWALLOW, 0x0031001Cu);
    EXPECT_EQ(IOCTL_SMARTCARD_IS_PRESENT, 0x00310028u);
    EXPECT_EQ(IOCTL_SMARTCARD_IS_ABSENT, 0x0031002Cu);
    EXPECT_EQ(IOCTL_SMARTCARD_SET_PROTOCOL, 0x00310030u);
    EXPECT_EQ(IOCTL_SMARTCARD_GET_STATE, 0x00310038u);
    EXPECT_EQ(IOCTL_SMARTCARD_GET_LAST_ERROR, 0x0031003Cu);
    EXPECT_EQ(IOCTL_SMARTCARD_GET_PERF_CNTR, 0x00310040u);
    EXPECT_EQ(SCARD_ATTR_VALUE(SCARD_CLASS_VENDOR_DEFINED, 0x01F0), 0x000701F0u);
    EXPECT_EQ(SCARD_ATTR_VENDOR_IFD_SERIAL_NO, 0x00010103u);
}

TEST(SmartcardCodes, CallbackSlotsAreDistinctAndInRange) {
    const int slots[] = {RDF_CARD_POWER, RDF_TRANSMIT,        RDF_CARD_EJECT,   RDF_READER_SWALLOW,
                         RDF_CARD_TRACKING, RDF_SET_PROTOCOL, RDF_CARD_CONFISCATE, RDF_IOCTL_VENDOR};
    for (size_t i = 0; i < ARRAYSIZE(slots); ++i) {
        EXPECT_LT(slots[i], (int)ARRAYSIZE(SMARTCARD_EXTENSION{}.ReaderFunction));
        for (size_t j = i + 1; j < ARRAYSIZE(slots); ++j) EXPECT_NE(slots[i], slots[j]);
    }
}

TEST(SmartcardCodes, ReaderInterfaceClass) {
    const GUID& g = GUID_DEVINTERFACE_SMARTCARD_READER;
    EXPECT_EQ(g.Data1, 0x50DD5230u);
    EXPECT_EQ(g.Data2, 0xBA8A);
    EXPECT_EQ(g.Data3, 0x11D1);
    const UCHAR data4[8] = {0xBF, 0x5D, 0x00, 0x00, 0xF8, 0x05, 0xF5, 0x30};
    EXPECT_EQ(std::memcmp(g.Data4, data4, 8), 0);
}

} // namespace
