// Device objects and device stacks.
#include <algorithm>
#include <string>

#include "io/io_state.h"
#include "kernel/placement_rules.h"
#include "kernel/pool.h"
#include "kernel/scheduler.h"

namespace qv::io {

namespace {

// Device objects are counted by the pool's fault plan under this tag.
constexpr ULONG kDeviceTag = QV_POOL_TAG('D', 'e', 'v', 'i');

// The extension starts on the boundary that the largest scalar needs, as the
// driver may keep 64-bit counters or LARGE_INTEGERs there.
constexpr std::size_t kExtensionAlignment = alignof(std::max_align_t);

constexpr std::size_t ExtensionOffset() {
    return (sizeof(DEVICE_OBJECT) + kExtensionAlignment - 1) / kExtensionAlignment * kExtensionAlignment;
}

} // namespace

DeviceRecord& DeviceTable::Add(PDRIVER_OBJECT driver, std::size_t extensionSize, std::u16string name,
                               std::string_view driverLabel) {
    auto record = std::make_unique<DeviceRecord>(HostBlock(ExtensionOffset() + extensionSize));
    record->object = reinterpret_cast<PDEVICE_OBJECT>(record->memory.Data());
    record->name = std::move(name);
    record->serial = nextSerial_++;
    record->label = std::string(driverLabel) + "#" + std::to_string(record->serial);
    PDEVICE_OBJECT object = record->object;
    object->Type = IO_TYPE_DEVICE;
    object->Size = static_cast<USHORT>(sizeof(DEVICE_OBJECT) + extensionSize);
    object->DriverObject = driver;
    object->DeviceExtension = extensionSize == 0 ? nullptr : record->memory.Data() + ExtensionOffset();
    object->StackSize = 1;
    DeviceRecord& added = *record;
    live_.emplace(object, std::move(record));
    return added;
}

DeviceRecord* DeviceTable::Find(const DEVICE_OBJECT* device) {
    auto found = live_.find(device);
    return found == live_.end() ? nullptr : found->second.get();
}

DeviceRecord& DeviceTable::Require(PDEVICE_OBJECT device, const char* routine) {
    DeviceRecord* record = Find(device);
    if (record == nullptr) {
        const bool deleted = quarantine_.Holds(device);
        K().Fatal("device-not-live", bugcode::DRIVER_VERIFIER_DETECTED_VIOLATION, violation::NotALiveDevice,
                  Ptr(device), 0, 0,
                  std::string(routine) + " was given " +
                      (deleted ? "a device object that was deleted" : "an address that is not a device object"));
    }
    return *record;
}

bool DeviceTable::NameInUse(std::u16string_view name) const {
    return std::any_of(live_.begin(), live_.end(), [name](const auto& entry) { return entry.second->name == name; });
}

std::vector<DeviceRecord*> DeviceTable::OfDriver(const DRIVER_OBJECT* driver) const {
    std::vector<DeviceRecord*> devices;
    for (const auto& [object, record] : live_)
        if (object->DriverObject == driver) devices.push_back(record.get());
    std::sort(devices.begin(), devices.end(),
              [](const DeviceRecord* a, const DeviceRecord* b) { return a->serial < b->serial; });
    return devices;
}

const std::string& DeviceTable::Label(const DEVICE_OBJECT* device) const {
    auto found = live_.find(device);
    return found == live_.end() ? noDevice_ : found->second->label;
}

void DeviceTable::Free(PDEVICE_OBJECT device) {
    auto found = live_.find(device);
    if (found == live_.end()) return;
    quarantine_.Retire(std::move(found->second->memory));
    live_.erase(found);
}

void DeviceTable::FreeIfUnused(PDEVICE_OBJECT device) {
    DeviceRecord* record = Find(device);
    if (record == nullptr || !record->deletePending) return;
    if (device->AttachedDevice != nullptr || record->references > 0) return;
    Free(device);
}

namespace {

void Unlink(PDEVICE_OBJECT device) {
    for (PDEVICE_OBJECT* link = &device->DriverObject->DeviceObject; *link != nullptr; link = &(*link)->NextDevice) {
        if (*link == device) {
            *link = device->NextDevice;
            device->NextDevice = nullptr;
            return;
        }
    }
}

} // namespace
} // namespace qv::io

using namespace qv;
using namespace qv::io;

