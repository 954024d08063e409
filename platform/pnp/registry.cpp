// The registry as a driver sees it: the hardware key of its device
// (IoOpenDeviceRegistryKey) and RtlQueryRegistryValues on a key handle, with
// the value types a device's key holds (strings and double words). The keys
// themselves live in the Plug and Play records, where the host fills them;
// their handles are the kernel's, of a type whose close routine forgets the
// open key here.
#include <algorithm>
#include <cstring>
#include <string>

#include "io/io_state.h"
#include "kernel/placement_rules.h"
#include "kernel/pool.h"
#include "kernel/scheduler.h"
#include "pnp/pnp_platform.h"

namespace qv::pnp {

namespace {

// ZwClose of a key's handle.
void CloseKey(void* key) { Platform().ForgetKey(static_cast<const PnpPlatform::Key*>(key)); }

constexpr HandleType kKeyHandle{"Key", &CloseKey};

// Strings the registry routines allocate for their callers come from the
// same tag as the run-time library's, so that RtlFreeUnicodeString frees
// them.
constexpr ULONG kStringTag = QV_POOL_TAG('S', 't', 'r', 'g');

} // namespace

RegistryValue RegistryValue::String(std::u16string_view text) {
    RegistryValue value;
    value.type = REG_SZ;
    value.data.resize((text.size() + 1) * sizeof(char16_t));
    std::memcpy(value.data.data(), text.data(), text.size() * sizeof(char16_t));
    return value;
}

RegistryValue RegistryValue::Dword(ULONG number) {
    RegistryValue value;
    value.type = REG_DWORD;
    value.data.resize(sizeof(ULONG));
    std::memcpy(value.data.data(), &number, sizeof(ULONG));
    return value;
}

void PnpPlatform::AddPhysicalDevice(PDEVICE_OBJECT pdo) {
    if (!IsPhysicalDevice(pdo)) pdos_.push_back(pdo);
}

bool PnpPlatform::IsPhysicalDevice(const DEVICE_OBJECT* pdo) const {
    return std::find(pdos_.begin(), pdos_.end(), pdo) != pdos_.end();
}

void PnpPlatform::SetHardwareValue(PDEVICE_OBJECT pdo, std::u16string_view name, RegistryValue value) {
    hardware_[pdo][std::u16string(name)] = std::move(value);
}

void PnpPlatform::DeleteHardwareValue(PDEVICE_OBJECT pdo, std::u16string_view name) {
    auto key = hardware_.find(pdo);
    if (key != hardware_.end()) key->second.erase(std::u16string(name));
}

void PnpPlatform::FailKeyOpen(PDEVICE_OBJECT pdo, NTSTATUS status) {
    if (status == STATUS_SUCCESS) keyOpenFailures_.erase(pdo);
    else keyOpenFailures_[pdo] = status;
}

NTSTATUS PnpPlatform::OpenHardwareKey(PDEVICE_OBJECT pdo, HANDLE* handle) {
    auto failure = keyOpenFailures_.find(pdo);
    if (failure != keyOpenFailures_.end()) return failure->second;
    keys_.push_back(std::make_unique<Key>(Key{pdo}));
    *handle = K().Handles().Insert(kKeyHandle, keys_.back().get());
    return STATUS_SUCCESS;
}

const PnpPlatform::Key* PnpPlatform::FindKey(HANDLE handle) const {
    return static_cast<const Key*>(K().Handles().Find(handle, kKeyHandle));
}

void PnpPlatform::ForgetKey(const Key* key) {
    std::erase_if(keys_, [key](const std::unique_ptr<Key>& open) { return open.get() == key; });
}

const std::map<std::u16string, RegistryValue>* PnpPlatform::HardwareKey(PDEVICE_OBJECT pdo) const {
    auto found = hardware_.find(pdo);
    return found == hardware_.end() ? nullptr : &found->second;
}

namespace {

using io::RequireIrqlAtMost;

std::u16string NameOf(PCWSTR name) {
    std::u16string text;
    for (std::size_t i = 0; name[i] != 0; ++i) text.push_back(static_cast<char16_t>(name[i]));
    return text;
}

std::size_t WideBytes(const void* text) {
    const auto* characters = static_cast<const WCHAR*>(text);
    std::size_t count = 0;
    while (characters[count] != 0) ++count;
    return (count + 1) * sizeof(WCHAR);
}

// A string value into the caller's UNICODE_STRING: into its buffer when it
// has one (which must hold the string and its terminating zero), or into a
// buffer allocated here for the caller to free with RtlFreeUnicodeString.
NTSTATUS StoreString(PUNICODE_STRING destination, const std::uint8_t* data, std::size_t bytes) {
    std::size_t characters = bytes / sizeof(WCHAR);
    // The stored size may or may not count a terminating zero.
    const auto* text = reinterpret_cast<const WCHAR*>(data);
    while (characters > 0 && text[characters - 1] == 0) --characters;
    const std::size_t needed = (characters + 1) * sizeof(WCHAR);
    if (needed > 0xFFFE) return STATUS_INVALID_PARAMETER;
    if (destination->Buffer == nullptr) {
        destination->Buffer = static_cast<PWCH>(ExAllocatePoolWithTag(PagedPool, needed, kStringTag));
        if (destination->Buffer == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
        destination->MaximumLength = static_cast<USHORT>(needed);
    } else if (destination->MaximumLength < needed) {
        return STATUS_BUFFER_TOO_SMALL;
    }
    std::memcpy(destination->Buffer, data, characters * sizeof(WCHAR));
    destination->Buffer[characters] = 0;
    destination->Length = static_cast<USHORT>(characters * sizeof(WCHAR));
    return STATUS_SUCCESS;
}

// RTL_QUERY_REGISTRY_DIRECT: strings into a UNICODE_STRING, data of a
// ULONG or less into the ULONG the entry points at, anything longer into a
// buffer whose size the caller wrote as a LONG at its start (negative: the
// buffer is that many bytes and holds the raw data).
NTSTATUS StoreDirect(PRTL_QUERY_REGISTRY_TABLE entry, ULONG type, const std::uint8_t* data, std::size_t bytes) {
    if (entry->EntryContext == nullptr) return STATUS_INVALID_PARAMETER;
    if (type == REG_SZ || type == REG_EXPAND_SZ || type == REG_MULTI_SZ)
        return StoreString(static_cast<PUNICODE_STRING>(entry->EntryContext), data, bytes);
    if (bytes <= sizeof(ULONG)) {
        std::memcpy(entry->EntryContext, data, bytes);
        return STATUS_SUCCESS;
    }
    LONG room = 0;
    std::memcpy(&room, entry->EntryContext, sizeof(LONG));
    const std::size_t capacity = static_cast<std::size_t>(room < 0 ? -room : room);
    if (capacity < bytes) return STATUS_BUFFER_TOO_SMALL;
    std::memcpy(entry->EntryContext, data, bytes);
    return STATUS_SUCCESS;
}

NTSTATUS Deliver(PRTL_QUERY_REGISTRY_TABLE entry, ULONG type, const std::uint8_t* data, std::size_t bytes,
                 PVOID context) {
    if ((entry->Flags & RTL_QUERY_REGISTRY_DIRECT) != 0) return StoreDirect(entry, type, data, bytes);
    return entry->QueryRoutine(entry->Name, type, const_cast<std::uint8_t*>(data), static_cast<ULONG>(bytes),
                               context, entry->EntryContext);
}

} // namespace
} // namespace qv::pnp

using namespace qv;
using namespace qv::pnp;

extern "C" {

NTSTATUS NTAPI IoOpenDeviceRegistryKey(PDEVICE_OBJECT DeviceObject, ULONG DevInstKeyType, ACCESS_MASK DesiredAccess,
                                       PHANDLE DevInstRegKey) {
    QV_CHECK_CALLER();
    UNREFERENCED_PARAMETER(DesiredAccess);
    RequireIrqlAtMost(PASSIVE_LEVEL, "IoOpenDeviceRegistryKey");
    *DevInstRegKey = nullptr;
    PnpPlatform& pnp = Platform();
    // Only a physical device object has a device instance, and so keys.
    if (!pnp.IsPhysicalDevice(DeviceObject)) return STATUS_INVALID_DEVICE_REQUEST;
    if (DevInstKeyType != PLUGPLAY_REGKEY_DEVICE) return STATUS_INVALID_PARAMETER;
    const NTSTATUS status = pnp.OpenHardwareKey(DeviceObject, DevInstRegKey);
    K().Events().Log(K().Now(), K().Sched().CurrentName(), "pnp",
                     "open hardware key of " + Io().Internals().devices.Label(DeviceObject) + ": " +
                         (NT_SUCCESS(status) ? "ok" : "failed"));
    return status;
}

NTSTATUS NTAPI RtlQueryRegistryValues(ULONG RelativeTo, PCWSTR Path, PRTL_QUERY_REGISTRY_TABLE QueryTable,
                                      PVOID Context, PVOID Environment) {
    QV_CHECK_CALLER();
    UNREFERENCED_PARAMETER(Environment);
    RequireIrqlAtMost(PASSIVE_LEVEL, "RtlQueryRegistryValues");
    PnpPlatform& pnp = Platform();
    // Only keys opened by handle exist in this machine's registry.
    if ((RelativeTo & ~RTL_REGISTRY_OPTIONAL) != RTL_REGISTRY_HANDLE) return STATUS_OBJECT_NAME_NOT_FOUND;
    const PnpPlatform::Key* key = pnp.FindKey(const_cast<PWSTR>(Path));
    if (key == nullptr) return STATUS_INVALID_HANDLE;
    const auto* values = pnp.HardwareKey(key->pdo);
    for (PRTL_QUERY_REGISTRY_TABLE entry = QueryTable; entry->QueryRoutine != nullptr || entry->Name != nullptr;
         ++entry) {
        if ((entry->Flags & (RTL_QUERY_REGISTRY_SUBKEY | RTL_QUERY_REGISTRY_TOPKEY)) != 0) continue;
        if (entry->Name == nullptr) return STATUS_INVALID_PARAMETER;
        const RegistryValue* found = nullptr;
        if (values != nullptr) {
            auto value = values->find(NameOf(entry->Name));
            if (value != values->end()) found = &value->second;
        }
        NTSTATUS status = STATUS_SUCCESS;
        if (found != nullptr) {
            status = Deliver(entry, found->type, found->data.data(), found->data.size(), Context);
        } else if (entry->DefaultType != REG_NONE) {
            // A missing value takes the entry's default; a string default
            // with length 0 is measured up to its terminating zero.
            std::size_t length = entry->DefaultLength;
            const bool text = entry->DefaultType == REG_SZ || entry->DefaultType == REG_EXPAND_SZ;
            if (length == 0 && text && entry->DefaultData != nullptr) length = WideBytes(entry->DefaultData);
            status = Deliver(entry, entry->DefaultType, static_cast<const std::uint8_t*>(entry->DefaultData), length,
                             Context);
        } else if ((entry->Flags & RTL_QUERY_REGISTRY_REQUIRED) != 0) {
            status = STATUS_OBJECT_NAME_NOT_FOUND;
        }
        if (!NT_SUCCESS(status)) return status;
    }
    return STATUS_SUCCESS;
}

BOOLEAN NTAPI IoIsWdmVersionAvailable(UCHAR MajorVersion, UCHAR MinorVersion) {
    QV_CHECK_CALLER();
    return Platform().WdmVersionAvailable(MajorVersion, MinorVersion) ? TRUE : FALSE;
}

} // extern "C"
