// qvusbbus.sys: a stand-in USB bus for running qvscr.sys end to end under
// Wine. Test-only, never shipped.
//
// Installed as a root-enumerated device, it reports one child PDO per
// reader that qvwinhost (tools/winhost/) has plugged in, with the hardware
// ids of a USB device (USB\VID_2F3A&PID_0038 ...), answers the child's
// Plug and Play and power requests as a USB hub's PDO does, and serves the
// URBs of the function driver above it: descriptors, select configuration,
// bulk transfers, pipe reset and abort. Every transfer goes over TCP to the
// host process, where sim/'s reader answers it; the control device
// \\.\QvUsbBus carries the console program's card, fault, plug and unplug
// commands there.
//
// Wine runs this driver in winedevice.exe, an ordinary process: the link
// itself lives in host_socket.cpp with Winsock. Requests are sent from the
// caller's thread under a mutex, and one system thread reads the answers
// and completes the requests they belong to.
//
// What Wine 8.0 lacks of the kernel's behaviour towards the function driver
// above (spin lock, I/O timer and mutex routines; refused creates, cleanup
// and the remove of a pulled device) is put in by wine_gaps.cpp when the
// child's start request arrives; the bus's own locks are wine_gaps.cpp's
// mutexes too.
#include "qvwdk.h"

#include "bus_control.h"
#include "host_link.h"
#include "host_socket.h"
#include "wine_gaps.h"

using namespace qv::hostlink;

namespace {

constexpr ULONG kTag = QV_POOL_TAG('Q', 'v', 'B', 's');
constexpr ULONG kMaximumChildren = 8;
constexpr ULONG kMaximumPending = 64;
constexpr USHORT kVendorId = 0x2F3A;
// Pipe and configuration handles are opaque to the client: the endpoint
// address with a mark in the high bits.
constexpr ULONG_PTR kPipeHandleMark = 0x5B000000;
constexpr ULONG_PTR kConfigurationHandle = 0x5C000001;
constexpr ULONG_PTR kInterfaceHandle = 0x5C000002;

struct Child {
    UCHAR number = 0;
    USHORT product = 0;
    PDEVICE_OBJECT pdo = NULL;
    bool present = false; // the host still lists it; reported in BusRelations
};

struct PdoExtension {
    bool isPdo;
    UCHAR number;
    USHORT product;
    bool present;
    bool removed;
};

struct FdoExtension {
    bool isPdo;
    PDEVICE_OBJECT lower;
};

enum class Kind { Sync, Descriptor, SelectConfiguration, BulkOut, BulkIn, ResetPipe, Abort };

// A request sent to the host and not yet answered.
struct Pending {
    bool used;
    ULONG tag;
    Kind kind;
    PIRP irp;            // the URB's IRP, or NULL for a synchronous request
    PURB urb;
    UCHAR number;        // the reader
    UCHAR endpoint;
    PKEVENT done;        // synchronous requests: set when the answer is in
    PUCHAR answer;       // synchronous requests: where the answer's payload goes
    ULONG answerSize;
    ULONG* answerLength;
};

// The bus's state: one bus per Wine prefix.
struct Bus {
    PDEVICE_OBJECT fdo;
    PDEVICE_OBJECT control;
    KMUTEX sendLock;
    KSPIN_LOCK pendingLock;
    Pending pending[kMaximumPending];
    ULONG nextTag;
    bool connected;
    PVOID receiver; // the receiving thread
    KMUTEX childLock;
    Child children[kMaximumChildren];
    ULONG childCount;
};

Bus* TheBus = NULL;

UNICODE_STRING Text(const WCHAR* text) {
    UNICODE_STRING string;
    RtlInitUnicodeString(&string, text);
    return string;
}

void PutU32(PUCHAR at, ULONG value) {
    for (int i = 0; i < 4; ++i) at[i] = static_cast<UCHAR>(value >> (8 * i));
}

ULONG GetU32(const UCHAR* at) {
    return static_cast<ULONG>(at[0]) | (static_cast<ULONG>(at[1]) << 8) | (static_cast<ULONG>(at[2]) << 16) |
           (static_cast<ULONG>(at[3]) << 24);
}

// ---------------------------------------------------------------------------
// The link to the host

// Records a request and sends it; false when the link is down or full.
bool Send(Type type, UCHAR number, const Pending& record, const void* payload, ULONG length, ULONG* tagOut = NULL) {
    if (TheBus == NULL || !TheBus->connected || length > kMaximumPayload) return false;
    UCHAR header[kHeaderSize];
    KIRQL irql;
    StandInKeWaitForSingleObject(&TheBus->sendLock, Executive, KernelMode, FALSE, NULL);
    ULONG tag = 0;
    bool placed = true;
    if (type != kCancel) {
        placed = false;
        KeAcquireSpinLock(&TheBus->pendingLock, &irql);
        for (ULONG i = 0; i < kMaximumPending; ++i) {
            if (TheBus->pending[i].used) continue;
            tag = ++TheBus->nextTag;
            TheBus->pending[i] = record;
            TheBus->pending[i].used = true;
            TheBus->pending[i].tag = tag;
            placed = true;
            break;
        }
        KeReleaseSpinLock(&TheBus->pendingLock, irql);
    }
    bool sent = false;
    if (placed) {
        if (tagOut != NULL) *tagOut = tag;
        PutU32(header, kHeaderSize - kLengthFieldSize + length);
        header[4] = type;
        header[5] = number;
        header[6] = header[7] = 0;
        PutU32(header + 8, tag);
        sent = QvLinkSend(header, kHeaderSize) && (length == 0 || QvLinkSend(payload, length));
    }
    StandInKeReleaseMutex(&TheBus->sendLock, FALSE);
    return sent;
}

bool TakePending(ULONG tag, Pending& out) {
    KIRQL irql;
    bool found = false;
    KeAcquireSpinLock(&TheBus->pendingLock, &irql);
    for (ULONG i = 0; i < kMaximumPending; ++i) {
        if (TheBus->pending[i].used && TheBus->pending[i].tag == tag) {
            out = TheBus->pending[i];
            TheBus->pending[i].used = false;
            found = true;
            break;
        }
    }
    KeReleaseSpinLock(&TheBus->pendingLock, irql);
    return found;
}

// A synchronous round trip (list, command, power); false when the link failed.
bool Ask(Type type, UCHAR number, const void* payload, ULONG length, PUCHAR answer, ULONG answerSize, ULONG* answerLength) {
    KEVENT done;
    KeInitializeEvent(&done, NotificationEvent, FALSE);
    Pending record = {};
    record.kind = Kind::Sync;
    record.done = &done;
    record.answer = answer;
    record.answerSize = answerSize;
    record.answerLength = answerLength;
    *answerLength = 0;
    if (!Send(type, number, record, payload, length)) return false;
    KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, NULL);
    return true;
}

