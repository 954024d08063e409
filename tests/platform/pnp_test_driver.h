// A small Plug and Play function driver for the PnP manager's tests: it
// attaches above the PDO it is given, records every request it sees, passes
// Plug and Play requests down as the documentation asks, and can be told to
// refuse queries, to misbehave on remove, or to hold device-control
// requests pending with a cancel routine.
#pragma once

#include <new>
#include <string>
#include <vector>

#include "support/kernel_run.h"

namespace qv::test::pnpdrv {

struct Behaviour {
    bool refuseQueryStop = false;
    bool refuseQueryRemove = false;
    bool keepDeviceOnRemove = false; // forgets to detach and delete
    bool failRemove = false;
    bool failStart = false;
    bool exclusive = false;
};

// The driver's records, shared by every device it makes: a test sets this
// before the driver loads.
struct Log {
    Behaviour behaviour;
    std::vector<std::string> seen; // "pnp 0", "create", "cleanup", ...
    unsigned entries = 0;
    unsigned unloads = 0;
    PIRP held = nullptr; // the device-control request pending now
};

inline Log*& Current() {
    static Log* log = nullptr;
    return log;
}

struct Extension {
    PDEVICE_OBJECT lower = nullptr;
};

inline NTSTATUS NTAPI ForwardDone(PDEVICE_OBJECT, PIRP, PVOID context) {
    KeSetEvent(static_cast<PKEVENT>(context), IO_NO_INCREMENT, FALSE);
    return STATUS_MORE_PROCESSING_REQUIRED;
}

inline NTSTATUS ForwardAndWait(PDEVICE_OBJECT lower, PIRP irp) {
    KEVENT done;
    KeInitializeEvent(&done, NotificationEvent, FALSE);
    IoCopyCurrentIrpStackLocationToNext(irp);
    IoSetCompletionRoutine(irp, &ForwardDone, &done, TRUE, TRUE, TRUE);
    if (IoCallDriver(lower, irp) == STATUS_PENDING) KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, nullptr);
    return irp->IoStatus.Status;
}

inline NTSTATUS Complete(PIRP irp, NTSTATUS status) {
    irp->IoStatus.Status = status;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return status;
}

inline NTSTATUS NTAPI Pnp(PDEVICE_OBJECT device, PIRP irp) {
    Log& log = *Current();
    auto& extension = *static_cast<Extension*>(device->DeviceExtension);
    const UCHAR minor = IoGetCurrentIrpStackLocation(irp)->MinorFunction;
    log.seen.push_back("pnp " + std::to_string(minor) + " status " +
                       std::to_string(static_cast<ULONG>(irp->IoStatus.Status)));
    PDEVICE_OBJECT lower = extension.lower;
    switch (minor) {
    case IRP_MN_START_DEVICE: {
        const NTSTATUS status = ForwardAndWait(lower, irp);
        return Complete(irp, log.behaviour.failStart ? STATUS_DEVICE_CONFIGURATION_ERROR : status);
    }
    case IRP_MN_QUERY_STOP_DEVICE:
        if (log.behaviour.refuseQueryStop) return Complete(irp, STATUS_DEVICE_BUSY);
        break;
    case IRP_MN_QUERY_REMOVE_DEVICE:
        if (log.behaviour.refuseQueryRemove) return Complete(irp, STATUS_UNSUCCESSFUL);
        break;
    case IRP_MN_REMOVE_DEVICE: {
        if (log.behaviour.failRemove) return Complete(irp, STATUS_UNSUCCESSFUL);
        irp->IoStatus.Status = STATUS_SUCCESS;
        IoSkipCurrentIrpStackLocation(irp);
        const NTSTATUS status = IoCallDriver(lower, irp);
        if (!log.behaviour.keepDeviceOnRemove) {
            IoDetachDevice(lower);
            IoDeleteDevice(device);
        }
        return status;
    }
    default:
        break;
    }
    // Handled state changes say success; the rest keep the status as it is.
    if (minor <= IRP_MN_CANCEL_STOP_DEVICE || minor == IRP_MN_SURPRISE_REMOVAL) irp->IoStatus.Status = STATUS_SUCCESS;
    IoSkipCurrentIrpStackLocation(irp);
    return IoCallDriver(lower, irp);
}

