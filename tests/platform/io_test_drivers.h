// A test driver for the I/O manager's tests. Each device keeps its behaviour
// in its extension (a Layer), so one dispatch routine serves every layer of a
// stack: complete, pend, or forward to the layer below.
#pragma once

#include <new>
#include <optional>
#include <string_view>
#include <vector>

#include "io/io_manager.h"
#include "support/kernel_run.h"

namespace qv::test {

enum class Role { Complete, Pend, Forward, ForwardWithoutRoutine };

struct Layer;

// One call of a completion routine: whose it was and what it was given.
struct Seen {
    const Layer* layer;
    PDEVICE_OBJECT device;
    bool pendingReturned;
};

struct Layer {
    Role role = Role::Complete;
    NTSTATUS status = STATUS_SUCCESS; // Complete: the status and the bytes
    ULONG_PTR information = 0;        // it claims to have written
    NTSTATUS routineResult = STATUS_SUCCESS;
    PDEVICE_OBJECT lower = nullptr;
    std::vector<Seen>* seen = nullptr;
    PIRP pended = nullptr;
    PKEVENT pendedEvent = nullptr; // Pend: set once an IRP is parked
};

// What Complete writes over the whole output buffer.
inline constexpr unsigned char kReplyByte = 0xAB;

inline Layer& LayerOf(PDEVICE_OBJECT device) { return *static_cast<Layer*>(device->DeviceExtension); }

inline NTSTATUS NTAPI LayerCompletion(PDEVICE_OBJECT device, PIRP irp, PVOID context) {
    auto* layer = static_cast<Layer*>(context);
    if (layer->seen != nullptr) layer->seen->push_back({layer, device, irp->PendingReturned != FALSE});
    if (layer->routineResult != STATUS_MORE_PROCESSING_REQUIRED && irp->PendingReturned) IoMarkIrpPending(irp);
    return layer->routineResult;
}

inline NTSTATUS NTAPI LayerDispatch(PDEVICE_OBJECT device, PIRP irp) {
    Layer& layer = LayerOf(device);
    switch (layer.role) {
    case Role::Complete: {
        const ULONG room = IoGetCurrentIrpStackLocation(irp)->Parameters.DeviceIoControl.OutputBufferLength;
        if (irp->AssociatedIrp.SystemBuffer != nullptr)
            __builtin_memset(irp->AssociatedIrp.SystemBuffer, kReplyByte, room);
        const NTSTATUS status = layer.status;
        irp->IoStatus.Status = status;
        irp->IoStatus.Information = layer.information;
        IoCompleteRequest(irp, IO_NO_INCREMENT);
        return status;
    }
    case Role::Pend:
        IoMarkIrpPending(irp);
        layer.pended = irp;
        if (layer.pendedEvent != nullptr) KeSetEvent(layer.pendedEvent, IO_NO_INCREMENT, FALSE);
        // Whoever waits on the event may have completed the IRP already.
        return STATUS_PENDING;
    case Role::Forward:
        IoCopyCurrentIrpStackLocationToNext(irp);
        IoSetCompletionRoutine(irp, &LayerCompletion, &layer, TRUE, TRUE, TRUE);
        return IoCallDriver(layer.lower, irp);
    case Role::ForwardWithoutRoutine:
        IoCopyCurrentIrpStackLocationToNext(irp);
        return IoCallDriver(layer.lower, irp);
    }
    return STATUS_UNSUCCESSFUL;
}

inline NTSTATUS NTAPI LayerEntry(PDRIVER_OBJECT driver, PUNICODE_STRING) {
    driver->MajorFunction[IRP_MJ_DEVICE_CONTROL] = &LayerDispatch;
    driver->MajorFunction[IRP_MJ_INTERNAL_DEVICE_CONTROL] = &LayerDispatch;
    return STATUS_SUCCESS;
}

inline PDRIVER_OBJECT Load(std::u16string_view name, PDRIVER_INITIALIZE entry = &LayerEntry) {
    NTSTATUS status = STATUS_UNSUCCESSFUL;
    PDRIVER_OBJECT driver = Io().LoadDriver(name, entry, &status);
    EXPECT_EQ(status, STATUS_SUCCESS);
    return driver;
}

// A device with a Layer extension, attached on top of `below` if given.
inline PDEVICE_OBJECT AddLayer(PDRIVER_OBJECT driver, Role role, PDEVICE_OBJECT below = nullptr) {
    PDEVICE_OBJECT device = nullptr;
    EXPECT_EQ(IoCreateDevice(driver, sizeof(Layer), nullptr, FILE_DEVICE_UNKNOWN, 0, FALSE, &device), STATUS_SUCCESS);
    Layer& layer = *new (device->DeviceExtension) Layer{};
    layer.role = role;
    if (below != nullptr) layer.lower = IoAttachDeviceToDeviceStack(device, below);
    return device;
}

// Detaches and deletes every layer of the stack, top first, then unloads.
inline void RemoveStack(PDEVICE_OBJECT top) {
    PDRIVER_OBJECT driver = top->DriverObject;
    while (top != nullptr) {
        PDEVICE_OBJECT lower = LayerOf(top).lower;
        if (lower != nullptr) IoDetachDevice(lower);
        IoDeleteDevice(top);
        top = lower;
    }
    Io().UnloadDriver(driver);
}

// Sends an IRP of the caller's own, with the creator's routine at the top.
inline PIRP SendIrp(PDEVICE_OBJECT top, Layer& creator, NTSTATUS* result, UCHAR major = IRP_MJ_INTERNAL_DEVICE_CONTROL,
                    std::optional<CHAR> stackSize = {}) {
    PIRP irp = IoAllocateIrp(stackSize.value_or(top->StackSize), FALSE);
    IoGetNextIrpStackLocation(irp)->MajorFunction = major;
    IoSetCompletionRoutine(irp, &LayerCompletion, &creator, TRUE, TRUE, TRUE);
    *result = IoCallDriver(top, irp);
    return irp;
}

} // namespace qv::test
