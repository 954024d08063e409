// Small drivers for the power manager's tests: a bus driver that completes
// every power request at the bottom of its stack, and a function driver
// that follows the system with device requests of its own, each with the
// faults a test can switch on.
#pragma once

#include <new>
#include <string>
#include <vector>

#include "io/io_manager.h"
#include "power/power_manager.h"
#include "support/kernel_run.h"

namespace qv::test {

struct PowerLayer {
    std::string name;
    PDEVICE_OBJECT lower = nullptr; // null for the bus's device
    std::vector<std::string>* journal = nullptr;
    // Guards the journal (shared by every layer) and the lists below: a
    // driver's requests may reach it on two threads at once (a caller's and
    // the power manager's worker), so what they share is kept under a spin
    // lock, as any driver keeps it.
    PKSPIN_LOCK lock = nullptr;
    // Bus: complete at DISPATCH_LEVEL.
    bool completeAtDispatch = false;
    // Function driver faults.
    bool failQuery = false;
    bool skipStartNext = false;
    bool useIoCallDriver = false;
    bool blockInCompletion = false;
    // Hold device set-power requests until the test lets them go.
    bool holdDeviceRequests = false;
    std::vector<PIRP> held;
    PIRP heldSystem = nullptr;
    std::vector<KIRQL> dispatchIrqls;
    std::vector<KIRQL> completionIrqls;
};

inline PowerLayer& PowerLayerOf(PDEVICE_OBJECT device) { return *static_cast<PowerLayer*>(device->DeviceExtension); }

inline std::string PowerText(const IO_STACK_LOCATION& stack) {
    std::string text = stack.MinorFunction == IRP_MN_QUERY_POWER ? "query " : "set ";
    if (stack.Parameters.Power.Type == SystemPowerState)
        return text + power::SystemStateText(stack.Parameters.Power.State.SystemState);
    return text + power::DeviceStateText(stack.Parameters.Power.State.DeviceState);
}

inline void Journal(PowerLayer& layer, const std::string& line) {
    if (layer.journal == nullptr) return;
    KIRQL old;
    KeAcquireSpinLock(layer.lock, &old);
    layer.journal->push_back(layer.name + " " + line);
    KeReleaseSpinLock(layer.lock, old);
}

// Notes the IRQL a routine runs at, taken before the lock raises it.
inline void RecordIrql(PowerLayer& layer, std::vector<KIRQL>& list) {
    const KIRQL irql = KeGetCurrentIrql();
    KIRQL old;
    KeAcquireSpinLock(layer.lock, &old);
    list.push_back(irql);
    KeReleaseSpinLock(layer.lock, old);
}

inline NTSTATUS NTAPI BusPower(PDEVICE_OBJECT device, PIRP irp) {
    PowerLayer& layer = PowerLayerOf(device);
    RecordIrql(layer, layer.dispatchIrqls);
    Journal(layer, PowerText(*IoGetCurrentIrpStackLocation(irp)));
    PoStartNextPowerIrp(irp);
    irp->IoStatus.Status = STATUS_SUCCESS;
    KIRQL old = PASSIVE_LEVEL;
    if (layer.completeAtDispatch) KeRaiseIrql(DISPATCH_LEVEL, &old);
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    if (layer.completeAtDispatch) KeLowerIrql(old);
    return STATUS_SUCCESS;
}

inline NTSTATUS PassDown(PowerLayer& layer, PIRP irp) {
    if (!layer.skipStartNext) PoStartNextPowerIrp(irp);
    IoSkipCurrentIrpStackLocation(irp);
    return layer.useIoCallDriver ? IoCallDriver(layer.lower, irp) : PoCallDriver(layer.lower, irp);
}

inline void NTAPI DeviceRequestDone(PDEVICE_OBJECT device, UCHAR, POWER_STATE state, PVOID, PIO_STATUS_BLOCK status) {
    PowerLayer& layer = PowerLayerOf(device);
    RecordIrql(layer, layer.completionIrqls);
    Journal(layer, "done " + power::DeviceStateText(state.DeviceState) + " " + std::to_string(status->Status));
    if (layer.blockInCompletion) {
        KEVENT never;
        KeInitializeEvent(&never, NotificationEvent, FALSE);
        LARGE_INTEGER wait = Relative(10);
        KeWaitForSingleObject(&never, Executive, KernelMode, FALSE, &wait);
    }
    PIRP system = layer.heldSystem;
    layer.heldSystem = nullptr;
    PoStartNextPowerIrp(system);
    IoSkipCurrentIrpStackLocation(system);
    PoCallDriver(layer.lower, system);
}

inline NTSTATUS NTAPI FunctionPower(PDEVICE_OBJECT device, PIRP irp) {
    PowerLayer& layer = PowerLayerOf(device);
    RecordIrql(layer, layer.dispatchIrqls);
    const IO_STACK_LOCATION& stack = *IoGetCurrentIrpStackLocation(irp);
    Journal(layer, PowerText(stack));
    if (stack.Parameters.Power.Type == SystemPowerState) {
        if (stack.MinorFunction == IRP_MN_QUERY_POWER && layer.failQuery) {
            PoStartNextPowerIrp(irp);
            irp->IoStatus.Status = STATUS_DEVICE_BUSY;
            IoCompleteRequest(irp, IO_NO_INCREMENT);
            return STATUS_DEVICE_BUSY;
        }
        if (stack.MinorFunction != IRP_MN_SET_POWER) return PassDown(layer, irp);
        POWER_STATE wanted;
        wanted.DeviceState =
            stack.Parameters.Power.State.SystemState == PowerSystemWorking ? PowerDeviceD0 : PowerDeviceD3;
        // Pending before the request goes out: its completion may pass the
        // system request on before PoRequestPowerIrp returns.
        IoMarkIrpPending(irp);
        layer.heldSystem = irp;
        const NTSTATUS status = PoRequestPowerIrp(device, IRP_MN_SET_POWER, wanted, &DeviceRequestDone, nullptr, nullptr);
        if (status != STATUS_PENDING) {
            layer.heldSystem = nullptr;
            PoStartNextPowerIrp(irp);
            irp->IoStatus.Status = status;
            IoCompleteRequest(irp, IO_NO_INCREMENT);
        }
        return STATUS_PENDING;
    }
    if (stack.MinorFunction == IRP_MN_SET_POWER && layer.holdDeviceRequests) {
        IoMarkIrpPending(irp);
        layer.held.push_back(irp);
        return STATUS_PENDING;
    }
    return PassDown(layer, irp);
}

inline NTSTATUS NTAPI BusEntry(PDRIVER_OBJECT driver, PUNICODE_STRING) {
    driver->MajorFunction[IRP_MJ_POWER] = &BusPower;
    return STATUS_SUCCESS;
}

inline NTSTATUS NTAPI FunctionEntry(PDRIVER_OBJECT driver, PUNICODE_STRING) {
    driver->MajorFunction[IRP_MJ_POWER] = &FunctionPower;
    return STATUS_SUCCESS;
}

inline PDEVICE_OBJECT AddPowerDevice(PDRIVER_OBJECT driver, std::string name, PDEVICE_OBJECT below,
                                     std::vector<std::string>* journal, PKSPIN_LOCK lock) {
    PDEVICE_OBJECT device = nullptr;
    EXPECT_EQ(IoCreateDevice(driver, sizeof(PowerLayer), nullptr, FILE_DEVICE_UNKNOWN, 0, FALSE, &device),
              STATUS_SUCCESS);
    PowerLayer& layer = *new (device->DeviceExtension) PowerLayer{};
    layer.name = std::move(name);
    layer.journal = journal;
    layer.lock = lock;
    device->Flags |= DO_POWER_PAGABLE;
    device->Flags &= ~DO_DEVICE_INITIALIZING;
    if (below != nullptr) layer.lower = IoAttachDeviceToDeviceStack(device, below);
    return device;
}

// A bus device with a function device above it; the stack is registered
// with the power manager.
struct PowerStack {
    PDEVICE_OBJECT pdo = nullptr;
    PDEVICE_OBJECT fdo = nullptr;
    PowerLayer& Bus() { return PowerLayerOf(pdo); }
    PowerLayer& Function() { return PowerLayerOf(fdo); }
};

inline PowerStack MakePowerStack(PDRIVER_OBJECT bus, PDRIVER_OBJECT function, const std::string& name,
                                 std::vector<std::string>* journal, PKSPIN_LOCK lock) {
    PowerStack stack;
    stack.pdo = AddPowerDevice(bus, name + "-bus", nullptr, journal, lock);
    stack.fdo = AddPowerDevice(function, name, stack.pdo, journal, lock);
    power::AddStack(stack.pdo);
    return stack;
}

inline void DestroyPowerStack(PowerStack& stack) {
    power::RemoveStack(stack.pdo);
    IoDetachDevice(stack.pdo);
    PowerLayerOf(stack.fdo).~PowerLayer();
    PowerLayerOf(stack.pdo).~PowerLayer();
    IoDeleteDevice(stack.fdo);
    IoDeleteDevice(stack.pdo);
}

inline PDRIVER_OBJECT LoadPowerDriver(std::u16string_view name, PDRIVER_INITIALIZE entry) {
    NTSTATUS status = STATUS_UNSUCCESSFUL;
    PDRIVER_OBJECT driver = Io().LoadDriver(name, entry, &status);
    EXPECT_EQ(status, STATUS_SUCCESS);
    return driver;
}

} // namespace qv::test
