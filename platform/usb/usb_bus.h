// The emulated USB bus as the host (tests, tools, the harness) sees it. The
// bus is a driver of its own, loaded through the I/O manager, with one
// physical device object (PDO) per plugged device model. A function driver
// attaches above a PDO and sends it URBs with IOCTL_INTERNAL_USB_SUBMIT_URB;
// the bus answers them by talking to the model, costs virtual time as a
// full-speed bus does, and completes some requests at once and some later
// from a DPC, as the seed decides.
//
// Timing model (full speed, 12 Mbit/s, 1 ms frames):
// - A request starts at the first frame boundary after it reaches the head
//   of its pipe's queue and ends after its bytes' time on the wire: every
//   bulk transaction carries 13 bytes of protocol overhead besides its data
//   (one transaction per maximum-size packet, at least one); a control
//   request (descriptor read, select configuration, pipe reset) carries an
//   8-byte setup transaction, its data in packets of the default pipe's
//   size and a status transaction, each with the same overhead. Bit
//   stuffing, frame budgets and contention between pipes are not modelled.
// - An IN transfer that the device NAKs stays queued and is asked again at
//   the first frame boundary at or after the model's retryAt, and also at
//   the next frame after any OUT transfer or pipe reset to the device ends
//   (the only retries when the model gives no retryAt).
// - Requests of one pipe run in order; the default pipe (descriptors,
//   configuration, pipe resets) is a queue of its own.
// - A request completed at once (drawn from RandomStream::Bus, when its
//   queue is idle and the caller runs at PASSIVE_LEVEL) charges the same
//   time by delaying the caller inside the dispatch routine.
//
// Status model, as a Windows host controller stack reports it (URB header
// status / IRP status):
// - STALL from the device: USBD_STATUS_STALL_PID / STATUS_UNSUCCESSFUL; a
//   bus error: USBD_STATUS_XACT_ERROR / STATUS_UNSUCCESSFUL. Either halts
//   the pipe on the host side: later transfers on it fail with
//   USBD_STATUS_ENDPOINT_HALTED / STATUS_UNSUCCESSFUL until it is reset
//   (URB_FUNCTION_RESET_PIPE).
// - A short transfer (either direction) without USBD_SHORT_TRANSFER_OK:
//   USBD_STATUS_ERROR_SHORT_TRANSFER / STATUS_UNSUCCESSFUL, with
//   TransferBufferLength giving the bytes moved.
// - Cancelled: USBD_STATUS_CANCELED / STATUS_CANCELLED. A new configuration
//   (or unconfiguring) aborts the queued transfers of the old pipes the same
//   way.
// - Device gone (unplugged, or the model reports it vanished): every
//   pending and later request fails with USBD_STATUS_DEVICE_GONE /
//   STATUS_DEVICE_NOT_CONNECTED; a request the device had already answered
//   still completes with that answer.
// - Malformed URBs (a Hdr.Length other than the function's URB size, a
//   null TransferBuffer with a length, a transfer whose direction flag
//   disagrees with its endpoint, a length above the pipe's
//   MaximumTransferSize): USBD_STATUS_INVALID_PARAMETER /
//   STATUS_INVALID_PARAMETER; an unknown pipe handle:
//   USBD_STATUS_INVALID_PIPE_HANDLE / STATUS_INVALID_PARAMETER; functions
//   the bus does not offer: USBD_STATUS_INVALID_URB_FUNCTION /
//   STATUS_INVALID_PARAMETER. Memory descriptor lists are not supported:
//   transfers need TransferBuffer.
//
// The model is called at DISPATCH_LEVEL, from a DPC or from the submitter's
// thread with the bus's spin lock held, once the request's frame has begun
// (`now` is the kernel's clock then); it must not wait.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "kernel/kernel.h"
#include "usb/usb_device_model.h"