USBD_STATUS UsbdStatus(UCHAR status) {
    switch (status) {
    case kOk: return USBD_STATUS_SUCCESS;
    case kStall: return USBD_STATUS_STALL_PID;
    case kBusError: return USBD_STATUS_XACT_ERROR;
    case kDeviceGone: return USBD_STATUS_DEVICE_GONE;
    case kCancelled: return USBD_STATUS_CANCELED;
    default: return USBD_STATUS_INVALID_PARAMETER;
    }
}

NTSTATUS IrpStatus(USBD_STATUS status) {
    if (USBD_SUCCESS(status)) return STATUS_SUCCESS;
    switch (status) {
    case USBD_STATUS_CANCELED: return STATUS_CANCELLED;
    case USBD_STATUS_DEVICE_GONE: return STATUS_DEVICE_NOT_CONNECTED;
    case USBD_STATUS_INVALID_PARAMETER: return STATUS_INVALID_PARAMETER;
    default: return STATUS_UNSUCCESSFUL;
    }
}

void CompleteUrb(PIRP irp, PURB urb, USBD_STATUS status) {
    urb->UrbHeader.Status = status;
    irp->IoStatus.Status = IrpStatus(status);
    irp->IoStatus.Information = 0;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
}

// The answer to a URB request: fills in the URB and completes its IRP.
void FinishUrb(const Pending& record, const UCHAR* payload, ULONG length) {
    PIRP irp = record.irp;
    // The cancel routine no longer runs once this is null; if it is running
    // now, it only asks the host to cancel, which answers nothing more.
    IoSetCancelRoutine(irp, NULL);
    const UCHAR status = length >= 1 ? payload[0] : static_cast<UCHAR>(kRefused);
    const UCHAR* data = payload + 1;
    const ULONG dataLength = length >= 1 ? length - 1 : 0;
    PURB urb = record.urb;
    switch (record.kind) {
    case Kind::Descriptor: {
        auto& read = urb->UrbControlDescriptorRequest;
        ULONG count = status == kOk ? dataLength : 0;
        if (count > read.TransferBufferLength) count = read.TransferBufferLength;
        if (count != 0) RtlCopyMemory(read.TransferBuffer, data, count);
        read.TransferBufferLength = count;
        break;
    }
    case Kind::BulkIn: {
        auto& transfer = urb->UrbBulkOrInterruptTransfer;
        ULONG count = status == kOk ? dataLength : 0;
        if (count > transfer.TransferBufferLength) count = transfer.TransferBufferLength;
        if (count != 0) RtlCopyMemory(transfer.TransferBuffer, data, count);
        transfer.TransferBufferLength = count;
        break;
    }
    case Kind::BulkOut: {
        auto& transfer = urb->UrbBulkOrInterruptTransfer;
        ULONG accepted = status == kOk && dataLength >= 4 ? GetU32(data) : 0;
        if (accepted > transfer.TransferBufferLength) accepted = transfer.TransferBufferLength;
        transfer.TransferBufferLength = accepted;
        break;
    }
    default:
        break;
    }
    CompleteUrb(irp, urb, record.kind == Kind::Abort ? USBD_STATUS_SUCCESS : UsbdStatus(status));
}

// The receiving thread: reads answers until the link goes down, then fails
// whatever still waits.
VOID NTAPI Receive(PVOID) {
    static UCHAR payload[kMaximumPayload + 8];
    for (;;) {
        UCHAR header[kHeaderSize];
        if (!QvLinkReceive(header, kHeaderSize)) break;
        const ULONG length = GetU32(header) - (kHeaderSize - kLengthFieldSize);
        if (length > sizeof payload || !QvLinkReceive(payload, length)) break;
        Pending record;
        if (!TakePending(GetU32(header + 8), record)) continue;
        if (record.kind == Kind::Sync) {
            ULONG count = length < record.answerSize ? length : record.answerSize;
            RtlCopyMemory(record.answer, payload, count);
            *record.answerLength = count;
            KeSetEvent(record.done, IO_NO_INCREMENT, FALSE);
        } else {
            FinishUrb(record, payload, length);
        }
    }
    TheBus->connected = false;
    for (ULONG i = 0; i < kMaximumPending; ++i) {
        Pending record;
        if (!TheBus->pending[i].used || !TakePending(TheBus->pending[i].tag, record)) continue;
        if (record.kind == Kind::Sync) {
            KeSetEvent(record.done, IO_NO_INCREMENT, FALSE);
        } else {
            const UCHAR gone = kDeviceGone;
            FinishUrb(record, &gone, 1);
        }
    }
    PsTerminateSystemThread(STATUS_SUCCESS);
}

// ---------------------------------------------------------------------------
// Readers