extern "C" {

NTSTATUS NTAPI IoCreateDevice(PDRIVER_OBJECT DriverObject, ULONG DeviceExtensionSize, PUNICODE_STRING DeviceName,
                              DEVICE_TYPE DeviceType, ULONG DeviceCharacteristics, BOOLEAN Exclusive,
                              PDEVICE_OBJECT* DeviceObject) {
    QV_CHECK_CALLER();
    RequireIrqlAtMost(PASSIVE_LEVEL, "IoCreateDevice");
    IoManager::State& io = Io().Internals();
    DriverRecord& driver = io.drivers.Require(DriverObject, "IoCreateDevice");
    *DeviceObject = nullptr;
    std::u16string name;
    if (DeviceName != nullptr && DeviceName->Length > 0) {
        name.assign(reinterpret_cast<const char16_t*>(DeviceName->Buffer), DeviceName->Length / sizeof(WCHAR));
        if (io.devices.NameInUse(name)) return STATUS_OBJECT_NAME_COLLISION;
    }
    // The device object and its extension come from non-paged pool on
    // Windows: the pool's fault plan can make the creation fail.
    if (!driver.system && K().PoolAllocator().InjectFailure(kDeviceTag, sizeof(DEVICE_OBJECT) + DeviceExtensionSize, "IoCreateDevice"))
        return STATUS_INSUFFICIENT_RESOURCES;
    DeviceRecord& record = io.devices.Add(DriverObject, DeviceExtensionSize, std::move(name), driver.label);
    PDEVICE_OBJECT device = record.object;
    device->DeviceType = DeviceType;
    device->Characteristics = DeviceCharacteristics;
    device->Flags = DO_DEVICE_INITIALIZING | (Exclusive ? DO_EXCLUSIVE : 0);
    device->NextDevice = DriverObject->DeviceObject;
    DriverObject->DeviceObject = device;
    K().Events().Log(K().Now(), K().Sched().CurrentName(), "io", "create device " + record.label);
    *DeviceObject = device;
    return STATUS_SUCCESS;
}

// Deleting a device that a device above is still attached to is allowed, as
// on Windows, where the object lives on until its last reference goes: the
// record stays (delete pending) until the device above detaches. Deleting a
// device that is itself still attached below is not: the device below would
// keep a pointer to freed memory in AttachedDevice.
void NTAPI IoDeleteDevice(PDEVICE_OBJECT DeviceObject) {
    QV_CHECK_CALLER();
    RequireIrqlAtMost(PASSIVE_LEVEL, "IoDeleteDevice");
    IoManager::State& io = Io().Internals();
    DeviceRecord& record = io.devices.Require(DeviceObject, "IoDeleteDevice");
    if (record.deletePending) {
        K().Fatal("device-deleted-twice", bugcode::DRIVER_VERIFIER_DETECTED_VIOLATION, violation::NotALiveDevice,
                  Ptr(DeviceObject), 0, 0, "IoDeleteDevice called twice for " + record.label);
    }
    if (record.timer && record.timer->Started) {
        K().Violation("timer-started-at-device-delete", bugcode::DRIVER_VERIFIER_DETECTED_VIOLATION,
                      violation::FreedPoolHoldsActiveTimer, Ptr(record.timer.get()), NonPagedPool, Ptr(DeviceObject),
                      "device " + record.label + " deleted while its I/O timer is started");
    }
    // The IRP whose dispatch routine deletes the device (a remove request)
    // is still the driver's to complete, so it does not count.
    const SimThread* thread = K().Sched().Current();
    for (const IrpRecord* irp : io.irps.Live()) {
        if (irp->phase == IrpPhase::Sent && irp->at == DeviceObject && !irp->InDispatchAt(thread, DeviceObject)) {
            K().Violation("irp-pending-at-device-delete", bugcode::DRIVER_VERIFIER_DETECTED_VIOLATION,
                          violation::IrpLeftAtDeviceDelete, Ptr(DeviceObject), Ptr(irp->irp), irp->serial,
                          "device " + record.label + " deleted while irp" + std::to_string(irp->serial) +
                              " is still pending at it");
        }
    }
    if (record.attachedTo != nullptr) {
        K().Violation("device-deleted-while-attached", bugcode::DRIVER_VERIFIER_DETECTED_VIOLATION,
                      violation::DeletedWhileAttached, Ptr(DeviceObject), Ptr(record.attachedTo), 0,
                      "device " + record.label + " deleted without detaching it from " +
                          io.devices.Label(record.attachedTo));
    }
    K().Events().Log(K().Now(), K().Sched().CurrentName(), "io", "delete device " + record.label);
    Unlink(DeviceObject);
    if (record.timer) {
        io.timers.Remove(record.timer.get());
        DeviceObject->Timer = nullptr;
    }
    record.deletePending = true;
    io.devices.FreeIfUnused(DeviceObject);
}

PDEVICE_OBJECT NTAPI IoAttachDeviceToDeviceStack(PDEVICE_OBJECT SourceDevice, PDEVICE_OBJECT TargetDevice) {
    QV_CHECK_CALLER();
    RequireIrqlAtMost(PASSIVE_LEVEL, "IoAttachDeviceToDeviceStack");
    IoManager::State& io = Io().Internals();
    DeviceRecord& source = io.devices.Require(SourceDevice, "IoAttachDeviceToDeviceStack");
    io.devices.Require(TargetDevice, "IoAttachDeviceToDeviceStack");
    PDEVICE_OBJECT top = TargetDevice;
    while (top->AttachedDevice != nullptr) top = top->AttachedDevice;
    // A stack whose top is being deleted takes no new devices.
    if (io.devices.Require(top, "IoAttachDeviceToDeviceStack").deletePending) return nullptr;
    top->AttachedDevice = SourceDevice;
    SourceDevice->StackSize = static_cast<CHAR>(top->StackSize + 1);
    SourceDevice->AlignmentRequirement = std::max(SourceDevice->AlignmentRequirement, top->AlignmentRequirement);
    source.attachedTo = top;
    K().Events().Log(K().Now(), K().Sched().CurrentName(), "io",
                     "attach " + source.label + " to " + io.devices.Label(top));
    return top;
}

void NTAPI IoDetachDevice(PDEVICE_OBJECT TargetDevice) {
    QV_CHECK_CALLER();
    RequireIrqlAtMost(PASSIVE_LEVEL, "IoDetachDevice");
    IoManager::State& io = Io().Internals();
    DeviceRecord& target = io.devices.Require(TargetDevice, "IoDetachDevice");
    PDEVICE_OBJECT upper = TargetDevice->AttachedDevice;
    if (upper == nullptr) return;
    if (DeviceRecord* above = io.devices.Find(upper)) above->attachedTo = nullptr;
    TargetDevice->AttachedDevice = nullptr;
    K().Events().Log(K().Now(), K().Sched().CurrentName(), "io",
                     "detach " + io.devices.Label(upper) + " from " + target.label);
    io.devices.FreeIfUnused(TargetDevice);
}

} // extern "C"
