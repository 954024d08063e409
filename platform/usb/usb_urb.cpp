// What the bus makes of each URB: the checks a Windows bus driver makes
// before it accepts one, and what happens on the wire once it is the
// request's turn (descriptor reads, configuration, bulk and interrupt
// transfers, pipe resets).
#include <algorithm>
#include <cstddef>
#include <cstdio>
#include <cstring>
#include <span>

#include "kernel/number_text.h"
#include "kernel/race_annotations.h"
#include "usb/usb_hub.h"
#include "usb/usb_timing.h"

namespace qv::usb::detail {

namespace {

// wLength of a control request is 16 bits wide.
constexpr ULONG kLargestControlTransfer = 0xFFFF;
// The default pipe's packet size when the device descriptor gives none.
constexpr USHORT kDefaultMaxPacket0 = 8;
constexpr std::size_t kMaxPacket0Offset = offsetof(USB_DEVICE_DESCRIPTOR, bMaxPacketSize0);
// wMaxPacketSize bits 0..10; the bits above count extra high-speed transactions.
constexpr USHORT kMaxPacketSizeMask = 0x07FF;
// Pipe, interface and configuration handles are opaque values that the
// client only hands back; they point nowhere.
constexpr std::uintptr_t kHandleBase = 0x5B000000;
constexpr std::uintptr_t kHandleStride = 0x40;
constexpr LONG kAny = -1;
constexpr std::size_t kInterfaceRecordsOffset = offsetof(struct _URB_SELECT_CONFIGURATION, Interface);
constexpr std::size_t kInterfaceHeaderSize = offsetof(USBD_INTERFACE_INFORMATION, Pipes);

std::string Hex(unsigned value, int digits) {
    std::string text;
    AppendHex(text, value, digits);
    return text;
}

const char* TransferName(bool in, USBD_PIPE_TYPE type) {
    if (type == UsbdPipeTypeInterrupt) return in ? "interrupt-in" : "interrupt-out";
    return in ? "bulk-in" : "bulk-out";
}

USHORT MaxPacket0(const Port& port) {
    const std::span<const std::uint8_t> descriptor = port.model->DeviceDescriptor();
    if (descriptor.size() <= kMaxPacket0Offset || descriptor[kMaxPacket0Offset] == 0) return kDefaultMaxPacket0;
    return descriptor[kMaxPacket0Offset];
}

// The first bNumEndpoints endpoint descriptors that follow an interface
// descriptor, before the next interface descriptor. Other descriptors in
// between (class-specific ones) are stepped over; a malformed length ends
// the walk.
std::vector<const USB_ENDPOINT_DESCRIPTOR*> EndpointsOf(const USB_CONFIGURATION_DESCRIPTOR* configuration,
                                                        const USB_INTERFACE_DESCRIPTOR* interface) {
    std::vector<const USB_ENDPOINT_DESCRIPTOR*> endpoints;
    const auto* end = reinterpret_cast<const UCHAR*>(configuration) + configuration->wTotalLength;
    const auto* at = reinterpret_cast<const UCHAR*>(interface) + interface->bLength;
    while (endpoints.size() < interface->bNumEndpoints && end - at >= static_cast<std::ptrdiff_t>(sizeof(USB_COMMON_DESCRIPTOR))) {
        const auto* descriptor = reinterpret_cast<const USB_COMMON_DESCRIPTOR*>(at);
        if (descriptor->bLength < sizeof(USB_COMMON_DESCRIPTOR) || descriptor->bLength > end - at) break;
        if (descriptor->bDescriptorType == USB_INTERFACE_DESCRIPTOR_TYPE) break;
        if (descriptor->bDescriptorType == USB_ENDPOINT_DESCRIPTOR_TYPE &&
            descriptor->bLength >= sizeof(USB_ENDPOINT_DESCRIPTOR)) {
            endpoints.push_back(reinterpret_cast<const USB_ENDPOINT_DESCRIPTOR*>(at));
        }
        at += descriptor->bLength;
    }
    return endpoints;
}

} // namespace

// ---------------------------------------------------------------------------
// Checks at submission

USBD_STATUS Hub::Validate(Port& port, Request& request) {
    PURB urb = request.urb;
    const USHORT function = urb->UrbHeader.Function;
    const USHORT length = urb->UrbHeader.Length;
    // A URB shorter than its function's record is not read beyond its
    // header, and its kind stays unknown so that nothing is written back
    // but the header's status.
    auto badLength = [&](const char* name) {
        request.what = std::string(name) + " with Hdr.Length " + std::to_string(length);
        return USBD_STATUS_INVALID_PARAMETER;
    };

    switch (function) {
    case URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE: {
        if (length != sizeof(struct _URB_CONTROL_DESCRIPTOR_REQUEST)) return badLength("get-descriptor");
        const auto& read = urb->UrbControlDescriptorRequest;
        request.kind = UrbKind::DescriptorRead;
        request.requested = read.TransferBufferLength;
        request.what = "get-descriptor type " + std::to_string(read.DescriptorType) + " index " +
                       std::to_string(read.Index) + " len " + std::to_string(read.TransferBufferLength);
        if (read.TransferBufferLength > kLargestControlTransfer) return USBD_STATUS_INVALID_PARAMETER;
        if (read.TransferBufferLength != 0 && read.TransferBuffer == nullptr) return USBD_STATUS_INVALID_PARAMETER;
        return USBD_STATUS_SUCCESS;
    }
    case URB_FUNCTION_SELECT_CONFIGURATION:
        return ValidateSelect(request);
    case URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER: {
        if (length != sizeof(struct _URB_BULK_OR_INTERRUPT_TRANSFER)) return badLength("bulk transfer");
        const auto& transfer = urb->UrbBulkOrInterruptTransfer;
        const bool in = USBD_TRANSFER_DIRECTION(transfer.TransferFlags) == USBD_TRANSFER_DIRECTION_IN;
        request.kind = in ? UrbKind::BulkIn : UrbKind::BulkOut;
        request.requested = transfer.TransferBufferLength;
        request.pipe = port.OpenPipe(transfer.PipeHandle);
        std::string& what = request.what;
        if (request.pipe == nullptr) {
            what = TransferName(in, UsbdPipeTypeBulk);
            what += " on an unknown pipe len ";
            AppendDecimal(what, transfer.TransferBufferLength);
            return USBD_STATUS_INVALID_PIPE_HANDLE;
        }
        const Pipe& pipe = *request.pipe;
        what = TransferName(in, pipe.type);
        what += " ep ";
        AppendHex(what, pipe.endpoint, 2);
        what += " len ";
        AppendDecimal(what, transfer.TransferBufferLength);
        if (pipe.type != UsbdPipeTypeBulk && pipe.type != UsbdPipeTypeInterrupt) return USBD_STATUS_INVALID_PARAMETER;
        // Windows would quietly go by the endpoint; a flag that disagrees
        // with it is a client bug worth reporting.
        if (in != (USB_ENDPOINT_DIRECTION_IN(pipe.endpoint) != 0)) return USBD_STATUS_INVALID_PARAMETER;
        if (transfer.TransferBufferLength != 0 && transfer.TransferBuffer == nullptr) {
            return USBD_STATUS_INVALID_PARAMETER;
        }
        if (pipe.maxTransfer != 0 && transfer.TransferBufferLength > pipe.maxTransfer) {
            return USBD_STATUS_INVALID_PARAMETER;
        }
        return USBD_STATUS_SUCCESS;
    }
    case URB_FUNCTION_RESET_PIPE:
    case URB_FUNCTION_ABORT_PIPE: {
        const bool reset = function == URB_FUNCTION_RESET_PIPE;
        const char* name = reset ? "reset-pipe" : "abort-pipe";
        if (length != sizeof(struct _URB_PIPE_REQUEST)) return badLength(name);
        request.kind = reset ? UrbKind::ResetPipe : UrbKind::AbortPipe;
        request.pipe = port.OpenPipe(urb->UrbPipeRequest.PipeHandle);
        if (request.pipe == nullptr) {
            request.what = std::string(name) + " on an unknown pipe";
            return USBD_STATUS_INVALID_PIPE_HANDLE;
        }
        request.what = std::string(name) + " ep " + Hex(request.pipe->endpoint, 2);
        return USBD_STATUS_SUCCESS;
    }
    default:
        request.what = "urb function " + Hex(function, 4);
        return USBD_STATUS_INVALID_URB_FUNCTION;
    }
}

// The interface records must lie within Hdr.Length, each must name an
// interface of the client's configuration descriptor and have room for all
// of that interface's pipes. The descriptor itself is the client's and is
// trusted to be wTotalLength bytes long, as Windows trusts it.
USBD_STATUS Hub::ValidateSelect(Request& request) {
    PURB urb = request.urb;
    const std::size_t length = urb->UrbHeader.Length;
    if (length < kInterfaceRecordsOffset) {
        request.what = "select-configuration with Hdr.Length " + std::to_string(length);
        return USBD_STATUS_INVALID_PARAMETER;
    }
    request.kind = UrbKind::SelectConfiguration;
    auto* configuration = urb->UrbSelectConfiguration.ConfigurationDescriptor;
    if (configuration == nullptr) {
        request.what = "unconfigure";
        return USBD_STATUS_SUCCESS;
    }
    request.what = "select-configuration " + std::to_string(configuration->bConfigurationValue);
    if (configuration->bLength < sizeof(USB_CONFIGURATION_DESCRIPTOR) ||
        configuration->bDescriptorType != USB_CONFIGURATION_DESCRIPTOR_TYPE ||
        configuration->wTotalLength < configuration->bLength) {
        return USBD_STATUS_INVALID_CONFIGURATION_DESCRIPTOR;
    }
    std::size_t at = kInterfaceRecordsOffset;
    for (unsigned index = 0; index < configuration->bNumInterfaces; ++index) {
        if (at + kInterfaceHeaderSize > length) return USBD_STATUS_INVALID_PARAMETER;
        auto* info = reinterpret_cast<PUSBD_INTERFACE_INFORMATION>(reinterpret_cast<PUCHAR>(urb) + at);
        if (info->Length < kInterfaceHeaderSize || at + info->Length > length) return USBD_STATUS_INVALID_PARAMETER;
        PUSB_INTERFACE_DESCRIPTOR interface = USBD_ParseConfigurationDescriptorEx(
            configuration, configuration, info->InterfaceNumber, info->AlternateSetting, kAny, kAny, kAny);
        if (interface == nullptr) return USBD_STATUS_INTERFACE_NOT_FOUND;
        InterfacePlan plan{info, interface, EndpointsOf(configuration, interface)};
        if (plan.endpoints.size() < interface->bNumEndpoints) return USBD_STATUS_INVALID_CONFIGURATION_DESCRIPTOR;
        if (info->Length < GET_USBD_INTERFACE_SIZE(interface->bNumEndpoints)) return USBD_STATUS_INVALID_PARAMETER;
        request.plan.push_back(std::move(plan));
        at += info->Length;
    }
    return USBD_STATUS_SUCCESS;
}

// ---------------------------------------------------------------------------
// On the wire

Outcome Hub::Transact(Port& port, Request& request, Completions& done) {
    if (!port.model->Attached()) {
        MarkGone(port, "no longer answers");
        Outcome outcome;
        outcome.status = USBD_STATUS_DEVICE_GONE;
        return outcome;
    }
    switch (request.kind) {
    case UrbKind::DescriptorRead:
        return TransactDescriptor(port, request);
    case UrbKind::SelectConfiguration:
        return TransactSelect(port, request, done);
    case UrbKind::BulkIn:
    case UrbKind::BulkOut:
        return TransactBulk(port, request);
    case UrbKind::ResetPipe:
        return TransactReset(port, request);
    default: {
        Outcome outcome;
        outcome.status = USBD_STATUS_INVALID_URB_FUNCTION;
        return outcome;
    }
    }
}

Outcome Hub::TransactDescriptor(Port& port, Request& request) {
    auto& read = request.urb->UrbControlDescriptorRequest;
    Outcome outcome;
    std::span<const std::uint8_t> source;
    if (read.Index == 0 && read.DescriptorType == USB_DEVICE_DESCRIPTOR_TYPE) {
        source = port.model->DeviceDescriptor();
    } else if (read.Index == 0 && read.DescriptorType == USB_CONFIGURATION_DESCRIPTOR_TYPE) {
        source = port.model->ConfigurationDescriptor();
    } else {
        // The device has one configuration and no strings: it stalls any
        // other descriptor request.
        outcome.status = USBD_STATUS_STALL_PID;
        outcome.wire = timing::ControlTime(0, MaxPacket0(port));
        read.TransferBufferLength = 0;
        return outcome;
    }
    const std::size_t count = std::min<std::size_t>(read.TransferBufferLength, source.size());
    if (count != 0) std::memcpy(read.TransferBuffer, source.data(), count);
    read.TransferBufferLength = static_cast<ULONG>(count);
    outcome.data.assign(source.begin(), source.begin() + static_cast<std::ptrdiff_t>(count));
    outcome.wire = timing::ControlTime(count, MaxPacket0(port));
    return outcome;
}

Outcome Hub::TransactSelect(Port& port, Request& request, Completions& done) {
    auto& select = request.urb->UrbSelectConfiguration;
    const PUSB_CONFIGURATION_DESCRIPTOR configuration = select.ConfigurationDescriptor;
    Outcome outcome;
    outcome.wire = timing::ControlTime(0, MaxPacket0(port));
    if (!port.model->SetConfiguration(configuration != nullptr ? configuration->bConfigurationValue : 0)) {
        outcome.status = USBD_STATUS_SET_CONFIG_FAILED;
        return outcome;
    }
    // The old configuration's pipes close; what still waits on them is
    // aborted.
    for (auto& pipe : port.pipes) {
        if (!pipe->open) continue;
        pipe->open = false;
        CollectFromQueue(port, pipe->queue, USBD_STATUS_CANCELED, done);
    }
    port.configuration = nullptr;
    select.ConfigurationHandle = nullptr;
    if (configuration == nullptr) return outcome;

    port.configuration = NewHandle();
    select.ConfigurationHandle = port.configuration;
    for (const InterfacePlan& plan : request.plan) {
        PUSBD_INTERFACE_INFORMATION info = plan.info;
        info->Class = plan.descriptor->bInterfaceClass;
        info->SubClass = plan.descriptor->bInterfaceSubClass;
        info->Protocol = plan.descriptor->bInterfaceProtocol;
        info->InterfaceHandle = NewHandle();
        info->NumberOfPipes = static_cast<ULONG>(plan.endpoints.size());
        for (std::size_t index = 0; index < plan.endpoints.size(); ++index) {
            const USB_ENDPOINT_DESCRIPTOR& endpoint = *plan.endpoints[index];
            USBD_PIPE_INFORMATION& slot = info->Pipes[index];
            auto pipe = std::make_unique<Pipe>();
            pipe->serial = nextQueue_++;
            pipe->queue.serial = pipe->serial;
            pipe->handle = NewHandle();
            pipe->endpoint = endpoint.bEndpointAddress;
            pipe->type = static_cast<USBD_PIPE_TYPE>(endpoint.bmAttributes & USB_ENDPOINT_TYPE_MASK);
            pipe->maxPacket = static_cast<USHORT>(endpoint.wMaxPacketSize & kMaxPacketSizeMask);
            pipe->maxTransfer = slot.MaximumTransferSize;
            slot.MaximumPacketSize = pipe->maxPacket;
            slot.EndpointAddress = pipe->endpoint;
            slot.Interval = endpoint.bInterval;
            slot.PipeType = pipe->type;
            slot.PipeHandle = pipe->handle;
            port.pipes.push_back(std::move(pipe));
        }
    }
    return outcome;
}

Outcome Hub::TransactBulk(Port& port, Request& request) {
    Pipe& pipe = *request.pipe;
    auto& transfer = request.urb->UrbBulkOrInterruptTransfer;
    const bool in = request.kind == UrbKind::BulkIn;
    const bool shortOk = (transfer.TransferFlags & USBD_SHORT_TRANSFER_OK) != 0;
    const ULONG asked = request.requested;
    Outcome outcome;
    if (!pipe.open || pipe.halted) {
        outcome.status = pipe.open ? USBD_STATUS_ENDPOINT_HALTED : USBD_STATUS_CANCELED;
        transfer.TransferBufferLength = 0;
        return outcome;
    }

    TransferStatus status = TransferStatus::Ok;
    std::size_t moved = 0;
    bool babble = false;
    std::vector<std::uint8_t> received;
    if (in) {
        received.resize(asked);
        // The device is hardware with a life of its own: what it does comes
        // one step after another, whichever thread the bus serves it from.
        race::Acquire(&*port.model);
        const InResult answer = port.model->BulkIn(pipe.endpoint, received, kernel_.Now());
        race::Release(&*port.model);
        if (answer.status == TransferStatus::Ok && !answer.ready) {
            outcome.nak = true;
            outcome.retryAt = answer.retryAt;
            ++counters_.naks;
            return outcome;
        }
        status = answer.status;
        babble = answer.length > asked;
        moved = babble ? 0 : answer.length;
    } else {
        const std::span<const std::uint8_t> data(static_cast<const std::uint8_t*>(transfer.TransferBuffer), asked);
        race::Acquire(&*port.model);
        const OutResult answer = port.model->BulkOut(pipe.endpoint, data, kernel_.Now());
        race::Release(&*port.model);
        status = answer.status;
        moved = std::min<std::size_t>(answer.accepted, asked);
        outcome.wakesParked = status != TransferStatus::DeviceGone;
    }

    switch (status) {
    case TransferStatus::Ok:
        if (babble) {
            // More bytes than the buffer holds: the controller calls it
            // babble and halts the endpoint.
            outcome.status = USBD_STATUS_BABBLE_DETECTED;
            pipe.halted = true;
        } else {
            outcome.status = moved < asked && !shortOk ? USBD_STATUS_ERROR_SHORT_TRANSFER : USBD_STATUS_SUCCESS;
        }
        break;
    case TransferStatus::Stall:
        outcome.status = USBD_STATUS_STALL_PID;
        pipe.halted = true;
        moved = 0;
        break;
    case TransferStatus::Error:
        outcome.status = USBD_STATUS_XACT_ERROR;
        pipe.halted = true;
        moved = 0;
        break;
    case TransferStatus::DeviceGone:
        outcome.status = USBD_STATUS_DEVICE_GONE;
        MarkGone(port, "vanished during a transfer");
        moved = 0;
        break;
    }

    const auto* bytes = in ? received.data() : static_cast<const std::uint8_t*>(transfer.TransferBuffer);
    if (moved != 0) {
        outcome.data.assign(bytes, bytes + moved);
        if (in) std::memcpy(transfer.TransferBuffer, received.data(), moved);
    }
    transfer.TransferBufferLength = static_cast<ULONG>(moved);
    outcome.wire = status == TransferStatus::DeviceGone ? 0 : timing::BulkTime(moved, pipe.maxPacket);
    return outcome;
}

Outcome Hub::TransactReset(Port& port, Request& request) {
    Pipe& pipe = *request.pipe;
    Outcome outcome;
    if (!pipe.open) {
        outcome.status = USBD_STATUS_INVALID_PIPE_HANDLE;
        return outcome;
    }
    // CLEAR_FEATURE(ENDPOINT_HALT) on the default pipe; the host side of
    // the pipe is resumed with it.
    race::Acquire(&*port.model);
    port.model->ResetEndpoint(pipe.endpoint);
    race::Release(&*port.model);
    pipe.halted = false;
    outcome.wakesParked = true;
    outcome.wire = timing::ControlTime(0, MaxPacket0(port));
    return outcome;
}

void Hub::MarkGone(Port& port, std::string_view why) {
    if (port.gone) return;
    port.gone = true;
    Log(port.name + " " + std::string(why));
}

USBD_PIPE_HANDLE Hub::NewHandle() {
    return reinterpret_cast<USBD_PIPE_HANDLE>(kHandleBase + nextHandle_++ * kHandleStride);
}

} // namespace qv::usb::detail