namespace qv::usb {

namespace detail {
class Hub;
}

struct UsbBusConfig {
    // Chance, in percent, that a request that could be completed inside the
    // dispatch routine is left pending and completed later from a DPC.
    unsigned asyncPercent = 50;
};

// Control: a descriptor read or a configuration select on the default pipe;
// only watchers (AddWatcher) see those.
enum class TransferKind { Out, In, ResetPipe, Control };

// One bulk or interrupt transfer, or one pipe reset, as it completed.
struct TransferEvent {
    std::string device; // the name given to Plug
    TransferKind kind = TransferKind::Out;
    // Where a capture needs it: the bus's number for the request (the same in
    // its submission and completion), the address the bus gave the device
    // when it was plugged in, the moment the request was submitted, and for
    // control requests and pipe resets the setup packet they put on the wire.
    std::uint64_t id = 0;
    std::uint8_t address = 0;
    Time submittedAt = 0;
    std::vector<std::uint8_t> setup;
    std::uint8_t endpoint = 0;
    std::uint32_t requested = 0;     // the transfer length asked for
    std::vector<std::uint8_t> data;  // the bytes that moved
    USBD_STATUS status = USBD_STATUS_SUCCESS;
    NTSTATUS ntStatus = STATUS_SUCCESS;
    Time time = 0;
};

struct UsbBusCounters {
    std::uint64_t outTransfers = 0; // bulk/interrupt OUT transfers completed, whatever their status
    std::uint64_t inTransfers = 0;
    std::uint64_t bytesOut = 0; // bytes moved by successful transfers
    std::uint64_t bytesIn = 0;
    std::uint64_t naks = 0; // IN transactions the device NAKed
    std::uint64_t stalls = 0;
    std::uint64_t busErrors = 0;
    std::uint64_t cancelled = 0;
    std::uint64_t deviceGone = 0; // requests failed because the device is gone
    std::uint64_t whileSuspended = 0; // requests refused because the port was suspended
    std::uint64_t pipeResets = 0;
    std::uint64_t controlRequests = 0; // descriptor reads and configuration selects
    std::uint64_t failed = 0;          // every request completed with an error
    std::uint64_t completedAtOnce = 0; // inside the dispatch routine
    std::uint64_t completedLater = 0;  // after STATUS_PENDING
};

class UsbBus {
  public:
    explicit UsbBus(KernelCore& kernel, UsbBusConfig config = {});
    // Does not touch the kernel: call Shutdown first to unload the driver.
    ~UsbBus();
    UsbBus(const UsbBus&) = delete;
    UsbBus& operator=(const UsbBus&) = delete;

    // Plugs a device into a new port: loads the bus driver on first use and
    // creates the port's PDO, which is returned for the function driver's
    // add-device routine. Call at PASSIVE_LEVEL, on a simulated thread or
    // from the host before Run(). The model must outlive the bus.
    PDEVICE_OBJECT Plug(UsbDeviceModel& model, std::string name);

    // Surprise removal: the port reports the device gone at once; its queued
    // requests are failed from a DPC, every later one at submission. The PDO
    // stays until the function driver's remove request reaches it (the bus
    // deletes it then) or Shutdown. Callable from any context.
    void Unplug(PDEVICE_OBJECT pdo);

    // Teardown: fails what is still queued, waits for transfers on the wire,
    // deletes the PDOs and unloads the bus driver. Call on a simulated
    // thread at PASSIVE_LEVEL after the function drivers have detached from
    // the PDOs (or the unload audit will report the devices left behind).
    void Shutdown();

    // Called, outside any lock, for every completed bulk/interrupt transfer
    // and pipe reset.
    void SetObserver(std::function<void(const TransferEvent&)> observer);
    // Watchers see the same events and the control requests too, beside the
    // observer (a capture file and the console's trace at once). Returns the
    // watcher's number for RemoveWatcher.
    std::size_t AddWatcher(std::function<void(const TransferEvent&)> watcher);
    void RemoveWatcher(std::size_t number);

    const UsbBusCounters& Counters() const;
    // Null before the first Plug and after Shutdown.
    PDRIVER_OBJECT Driver() const;
    // Requests of the port not yet completed (queued, parked after a NAK,
    // or on the wire).
    std::size_t PendingRequests(PDEVICE_OBJECT pdo) const;

  private:
    std::shared_ptr<detail::Hub> hub_;
};

// "USBD_STATUS_STALL_PID", or the value in hex for a status without a name.
std::string UsbdStatusName(USBD_STATUS status);
// The same without a copy, for the hub's trace: null for a status without a
// name.
const char* UsbdStatusLiteral(USBD_STATUS status);

// The NTSTATUS a Windows bus driver completes the IRP with for a URB status.
NTSTATUS NtStatusFromUsbd(USBD_STATUS status);

} // namespace qv::usb
