// The host's handle on the bus, and the names and NTSTATUS values of the
// USBD status codes.
#include "usb/usb_bus.h"

#include <cstdio>

#include "usb/usb_hub.h"

namespace qv::usb {

UsbBus::UsbBus(KernelCore& kernel, UsbBusConfig config) : hub_(std::make_shared<detail::Hub>(kernel, config)) {}

UsbBus::~UsbBus() = default;

PDEVICE_OBJECT UsbBus::Plug(UsbDeviceModel& model, std::string name) { return hub_->Plug(model, std::move(name)); }

void UsbBus::Unplug(PDEVICE_OBJECT pdo) { hub_->Unplug(pdo); }

void UsbBus::Shutdown() { hub_->Shutdown(); }

void UsbBus::SetObserver(std::function<void(const TransferEvent&)> observer) {
    hub_->SetObserver(std::move(observer));
}

std::size_t UsbBus::AddWatcher(std::function<void(const TransferEvent&)> watcher) {
    return hub_->AddWatcher(std::move(watcher));
}

void UsbBus::RemoveWatcher(std::size_t number) { hub_->RemoveWatcher(number); }

const UsbBusCounters& UsbBus::Counters() const { return hub_->Counters(); }

PDRIVER_OBJECT UsbBus::Driver() const { return hub_->Driver(); }

std::size_t UsbBus::PendingRequests(PDEVICE_OBJECT pdo) const { return hub_->Pending(pdo); }

namespace {

struct StatusName {
    USBD_STATUS status;
    const char* name;
};

#define QV_USBD_NAME(status) {status, #status}
constexpr StatusName kStatusNames[] = {
    QV_USBD_NAME(USBD_STATUS_SUCCESS),
    QV_USBD_NAME(USBD_STATUS_PENDING),
    QV_USBD_NAME(USBD_STATUS_CRC),
    QV_USBD_NAME(USBD_STATUS_BTSTUFF),
    QV_USBD_NAME(USBD_STATUS_DATA_TOGGLE_MISMATCH),
    QV_USBD_NAME(USBD_STATUS_STALL_PID),
    QV_USBD_NAME(USBD_STATUS_DEV_NOT_RESPONDING),
    QV_USBD_NAME(USBD_STATUS_PID_CHECK_FAILURE),
    QV_USBD_NAME(USBD_STATUS_UNEXPECTED_PID),
    QV_USBD_NAME(USBD_STATUS_DATA_OVERRUN),
    QV_USBD_NAME(USBD_STATUS_DATA_UNDERRUN),
    QV_USBD_NAME(USBD_STATUS_BUFFER_OVERRUN),
    QV_USBD_NAME(USBD_STATUS_BUFFER_UNDERRUN),
    QV_USBD_NAME(USBD_STATUS_NOT_ACCESSED),
    QV_USBD_NAME(USBD_STATUS_FIFO),
    QV_USBD_NAME(USBD_STATUS_XACT_ERROR),
    QV_USBD_NAME(USBD_STATUS_BABBLE_DETECTED),
    QV_USBD_NAME(USBD_STATUS_ENDPOINT_HALTED),
    QV_USBD_NAME(USBD_STATUS_NO_MEMORY),
    QV_USBD_NAME(USBD_STATUS_INVALID_URB_FUNCTION),
    QV_USBD_NAME(USBD_STATUS_INVALID_PARAMETER),
    QV_USBD_NAME(USBD_STATUS_ERROR_BUSY),
    QV_USBD_NAME(USBD_STATUS_REQUEST_FAILED),
    QV_USBD_NAME(USBD_STATUS_INVALID_PIPE_HANDLE),
    QV_USBD_NAME(USBD_STATUS_NO_BANDWIDTH),
    QV_USBD_NAME(USBD_STATUS_INTERNAL_HC_ERROR),
    QV_USBD_NAME(USBD_STATUS_ERROR_SHORT_TRANSFER),
    QV_USBD_NAME(USBD_STATUS_BAD_START_FRAME),
    QV_USBD_NAME(USBD_STATUS_NOT_SUPPORTED),
    QV_USBD_NAME(USBD_STATUS_INVALID_CONFIGURATION_DESCRIPTOR),
    QV_USBD_NAME(USBD_STATUS_INSUFFICIENT_RESOURCES),
    QV_USBD_NAME(USBD_STATUS_SET_CONFIG_FAILED),
    QV_USBD_NAME(USBD_STATUS_BUFFER_TOO_SMALL),
    QV_USBD_NAME(USBD_STATUS_INTERFACE_NOT_FOUND),
    QV_USBD_NAME(USBD_STATUS_TIMEOUT),
    QV_USBD_NAME(USBD_STATUS_DEVICE_GONE),
    QV_USBD_NAME(USBD_STATUS_CANCELED),
};
#undef QV_USBD_NAME

} // namespace

const char* UsbdStatusLiteral(USBD_STATUS status) {
    for (const StatusName& entry : kStatusNames)
        if (entry.status == status) return entry.name;
    return nullptr;
}

std::string UsbdStatusName(USBD_STATUS status) {
    if (const char* name = UsbdStatusLiteral(status); name != nullptr) return name;
    char text[16];
    std::snprintf(text, sizeof(text), "0x%08X", static_cast<unsigned>(status));
    return text;
}

// The mapping a Windows host controller driver applies when it completes the
// IRP of a URB: software errors keep their meaning, everything that happened
// on the wire is simply unsuccessful.
NTSTATUS NtStatusFromUsbd(USBD_STATUS status) {
    if (USBD_SUCCESS(status)) return STATUS_SUCCESS;
    switch (status) {
    case USBD_STATUS_CANCELED:
        return STATUS_CANCELLED;
    case USBD_STATUS_DEVICE_GONE:
        return STATUS_DEVICE_NOT_CONNECTED;
    case USBD_STATUS_INVALID_URB_FUNCTION:
    case USBD_STATUS_INVALID_PARAMETER:
    case USBD_STATUS_INVALID_PIPE_HANDLE:
    case USBD_STATUS_INTERFACE_NOT_FOUND:
    case USBD_STATUS_INVALID_CONFIGURATION_DESCRIPTOR:
        return STATUS_INVALID_PARAMETER;
    case USBD_STATUS_NO_MEMORY:
    case USBD_STATUS_INSUFFICIENT_RESOURCES:
        return STATUS_INSUFFICIENT_RESOURCES;
    case USBD_STATUS_BUFFER_TOO_SMALL:
        return STATUS_BUFFER_TOO_SMALL;
    case USBD_STATUS_NOT_SUPPORTED:
        return STATUS_NOT_SUPPORTED;
    case USBD_STATUS_ERROR_BUSY:
        return STATUS_DEVICE_BUSY;
    case USBD_STATUS_TIMEOUT:
        return STATUS_IO_TIMEOUT;
    default:
        return STATUS_UNSUCCESSFUL;
    }
}

} // namespace qv::usb