// Reads the host's list of readers into the children: new ones get a PDO,
// ones no longer listed are no longer present.
void RefreshChildren() {
    UCHAR list[1 + 3 * kMaximumChildren * 4];
    ULONG length = 0;
    if (!Ask(kList, 0, NULL, 0, list, sizeof list, &length) || length < 1) return;
    StandInKeWaitForSingleObject(&TheBus->childLock, Executive, KernelMode, FALSE, NULL);
    for (ULONG i = 0; i < TheBus->childCount; ++i) TheBus->children[i].present = false;
    for (ULONG entry = 0; entry < list[0] && 1 + 3 * entry + 2 < length; ++entry) {
        const UCHAR number = list[1 + 3 * entry];
        const USHORT product = static_cast<USHORT>(list[2 + 3 * entry] | (list[3 + 3 * entry] << 8));
        Child* child = NULL;
        for (ULONG i = 0; i < TheBus->childCount; ++i) {
            if (TheBus->children[i].number == number) child = &TheBus->children[i];
        }
        if (child == NULL) {
            if (TheBus->childCount == kMaximumChildren) continue;
            PDEVICE_OBJECT pdo = NULL;
            if (!NT_SUCCESS(IoCreateDevice(TheBus->fdo->DriverObject, sizeof(PdoExtension), NULL, FILE_DEVICE_USB,
                                           FILE_AUTOGENERATED_DEVICE_NAME, FALSE, &pdo))) {
                continue;
            }
            auto* extension = static_cast<PdoExtension*>(pdo->DeviceExtension);
            extension->isPdo = true;
            extension->number = number;
            extension->product = product;
            extension->present = true;
            extension->removed = false;
            pdo->Flags &= ~DO_DEVICE_INITIALIZING;
            child = &TheBus->children[TheBus->childCount++];
            child->number = number;
            child->product = product;
            child->pdo = pdo;
        }
        child->present = true;
    }
    for (ULONG i = 0; i < TheBus->childCount; ++i) {
        if (TheBus->children[i].pdo != NULL) {
            static_cast<PdoExtension*>(TheBus->children[i].pdo->DeviceExtension)->present = TheBus->children[i].present;
        }
    }
    StandInKeReleaseMutex(&TheBus->childLock, FALSE);
}

NTSTATUS ReportChildren(PIRP irp) {
    StandInKeWaitForSingleObject(&TheBus->childLock, Executive, KernelMode, FALSE, NULL);
    ULONG count = 0;
    for (ULONG i = 0; i < TheBus->childCount; ++i) count += TheBus->children[i].present ? 1 : 0;
    const ULONG size = sizeof(DEVICE_RELATIONS) + (count > 0 ? count - 1 : 0) * sizeof(PDEVICE_OBJECT);
    auto* relations = static_cast<PDEVICE_RELATIONS>(ExAllocatePoolWithTag(PagedPool, size, kTag));
    NTSTATUS status = STATUS_INSUFFICIENT_RESOURCES;
    if (relations != NULL) {
        relations->Count = 0;
        for (ULONG i = 0; i < TheBus->childCount; ++i) {
            if (!TheBus->children[i].present) continue;
            ObReferenceObject(TheBus->children[i].pdo);
            relations->Objects[relations->Count++] = TheBus->children[i].pdo;
        }
        irp->IoStatus.Information = reinterpret_cast<ULONG_PTR>(relations);
        status = STATUS_SUCCESS;
    }
    StandInKeReleaseMutex(&TheBus->childLock, FALSE);
    return status;
}

// ---------------------------------------------------------------------------
// The child's requests

// A multi-string of ASCII ids, pool-allocated as Plug and Play frees it.
NTSTATUS Ids(PIRP irp, const char* const* ids, ULONG count) {
    ULONG characters = 1;
    for (ULONG i = 0; i < count; ++i) {
        for (const char* c = ids[i]; *c != 0; ++c) ++characters;
        ++characters;
    }
    auto* buffer = static_cast<PWCHAR>(ExAllocatePoolWithTag(PagedPool, characters * sizeof(WCHAR), kTag));
    if (buffer == NULL) return STATUS_INSUFFICIENT_RESOURCES;
    PWCHAR at = buffer;
    for (ULONG i = 0; i < count; ++i) {
        for (const char* c = ids[i]; *c != 0; ++c) *at++ = static_cast<WCHAR>(*c);
        *at++ = 0;
    }
    *at = 0;
    irp->IoStatus.Information = reinterpret_cast<ULONG_PTR>(buffer);
    return STATUS_SUCCESS;
}

void HexDigits(char* at, ULONG value, int digits) {
    for (int i = digits - 1; i >= 0; --i) {
        at[i] = "0123456789ABCDEF"[value & 0xF];
        value >>= 4;
    }
}

NTSTATUS QueryId(PdoExtension* child, PIRP irp) {
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    char device[] = "USB\\VID_0000&PID_0000";
    HexDigits(device + 8, kVendorId, 4);
    HexDigits(device + 17, child->product, 4);
    char revision[] = "USB\\VID_0000&PID_0000&REV_0100";
    HexDigits(revision + 8, kVendorId, 4);
    HexDigits(revision + 17, child->product, 4);
    char instance[] = "00";
    HexDigits(instance, child->number, 2);
    switch (stack->Parameters.QueryId.IdType) {
    case BusQueryDeviceID: {
        const char* ids[] = {device};
        return Ids(irp, ids, 1);
    }
    case BusQueryHardwareIDs: {
        const char* ids[] = {revision, device};
        return Ids(irp, ids, 2);
    }
    case BusQueryCompatibleIDs: {
        const char* ids[] = {"USB\\Class_0B&SubClass_00&Prot_00", "USB\\Class_0B"};
        return Ids(irp, ids, 2);
    }
    case BusQueryInstanceID: {
        const char* ids[] = {instance};
        return Ids(irp, ids, 1);
    }
    default:
        return irp->IoStatus.Status;
    }
}

