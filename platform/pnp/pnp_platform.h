// What the Plug and Play side of the emulated machine knows besides the
// device objects: the device interfaces that drivers registered and whether
// each is enabled, the symbolic links of the object manager, every device's
// hardware registry key, and which WDM version the platform claims. Tests,
// the console and the application side read and fill it from the host; the
// WDK routines of wdmpnp.h are its driver-side face.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "kernel/kernel.h"

namespace qv::pnp {

// One value of a registry key: its type and its data as the registry
// stores it (a REG_SZ with its terminating zero).
struct RegistryValue {
    ULONG type = REG_NONE;
    std::vector<std::uint8_t> data;

    static RegistryValue String(std::u16string_view text);
    static RegistryValue Dword(ULONG value);
};

struct DeviceInterface {
    GUID classGuid{};
    PDEVICE_OBJECT pdo = nullptr;
    std::u16string link; // "\??\USB#QV#0001#{...}", as IoRegisterDeviceInterface returns it
    bool enabled = false;
};

class PnpPlatform {
  public:
    // WDM version the platform offers: 1.20 (Windows XP) unless a test makes
    // it an older one, so that the paths for older platforms run too.
    void SetWdmVersion(UCHAR major, UCHAR minor) {
        wdmMajor_ = major;
        wdmMinor_ = minor;
    }
    bool WdmVersionAvailable(UCHAR major, UCHAR minor) const {
        return major < wdmMajor_ || (major == wdmMajor_ && minor <= wdmMinor_);
    }

    // --- Physical device objects: the bus drivers report theirs here, and
    // only these have registry keys and device interfaces.
    void AddPhysicalDevice(PDEVICE_OBJECT pdo);
    bool IsPhysicalDevice(const DEVICE_OBJECT* pdo) const;

    // --- Hardware keys (PLUGPLAY_REGKEY_DEVICE), filled by the host.
    void SetHardwareValue(PDEVICE_OBJECT pdo, std::u16string_view name, RegistryValue value);
    void SetHardwareString(PDEVICE_OBJECT pdo, std::u16string_view name, std::u16string_view text) {
        SetHardwareValue(pdo, name, RegistryValue::String(text));
    }
    void DeleteHardwareValue(PDEVICE_OBJECT pdo, std::u16string_view name);
    // Makes IoOpenDeviceRegistryKey fail for the device with this status
    // (STATUS_SUCCESS lets it open again).
    void FailKeyOpen(PDEVICE_OBJECT pdo, NTSTATUS status);
    // Registry key handles opened and not yet closed.
    std::size_t OpenKeys() const { return keys_.size(); }

    // --- Device interfaces.
    // The links of the enabled interfaces of a class, in registration order:
    // what an application enumerates to find the readers.
    std::vector<std::u16string> EnabledInterfaces(const GUID& classGuid) const;
    const DeviceInterface* FindInterface(std::u16string_view link) const;
    std::vector<DeviceInterface> Interfaces() const { return interfaces_; }
    // The PnP manager disables a device's interfaces when it removes the
    // device, whatever the driver did.
    void DisableInterfacesOf(PDEVICE_OBJECT pdo);
    // The PnP manager forgets a device that has gone for good (its PDO is
    // deleted): its interfaces and its hardware key.
    void ForgetDevice(PDEVICE_OBJECT pdo);

    // --- Symbolic links (IoCreateSymbolicLink).
    std::optional<std::u16string> LinkTarget(std::u16string_view link) const;
    std::size_t SymbolicLinks() const { return links_.size(); }

    // --- The driver-side routines' access (registry.cpp, device_interfaces.cpp).
    // An open key is an object of the kernel's handle table; closing its
    // handle forgets it here.
    struct Key {
        PDEVICE_OBJECT pdo = nullptr;
    };
    NTSTATUS OpenHardwareKey(PDEVICE_OBJECT pdo, HANDLE* handle);
    const Key* FindKey(HANDLE handle) const;
    void ForgetKey(const Key* key);
    const std::map<std::u16string, RegistryValue>* HardwareKey(PDEVICE_OBJECT pdo) const;

    DeviceInterface* FindInterfaceMutable(std::u16string_view link);
    DeviceInterface* FindInterfaceOf(PDEVICE_OBJECT pdo, const GUID& classGuid, std::u16string_view reference);
    DeviceInterface& AddInterface(PDEVICE_OBJECT pdo, const GUID& classGuid, std::u16string_view reference);

    bool AddLink(std::u16string_view link, std::u16string_view target);
    bool DeleteLink(std::u16string_view link);

  private:
    UCHAR wdmMajor_ = 1;
    UCHAR wdmMinor_ = 0x20;
    std::vector<PDEVICE_OBJECT> pdos_;
    std::map<PDEVICE_OBJECT, std::map<std::u16string, RegistryValue>> hardware_;
    std::map<PDEVICE_OBJECT, NTSTATUS> keyOpenFailures_;
    std::vector<std::unique_ptr<Key>> keys_;
    std::vector<DeviceInterface> interfaces_;
    std::map<PDEVICE_OBJECT, unsigned> instances_;
    std::map<std::u16string, std::u16string> links_;
};

// The Plug and Play records of the machine the calling code runs on
// (machine/machine.cpp).
PnpPlatform& Platform();

// "{50dd5230-ba8a-11d1-bf5d-0000f805f530}"
std::u16string GuidText(const GUID& guid);
std::u16string Widen(std::string_view text);

} // namespace qv::pnp
