// Device interfaces, the hardware registry key and RtlQueryRegistryValues,
// symbolic links, the WDM version check and device creation under the
// pool's fault plan, as drivers see them.
#include <gtest/gtest.h>

#include "kernel/pool.h"
#include "platform/io_test_drivers.h"
#include "pnp/pnp_platform.h"

namespace qv::test {
namespace {

constexpr GUID kReaderClass = {0x50DD5230, 0xBA8A, 0x11D1, {0xBF, 0x5D, 0x00, 0x00, 0xF8, 0x05, 0xF5, 0x30}};

// A PDO the way a bus driver makes one, reported to the PnP records.
PDEVICE_OBJECT MakePdo(PDRIVER_OBJECT bus) {
    PDEVICE_OBJECT pdo = AddLayer(bus, Role::Complete);
    pdo->Flags &= ~DO_DEVICE_INITIALIZING;
    pnp::Platform().AddPhysicalDevice(pdo);
    return pdo;
}

std::u16string Text(const UNICODE_STRING& text) {
    return std::u16string(reinterpret_cast<const char16_t*>(text.Buffer), text.Length / sizeof(WCHAR));
}

TEST(DeviceInterfaces, RegisterEnableDisableAsDocumented) {
    Machine machine;
    RunOk(machine, [] {
        PDRIVER_OBJECT bus = Load(u"\\Driver\\Bus");
        PDEVICE_OBJECT pdo = MakePdo(bus);
        PDEVICE_OBJECT fdo = AddLayer(bus, Role::Complete, pdo);
        UNICODE_STRING link{};
        // Only a PDO has a device instance to register an interface for.
        EXPECT_EQ(IoRegisterDeviceInterface(fdo, &kReaderClass, nullptr, &link), STATUS_INVALID_DEVICE_REQUEST);
        ASSERT_EQ(IoRegisterDeviceInterface(pdo, &kReaderClass, nullptr, &link), STATUS_SUCCESS);
        EXPECT_TRUE(Text(link).starts_with(u"\\??\\"));
        EXPECT_TRUE(Text(link).ends_with(u"{50dd5230-ba8a-11d1-bf5d-0000f805f530}"));
        // Registered interfaces start disabled and are not found by applications.
        EXPECT_TRUE(pnp::Platform().EnabledInterfaces(kReaderClass).empty());
        UNICODE_STRING again{};
        ASSERT_EQ(IoRegisterDeviceInterface(pdo, &kReaderClass, nullptr, &again), STATUS_SUCCESS);
        EXPECT_EQ(Text(again), Text(link));
        RtlFreeUnicodeString(&again);

        EXPECT_EQ(IoSetDeviceInterfaceState(&link, FALSE), STATUS_OBJECT_NAME_NOT_FOUND);
        EXPECT_EQ(IoSetDeviceInterfaceState(&link, TRUE), STATUS_SUCCESS);
        EXPECT_EQ(IoSetDeviceInterfaceState(&link, TRUE), STATUS_OBJECT_NAME_EXISTS);
        ASSERT_EQ(pnp::Platform().EnabledInterfaces(kReaderClass).size(), 1u);
        EXPECT_EQ(pnp::Platform().EnabledInterfaces(kReaderClass)[0], Text(link));
        EXPECT_EQ(IoSetDeviceInterfaceState(&link, FALSE), STATUS_SUCCESS);
        EXPECT_TRUE(pnp::Platform().EnabledInterfaces(kReaderClass).empty());
        RtlFreeUnicodeString(&link);

        UNICODE_STRING unknown;
        RtlInitUnicodeString(&unknown, u"\\??\\nothing");
        EXPECT_EQ(IoSetDeviceInterfaceState(&unknown, TRUE), STATUS_OBJECT_NAME_NOT_FOUND);
        LayerOf(fdo).lower = pdo;
        RemoveStack(fdo);
    });
}

TEST(DeviceInterfaces, TheLinkNameCanFailForWantOfPool) {
    Machine machine;
    RunOk(machine, [] {
        PDRIVER_OBJECT bus = Load(u"\\Driver\\Bus");
        PDEVICE_OBJECT pdo = MakePdo(bus);
        UNICODE_STRING link{};
        K().PoolAllocator().FailAfter(1);
        EXPECT_EQ(IoRegisterDeviceInterface(pdo, &kReaderClass, nullptr, &link), STATUS_INSUFFICIENT_RESOURCES);
        EXPECT_EQ(link.Buffer, nullptr);
        RemoveStack(pdo);
    });
}

TEST(DeviceCreation, FailsUnderThePoolFaultPlanAndLeavesNothing) {
    Machine machine;
    RunOk(machine, [] {
        PDRIVER_OBJECT driver = Load(u"\\Driver\\Fdo");
        K().PoolAllocator().FailAfter(1);
        PDEVICE_OBJECT device = reinterpret_cast<PDEVICE_OBJECT>(1);
        EXPECT_EQ(IoCreateDevice(driver, 64, nullptr, FILE_DEVICE_SMARTCARD, 0, TRUE, &device),
                  STATUS_INSUFFICIENT_RESOURCES);
        EXPECT_EQ(device, nullptr);
        EXPECT_EQ(driver->DeviceObject, nullptr);
        Io().UnloadDriver(driver);
    });
}

// The hardware key holds what the host put there; RtlQueryRegistryValues
// with RTL_QUERY_REGISTRY_DIRECT fills empty UNICODE_STRINGs with buffers of
// its own, takes the default for a missing value, and stops at the first
// failure, leaving the buffers it has already handed out to the caller.
TEST(Registry, DirectQueryAllocatesStringsAndTakesDefaults) {
    Machine machine;
    RunOk(machine, [] {
        PDRIVER_OBJECT bus = Load(u"\\Driver\\Bus");
        PDEVICE_OBJECT pdo = MakePdo(bus);
        pnp::Platform().SetHardwareString(pdo, u"VendorName", u"Acme");
        pnp::Platform().SetHardwareValue(pdo, u"Count", pnp::RegistryValue::Dword(7));

        HANDLE key = nullptr;
        EXPECT_EQ(IoOpenDeviceRegistryKey(pdo, PLUGPLAY_REGKEY_DRIVER, KEY_READ, &key), STATUS_INVALID_PARAMETER);
        ASSERT_EQ(IoOpenDeviceRegistryKey(pdo, PLUGPLAY_REGKEY_DEVICE, KEY_READ, &key), STATUS_SUCCESS);
        EXPECT_EQ(pnp::Platform().OpenKeys(), 1u);

        UNICODE_STRING vendor{};
        UNICODE_STRING type{};
        ULONG count = 0;
        WCHAR empty[] = u"";
        WCHAR vendorName[] = u"VendorName";
        WCHAR typeName[] = u"IfdType";
        WCHAR countName[] = u"Count";
        RTL_QUERY_REGISTRY_TABLE table[4] = {};
        table[0] = {nullptr, RTL_QUERY_REGISTRY_DIRECT, vendorName, &vendor, REG_SZ, empty, 0};
        table[1] = {nullptr, RTL_QUERY_REGISTRY_DIRECT, typeName, &type, REG_SZ, empty, 0};
        table[2] = {nullptr, RTL_QUERY_REGISTRY_DIRECT, countName, &count, REG_NONE, nullptr, 0};
        ASSERT_EQ(RtlQueryRegistryValues(RTL_REGISTRY_HANDLE, static_cast<PCWSTR>(key), table, nullptr, nullptr),
                  STATUS_SUCCESS);
        EXPECT_EQ(Text(vendor), u"Acme");
        EXPECT_EQ(vendor.MaximumLength, 10);
        ASSERT_NE(type.Buffer, nullptr); // the empty default still gets a buffer
        EXPECT_EQ(type.Length, 0);
        EXPECT_EQ(count, 7u);
        RtlFreeUnicodeString(&vendor);
        RtlFreeUnicodeString(&type);

        // The second string's buffer cannot be had: the first stays the caller's.
        K().PoolAllocator().FailAfter(2);
        EXPECT_EQ(RtlQueryRegistryValues(RTL_REGISTRY_HANDLE, static_cast<PCWSTR>(key), table, nullptr, nullptr),
                  STATUS_INSUFFICIENT_RESOURCES);
        EXPECT_NE(vendor.Buffer, nullptr);
        EXPECT_EQ(type.Buffer, nullptr);
        RtlFreeUnicodeString(&vendor);

        // A caller's buffer that is too small is not overrun.
        WCHAR small[2];
        UNICODE_STRING tight{0, sizeof small, small};
        table[0].EntryContext = &tight;
        table[1] = {};
        EXPECT_EQ(RtlQueryRegistryValues(RTL_REGISTRY_HANDLE, static_cast<PCWSTR>(key), table, nullptr, nullptr),
                  STATUS_BUFFER_TOO_SMALL);

        EXPECT_EQ(ZwClose(key), STATUS_SUCCESS);
        EXPECT_EQ(ZwClose(key), STATUS_INVALID_HANDLE);
        EXPECT_EQ(pnp::Platform().OpenKeys(), 0u);

        pnp::Platform().FailKeyOpen(pdo, STATUS_OBJECT_NAME_NOT_FOUND);
        EXPECT_EQ(IoOpenDeviceRegistryKey(pdo, PLUGPLAY_REGKEY_DEVICE, KEY_READ, &key), STATUS_OBJECT_NAME_NOT_FOUND);
        RemoveStack(pdo);
    });
}

TEST(Registry, WdmVersionFollowsThePlatform) {
    Machine machine;
    RunOk(machine, [] {
        EXPECT_TRUE(IoIsWdmVersionAvailable(1, 0x10));
        EXPECT_TRUE(IoIsWdmVersionAvailable(1, 0x20));
        EXPECT_FALSE(IoIsWdmVersionAvailable(1, 0x30));
        pnp::Platform().SetWdmVersion(1, 0x00); // Windows 98
        EXPECT_FALSE(IoIsWdmVersionAvailable(1, 0x10));
        EXPECT_TRUE(IoIsWdmVersionAvailable(1, 0x00));
    });
}

TEST(SymbolicLinks, CreateCollideDelete) {
    Machine machine;
    RunOk(machine, [] {
        UNICODE_STRING link;
        UNICODE_STRING target;
        RtlInitUnicodeString(&link, u"\\DosDevices\\Reader0");
        RtlInitUnicodeString(&target, u"\\Device\\Reader0");
        EXPECT_EQ(IoCreateSymbolicLink(&link, &target), STATUS_SUCCESS);
        EXPECT_EQ(IoCreateSymbolicLink(&link, &target), STATUS_OBJECT_NAME_COLLISION);
        EXPECT_EQ(pnp::Platform().LinkTarget(u"\\DosDevices\\Reader0").value_or(u""), u"\\Device\\Reader0");
        EXPECT_EQ(IoDeleteSymbolicLink(&link), STATUS_SUCCESS);
        EXPECT_EQ(IoDeleteSymbolicLink(&link), STATUS_OBJECT_NAME_NOT_FOUND);
    });
}

} // namespace
} // namespace qv::test