inline NTSTATUS NTAPI Simple(PDEVICE_OBJECT, PIRP irp) {
    const UCHAR major = IoGetCurrentIrpStackLocation(irp)->MajorFunction;
    Current()->seen.push_back(major == IRP_MJ_CREATE ? "create" : major == IRP_MJ_CLEANUP ? "cleanup" : "close");
    irp->IoStatus.Information = 0;
    return Complete(irp, STATUS_SUCCESS);
}

inline void NTAPI CancelHeld(PDEVICE_OBJECT, PIRP irp) {
    IoReleaseCancelSpinLock(irp->CancelIrql);
    Current()->held = nullptr;
    irp->IoStatus.Information = 0;
    Complete(irp, STATUS_CANCELLED);
}

// Code 1 echoes its input with one added to each byte; code 2 is held
// pending until cancelled.
inline constexpr ULONG kEcho = CTL_CODE(FILE_DEVICE_SMARTCARD, 1, METHOD_BUFFERED, FILE_ANY_ACCESS);
inline constexpr ULONG kHold = CTL_CODE(FILE_DEVICE_SMARTCARD, 2, METHOD_BUFFERED, FILE_ANY_ACCESS);

inline NTSTATUS NTAPI Control(PDEVICE_OBJECT, PIRP irp) {
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    const ULONG code = stack->Parameters.DeviceIoControl.IoControlCode;
    Current()->seen.push_back("control");
    if (code == kHold) {
        IoMarkIrpPending(irp);
        Current()->held = irp;
        IoSetCancelRoutine(irp, &CancelHeld);
        if (irp->Cancel && IoSetCancelRoutine(irp, nullptr) != nullptr) {
            Current()->held = nullptr;
            Complete(irp, STATUS_CANCELLED);
        }
        return STATUS_PENDING;
    }
    auto* buffer = static_cast<unsigned char*>(irp->AssociatedIrp.SystemBuffer);
    const ULONG length = std::min(stack->Parameters.DeviceIoControl.InputBufferLength,
                                  stack->Parameters.DeviceIoControl.OutputBufferLength);
    for (ULONG i = 0; i < length; ++i) ++buffer[i];
    irp->IoStatus.Information = length;
    return Complete(irp, STATUS_SUCCESS);
}

inline NTSTATUS NTAPI AddDevice(PDRIVER_OBJECT driver, PDEVICE_OBJECT pdo) {
    PDEVICE_OBJECT device = nullptr;
    const NTSTATUS status = IoCreateDevice(driver, sizeof(Extension), nullptr, FILE_DEVICE_SMARTCARD, 0,
                                           Current()->behaviour.exclusive ? TRUE : FALSE, &device);
    if (!NT_SUCCESS(status)) return status;
    auto* extension = new (device->DeviceExtension) Extension{};
    extension->lower = IoAttachDeviceToDeviceStack(device, pdo);
    device->Flags |= DO_BUFFERED_IO;
    device->Flags &= ~DO_DEVICE_INITIALIZING;
    Current()->seen.push_back("add");
    return STATUS_SUCCESS;
}

inline void NTAPI Unload(PDRIVER_OBJECT) { ++Current()->unloads; }

inline NTSTATUS NTAPI Entry(PDRIVER_OBJECT driver, PUNICODE_STRING) {
    ++Current()->entries;
    driver->MajorFunction[IRP_MJ_PNP] = &Pnp;
    driver->MajorFunction[IRP_MJ_CREATE] = &Simple;
    driver->MajorFunction[IRP_MJ_CLEANUP] = &Simple;
    driver->MajorFunction[IRP_MJ_CLOSE] = &Simple;
    driver->MajorFunction[IRP_MJ_DEVICE_CONTROL] = &Control;
    driver->DriverExtension->AddDevice = &AddDevice;
    driver->DriverUnload = &Unload;
    return STATUS_SUCCESS;
}

} // namespace qv::test::pnpdrv