NTSTATUS PdoPnp(PDEVICE_OBJECT device, PIRP irp) {
    auto* child = static_cast<PdoExtension*>(device->DeviceExtension);
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    NTSTATUS status = irp->IoStatus.Status;
    switch (stack->MinorFunction) {
    case IRP_MN_QUERY_ID:
        status = QueryId(child, irp);
        break;
    case IRP_MN_QUERY_CAPABILITIES: {
        PDEVICE_CAPABILITIES caps = stack->Parameters.DeviceCapabilities.Capabilities;
        caps->Removable = TRUE;
        caps->SurpriseRemovalOK = TRUE;
        caps->UniqueID = FALSE;
        caps->Address = child->number;
        caps->UINumber = child->number;
        caps->DeviceState[PowerSystemWorking] = PowerDeviceD0;
        for (int s = PowerSystemSleeping1; s < PowerSystemMaximum; ++s) caps->DeviceState[s] = PowerDeviceD3;
        caps->DeviceWake = PowerDeviceUnspecified;
        caps->SystemWake = PowerSystemUnspecified;
        status = STATUS_SUCCESS;
        break;
    }
    case IRP_MN_START_DEVICE:
        BridgeFunctionDriver(device);
        status = STATUS_SUCCESS;
        break;
    case IRP_MN_QUERY_STOP_DEVICE:
    case IRP_MN_CANCEL_STOP_DEVICE:
    case IRP_MN_STOP_DEVICE:
    case IRP_MN_QUERY_REMOVE_DEVICE:
    case IRP_MN_CANCEL_REMOVE_DEVICE:
    case IRP_MN_SURPRISE_REMOVAL:
        status = STATUS_SUCCESS;
        break;
    case IRP_MN_REMOVE_DEVICE: {
        // A hub deletes the PDO of a device that is no longer there; one
        // still plugged in keeps its PDO for the next start.
        status = STATUS_SUCCESS;
        if (!child->present && !child->removed) {
            child->removed = true;
            StandInKeWaitForSingleObject(&TheBus->childLock, Executive, KernelMode, FALSE, NULL);
            for (ULONG i = 0; i < TheBus->childCount; ++i) {
                if (TheBus->children[i].pdo == device) TheBus->children[i].pdo = NULL;
            }
            StandInKeReleaseMutex(&TheBus->childLock, FALSE);
            irp->IoStatus.Status = status;
            IoCompleteRequest(irp, IO_NO_INCREMENT);
            IoDeleteDevice(device);
            return status;
        }
        break;
    }
    case IRP_MN_QUERY_DEVICE_RELATIONS:
        if (stack->Parameters.QueryDeviceRelations.Type == TargetDeviceRelation) {
            auto* relations = static_cast<PDEVICE_RELATIONS>(ExAllocatePoolWithTag(PagedPool, sizeof(DEVICE_RELATIONS), kTag));
            if (relations == NULL) {
                status = STATUS_INSUFFICIENT_RESOURCES;
            } else {
                ObReferenceObject(device);
                relations->Count = 1;
                relations->Objects[0] = device;
                irp->IoStatus.Information = reinterpret_cast<ULONG_PTR>(relations);
                status = STATUS_SUCCESS;
            }
        }
        break;
    case IRP_MN_QUERY_DEVICE_TEXT: {
        if (stack->Parameters.QueryDeviceText.DeviceTextType == DeviceTextDescription) {
            const char* ids[] = {child->product == 0x0039 ? "QV-39N USB Smart Card Reader" : "QV-38N USB Smart Card Reader"};
            status = Ids(irp, ids, 1);
        }
        break;
    }
    case IRP_MN_QUERY_PNP_DEVICE_STATE:
        status = STATUS_SUCCESS;
        break;
    default:
        break;
    }
    irp->IoStatus.Status = status;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return status;
}

NTSTATUS PdoPower(PDEVICE_OBJECT device, PIRP irp) {
    auto* child = static_cast<PdoExtension*>(device->DeviceExtension);
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    NTSTATUS status = irp->IoStatus.Status;
    if (stack->MinorFunction == IRP_MN_SET_POWER || stack->MinorFunction == IRP_MN_QUERY_POWER) {
        status = STATUS_SUCCESS;
        if (stack->MinorFunction == IRP_MN_SET_POWER && stack->Parameters.Power.Type == DevicePowerState && child->present) {
            // A device below D0 is suspended on its port; D0 resumes it.
            const UCHAR suspend = stack->Parameters.Power.State.DeviceState != PowerDeviceD0 ? 1 : 0;
            UCHAR answer[4];
            ULONG length = 0;
            Ask(kPower, child->number, &suspend, 1, answer, sizeof answer, &length);
            PoSetPowerState(device, DevicePowerState, stack->Parameters.Power.State);
        }
    }
    PoStartNextPowerIrp(irp);
    irp->IoStatus.Status = status;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return status;
}

// Cancels a URB waiting for the host: the host answers it as cancelled.
VOID NTAPI CancelUrb(PDEVICE_OBJECT, PIRP irp) {
    IoReleaseCancelSpinLock(irp->CancelIrql);
    ULONG tag = 0;
    KIRQL irql;
    KeAcquireSpinLock(&TheBus->pendingLock, &irql);
    for (ULONG i = 0; i < kMaximumPending; ++i) {
        if (TheBus->pending[i].used && TheBus->pending[i].irp == irp) tag = TheBus->pending[i].tag;
    }
    KeReleaseSpinLock(&TheBus->pendingLock, irql);
    if (tag == 0) return;
    UCHAR payload[4];
    PutU32(payload, tag);
    Pending none = {};
    Send(kCancel, 0, none, payload, sizeof payload);
}

