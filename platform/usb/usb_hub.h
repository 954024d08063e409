// The bus driver's own records: ports (one per plugged device, each behind
// a PDO), the pipes a configuration opens, the per-pipe queues of requests
// and the hub that owns them all. Shared by the sources of platform/usb and
// by nothing else; the host sees only usb_bus.h.
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "usb/usb_bus.h"

namespace qv::usb::detail {

class Hub;
struct Pipe;

enum class UrbKind { DescriptorRead, SelectConfiguration, BulkIn, BulkOut, ResetPipe, AbortPipe, Unknown };

enum class Stage {
    Queued, // waiting for its turn; cancellable
    Parked, // the device NAKed it; waits to be asked again; cancellable
    Inline, // being carried out inside the dispatch routine of its submitter
    OnWire, // the device has answered; completes once its bytes have passed
};

// What the device made of one request.
struct Outcome {
    bool nak = false;
    std::optional<Time> retryAt;
    USBD_STATUS status = USBD_STATUS_SUCCESS;
    std::vector<std::uint8_t> data; // the bytes that moved
    VirtualTime wire = 0;           // their time on the wire
    bool wakesParked = false;       // an OUT transfer or a reset: parked IN transfers are asked again
};

// One interface record of a select-configuration URB and what the client's
// configuration descriptor says about that interface.
struct InterfacePlan {
    PUSBD_INTERFACE_INFORMATION info = nullptr;
    const USB_INTERFACE_DESCRIPTOR* descriptor = nullptr;
    std::vector<const USB_ENDPOINT_DESCRIPTOR*> endpoints;
};

struct Request {
    std::uint64_t id = 0;
    PIRP irp = nullptr;
    PURB urb = nullptr;
    UrbKind kind = UrbKind::Unknown;
    Pipe* pipe = nullptr;    // target of a transfer, reset or abort
    ULONG requested = 0;     // the transfer length asked for
    Stage stage = Stage::Queued;
    bool transacted = false; // the device has answered (outcome is valid)
    Outcome outcome;
    std::vector<InterfacePlan> plan; // select configuration only
    std::string what;                // "bulk-in ep 0x81 len 64", for the trace
    Time submittedAt = 0;
};

// Requests of one pipe, carried out in order. At most one service of the
// head is scheduled at a time: the earliest one asked for.
struct EndpointQueue {
    std::uint64_t serial = 0;
    std::deque<std::unique_ptr<Request>> requests;
    std::optional<VirtualTime> serviceAt;
    std::uint64_t generation = 0;
};

struct Pipe {
    std::uint64_t serial = 0;
    USBD_PIPE_HANDLE handle = nullptr;
    UCHAR endpoint = 0;
    USBD_PIPE_TYPE type = UsbdPipeTypeBulk;
    USHORT maxPacket = 0;
    ULONG maxTransfer = 0;
    bool open = true;    // false once another configuration replaced it
    bool halted = false; // after a stall or bus error, until the pipe is reset
    EndpointQueue queue;
};

struct Port {
    Hub* hub = nullptr;
    std::size_t index = 0;
    std::string name;
    std::uint8_t address = 0; // given at plug-in, never reused
    UsbDeviceModel* model = nullptr;
    PDEVICE_OBJECT pdo = nullptr;
    bool gone = false;    // unplugged or vanished: every request fails
    bool deleted = false; // the PDO has been deleted
    // Power: the device state its function driver asked for is below D0,
    // or the system is asleep; either suspends the port.
    bool deviceLow = false;
    bool systemAsleep = false;
    bool suspended = false;
    USBD_CONFIGURATION_HANDLE configuration = nullptr;
    // Every pipe ever opened, closed ones included, so that a late event
    // of a closed pipe still finds its queue.
    std::vector<std::unique_ptr<Pipe>> pipes;
    EndpointQueue control; // the default pipe: descriptors, configuration, resets

    Pipe* OpenPipe(USBD_PIPE_HANDLE handle);
    EndpointQueue* FindQueue(std::uint64_t serial);
    std::vector<EndpointQueue*> Queues();
    std::size_t PendingCount() const;
};

// The PDO's device extension.
struct PdoExtension {
    Port* port;
};

// A request taken out of its queue, ready to be completed outside the lock.
struct Completion {
    PIRP irp = nullptr;
    NTSTATUS status = STATUS_SUCCESS;
    USBD_STATUS usbd = USBD_STATUS_SUCCESS;
    UrbKind kind = UrbKind::Unknown;
    bool atOnce = false;
    std::string text;
    std::optional<TransferEvent> event;
};
using Completions = std::vector<Completion>;

// The bus driver's routines (usb_bus_driver.cpp).
NTSTATUS NTAPI HubDriverEntry(PDRIVER_OBJECT DriverObject, PUNICODE_STRING RegistryPath);
void NTAPI CancelUrb(PDEVICE_OBJECT DeviceObject, PIRP Irp);

// Holds the hub's spin lock for its lifetime.
class HubLock {
  public:
    explicit HubLock(KSPIN_LOCK& lock) : lock_(lock) { KeAcquireSpinLock(&lock_, &old_); }
    ~HubLock() { KeReleaseSpinLock(&lock_, old_); }
    HubLock(const HubLock&) = delete;
    HubLock& operator=(const HubLock&) = delete;

