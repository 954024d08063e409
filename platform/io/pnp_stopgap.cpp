// STOPGAP until the Plug and Play emulation lands (branch issue12plat); see
// wdk/pnp_stopgap.h. Device interfaces are names with an on/off state, the
// registry is empty, and the WDM version answer can be set by tests.
#include <cstring>
#include <map>
#include <string>

#include "kernel/kernel.h"
#include "qvwdk.h"

namespace qv::stopgap {
bool& Wdm110Available() {
    static bool available = true;
    return available;
}
std::map<std::u16string, bool>& Interfaces() {
    static std::map<std::u16string, bool> interfaces;
    return interfaces;
}
} // namespace qv::stopgap

using namespace qv;

extern "C" {
BOOLEAN NTAPI IoIsWdmVersionAvailable(UCHAR MajorVersion, UCHAR MinorVersion) {
    if (MajorVersion < 1 || (MajorVersion == 1 && MinorVersion < 0x10)) return TRUE;
    return stopgap::Wdm110Available() ? TRUE : FALSE;
}

NTSTATUS NTAPI IoRegisterDeviceInterface(PDEVICE_OBJECT PhysicalDeviceObject, const GUID*, PUNICODE_STRING,
                                         PUNICODE_STRING SymbolicLinkName) {
    (void)PhysicalDeviceObject;
    std::u16string name = u"\\??\\USB#QVSCR#";
    static unsigned serial = 0;
    for (char c : std::to_string(++serial)) name.push_back(static_cast<char16_t>(c));
    const USHORT bytes = static_cast<USHORT>(name.size() * sizeof(WCHAR));
    auto* buffer = static_cast<PWCH>(ExAllocatePoolWithTag(PagedPool, bytes + sizeof(WCHAR), QV_POOL_TAG('S', 't', 'r', 'g')));
    if (buffer == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
    std::memcpy(buffer, name.data(), bytes);
    buffer[name.size()] = 0;
    SymbolicLinkName->Buffer = buffer;
    SymbolicLinkName->Length = bytes;
    SymbolicLinkName->MaximumLength = static_cast<USHORT>(bytes + sizeof(WCHAR));
    stopgap::Interfaces()[name] = false;
    return STATUS_SUCCESS;
}

NTSTATUS NTAPI IoSetDeviceInterfaceState(PUNICODE_STRING SymbolicLinkName, BOOLEAN Enable) {
    std::u16string name(reinterpret_cast<const char16_t*>(SymbolicLinkName->Buffer), SymbolicLinkName->Length / 2);
    auto it = stopgap::Interfaces().find(name);
    if (it == stopgap::Interfaces().end()) return STATUS_OBJECT_NAME_NOT_FOUND;
    const bool was = it->second;
    it->second = Enable != FALSE;
    if (Enable && was) return STATUS_OBJECT_NAME_EXISTS;
    return STATUS_SUCCESS;
}

NTSTATUS NTAPI IoOpenDeviceRegistryKey(PDEVICE_OBJECT, ULONG, ACCESS_MASK, PHANDLE DevInstRegKey) {
    *DevInstRegKey = nullptr;
    return STATUS_OBJECT_NAME_NOT_FOUND;
}

NTSTATUS NTAPI RtlQueryRegistryValues(ULONG, PCWSTR, PRTL_QUERY_REGISTRY_TABLE, PVOID, PVOID) {
    return STATUS_NOT_IMPLEMENTED;
}

}