// Sends the URB's request to the host and leaves the IRP pending for the
// receiving thread.
NTSTATUS Forward(PdoExtension* child, PIRP irp, PURB urb, Kind kind, Type type, UCHAR endpoint, const void* payload,
                 ULONG length) {
    Pending record = {};
    record.kind = kind;
    record.irp = irp;
    record.urb = urb;
    record.number = child->number;
    record.endpoint = endpoint;
    IoMarkIrpPending(irp);
    urb->UrbHeader.Status = USBD_STATUS_PENDING;
    IoSetCancelRoutine(irp, CancelUrb);
    if (!Send(type, child->number, record, payload, length)) {
        // Nothing went out; the request is this routine's to end.
        Pending taken;
        for (ULONG i = 0; i < kMaximumPending; ++i) {
            if (TheBus->pending[i].used && TheBus->pending[i].irp == irp) TakePending(TheBus->pending[i].tag, taken);
        }
        if (IoSetCancelRoutine(irp, NULL) != NULL || !irp->Cancel) {
            CompleteUrb(irp, urb, USBD_STATUS_DEVICE_GONE);
        } else {
            CompleteUrb(irp, urb, USBD_STATUS_CANCELED);
        }
        return STATUS_PENDING;
    }
    if (irp->Cancel && kind == Kind::BulkIn && IoSetCancelRoutine(irp, NULL) != NULL) {
        // Cancelled before the routine was in place: ask the host to let it go.
        IoSetCancelRoutine(irp, CancelUrb);
        CancelUrb(NULL, irp);
    }
    return STATUS_PENDING;
}

NTSTATUS SelectConfiguration(PdoExtension* child, PIRP irp, PURB urb) {
    auto& select = urb->UrbSelectConfiguration;
    PUSB_CONFIGURATION_DESCRIPTOR configuration = select.ConfigurationDescriptor;
    if (configuration != NULL) {
        // The described records get their handles and pipes from the
        // client's own copy of the configuration descriptor.
        PUSBD_INTERFACE_INFORMATION info = &select.Interface;
        const PUCHAR end = reinterpret_cast<PUCHAR>(urb) + urb->UrbHeader.Length;
        for (ULONG n = 0; n < configuration->bNumInterfaces && reinterpret_cast<PUCHAR>(info) < end; ++n) {
            PUSB_INTERFACE_DESCRIPTOR described = USBD_ParseConfigurationDescriptorEx(
                configuration, configuration, info->InterfaceNumber, info->AlternateSetting, -1, -1, -1);
            if (described == NULL) {
                CompleteUrb(irp, urb, USBD_STATUS_INTERFACE_NOT_FOUND);
                return STATUS_INVALID_PARAMETER;
            }
            info->Class = described->bInterfaceClass;
            info->SubClass = described->bInterfaceSubClass;
            info->Protocol = described->bInterfaceProtocol;
            info->InterfaceHandle = reinterpret_cast<USBD_INTERFACE_HANDLE>(kInterfaceHandle);
            info->NumberOfPipes = described->bNumEndpoints;
            PUCHAR at = reinterpret_cast<PUCHAR>(described) + described->bLength;
            const PUCHAR last = reinterpret_cast<PUCHAR>(configuration) + configuration->wTotalLength;
            ULONG pipe = 0;
            while (pipe < described->bNumEndpoints && at + 2 <= last && at[0] >= 2) {
                auto* descriptor = reinterpret_cast<PUSB_COMMON_DESCRIPTOR>(at);
                if (descriptor->bDescriptorType == USB_INTERFACE_DESCRIPTOR_TYPE) break;
                if (descriptor->bDescriptorType == USB_ENDPOINT_DESCRIPTOR_TYPE) {
                    auto* endpoint = reinterpret_cast<PUSB_ENDPOINT_DESCRIPTOR>(at);
                    USBD_PIPE_INFORMATION& slot = info->Pipes[pipe++];
                    slot.MaximumPacketSize = endpoint->wMaxPacketSize & 0x07FF;
                    slot.EndpointAddress = endpoint->bEndpointAddress;
                    slot.Interval = endpoint->bInterval;
                    slot.PipeType = static_cast<USBD_PIPE_TYPE>(endpoint->bmAttributes & USB_ENDPOINT_TYPE_MASK);
                    slot.PipeHandle = reinterpret_cast<USBD_PIPE_HANDLE>(kPipeHandleMark | endpoint->bEndpointAddress);
                }
                at += descriptor->bLength;
            }
            info = reinterpret_cast<PUSBD_INTERFACE_INFORMATION>(reinterpret_cast<PUCHAR>(info) + info->Length);
        }
        select.ConfigurationHandle = reinterpret_cast<USBD_CONFIGURATION_HANDLE>(kConfigurationHandle);
    } else {
        select.ConfigurationHandle = NULL;
    }
    const UCHAR value = configuration != NULL ? configuration->bConfigurationValue : 0;
    return Forward(child, irp, urb, Kind::SelectConfiguration, kSetConfiguration, 0, &value, 1);
}

UCHAR EndpointOf(USBD_PIPE_HANDLE handle) { return static_cast<UCHAR>(reinterpret_cast<ULONG_PTR>(handle) & 0xFF); }

bool KnownPipe(USBD_PIPE_HANDLE handle) {
    return (reinterpret_cast<ULONG_PTR>(handle) & ~static_cast<ULONG_PTR>(0xFF)) == kPipeHandleMark;
}