  private:
    KSPIN_LOCK& lock_;
    KIRQL old_ = PASSIVE_LEVEL;
};

class Hub : public std::enable_shared_from_this<Hub> {
  public:
    Hub(KernelCore& kernel, UsbBusConfig config);

    // The host's side (UsbBus).
    PDEVICE_OBJECT Plug(UsbDeviceModel& model, std::string name);
    void Unplug(PDEVICE_OBJECT pdo);
    void Shutdown();
    void SetObserver(std::function<void(const TransferEvent&)> observer) { observer_ = std::move(observer); }
    std::size_t AddWatcher(std::function<void(const TransferEvent&)> watcher) {
        watchers_.push_back(std::move(watcher));
        return watchers_.size() - 1;
    }
    void RemoveWatcher(std::size_t number) {
        if (number < watchers_.size()) watchers_[number] = nullptr;
    }
    const UsbBusCounters& Counters() const { return counters_; }
    PDRIVER_OBJECT Driver() const { return driver_; }
    std::size_t Pending(PDEVICE_OBJECT pdo) const;

    // The driver's side.
    static Port& PortOf(PDEVICE_OBJECT pdo);
    NTSTATUS Submit(Port& port, PIRP irp);
    void Cancel(Port& port, PIRP irp);
    // IRP_MN_REMOVE_DEVICE reached the PDO.
    void Remove(Port& port);
    // A set-power request reached the PDO (usb_hub_power.cpp).
    void SetPower(Port& port, POWER_STATE_TYPE type, POWER_STATE state);
    // A query or set-power request reached the PDO: one trace line, so
    // that tests see which requests the drivers above passed down.
    void NotePowerRequest(Port& port, const IO_STACK_LOCATION& stack);

  private:
    // Submission (usb_hub.cpp).
    NTSTATUS CarryOutInline(Port& port, EndpointQueue& queue, Request& request);
    NTSTATUS AbortPipe(Port& port, std::unique_ptr<Request> request);
    bool DrawAtOnce();
    void FlushDpcs();

    // Queues and scheduling (usb_hub.cpp).
    EndpointQueue& QueueOf(Port& port, const Request& request);
    void Service(std::size_t portIndex, std::uint64_t queueSerial, std::uint64_t generation);
    void Finish(std::size_t portIndex, std::uint64_t queueSerial, std::uint64_t requestId);
    void FailPending(std::size_t portIndex);
    void CarryOutHead(Port& port, EndpointQueue& queue, Completions& done);
    void Park(Port& port, EndpointQueue& queue, Request& head, Completions& done);
    void FinishHead(Port& port, EndpointQueue& queue, bool atOnce, Completions& done);
    void Kick(Port& port, EndpointQueue& queue);
    void WakeParked(Port& port);
    void ScheduleService(Port& port, EndpointQueue& queue, VirtualTime when);
    void ScheduleFinish(Port& port, EndpointQueue& queue, std::uint64_t requestId, VirtualTime when);
    void CollectFromQueue(Port& port, EndpointQueue& queue, USBD_STATUS status, Completions& done);
    void CollectAll(Port& port, USBD_STATUS status, Completions& done);
    void CollectIfGone(Port& port, Completions& done);

    // Completion (usb_hub.cpp).
    Completion Close(Port& port, std::unique_ptr<Request> request, USBD_STATUS status, bool atOnce);
    void Deliver(Completions& done);
    void Count(const Completion& completion);

    // What the URBs mean and what the device does with them (usb_urb.cpp).
    USBD_STATUS Validate(Port& port, Request& request);
    USBD_STATUS ValidateSelect(Request& request);
    Outcome Transact(Port& port, Request& request, Completions& done);
    Outcome TransactDescriptor(Port& port, Request& request);
    Outcome TransactSelect(Port& port, Request& request, Completions& done);
    Outcome TransactBulk(Port& port, Request& request);
    Outcome TransactReset(Port& port, Request& request);
    void MarkGone(Port& port, std::string_view why);
    USBD_PIPE_HANDLE NewHandle();

    void Log(std::string_view text);
    // A line given in pieces, put together only for a listener.
    void Log(std::initializer_list<std::string_view> pieces);
    Port* FindPort(PDEVICE_OBJECT pdo) const;

    KernelCore& kernel_;
    UsbBusConfig config_;
    KSPIN_LOCK lock_ = 0;
    PDRIVER_OBJECT driver_ = nullptr;
    bool shutDown_ = false;
    std::vector<std::unique_ptr<Port>> ports_;
    std::function<void(const TransferEvent&)> observer_;
    std::vector<std::function<void(const TransferEvent&)>> watchers_;
    // USB addresses: 1 is the root hub's; devices count up from 2.
    std::uint8_t nextAddress_ = 2;
    UsbBusCounters counters_;
    std::uint64_t nextRequest_ = 1;
    std::uint64_t nextQueue_ = 1;
    std::uint64_t nextHandle_ = 1;
};

} // namespace qv::usb::detail
