// USBD's configuration helpers: the select-configuration request they build
// and their walk over configuration descriptors, good and malformed.
#include <gtest/gtest.h>

#include "kernel/pool.h"
#include "support/kernel_run.h"
#include "support/usb_scripted_device.h"

namespace qv::test {
namespace {

PUSB_CONFIGURATION_DESCRIPTOR AsConfiguration(std::vector<std::uint8_t>& bytes) {
    return reinterpret_cast<PUSB_CONFIGURATION_DESCRIPTOR>(bytes.data());
}

PUSB_INTERFACE_DESCRIPTOR Find(std::vector<std::uint8_t>& bytes, LONG number, LONG alternate = -1, LONG cls = -1,
                               PVOID start = nullptr) {
    PUSB_CONFIGURATION_DESCRIPTOR configuration = AsConfiguration(bytes);
    return USBD_ParseConfigurationDescriptorEx(configuration, start != nullptr ? start : configuration, number,
                                               alternate, cls, -1, -1);
}

TEST(Usbd, CreateConfigurationRequestFormatsTheFirstInterfaceWithRoomForItsPipes) {
    Machine machine;
    RunOk(machine, [] {
        InterfaceSpec reader = ReaderInterface();
        reader.number = 3;
        std::vector<std::uint8_t> bytes = MakeConfigurationDescriptor({reader});
        USHORT size = 0;
        PURB urb = USBD_CreateConfigurationRequest(AsConfiguration(bytes), &size);
        ASSERT_NE(urb, nullptr);
        EXPECT_EQ(size, GET_SELECT_CONFIGURATION_REQUEST_SIZE(1, 2));
        EXPECT_EQ(urb->UrbHeader.Length, size);
        EXPECT_EQ(urb->UrbHeader.Function, URB_FUNCTION_SELECT_CONFIGURATION);
        EXPECT_EQ(urb->UrbSelectConfiguration.ConfigurationDescriptor, AsConfiguration(bytes));
        const USBD_INTERFACE_INFORMATION& info = urb->UrbSelectConfiguration.Interface;
        EXPECT_EQ(info.Length, GET_USBD_INTERFACE_SIZE(2));
        EXPECT_EQ(info.InterfaceNumber, 3);
        EXPECT_EQ(info.AlternateSetting, 0);
        EXPECT_EQ(info.NumberOfPipes, 2u);
        for (ULONG pipe = 0; pipe < 2; ++pipe) {
            EXPECT_EQ(info.Pipes[pipe].MaximumTransferSize, static_cast<ULONG>(USBD_DEFAULT_MAXIMUM_TRANSFER_SIZE));
            EXPECT_EQ(info.Pipes[pipe].PipeHandle, nullptr) << "handles are the bus driver's to fill";
        }
        ASSERT_EQ(K().PoolAllocator().OutstandingCount(), 1u);
        EXPECT_EQ(TagText(K().PoolAllocator().Outstanding()[0].tag), "USBD");
        ExFreePool(urb);
        EXPECT_EQ(K().PoolAllocator().OutstandingCount(), 0u);
    });
}

TEST(Usbd, CreateConfigurationRequestFailsCleanly) {
    Machine machine;
    RunOk(machine, [] {
        std::vector<std::uint8_t> bytes = MakeConfigurationDescriptor({ReaderInterface()});
        USHORT size = 1;
        K().PoolAllocator().FailAfter(1);
        EXPECT_EQ(USBD_CreateConfigurationRequest(AsConfiguration(bytes), &size), nullptr);
        EXPECT_EQ(size, 0);

        std::vector<std::uint8_t> empty = MakeConfigurationDescriptor({});
        size = 1;
        EXPECT_EQ(USBD_CreateConfigurationRequest(AsConfiguration(empty), &size), nullptr) << "no interface";
        EXPECT_EQ(size, 0);
    });
}

TEST(Usbd, CreateConfigurationRequestExLaysOutEveryListedInterface) {
    Machine machine;
    RunOk(machine, [] {
        InterfaceSpec second{.number = 1, .endpoints = {{.address = 0x83, .attributes = USB_ENDPOINT_TYPE_INTERRUPT}}};
        std::vector<std::uint8_t> bytes = MakeConfigurationDescriptor({ReaderInterface(), second});
        USBD_INTERFACE_LIST_ENTRY list[] = {{Find(bytes, 0), nullptr}, {Find(bytes, 1), nullptr}, {nullptr, nullptr}};
        PURB urb = USBD_CreateConfigurationRequestEx(AsConfiguration(bytes), list);
        ASSERT_NE(urb, nullptr);
        // The records follow one another, each as long as its own pipes need.
        EXPECT_EQ(urb->UrbHeader.Length, offsetof(struct _URB_SELECT_CONFIGURATION, Interface) +
                                             GET_USBD_INTERFACE_SIZE(2) + GET_USBD_INTERFACE_SIZE(1));
        ASSERT_EQ(list[0].Interface, &urb->UrbSelectConfiguration.Interface);
        const auto* secondRecord = reinterpret_cast<const UCHAR*>(list[0].Interface) + list[0].Interface->Length;
        ASSERT_EQ(reinterpret_cast<const UCHAR*>(list[1].Interface), secondRecord);
        EXPECT_EQ(list[1].Interface->InterfaceNumber, 1);
        EXPECT_EQ(list[1].Interface->NumberOfPipes, 1u);
        ExFreePool(urb);
    });
}

TEST(Usbd, ParseMatchesEveryCriterionAndStartsWhereAsked) {
    Machine machine;
    RunOk(machine, [] {
        InterfaceSpec first = ReaderInterface(40);
        InterfaceSpec alternate = ReaderInterface();
        alternate.alternate = 1;
        InterfaceSpec other{.number = 1, .interfaceClass = 0x03, .endpoints = {{.address = 0x83}}};
        std::vector<std::uint8_t> bytes = MakeConfigurationDescriptor({first, alternate, other});

        PUSB_INTERFACE_DESCRIPTOR any = Find(bytes, -1);
        ASSERT_NE(any, nullptr);
        EXPECT_EQ(reinterpret_cast<UCHAR*>(any), bytes.data() + sizeof(USB_CONFIGURATION_DESCRIPTOR));
        PUSB_INTERFACE_DESCRIPTOR alt = Find(bytes, 0, 1);
        ASSERT_NE(alt, nullptr);
        EXPECT_EQ(alt->bAlternateSetting, 1);
        PUSB_INTERFACE_DESCRIPTOR byClass = Find(bytes, -1, -1, 0x03);
        ASSERT_NE(byClass, nullptr);
        EXPECT_EQ(byClass->bInterfaceNumber, 1);
        EXPECT_EQ(Find(bytes, 0, -1, -1, reinterpret_cast<UCHAR*>(any) + any->bLength), alt);
        EXPECT_EQ(Find(bytes, 2), nullptr);
        EXPECT_EQ(Find(bytes, 0, 0, 0x03), nullptr);
        EXPECT_EQ(USBD_ParseConfigurationDescriptorEx(nullptr, nullptr, -1, -1, -1, -1, -1), nullptr);
        EXPECT_EQ(Find(bytes, -1, -1, -1, bytes.data() + bytes.size()), nullptr) << "start past the end";
    });
}

TEST(Usbd, ParseStopsAtMalformedDescriptorsWithoutReadingPastTheTotalLength) {
    Machine machine;
    RunOk(machine, [] {
        const std::vector<std::uint8_t> good = MakeConfigurationDescriptor({ReaderInterface(16)});
        constexpr std::size_t kClassDescriptor = sizeof(USB_CONFIGURATION_DESCRIPTOR) + sizeof(USB_INTERFACE_DESCRIPTOR);
        constexpr std::size_t kFirstInterface = sizeof(USB_CONFIGURATION_DESCRIPTOR);

        // A zero length before the interface: the walk cannot go on.
        std::vector<std::uint8_t> zero = MakeConfigurationDescriptor({ReaderInterface(16), {.number = 1}});
        zero[kClassDescriptor] = 0;
        EXPECT_EQ(Find(zero, 1), nullptr);
        EXPECT_NE(Find(zero, 0), nullptr) << "what lies before the damage is still found";

        // A descriptor whose length runs past wTotalLength. Where a walk
        // that trusted it would land, beyond the total length, lies what
        // looks like interface 1.
        std::vector<std::uint8_t> overlong = good;
        overlong[kClassDescriptor] = 0xFF;
        overlong.resize(kClassDescriptor + 0xFF, 0);
        overlong.insert(overlong.end(), {sizeof(USB_INTERFACE_DESCRIPTOR), USB_INTERFACE_DESCRIPTOR_TYPE, 1, 0, 0, 0, 0, 0, 0});
        EXPECT_EQ(Find(overlong, 1), nullptr);

        // wTotalLength that cuts the interface descriptor short.
        std::vector<std::uint8_t> cut = good;
        cut[2] = static_cast<std::uint8_t>(kFirstInterface + 4);
        cut[3] = 0;
        EXPECT_EQ(Find(cut, -1), nullptr);

        // A truncated interface descriptor is stepped over, not matched.
        std::vector<std::uint8_t> stub = MakeConfigurationDescriptor({{.number = 0}, {.number = 1}});
        stub[kFirstInterface] = 5;
        stub.erase(stub.begin() + kFirstInterface + 5, stub.begin() + kFirstInterface + sizeof(USB_INTERFACE_DESCRIPTOR));
        stub[2] = static_cast<std::uint8_t>(stub.size());
        PUSB_INTERFACE_DESCRIPTOR found = Find(stub, -1);
        ASSERT_NE(found, nullptr);
        EXPECT_EQ(found->bInterfaceNumber, 1);
    });
}

} // namespace
} // namespace qv::test
