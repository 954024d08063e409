// USBD's configuration helpers: walking a configuration descriptor and
// building the select-configuration request for it, as USBD.SYS does for a
// client driver. The descriptor comes from the device and is walked
// defensively: a length of zero or one that runs past wTotalLength ends the
// walk instead of looping or reading beyond the buffer.
#include <cstddef>
#include <cstring>

#include "kernel/placement_rules.h"
#include "qvwdk.h"

namespace {

// USBD's own pool blocks are tagged "USBD".
constexpr ULONG kUsbdPoolTag = QV_POOL_TAG('U', 'S', 'B', 'D');

// A criterion given as -1 matches anything.
constexpr LONG kAny = -1;

// Select-configuration URBs carry their length in a USHORT.
constexpr std::size_t kLargestUrb = 0xFFFF;

constexpr std::size_t kInterfaceRecordsOffset = offsetof(struct _URB_SELECT_CONFIGURATION, Interface);

bool Matches(LONG criterion, UCHAR value) { return criterion == kAny || criterion == static_cast<LONG>(value); }

std::size_t InterfaceRecordSize(UCHAR endpoints) { return GET_USBD_INTERFACE_SIZE(endpoints); }

} // namespace

extern "C" {

PUSB_COMMON_DESCRIPTOR NTAPI USBD_ParseDescriptors(PVOID DescriptorBuffer, ULONG TotalLength, PVOID StartPosition,
                                                   LONG DescriptorType) {
    QV_CHECK_CALLER();
    if (DescriptorBuffer == nullptr || StartPosition == nullptr) return nullptr;
    const auto* base = static_cast<const UCHAR*>(DescriptorBuffer);
    const UCHAR* end = base + TotalLength;
    const auto* at = static_cast<const UCHAR*>(StartPosition);
    if (at < base || at >= end) return nullptr;
    while (static_cast<std::size_t>(end - at) >= sizeof(USB_COMMON_DESCRIPTOR)) {
        const auto* descriptor = reinterpret_cast<const USB_COMMON_DESCRIPTOR*>(at);
        // A descriptor shorter than its own header cannot be stepped over,
        // and one longer than what is left is cut off: either ends the walk.
        if (descriptor->bLength < sizeof(USB_COMMON_DESCRIPTOR)) return nullptr;
        if (descriptor->bLength > static_cast<std::size_t>(end - at)) return nullptr;
        if (static_cast<LONG>(descriptor->bDescriptorType) == DescriptorType) {
            return const_cast<PUSB_COMMON_DESCRIPTOR>(descriptor);
        }
        at += descriptor->bLength;
    }
    return nullptr;
}

PUSB_INTERFACE_DESCRIPTOR NTAPI USBD_ParseConfigurationDescriptorEx(
    PUSB_CONFIGURATION_DESCRIPTOR ConfigurationDescriptor, PVOID StartPosition, LONG InterfaceNumber,
    LONG AlternateSetting, LONG InterfaceClass, LONG InterfaceSubClass, LONG InterfaceProtocol) {
    QV_CHECK_CALLER();
    if (ConfigurationDescriptor == nullptr) return nullptr;
    const ULONG total = ConfigurationDescriptor->wTotalLength;
    PVOID start = StartPosition != nullptr ? StartPosition : ConfigurationDescriptor;
    for (PUSB_COMMON_DESCRIPTOR found =
             USBD_ParseDescriptors(ConfigurationDescriptor, total, start, USB_INTERFACE_DESCRIPTOR_TYPE);
         found != nullptr;
         found = USBD_ParseDescriptors(ConfigurationDescriptor, total, reinterpret_cast<PUCHAR>(found) + found->bLength,
                                       USB_INTERFACE_DESCRIPTOR_TYPE)) {
        // Too short to hold the fields compared below: not a usable
        // interface descriptor, but the walk can step over it.
        if (found->bLength < sizeof(USB_INTERFACE_DESCRIPTOR)) continue;
        auto* candidate = reinterpret_cast<PUSB_INTERFACE_DESCRIPTOR>(found);
        if (Matches(InterfaceNumber, candidate->bInterfaceNumber) &&
            Matches(AlternateSetting, candidate->bAlternateSetting) &&
            Matches(InterfaceClass, candidate->bInterfaceClass) &&
            Matches(InterfaceSubClass, candidate->bInterfaceSubClass) &&
            Matches(InterfaceProtocol, candidate->bInterfaceProtocol)) {
            return candidate;
        }
    }
    return nullptr;
}

PURB NTAPI USBD_CreateConfigurationRequestEx(PUSB_CONFIGURATION_DESCRIPTOR ConfigurationDescriptor,
                                             PUSBD_INTERFACE_LIST_ENTRY InterfaceList) {
    QV_CHECK_CALLER();
    if (ConfigurationDescriptor == nullptr || InterfaceList == nullptr) return nullptr;
    std::size_t size = kInterfaceRecordsOffset;
    std::size_t interfaces = 0;
    for (PUSBD_INTERFACE_LIST_ENTRY entry = InterfaceList; entry->InterfaceDescriptor != nullptr; ++entry) {
        size += InterfaceRecordSize(entry->InterfaceDescriptor->bNumEndpoints);
        ++interfaces;
    }
    if (interfaces == 0 || size > kLargestUrb) return nullptr;

    auto* urb = static_cast<PURB>(ExAllocatePoolWithTag(NonPagedPool, size, kUsbdPoolTag));
    if (urb == nullptr) return nullptr;
    std::memset(urb, 0, size);
    urb->UrbHeader.Length = static_cast<USHORT>(size);
    urb->UrbHeader.Function = URB_FUNCTION_SELECT_CONFIGURATION;
    urb->UrbSelectConfiguration.ConfigurationDescriptor = ConfigurationDescriptor;

    auto* record = reinterpret_cast<PUCHAR>(urb) + kInterfaceRecordsOffset;
    for (PUSBD_INTERFACE_LIST_ENTRY entry = InterfaceList; entry->InterfaceDescriptor != nullptr; ++entry) {
        const PUSB_INTERFACE_DESCRIPTOR descriptor = entry->InterfaceDescriptor;
        auto* info = reinterpret_cast<PUSBD_INTERFACE_INFORMATION>(record);
        info->Length = static_cast<USHORT>(InterfaceRecordSize(descriptor->bNumEndpoints));
        info->InterfaceNumber = descriptor->bInterfaceNumber;
        info->AlternateSetting = descriptor->bAlternateSetting;
        info->NumberOfPipes = descriptor->bNumEndpoints;
        for (ULONG pipe = 0; pipe < info->NumberOfPipes; ++pipe) {
            info->Pipes[pipe].MaximumTransferSize = USBD_DEFAULT_MAXIMUM_TRANSFER_SIZE;
        }
        entry->Interface = info;
        record += info->Length;
    }
    return urb;
}

PURB NTAPI USBD_CreateConfigurationRequest(PUSB_CONFIGURATION_DESCRIPTOR ConfigurationDescriptor, PUSHORT Siz) {
    QV_CHECK_CALLER();
    if (Siz != nullptr) *Siz = 0;
    if (ConfigurationDescriptor == nullptr || Siz == nullptr) return nullptr;
    // The request covers one interface: the first one in its default
    // (zero) alternate setting, or failing that the first one at all.
    PUSB_INTERFACE_DESCRIPTOR first =
        USBD_ParseConfigurationDescriptorEx(ConfigurationDescriptor, ConfigurationDescriptor, kAny, 0, kAny, kAny, kAny);
    if (first == nullptr) {
        first = USBD_ParseConfigurationDescriptorEx(ConfigurationDescriptor, ConfigurationDescriptor, kAny, kAny, kAny,
                                                    kAny, kAny);
    }
    if (first == nullptr) return nullptr;
    USBD_INTERFACE_LIST_ENTRY list[] = {{first, nullptr}, {nullptr, nullptr}};
    PURB urb = USBD_CreateConfigurationRequestEx(ConfigurationDescriptor, list);
    if (urb != nullptr) *Siz = urb->UrbHeader.Length;
    return urb;
}

} // extern "C"
