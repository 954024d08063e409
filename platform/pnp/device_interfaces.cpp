// Device interfaces and symbolic links: IoRegisterDeviceInterface gives a
// device instance a link name per interface class (and reference string),
// IoSetDeviceInterfaceState switches it on and off, and applications find
// the enabled ones by class. Symbolic links of the object manager
// (IoCreateSymbolicLink) point a name at a device name.
#include <algorithm>
#include <cstdio>
#include <string>

#include "io/io_state.h"
#include "kernel/placement_rules.h"
#include "kernel/scheduler.h"
#include "pnp/pnp_platform.h"

namespace qv::pnp {

namespace {

constexpr ULONG kStringTag = QV_POOL_TAG('S', 't', 'r', 'g');
// The kernel-mode form of an interface's link name: the bus's enumerator,
// the device instance, then the interface class.
constexpr std::u16string_view kLinkPrefix = u"\\??\\USB#VID_5153&PID_0038#";

bool SameGuid(const GUID& a, const GUID& b) {
    return a.Data1 == b.Data1 && a.Data2 == b.Data2 && a.Data3 == b.Data3 &&
           std::equal(std::begin(a.Data4), std::end(a.Data4), std::begin(b.Data4));
}

std::u16string FromCounted(PCUNICODE_STRING text) {
    if (text == nullptr || text->Buffer == nullptr) return {};
    return std::u16string(reinterpret_cast<const char16_t*>(text->Buffer), text->Length / sizeof(WCHAR));
}

// A copy of the name in pool memory, for the caller to free with
// RtlFreeUnicodeString.
NTSTATUS HandOut(std::u16string_view name, PUNICODE_STRING destination) {
    const std::size_t bytes = (name.size() + 1) * sizeof(WCHAR);
    auto* buffer = static_cast<PWCH>(ExAllocatePoolWithTag(PagedPool, bytes, kStringTag));
    if (buffer == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
    std::copy(name.begin(), name.end(), buffer);
    buffer[name.size()] = 0;
    destination->Buffer = buffer;
    destination->Length = static_cast<USHORT>(name.size() * sizeof(WCHAR));
    destination->MaximumLength = static_cast<USHORT>(bytes);
    return STATUS_SUCCESS;
}

void Log(const std::string& text) { K().Events().Log(K().Now(), K().Sched().CurrentName(), "pnp", text); }

} // namespace

std::u16string Widen(std::string_view text) { return std::u16string(text.begin(), text.end()); }

std::u16string GuidText(const GUID& guid) {
    char text[40];
    std::snprintf(text, sizeof text, "{%08x-%04x-%04x-%02x%02x-%02x%02x%02x%02x%02x%02x}",
                  static_cast<unsigned>(guid.Data1), guid.Data2, guid.Data3, guid.Data4[0], guid.Data4[1],
                  guid.Data4[2], guid.Data4[3], guid.Data4[4], guid.Data4[5], guid.Data4[6], guid.Data4[7]);
    return Widen(text);
}

std::vector<std::u16string> PnpPlatform::EnabledInterfaces(const GUID& classGuid) const {
    std::vector<std::u16string> links;
    for (const DeviceInterface& entry : interfaces_)
        if (entry.enabled && SameGuid(entry.classGuid, classGuid)) links.push_back(entry.link);
    return links;
}

const DeviceInterface* PnpPlatform::FindInterface(std::u16string_view link) const {
    for (const DeviceInterface& entry : interfaces_)
        if (entry.link == link) return &entry;
    return nullptr;
}

DeviceInterface* PnpPlatform::FindInterfaceMutable(std::u16string_view link) {
    return const_cast<DeviceInterface*>(FindInterface(link));
}

DeviceInterface* PnpPlatform::FindInterfaceOf(PDEVICE_OBJECT pdo, const GUID& classGuid,
                                              std::u16string_view reference) {
    for (DeviceInterface& entry : interfaces_) {
        if (entry.pdo != pdo || !SameGuid(entry.classGuid, classGuid)) continue;
        // Appended piece by piece: GCC 12 at -O3 warns falsely about
        // "literal" + std::u16string&&.
        std::u16string tail = GuidText(classGuid);
        if (!reference.empty()) {
            tail += u'\\';
            tail += reference;
        }
        if (entry.link.ends_with(tail)) return &entry;
    }
    return nullptr;
}

DeviceInterface& PnpPlatform::AddInterface(PDEVICE_OBJECT pdo, const GUID& classGuid, std::u16string_view reference) {
    auto instance = instances_.find(pdo);
    if (instance == instances_.end()) instance = instances_.emplace(pdo, instances_.size() + 1).first;
    char number[16];
    std::snprintf(number, sizeof number, "%04u#", instance->second);
    DeviceInterface entry;
    entry.classGuid = classGuid;
    entry.pdo = pdo;
    entry.link = std::u16string(kLinkPrefix) + Widen(number) + GuidText(classGuid);
    if (!reference.empty()) {
        entry.link += u'\\';
        entry.link += reference;
    }
    interfaces_.push_back(std::move(entry));
    return interfaces_.back();
}

void PnpPlatform::DisableInterfacesOf(PDEVICE_OBJECT pdo) {
    for (DeviceInterface& entry : interfaces_) {
        if (entry.pdo == pdo && entry.enabled) {
            entry.enabled = false;
            Log("interface " + io::Narrow(entry.link) + " disabled by the PnP manager");
        }
    }
}

void PnpPlatform::ForgetDevice(PDEVICE_OBJECT pdo) {
    std::erase_if(interfaces_, [pdo](const DeviceInterface& entry) { return entry.pdo == pdo; });
    hardware_.erase(pdo);
    keyOpenFailures_.erase(pdo);
    std::erase(pdos_, pdo);
}

std::optional<std::u16string> PnpPlatform::LinkTarget(std::u16string_view link) const {
    auto found = links_.find(std::u16string(link));
    if (found == links_.end()) return std::nullopt;
    return found->second;
}

bool PnpPlatform::AddLink(std::u16string_view link, std::u16string_view target) {
    return links_.emplace(std::u16string(link), std::u16string(target)).second;
}

bool PnpPlatform::DeleteLink(std::u16string_view link) { return links_.erase(std::u16string(link)) == 1; }

} // namespace qv::pnp

using namespace qv;
using namespace qv::pnp;

extern "C" {

// As documented: the PDO must be one that a bus driver reported; a second
// registration of the same class and reference string gives the same name
// again with success; the interface starts disabled.
NTSTATUS NTAPI IoRegisterDeviceInterface(PDEVICE_OBJECT PhysicalDeviceObject, const GUID* InterfaceClassGuid,
                                         PUNICODE_STRING ReferenceString, PUNICODE_STRING SymbolicLinkName) {
    QV_CHECK_CALLER();
    io::RequireIrqlAtMost(PASSIVE_LEVEL, "IoRegisterDeviceInterface");
    PnpPlatform& pnp = Platform();
    if (!pnp.IsPhysicalDevice(PhysicalDeviceObject)) return STATUS_INVALID_DEVICE_REQUEST;
    if (InterfaceClassGuid == nullptr || SymbolicLinkName == nullptr) return STATUS_INVALID_PARAMETER;
    const std::u16string reference = FromCounted(ReferenceString);
    DeviceInterface* entry = pnp.FindInterfaceOf(PhysicalDeviceObject, *InterfaceClassGuid, reference);
    std::u16string link = entry != nullptr ? entry->link
                                           : pnp.AddInterface(PhysicalDeviceObject, *InterfaceClassGuid, reference).link;
    const NTSTATUS status = HandOut(link, SymbolicLinkName);
    Log("register interface " + io::Narrow(link) + (NT_SUCCESS(status) ? "" : " (no memory for the name)"));
    return status;
}

NTSTATUS NTAPI IoSetDeviceInterfaceState(PUNICODE_STRING SymbolicLinkName, BOOLEAN Enable) {
    QV_CHECK_CALLER();
    io::RequireIrqlAtMost(PASSIVE_LEVEL, "IoSetDeviceInterfaceState");
    DeviceInterface* entry = Platform().FindInterfaceMutable(FromCounted(SymbolicLinkName));
    if (entry == nullptr) return STATUS_OBJECT_NAME_NOT_FOUND;
    if (Enable) {
        if (entry->enabled) return STATUS_OBJECT_NAME_EXISTS;
        entry->enabled = true;
    } else {
        // Disabling an interface that is not enabled is an error, as
        // documented.
        if (!entry->enabled) return STATUS_OBJECT_NAME_NOT_FOUND;
        entry->enabled = false;
    }
    Log(std::string(Enable ? "enable" : "disable") + " interface " + io::Narrow(entry->link));
    return STATUS_SUCCESS;
}

NTSTATUS NTAPI IoCreateSymbolicLink(PUNICODE_STRING SymbolicLinkName, PUNICODE_STRING DeviceName) {
    QV_CHECK_CALLER();
    io::RequireIrqlAtMost(PASSIVE_LEVEL, "IoCreateSymbolicLink");
    const std::u16string link = FromCounted(SymbolicLinkName);
    if (link.empty() || DeviceName == nullptr) return STATUS_INVALID_PARAMETER;
    if (!Platform().AddLink(link, FromCounted(DeviceName))) return STATUS_OBJECT_NAME_COLLISION;
    Log("symbolic link " + io::Narrow(link) + " -> " + io::Narrow(FromCounted(DeviceName)));
    return STATUS_SUCCESS;
}

NTSTATUS NTAPI IoDeleteSymbolicLink(PUNICODE_STRING SymbolicLinkName) {
    QV_CHECK_CALLER();
    io::RequireIrqlAtMost(PASSIVE_LEVEL, "IoDeleteSymbolicLink");
    if (!Platform().DeleteLink(FromCounted(SymbolicLinkName))) return STATUS_OBJECT_NAME_NOT_FOUND;
    Log("symbolic link " + io::Narrow(FromCounted(SymbolicLinkName)) + " deleted");
    return STATUS_SUCCESS;
}

} // extern "C"
