// The bus driver as the I/O manager sees it: its entry routine and the
// dispatch routines of its PDOs. URBs go to the hub; Plug and Play and
// power requests get what a bus driver gives the PDO of a simple device.
#include "usb/usb_hub.h"

namespace qv::usb::detail {

namespace {

NTSTATUS CompleteWith(PIRP irp, NTSTATUS status) {
    irp->IoStatus.Status = status;
    irp->IoStatus.Information = 0;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return status;
}

NTSTATUS NTAPI HubInternalControl(PDEVICE_OBJECT device, PIRP irp) {
    Port& port = Hub::PortOf(device);
    const PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    switch (stack->Parameters.DeviceIoControl.IoControlCode) {
    case IOCTL_INTERNAL_USB_SUBMIT_URB:
        return port.hub->Submit(port, irp);
    case IOCTL_INTERNAL_USB_GET_PORT_STATUS: {
        auto* portStatus = static_cast<PULONG>(stack->Parameters.Others.Argument1);
        if (portStatus == nullptr) return CompleteWith(irp, STATUS_INVALID_PARAMETER);
        *portStatus = port.gone ? 0 : (USBD_PORT_ENABLED | USBD_PORT_CONNECTED);
        return CompleteWith(irp, STATUS_SUCCESS);
    }
    default:
        return CompleteWith(irp, STATUS_INVALID_DEVICE_REQUEST);
    }
}

// The PDO is the bottom of its stack: it completes every Plug and Play
// request, succeeding the state changes and leaving the status of requests
// it has nothing to say about as the driver above set it.
NTSTATUS NTAPI HubPnp(PDEVICE_OBJECT device, PIRP irp) {
    Port& port = Hub::PortOf(device);
    NTSTATUS status = irp->IoStatus.Status;
    switch (IoGetCurrentIrpStackLocation(irp)->MinorFunction) {
    case IRP_MN_START_DEVICE:
        // A device that has gone cannot be started.
        status = port.gone ? STATUS_NO_SUCH_DEVICE : STATUS_SUCCESS;
        break;
    case IRP_MN_QUERY_STOP_DEVICE:
    case IRP_MN_CANCEL_STOP_DEVICE:
    case IRP_MN_STOP_DEVICE:
    case IRP_MN_QUERY_REMOVE_DEVICE:
    case IRP_MN_CANCEL_REMOVE_DEVICE:
    case IRP_MN_SURPRISE_REMOVAL:
        status = STATUS_SUCCESS;
        break;
    case IRP_MN_REMOVE_DEVICE:
        port.hub->Remove(port);
        status = STATUS_SUCCESS;
        break;
    default:
        break;
    }
    return CompleteWith(irp, status);
}

// The PDO takes every set-power and query request: it suspends the port
// below D0 and while the system sleeps, and resumes it on D0. Like a bus
// driver that finishes power requests from its DPC, it completes them at
// DISPATCH_LEVEL or at the caller's IRQL, as the seed decides, so the
// completion routines above it meet both.
NTSTATUS NTAPI HubPower(PDEVICE_OBJECT device, PIRP irp) {
    Port& port = Hub::PortOf(device);
    const PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    NTSTATUS status = irp->IoStatus.Status;
    switch (stack->MinorFunction) {
    case IRP_MN_SET_POWER:
        port.hub->NotePowerRequest(port, *stack);
        port.hub->SetPower(port, stack->Parameters.Power.Type, stack->Parameters.Power.State);
        if (stack->Parameters.Power.Type == DevicePowerState)
            PoSetPowerState(device, DevicePowerState, stack->Parameters.Power.State);
        status = STATUS_SUCCESS;
        break;
    case IRP_MN_QUERY_POWER:
        port.hub->NotePowerRequest(port, *stack);
        status = STATUS_SUCCESS;
        break;
    default:
        // Wait-wake and power sequence requests: the port offers neither.
        break;
    }
    PoStartNextPowerIrp(irp);
    irp->IoStatus.Status = status;
    irp->IoStatus.Information = 0;
    const bool raise = KeGetCurrentIrql() < DISPATCH_LEVEL && (K().Random(RandomStream::Power)() & 1) != 0;
    KIRQL old = PASSIVE_LEVEL;
    if (raise) KeRaiseIrql(DISPATCH_LEVEL, &old);
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    if (raise) KeLowerIrql(old);
    return status;
}

// The hub deletes its PDOs before it has the driver unloaded.
void NTAPI HubUnload(PDRIVER_OBJECT) {}

} // namespace

NTSTATUS NTAPI HubDriverEntry(PDRIVER_OBJECT DriverObject, PUNICODE_STRING RegistryPath) {
    UNREFERENCED_PARAMETER(RegistryPath);
    DriverObject->MajorFunction[IRP_MJ_INTERNAL_DEVICE_CONTROL] = &HubInternalControl;
    DriverObject->MajorFunction[IRP_MJ_PNP] = &HubPnp;
    DriverObject->MajorFunction[IRP_MJ_POWER] = &HubPower;
    DriverObject->DriverUnload = &HubUnload;
    return STATUS_SUCCESS;
}

// Called with the cancel spin lock held; the hub takes its own lock, so the
// cancel lock goes first.
void NTAPI CancelUrb(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
    IoReleaseCancelSpinLock(Irp->CancelIrql);
    Port& port = Hub::PortOf(DeviceObject);
    port.hub->Cancel(port, Irp);
}

} // namespace qv::usb::detail