NTSTATUS SubmitUrb(PdoExtension* child, PIRP irp) {
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    auto urb = static_cast<PURB>(stack->Parameters.Others.Argument1);
    if (urb == NULL) {
        irp->IoStatus.Status = STATUS_INVALID_PARAMETER;
        IoCompleteRequest(irp, IO_NO_INCREMENT);
        return STATUS_INVALID_PARAMETER;
    }
    if (!child->present) {
        CompleteUrb(irp, urb, USBD_STATUS_DEVICE_GONE);
        return STATUS_DEVICE_NOT_CONNECTED;
    }
    static UCHAR payload[kMaximumPayload];
    switch (urb->UrbHeader.Function) {
    case URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE: {
        auto& read = urb->UrbControlDescriptorRequest;
        UCHAR request[3] = {read.DescriptorType, static_cast<UCHAR>(read.TransferBufferLength & 0xFF),
                            static_cast<UCHAR>((read.TransferBufferLength >> 8) & 0xFF)};
        if (read.Index != 0 || (read.DescriptorType != kDeviceDescriptor && read.DescriptorType != kConfigurationDescriptor)) {
            read.TransferBufferLength = 0;
            CompleteUrb(irp, urb, USBD_STATUS_STALL_PID);
            return STATUS_UNSUCCESSFUL;
        }
        return Forward(child, irp, urb, Kind::Descriptor, kDescriptor, 0, request, sizeof request);
    }
    case URB_FUNCTION_SELECT_CONFIGURATION:
        return SelectConfiguration(child, irp, urb);
    case URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER: {
        auto& transfer = urb->UrbBulkOrInterruptTransfer;
        if (!KnownPipe(transfer.PipeHandle) || transfer.TransferBufferLength > kMaximumPayload - 1) {
            CompleteUrb(irp, urb, USBD_STATUS_INVALID_PARAMETER);
            return STATUS_INVALID_PARAMETER;
        }
        const UCHAR endpoint = EndpointOf(transfer.PipeHandle);
        if ((endpoint & USB_ENDPOINT_DIRECTION_MASK) != 0) {
            UCHAR request[5];
            request[0] = endpoint;
            PutU32(request + 1, transfer.TransferBufferLength);
            return Forward(child, irp, urb, Kind::BulkIn, kBulkIn, endpoint, request, sizeof request);
        }
        // The OUT payload is built under the send lock's protection of the
        // one buffer: Forward copies it into the link before it returns.
        StandInKeWaitForSingleObject(&TheBus->childLock, Executive, KernelMode, FALSE, NULL);
        payload[0] = endpoint;
        if (transfer.TransferBufferLength != 0) RtlCopyMemory(payload + 1, transfer.TransferBuffer, transfer.TransferBufferLength);
        const NTSTATUS status = Forward(child, irp, urb, Kind::BulkOut, kBulkOut, endpoint, payload, transfer.TransferBufferLength + 1);
        StandInKeReleaseMutex(&TheBus->childLock, FALSE);
        return status;
    }
    case URB_FUNCTION_RESET_PIPE: {
        if (!KnownPipe(urb->UrbPipeRequest.PipeHandle)) {
            CompleteUrb(irp, urb, USBD_STATUS_INVALID_PIPE_HANDLE);
            return STATUS_INVALID_PARAMETER;
        }
        const UCHAR endpoint = EndpointOf(urb->UrbPipeRequest.PipeHandle);
        return Forward(child, irp, urb, Kind::ResetPipe, kResetPipe, endpoint, &endpoint, 1);
    }
    case URB_FUNCTION_ABORT_PIPE: {
        if (!KnownPipe(urb->UrbPipeRequest.PipeHandle)) {
            CompleteUrb(irp, urb, USBD_STATUS_INVALID_PIPE_HANDLE);
            return STATUS_INVALID_PARAMETER;
        }
        // Every transfer waiting on the pipe is cancelled; the host answers
        // in order, so the abort's own round trip ends after theirs.
        const UCHAR endpoint = EndpointOf(urb->UrbPipeRequest.PipeHandle);
        for (ULONG i = 0; i < kMaximumPending; ++i) {
            const Pending& record = TheBus->pending[i];
            if (!record.used || record.irp == NULL || record.number != child->number || record.endpoint != endpoint) continue;
            UCHAR cancel[4];
            PutU32(cancel, record.tag);
            Pending none = {};
            Send(kCancel, 0, none, cancel, sizeof cancel);
        }
        return Forward(child, irp, urb, Kind::Abort, kList, endpoint, NULL, 0);
    }
    default:
        CompleteUrb(irp, urb, USBD_STATUS_INVALID_URB_FUNCTION);
        return STATUS_INVALID_PARAMETER;
    }
}


// ---------------------------------------------------------------------------
// The bus's own device (the FDO over the root-enumerated PDO) and its
// control device

NTSTATUS ForwardAndWait(PDEVICE_OBJECT lower, PIRP irp);

NTSTATUS NTAPI ForwardDone(PDEVICE_OBJECT, PIRP, PVOID context) {
    KeSetEvent(static_cast<PKEVENT>(context), IO_NO_INCREMENT, FALSE);
    return STATUS_MORE_PROCESSING_REQUIRED;
}

NTSTATUS ForwardAndWait(PDEVICE_OBJECT lower, PIRP irp) {
    KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    IoCopyCurrentIrpStackLocationToNext(irp);
    IoSetCompletionRoutine(irp, ForwardDone, &event, TRUE, TRUE, TRUE);
    if (IoCallDriver(lower, irp) == STATUS_PENDING) KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, NULL);
    return irp->IoStatus.Status;
}

