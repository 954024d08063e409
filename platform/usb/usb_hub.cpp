// The hub's request machinery: submission, the per-pipe queues and their
// services at frame boundaries, NAK retries, cancellation, surprise removal
// and completion. Every IRP leaves its queue under the hub's spin lock and
// is completed after the lock is released.
#include <algorithm>
#include <new>
#include <stdexcept>

#include "io/io_manager.h"
#include "kernel/scheduler.h"
#include "pnp/pnp_platform.h"
#include "usb/usb_hub.h"
#include "power/power_manager.h"
#include "usb/usb_timing.h"

namespace qv::usb::detail {

namespace {

constexpr unsigned kPercent = 100;
// How long Shutdown waits for requests already on the wire, in frames,
// before it leaves what remains to the unload audit.
constexpr unsigned kShutdownFrames = 1000;
// Room in a completion's trace line for the status and the byte count.
constexpr std::size_t kCompletionTextReserve = 64;
constexpr std::u16string_view kDriverName = u"\\Driver\\QvUsbHub";

// Takes the IRP back from its cancel routine; false when the routine has
// been called already and will complete the IRP itself.
bool TakeFromCancel(PIRP irp) { return IoSetCancelRoutine(irp, nullptr) != nullptr; }

bool Cancellable(Stage stage) { return stage == Stage::Queued || stage == Stage::Parked; }

// The bus's own timing (frames, bytes on the wire) is exact: unlike a
// driver's wait it does not end on a clock tick.
void DelayFor(VirtualTime ticks) {
    if (ticks == 0) return;
    Scheduler& sched = K().Sched();
    sched.Block(nullptr, sched.Now() + ticks, "the bus");
}

} // namespace

// ---------------------------------------------------------------------------
// Ports

Pipe* Port::OpenPipe(USBD_PIPE_HANDLE handle) {
    if (handle == nullptr) return nullptr;
    for (auto& pipe : pipes)
        if (pipe->open && pipe->handle == handle) return pipe.get();
    return nullptr;
}

EndpointQueue* Port::FindQueue(std::uint64_t serial) {
    if (control.serial == serial) return &control;
    for (auto& pipe : pipes)
        if (pipe->queue.serial == serial) return &pipe->queue;
    return nullptr;
}

std::vector<EndpointQueue*> Port::Queues() {
    std::vector<EndpointQueue*> queues{&control};
    for (auto& pipe : pipes) queues.push_back(&pipe->queue);
    return queues;
}

std::size_t Port::PendingCount() const {
    std::size_t count = control.requests.size();
    for (const auto& pipe : pipes) count += pipe->queue.requests.size();
    return count;
}

// ---------------------------------------------------------------------------
// Host side

Hub::Hub(KernelCore& kernel, UsbBusConfig config) : kernel_(kernel), config_(config) {}

PDEVICE_OBJECT Hub::Plug(UsbDeviceModel& model, std::string name) {
    if (shutDown_) throw std::logic_error("UsbBus::Plug after Shutdown");
    if (driver_ == nullptr) {
        NTSTATUS status = STATUS_UNSUCCESSFUL;
        driver_ = Io().LoadDriver(kDriverName, &HubDriverEntry, &status);
        if (driver_ == nullptr) throw std::runtime_error("the USB bus driver did not load");
        Io().MarkSystemDriver(driver_);
    }
    PDEVICE_OBJECT pdo = nullptr;
    const NTSTATUS status = IoCreateDevice(driver_, sizeof(PdoExtension), nullptr, FILE_DEVICE_USB, 0, FALSE, &pdo);
    if (!NT_SUCCESS(status)) throw std::runtime_error("the USB bus could not create a PDO for " + name);

    auto port = std::make_unique<Port>();
    port->hub = this;
    port->index = ports_.size();
    port->name = std::move(name);
    // A 7-bit address; after 127 plug-ins the count starts again at 2.
    constexpr std::uint8_t kFirstDeviceAddress = 2;
    constexpr std::uint8_t kLastDeviceAddress = 127;
    port->address = nextAddress_;
    nextAddress_ = nextAddress_ == kLastDeviceAddress ? kFirstDeviceAddress : static_cast<std::uint8_t>(nextAddress_ + 1);
    port->model = &model;
    port->pdo = pdo;
    port->control.serial = nextQueue_++;
    new (pdo->DeviceExtension) PdoExtension{port.get()};
    pdo->Flags |= DO_POWER_PAGABLE;
    pdo->Flags &= ~DO_DEVICE_INITIALIZING;
    // The PDO is a device instance: it may have registry keys and interfaces.
    pnp::Platform().AddPhysicalDevice(pdo);
    Log(port->name + " plugged into port " + std::to_string(port->index));
    power::AddStack(pdo);
    ports_.push_back(std::move(port));
    return pdo;
}

Port* Hub::FindPort(PDEVICE_OBJECT pdo) const {
    for (const auto& port : ports_)
        if (port->pdo == pdo) return port.get();
    return nullptr;
}

void Hub::Unplug(PDEVICE_OBJECT pdo) {
    Port* port = FindPort(pdo);
    if (port == nullptr) throw std::logic_error("UsbBus::Unplug of a device object that is not one of its ports");
    {
        HubLock lock(lock_);
        if (port->gone) return;
        port->gone = true;
    }
    Log(port->name + " unplugged");
    // The hub notices the port change on its own interrupt, not in the
    // caller's context: the queued requests fail from a DPC.
    kernel_.Sched().QueueDpc("usb unplug", [weak = weak_from_this(), index = port->index] {
        if (auto hub = weak.lock()) hub->FailPending(index);
    });
}

void Hub::FailPending(std::size_t portIndex) {
    Completions done;
    {
        HubLock lock(lock_);
        CollectIfGone(*ports_[portIndex], done);
    }
    Deliver(done);
}

void Hub::Shutdown() {
    if (shutDown_) return;
    shutDown_ = true;
    if (driver_ == nullptr) return;
    Completions done;
    {
        HubLock lock(lock_);
        for (auto& port : ports_) {
            port->gone = true;
            CollectAll(*port, USBD_STATUS_DEVICE_GONE, done);
        }
    }
    Deliver(done);
    // Requests on the wire or carried out inside a dispatch routine finish
    // on their own within a few frames.
    auto anyLeft = [this] {
        return std::any_of(ports_.begin(), ports_.end(), [](const auto& port) { return port->PendingCount() > 0; });
    };
    for (unsigned frame = 0; frame < kShutdownFrames && anyLeft(); ++frame) DelayFor(timing::kFrame);
    FlushDpcs();
    for (auto& port : ports_) {
        if (port->deleted) continue;
        port->deleted = true;
        power::RemoveStack(port->pdo);
        IoDeleteDevice(port->pdo);
    }
    Log("bus shut down");
    Io().UnloadDriver(driver_);
    driver_ = nullptr;
}

// What KeFlushQueuedDpcs does for a driver that is about to go: DPCs run in
// order, so once a marker queued now has run, every DPC queued before it,
// the one running at the moment included, has returned.
void Hub::FlushDpcs() {
    KEVENT flushed;
    KeInitializeEvent(&flushed, NotificationEvent, FALSE);
    kernel_.Sched().QueueDpc("usb flush", [&flushed] { KeSetEvent(&flushed, IO_NO_INCREMENT, FALSE); });
    KeWaitForSingleObject(&flushed, Executive, KernelMode, FALSE, nullptr);
}

std::size_t Hub::Pending(PDEVICE_OBJECT pdo) const {
    const Port* port = FindPort(pdo);
    return port == nullptr ? 0 : port->PendingCount();
}

// ---------------------------------------------------------------------------
// Driver side

Port& Hub::PortOf(PDEVICE_OBJECT pdo) { return *static_cast<PdoExtension*>(pdo->DeviceExtension)->port; }

bool Hub::DrawAtOnce() { return kernel_.Random(RandomStream::Bus)() % kPercent >= config_.asyncPercent; }

EndpointQueue& Hub::QueueOf(Port& port, const Request& request) {
    const bool onPipe = request.kind == UrbKind::BulkIn || request.kind == UrbKind::BulkOut;
    return onPipe ? request.pipe->queue : port.control;
}

NTSTATUS Hub::Submit(Port& port, PIRP irp) {
    auto request = std::make_unique<Request>();
    request->id = nextRequest_++;
    request->submittedAt = kernel_.Now();
    request->irp = irp;
    request->urb = static_cast<PURB>(IoGetCurrentIrpStackLocation(irp)->Parameters.Others.Argument1);
    if (request->urb == nullptr) {
        Log(port.name + " submit without a URB -> STATUS_INVALID_PARAMETER");
        irp->IoStatus.Status = STATUS_INVALID_PARAMETER;
        irp->IoStatus.Information = 0;
        IoCompleteRequest(irp, IO_NO_INCREMENT);
        return STATUS_INVALID_PARAMETER;
    }

    USBD_STATUS verdict = Validate(port, *request);
    Log({port.name, " submit ", request->what});
    if (port.gone) verdict = USBD_STATUS_DEVICE_GONE;
    // The host controller sends nothing to a suspended port. A driver that
    // sends anyway did not quiet its device before letting it sleep: counted
    // for the tests that look for it.
    else if (verdict == USBD_STATUS_SUCCESS && port.suspended) {
        verdict = USBD_STATUS_REQUEST_FAILED;
        ++counters_.whileSuspended;
    }
    if (verdict != USBD_STATUS_SUCCESS) {
        Completions done;
        done.push_back(Close(port, std::move(request), verdict, true));
        const NTSTATUS status = done.back().status;
        Deliver(done);
        return status;
    }
    if (request->kind == UrbKind::AbortPipe) return AbortPipe(port, std::move(request));

    const bool atOnce = DrawAtOnce();
    const bool passive = KeGetCurrentIrql() == PASSIVE_LEVEL;
    Request& placed = *request;
    EndpointQueue& queue = QueueOf(port, placed);
    Completions done;
    bool inlineRun = false;
    {
        HubLock lock(lock_);
        if (atOnce && passive && queue.requests.empty()) {
            inlineRun = true;
            placed.stage = Stage::Inline;
            queue.requests.push_back(std::move(request));
        } else {
            placed.stage = Stage::Queued;
            IoMarkIrpPending(irp);
            placed.urb->UrbHeader.Status = USBD_STATUS_PENDING;
            queue.requests.push_back(std::move(request));
            IoSetCancelRoutine(irp, &CancelUrb);
            if (irp->Cancel && TakeFromCancel(irp)) {
                std::unique_ptr<Request> cancelled = std::move(queue.requests.back());
                queue.requests.pop_back();
                done.push_back(Close(port, std::move(cancelled), USBD_STATUS_CANCELED, false));
            }
            Kick(port, queue);
        }
    }
    if (inlineRun) return CarryOutInline(port, queue, placed);
    Deliver(done);
    return STATUS_PENDING;
}

// A request drawn to complete at once, on an idle queue, at PASSIVE_LEVEL:
// the caller waits inside the dispatch routine for the frame and for the
// bytes' time. Nobody else takes an Inline or OnWire request out of its
// queue, so it stays at the head throughout.
NTSTATUS Hub::CarryOutInline(Port& port, EndpointQueue& queue, Request& request) {
    DelayFor(timing::NextFrame(kernel_.Now()) - kernel_.Now());
    PIRP irp = request.irp;
    Completions done;
    NTSTATUS result = STATUS_PENDING;
    bool onWire = false;
    VirtualTime wire = 0;
    {
        HubLock lock(lock_);
        if (port.gone) {
            FinishHead(port, queue, true, done);
            result = done.back().status;
        } else {
            Outcome outcome = Transact(port, request, done);
            if (outcome.nak) {
                // Like any bus driver, it keeps a NAKed transfer pending.
                IoMarkIrpPending(irp);
                request.urb->UrbHeader.Status = USBD_STATUS_PENDING;
                request.outcome = std::move(outcome);
                Park(port, queue, request, done);
            } else {
                request.outcome = std::move(outcome);
                request.transacted = true;
                request.stage = Stage::OnWire;
                onWire = true;
                wire = request.outcome.wire;
                result = NtStatusFromUsbd(request.outcome.status);
            }
        }
        CollectIfGone(port, done);
    }
    // From here on the request may have been completed and freed: only
    // what was noted above is used.
    Deliver(done);
    if (!onWire) return result; // pending after a NAK, or failed: the device was gone

    DelayFor(wire);
    {
        HubLock lock(lock_);
        FinishHead(port, queue, true, done);
        CollectIfGone(port, done);
    }
    Deliver(done);
    return result;
}

NTSTATUS Hub::AbortPipe(Port& port, std::unique_ptr<Request> request) {
    Completions done;
    {
        HubLock lock(lock_);
        CollectFromQueue(port, request->pipe->queue, USBD_STATUS_CANCELED, done);
    }
    done.push_back(Close(port, std::move(request), USBD_STATUS_SUCCESS, true));
    Deliver(done);
    return STATUS_SUCCESS;
}

void Hub::Cancel(Port& port, PIRP irp) {
    Completions done;
    {
        HubLock lock(lock_);
        for (EndpointQueue* queue : port.Queues()) {
            auto found = std::find_if(queue->requests.begin(), queue->requests.end(),
                                      [irp](const auto& request) { return request->irp == irp; });
            if (found == queue->requests.end() || !Cancellable((*found)->stage)) continue;
            std::unique_ptr<Request> request = std::move(*found);
            queue->requests.erase(found);
            done.push_back(Close(port, std::move(request), USBD_STATUS_CANCELED, false));
            Kick(port, *queue);
            break;
        }
    }
    Deliver(done);
}

void Hub::Remove(Port& port) {
    Completions done;
    {
        HubLock lock(lock_);
        CollectAll(port, port.gone ? USBD_STATUS_DEVICE_GONE : USBD_STATUS_CANCELED, done);
    }
    Deliver(done);
    // A PDO whose device is still plugged in stays, as a bus driver keeps
    // the PDO of a present device; one whose device has gone is deleted
    // (freed once the function driver detaches from it).
    if (port.gone && !port.deleted) {
        port.deleted = true;
        power::RemoveStack(port.pdo);
        Log(port.name + " PDO deleted");
        IoDeleteDevice(port.pdo);
    }
}

// ---------------------------------------------------------------------------
// Queues

void Hub::Service(std::size_t portIndex, std::uint64_t queueSerial, std::uint64_t generation) {
    Port& port = *ports_[portIndex];
    Completions done;
    {
        HubLock lock(lock_);
        EndpointQueue* queue = port.FindQueue(queueSerial);
        if (queue == nullptr || queue->generation != generation) return; // superseded by an earlier service
        queue->serviceAt.reset();
        if (!port.gone && !queue->requests.empty()) {
            Request& head = *queue->requests.front();
            if (Cancellable(head.stage) && TakeFromCancel(head.irp)) CarryOutHead(port, *queue, done);
        }
        CollectIfGone(port, done);
    }
    Deliver(done);
}

// The head has been taken back from its cancel routine.
void Hub::CarryOutHead(Port& port, EndpointQueue& queue, Completions& done) {
    Request& head = *queue.requests.front();
    Outcome outcome = Transact(port, head, done);
    if (outcome.nak) {
        head.outcome = std::move(outcome);
        Park(port, queue, head, done);
        return;
    }
    head.outcome = std::move(outcome);
    head.transacted = true;
    if (head.outcome.wire == 0) {
        FinishHead(port, queue, false, done);
        return;
    }
    head.stage = Stage::OnWire;
    ScheduleFinish(port, queue, head.id, kernel_.Now() + head.outcome.wire);
}

void Hub::Park(Port& port, EndpointQueue& queue, Request& head, Completions& done) {
    head.stage = Stage::Parked;
    IoSetCancelRoutine(head.irp, &CancelUrb);
    if (head.irp->Cancel && TakeFromCancel(head.irp)) {
        std::unique_ptr<Request> cancelled = std::move(queue.requests.front());
        queue.requests.pop_front();
        done.push_back(Close(port, std::move(cancelled), USBD_STATUS_CANCELED, false));
        Kick(port, queue);
        return;
    }
    if (head.outcome.retryAt) {
        const VirtualTime at = std::max<VirtualTime>(*head.outcome.retryAt, kernel_.Now() + 1);
        ScheduleService(port, queue, timing::FrameAtOrAfter(at));
    }
}

void Hub::Finish(std::size_t portIndex, std::uint64_t queueSerial, std::uint64_t requestId) {
    Port& port = *ports_[portIndex];
    Completions done;
    {
        HubLock lock(lock_);
        EndpointQueue* queue = port.FindQueue(queueSerial);
        if (queue == nullptr || queue->requests.empty()) return;
        const Request& head = *queue->requests.front();
        if (head.id != requestId || head.stage != Stage::OnWire) return;
        FinishHead(port, *queue, false, done);
        CollectIfGone(port, done);
    }
    Deliver(done);
}

void Hub::FinishHead(Port& port, EndpointQueue& queue, bool atOnce, Completions& done) {
    std::unique_ptr<Request> head = std::move(queue.requests.front());
    queue.requests.pop_front();
    const bool wakes = head->outcome.wakesParked;
    const USBD_STATUS status = head->transacted ? head->outcome.status : USBD_STATUS_DEVICE_GONE;
    done.push_back(Close(port, std::move(head), status, atOnce));
    if (wakes) WakeParked(port);
    Kick(port, queue);
}

void Hub::Kick(Port& port, EndpointQueue& queue) {
    if (!queue.requests.empty() && queue.requests.front()->stage == Stage::Queued) {
        ScheduleService(port, queue, timing::NextFrame(kernel_.Now()));
    }
}

// Runs after every transfer, so it walks the queues in place, in the order
// Queues gives them, rather than through a list made for the purpose.
void Hub::WakeParked(Port& port) {
    const auto wake = [&](EndpointQueue& queue) {
        if (!queue.requests.empty() && queue.requests.front()->stage == Stage::Parked) {
            ScheduleService(port, queue, timing::NextFrame(kernel_.Now()));
        }
    };
    wake(port.control);
    for (auto& pipe : port.pipes) wake(pipe->queue);
}

// Timed events run in the scheduler's context, where nothing may wait; the
// work itself is done in a DPC, as a host controller's interrupt would
// queue one.
void Hub::ScheduleService(Port& port, EndpointQueue& queue, VirtualTime when) {
    if (queue.serviceAt && *queue.serviceAt <= when) return;
    queue.serviceAt = when;
    const std::uint64_t generation = ++queue.generation;
    kernel_.Sched().At(when, [weak = weak_from_this(), index = port.index, serial = queue.serial, generation] {
        auto hub = weak.lock();
        if (!hub) return;
        hub->kernel_.Sched().QueueDpc("usb frame", [weak, index, serial, generation] {
            if (auto alive = weak.lock()) alive->Service(index, serial, generation);
        });
    });
}

void Hub::ScheduleFinish(Port& port, EndpointQueue& queue, std::uint64_t requestId, VirtualTime when) {
    kernel_.Sched().At(when, [weak = weak_from_this(), index = port.index, serial = queue.serial, requestId] {
        auto hub = weak.lock();
        if (!hub) return;
        hub->kernel_.Sched().QueueDpc("usb done", [weak, index, serial, requestId] {
            if (auto alive = weak.lock()) alive->Finish(index, serial, requestId);
        });
    });
}

void Hub::CollectFromQueue(Port& port, EndpointQueue& queue, USBD_STATUS status, Completions& done) {
    std::deque<std::unique_ptr<Request>> kept;
    for (auto& request : queue.requests) {
        // A request whose cancel routine is already running stays for that
        // routine to find.
        if (Cancellable(request->stage) && TakeFromCancel(request->irp)) {
            done.push_back(Close(port, std::move(request), status, false));
        } else {
            kept.push_back(std::move(request));
        }
    }
    queue.requests = std::move(kept);
    Kick(port, queue);
}

void Hub::CollectAll(Port& port, USBD_STATUS status, Completions& done) {
    for (EndpointQueue* queue : port.Queues()) CollectFromQueue(port, *queue, status, done);
}

void Hub::CollectIfGone(Port& port, Completions& done) {
    if (port.gone) CollectAll(port, USBD_STATUS_DEVICE_GONE, done);
}

// ---------------------------------------------------------------------------
// Completion

namespace {

// The setup packet a host controller sends for a request on the default
// pipe (USB 2.0, 9.3 and 9.4): GET_DESCRIPTOR, SET_CONFIGURATION and, for a
// pipe reset, CLEAR_FEATURE(ENDPOINT_HALT). Empty for bulk transfers.
std::vector<std::uint8_t> SetupPacket(const Request& request) {
    constexpr std::uint8_t kDeviceToHost = 0x80;
    constexpr std::uint8_t kHostToDevice = 0x00;
    constexpr std::uint8_t kToEndpoint = 0x02;
    constexpr std::uint8_t kClearFeature = 0x01;
    constexpr std::uint8_t kGetDescriptor = 0x06;
    constexpr std::uint8_t kSetConfiguration = 0x09;
    constexpr std::uint16_t kEndpointHalt = 0x0000;
    auto packet = [](std::uint8_t type, std::uint8_t code, std::uint16_t value, std::uint16_t index, std::uint16_t length) {
        return std::vector<std::uint8_t>{type,
                                         code,
                                         static_cast<std::uint8_t>(value & 0xFF),
                                         static_cast<std::uint8_t>(value >> 8),
                                         static_cast<std::uint8_t>(index & 0xFF),
                                         static_cast<std::uint8_t>(index >> 8),
                                         static_cast<std::uint8_t>(length & 0xFF),
                                         static_cast<std::uint8_t>(length >> 8)};
    };
    switch (request.kind) {
    case UrbKind::DescriptorRead: {
        const auto& read = request.urb->UrbControlDescriptorRequest;
        return packet(kDeviceToHost, kGetDescriptor, static_cast<std::uint16_t>((read.DescriptorType << 8) | read.Index),
                      read.LanguageId, static_cast<std::uint16_t>(std::min<ULONG>(request.requested, 0xFFFF)));
    }
    case UrbKind::SelectConfiguration: {
        const auto* configuration = request.urb->UrbSelectConfiguration.ConfigurationDescriptor;
        return packet(kHostToDevice, kSetConfiguration, configuration != nullptr ? configuration->bConfigurationValue : 0, 0, 0);
    }
    case UrbKind::ResetPipe:
        return packet(kToEndpoint, kClearFeature, kEndpointHalt, request.pipe != nullptr ? request.pipe->endpoint : 0, 0);
    default:
        return {};
    }
}

} // namespace

Completion Hub::Close(Port& port, std::unique_ptr<Request> request, USBD_STATUS status, bool atOnce) {
    PURB urb = request->urb;
    urb->UrbHeader.Status = status;
    if (!request->transacted) {
        // Nothing moved.
        if (request->kind == UrbKind::DescriptorRead) urb->UrbControlDescriptorRequest.TransferBufferLength = 0;
        if (request->kind == UrbKind::BulkIn || request->kind == UrbKind::BulkOut) {
            urb->UrbBulkOrInterruptTransfer.TransferBufferLength = 0;
        }
    }
    Completion completion;
    completion.irp = request->irp;
    completion.usbd = status;
    completion.status = NtStatusFromUsbd(status);
    completion.kind = request->kind;
    completion.atOnce = atOnce;
    const std::vector<std::uint8_t>& moved = request->outcome.data;
    // Put together in one string: every transfer's completion is traced.
    std::string& text = completion.text;
    text.reserve(port.name.size() + request->what.size() + kCompletionTextReserve);
    text += port.name;
    text += " complete ";
    text += request->what;
    text += " -> ";
    if (const char* name = UsbdStatusLiteral(status); name != nullptr) {
        text += name;
    } else {
        text += UsbdStatusName(status);
    }
    if (request->transacted && request->kind != UrbKind::SelectConfiguration) {
        text += ", ";
        text += std::to_string(moved.size());
        text += " bytes";
    }
    text += atOnce ? ", at once" : ", later";

    const bool transfer = request->kind == UrbKind::BulkIn || request->kind == UrbKind::BulkOut;
    const bool control = request->kind == UrbKind::DescriptorRead || request->kind == UrbKind::SelectConfiguration;
    if (transfer || control || request->kind == UrbKind::ResetPipe) {
        TransferEvent event;
        event.id = request->id;
        event.address = port.address;
        event.submittedAt = request->submittedAt;
        event.setup = SetupPacket(*request);
        if (control) event.kind = TransferKind::Control;
        event.device = port.name;
        if (!control) {
            event.kind = request->kind == UrbKind::BulkIn    ? TransferKind::In
                         : request->kind == UrbKind::BulkOut ? TransferKind::Out
                                                             : TransferKind::ResetPipe;
        }
        event.endpoint = request->pipe != nullptr ? request->pipe->endpoint : 0;
        event.requested = request->requested;
        if (request->transacted) event.data = moved;
        event.status = status;
        event.ntStatus = completion.status;
        event.time = kernel_.Now();
        completion.event = std::move(event);
    }
    return completion;
}

void Hub::Count(const Completion& completion) {
    UsbBusCounters& c = counters_;
    const bool ok = USBD_SUCCESS(completion.usbd);
    switch (completion.kind) {
    case UrbKind::BulkOut:
        ++c.outTransfers;
        if (ok && completion.event) c.bytesOut += completion.event->data.size();
        break;
    case UrbKind::BulkIn:
        ++c.inTransfers;
        if (ok && completion.event) c.bytesIn += completion.event->data.size();
        break;
    case UrbKind::ResetPipe:
        ++c.pipeResets;
        break;
    case UrbKind::DescriptorRead:
    case UrbKind::SelectConfiguration:
        ++c.controlRequests;
        break;
    default:
        break;
    }
    if (completion.usbd == USBD_STATUS_STALL_PID) ++c.stalls;
    if (completion.usbd == USBD_STATUS_XACT_ERROR) ++c.busErrors;
    if (completion.usbd == USBD_STATUS_CANCELED) ++c.cancelled;
    if (completion.usbd == USBD_STATUS_DEVICE_GONE) ++c.deviceGone;
    if (!ok) ++c.failed;
    ++(completion.atOnce ? c.completedAtOnce : c.completedLater);
}

void Hub::Deliver(Completions& done) {
    for (Completion& completion : done) {
        Log(completion.text);
        Count(completion);
        if (completion.event) {
            if (observer_ && completion.event->kind != TransferKind::Control) observer_(*completion.event);
            for (const auto& watcher : watchers_) {
                if (watcher) watcher(*completion.event);
            }
        }
        completion.irp->IoStatus.Status = completion.status;
        completion.irp->IoStatus.Information = 0;
        IoCompleteRequest(completion.irp, IO_NO_INCREMENT);
    }
    done.clear();
}

void Hub::Log(std::string_view text) { Log({text}); }

void Hub::Log(std::initializer_list<std::string_view> pieces) {
    kernel_.Events().Log(kernel_.Now(), kernel_.Sched().CurrentName(), "usb", pieces);
}

} // namespace qv::usb::detail