NTSTATUS StartBus() {
    if (TheBus->connected) return STATUS_SUCCESS;
    // The test run writes the host's port into the registry before it
    // installs the bus.
    ULONG port = 0;
    ULONG none = 0;
    RTL_QUERY_REGISTRY_TABLE query[2] = {};
    query[0].Flags = RTL_QUERY_REGISTRY_DIRECT | RTL_QUERY_REGISTRY_REQUIRED;
    query[0].Name = const_cast<PWSTR>(L"HostPort");
    query[0].EntryContext = &port;
    query[0].DefaultType = REG_DWORD;
    query[0].DefaultData = &none;
    query[0].DefaultLength = sizeof none;
    RtlQueryRegistryValues(RTL_REGISTRY_ABSOLUTE, L"\\Registry\\Machine\\Software\\QvscrTests", query, NULL, NULL);
    if (port == 0 || port > 0xFFFF || !QvLinkConnect(static_cast<unsigned short>(port))) return STATUS_CONNECTION_REFUSED;
    TheBus->connected = true;
    HANDLE thread;
    if (!NT_SUCCESS(PsCreateSystemThread(&thread, THREAD_ALL_ACCESS, NULL, NULL, NULL, Receive, NULL))) {
        QvLinkClose();
        TheBus->connected = false;
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    ObReferenceObjectByHandle(thread, THREAD_ALL_ACCESS, NULL, KernelMode, &TheBus->receiver, NULL);
    ZwClose(thread);
    RefreshChildren();
    return STATUS_SUCCESS;
}

void StopBus() {
    if (TheBus->receiver == NULL) return;
    QvLinkClose();
    KeWaitForSingleObject(TheBus->receiver, Executive, KernelMode, FALSE, NULL);
    ObDereferenceObject(TheBus->receiver);
    TheBus->receiver = NULL;
}

NTSTATUS FdoPnp(PDEVICE_OBJECT device, PIRP irp) {
    auto* bus = static_cast<FdoExtension*>(device->DeviceExtension);
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    NTSTATUS status;
    switch (stack->MinorFunction) {
    case IRP_MN_START_DEVICE:
        status = ForwardAndWait(bus->lower, irp);
        if (NT_SUCCESS(status)) status = StartBus();
        irp->IoStatus.Status = status;
        IoCompleteRequest(irp, IO_NO_INCREMENT);
        // The readers plugged in from the start: Plug and Play asks for them.
        if (NT_SUCCESS(status)) IoInvalidateDeviceRelations(bus->lower, BusRelations);
        return status;
    case IRP_MN_QUERY_DEVICE_RELATIONS:
        if (stack->Parameters.QueryDeviceRelations.Type != BusRelations) break;
        status = ReportChildren(irp);
        irp->IoStatus.Status = status;
        if (!NT_SUCCESS(status)) {
            IoCompleteRequest(irp, IO_NO_INCREMENT);
            return status;
        }
        break;
    case IRP_MN_SURPRISE_REMOVAL:
    case IRP_MN_QUERY_REMOVE_DEVICE:
    case IRP_MN_QUERY_STOP_DEVICE:
    case IRP_MN_CANCEL_REMOVE_DEVICE:
    case IRP_MN_CANCEL_STOP_DEVICE:
    case IRP_MN_STOP_DEVICE:
        irp->IoStatus.Status = STATUS_SUCCESS;
        break;
    case IRP_MN_REMOVE_DEVICE: {
        StopBus();
        irp->IoStatus.Status = STATUS_SUCCESS;
        IoSkipCurrentIrpStackLocation(irp);
        status = IoCallDriver(bus->lower, irp);
        for (ULONG i = 0; i < TheBus->childCount; ++i) {
            if (TheBus->children[i].pdo != NULL) IoDeleteDevice(TheBus->children[i].pdo);
            TheBus->children[i].pdo = NULL;
        }
        IoDetachDevice(bus->lower);
        IoDeleteDevice(device);
        TheBus->fdo = NULL;
        return status;
    }
    default:
        break;
    }
    IoSkipCurrentIrpStackLocation(irp);
    return IoCallDriver(bus->lower, irp);
}

NTSTATUS Control(PIRP irp) {
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    const ULONG code = stack->Parameters.DeviceIoControl.IoControlCode;
    const ULONG in = stack->Parameters.DeviceIoControl.InputBufferLength;
    const ULONG out = stack->Parameters.DeviceIoControl.OutputBufferLength;
    auto buffer = static_cast<PUCHAR>(irp->AssociatedIrp.SystemBuffer);
    NTSTATUS status = STATUS_INVALID_DEVICE_REQUEST;
    irp->IoStatus.Information = 0;
    if (code == IOCTL_QVBUS_COMMAND && in >= 1 && out >= 1 && TheBus->fdo != NULL) {
        static UCHAR answer[kMaximumPayload];
        ULONG length = 0;
        if (!Ask(kCommand, buffer[0], buffer + 1, in - 1, answer, sizeof answer, &length) || length == 0) {
            status = STATUS_DEVICE_NOT_CONNECTED;
        } else {
            // A reader plugged in or pulled out: Plug and Play hears of it
            // before the console goes on.
            RefreshChildren();
            IoInvalidateDeviceRelations(static_cast<FdoExtension*>(TheBus->fdo->DeviceExtension)->lower, BusRelations);
            const ULONG count = length < out ? length : out;
            RtlCopyMemory(buffer, answer, count);
            irp->IoStatus.Information = count;
            status = STATUS_SUCCESS;
        }
    } else if (code == IOCTL_QVBUS_READERS) {
        StandInKeWaitForSingleObject(&TheBus->childLock, Executive, KernelMode, FALSE, NULL);
        ULONG count = 0;
        for (ULONG i = 0; i < TheBus->childCount && count < out; ++i) {
            if (TheBus->children[i].present) buffer[count++] = TheBus->children[i].number;
        }
        StandInKeReleaseMutex(&TheBus->childLock, FALSE);
        irp->IoStatus.Information = count;
        status = STATUS_SUCCESS;
    }
    irp->IoStatus.Status = status;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return status;
}

bool IsPdo(PDEVICE_OBJECT device) {
    return device != TheBus->control && device->DeviceExtension != NULL &&
           static_cast<PdoExtension*>(device->DeviceExtension)->isPdo;
}

NTSTATUS NTAPI DispatchPnp(PDEVICE_OBJECT device, PIRP irp) {
    if (IsPdo(device)) return PdoPnp(device, irp);
    if (device == TheBus->control) {
        irp->IoStatus.Status = STATUS_NOT_SUPPORTED;
        IoCompleteRequest(irp, IO_NO_INCREMENT);
        return STATUS_NOT_SUPPORTED;
    }
    return FdoPnp(device, irp);
}

NTSTATUS NTAPI DispatchPower(PDEVICE_OBJECT device, PIRP irp) {
    if (IsPdo(device)) return PdoPower(device, irp);
    PoStartNextPowerIrp(irp);
    if (device == TheBus->control) {
        irp->IoStatus.Status = STATUS_SUCCESS;
        IoCompleteRequest(irp, IO_NO_INCREMENT);
        return STATUS_SUCCESS;
    }
    IoSkipCurrentIrpStackLocation(irp);
    return PoCallDriver(static_cast<FdoExtension*>(device->DeviceExtension)->lower, irp);
}

NTSTATUS NTAPI DispatchInternal(PDEVICE_OBJECT device, PIRP irp) {
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    if (IsPdo(device) && stack->Parameters.DeviceIoControl.IoControlCode == IOCTL_INTERNAL_USB_SUBMIT_URB) {
        return SubmitUrb(static_cast<PdoExtension*>(device->DeviceExtension), irp);
    }
    const NTSTATUS status = IsPdo(device) ? STATUS_NOT_SUPPORTED : STATUS_INVALID_DEVICE_REQUEST;
    irp->IoStatus.Status = status;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return status;
}

NTSTATUS NTAPI DispatchControl(PDEVICE_OBJECT device, PIRP irp) {
    if (device == TheBus->control) return Control(irp);
    irp->IoStatus.Status = STATUS_INVALID_DEVICE_REQUEST;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return STATUS_INVALID_DEVICE_REQUEST;
}

NTSTATUS NTAPI DispatchCreateClose(PDEVICE_OBJECT, PIRP irp) {
    irp->IoStatus.Status = STATUS_SUCCESS;
    irp->IoStatus.Information = 0;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return STATUS_SUCCESS;
}

NTSTATUS NTAPI AddDevice(PDRIVER_OBJECT driver, PDEVICE_OBJECT pdo) {
    if (TheBus->fdo != NULL) return STATUS_DEVICE_ALREADY_ATTACHED;
    PDEVICE_OBJECT fdo = NULL;
    NTSTATUS status = IoCreateDevice(driver, sizeof(FdoExtension), NULL, FILE_DEVICE_BUS_EXTENDER, 0, FALSE, &fdo);
    if (!NT_SUCCESS(status)) return status;
    auto* bus = static_cast<FdoExtension*>(fdo->DeviceExtension);
    bus->isPdo = false;
    bus->lower = IoAttachDeviceToDeviceStack(fdo, pdo);
    TheBus->fdo = fdo;
    fdo->Flags &= ~DO_DEVICE_INITIALIZING;
    return STATUS_SUCCESS;
}

VOID NTAPI Unload(PDRIVER_OBJECT) {
    UNICODE_STRING link = Text(L"\\DosDevices\\QvUsbBus");
    IoDeleteSymbolicLink(&link);
    if (TheBus->control != NULL) IoDeleteDevice(TheBus->control);
    StopWineGaps();
    ExFreePoolWithTag(TheBus, kTag);
    TheBus = NULL;
}

} // namespace

extern "C" NTSTATUS NTAPI DriverEntry(PDRIVER_OBJECT driver, PUNICODE_STRING) {
    TheBus = static_cast<Bus*>(ExAllocatePoolWithTag(NonPagedPool, sizeof(Bus), kTag));
    if (TheBus == NULL) return STATUS_INSUFFICIENT_RESOURCES;
    RtlZeroMemory(TheBus, sizeof(Bus));
    StandInKeInitializeMutex(&TheBus->sendLock, 0);
    StandInKeInitializeMutex(&TheBus->childLock, 0);
    KeInitializeSpinLock(&TheBus->pendingLock);

    NTSTATUS status = StartWineGaps();
    UNICODE_STRING name = Text(L"\\Device\\QvUsbBusControl");
    if (NT_SUCCESS(status)) {
        status = IoCreateDevice(driver, sizeof(PdoExtension), &name, FILE_DEVICE_UNKNOWN, 0, FALSE, &TheBus->control);
    }
    if (!NT_SUCCESS(status)) {
        StopWineGaps();
        ExFreePoolWithTag(TheBus, kTag);
        TheBus = NULL;
        return status;
    }
    static_cast<PdoExtension*>(TheBus->control->DeviceExtension)->isPdo = false;
    UNICODE_STRING link = Text(L"\\DosDevices\\QvUsbBus");
    IoCreateSymbolicLink(&link, &name);
    TheBus->control->Flags &= ~DO_DEVICE_INITIALIZING;

    driver->MajorFunction[IRP_MJ_CREATE] = DispatchCreateClose;
    driver->MajorFunction[IRP_MJ_CLOSE] = DispatchCreateClose;
    driver->MajorFunction[IRP_MJ_PNP] = DispatchPnp;
    driver->MajorFunction[IRP_MJ_POWER] = DispatchPower;
    driver->MajorFunction[IRP_MJ_INTERNAL_DEVICE_CONTROL] = DispatchInternal;
    driver->MajorFunction[IRP_MJ_DEVICE_CONTROL] = DispatchControl;
    driver->DriverExtension->AddDevice = AddDevice;
    driver->DriverUnload = Unload;
    return STATUS_SUCCESS;
}
