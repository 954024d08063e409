#include "harness/reader_machine.h"

#include <algorithm>
#include <utility>

#include "card.h"
#include "device.h"
#include "harness/driver_image.h"
#include "link.h"
#include "usb_config.h"
#include "io/io_manager.h"
#include "pnp/pnp_manager.h"
#include "pnp/pnp_platform.h"
#include "power/power_manager.h"

namespace qv::harness {

namespace {

constexpr std::u16string_view kDriverName = u"\\Driver\\qvscr";
// The driver's first card poll comes a second after the start; a wait for
// it looks every step and gives up at the limit.
constexpr LONGLONG kFirstPollMs = 1500;
constexpr LONGLONG kFirstPollStepMs = 20;

NTSTATUS NTAPI SignalDone(PDEVICE_OBJECT, PIRP, PVOID context) {
    KeSetEvent(static_cast<PKEVENT>(context), IO_NO_INCREMENT, FALSE);
    return STATUS_MORE_PROCESSING_REQUIRED;
}

// Notes a request's completion in its record.
void NoteCompletion(AsyncRequest& request, PIRP irp) {
    request.completions += 1;
    request.done = true;
    request.status = irp->IoStatus.Status;
    request.completedAt = Machine::Current().Now();
}

// The completion of a request sent without a handle, as a kernel-mode
// sender writes it: the result is noted and the sender frees its IRP here,
// at once. Left for later, the IRP would still be live when a removal that
// completed it unloads the driver after its last reader, and the unload
// audit would count it against the driver.
NTSTATUS NTAPI AsyncDone(PDEVICE_OBJECT, PIRP irp, PVOID context) {
    auto* request = static_cast<AsyncRequest*>(context);
    NoteCompletion(*request, irp);
    IoFreeIrp(irp);
    if (request->then) request->then();
    return STATUS_MORE_PROCESSING_REQUIRED;
}

// The same for a sender that keeps its IRP until Reap frees it.
NTSTATUS NTAPI KeptAsyncDone(PDEVICE_OBJECT, PIRP irp, PVOID context) {
    NoteCompletion(*static_cast<AsyncRequest*>(context), irp);
    return STATUS_MORE_PROCESSING_REQUIRED;
}

// MANUALLY_INITIATED_CRASH: stops the run when a reader the harness holds
// below its start cannot be set up; the harness is not what is under test.
constexpr ULONG kHarnessFailure = 0xE2;

} // namespace

AsyncRequest& ReaderMachine::SendAsync(std::size_t index, ULONG code, SentIrp kept) {
    return SendAsync(index, code, std::function<void()>{}, kept);
}

AsyncRequest& ReaderMachine::SendAsync(std::size_t index, ULONG code, std::function<void()> then) {
    return SendAsync(index, code, std::move(then), SentIrp::FreedAtCompletion);
}

AsyncRequest& ReaderMachine::SendAsync(std::size_t index, ULONG code, std::function<void()> then, SentIrp kept) {
    auto request = std::make_unique<AsyncRequest>();
    AsyncRequest& sent = *request;
    requests_.push_back(std::move(request));
    sent.code = code;
    sent.then = std::move(then);
    sent.sentAt = machine_.Now();
    // An application's overlapped request on its handle; the completion is
    // noted in the record as it happens.
    if (AppHandle* handle = Handle(index)) {
        std::shared_ptr<AppRequest> overlapped = handle->ControlAsync(code, {}, 0, [&sent](PIRP irp) { NoteCompletion(sent, irp); });
        sent.irp = overlapped->Irp();
        if (sent.irp == nullptr) { // refused before it was sent (a closed handle)
            sent.done = true;
            sent.status = overlapped->Status();
            sent.completedAt = machine_.Now();
        }
        overlapped_.emplace(&sent, std::move(overlapped));
        return sent;
    }
    // No handle: straight to the stack, as a kernel-mode caller sends it.
    PDEVICE_OBJECT device = Top(index);
    PIRP irp = device == nullptr ? nullptr : IoAllocateIrp(device->StackSize, FALSE);
    if (irp == nullptr) {
        sent.done = true;
        sent.status = device == nullptr ? STATUS_NO_SUCH_DEVICE : STATUS_INSUFFICIENT_RESOURCES;
        return sent;
    }
    sent.irp = irp;
    PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
    next->MajorFunction = IRP_MJ_DEVICE_CONTROL;
    next->Parameters.DeviceIoControl.IoControlCode = code;
    next->Parameters.DeviceIoControl.InputBufferLength = 0;
    next->Parameters.DeviceIoControl.OutputBufferLength = 0;
    irp->AssociatedIrp.SystemBuffer = nullptr;
    irp->IoStatus.Status = STATUS_NOT_SUPPORTED;
    if (kept == SentIrp::KeptUntilReap) kept_.insert(&sent);
    IoSetCompletionRoutine(irp, kept == SentIrp::KeptUntilReap ? &KeptAsyncDone : &AsyncDone, &sent, TRUE, TRUE,
                           TRUE);
    IoCallDriver(device, irp);
    return sent;
}

std::size_t ReaderMachine::CancelIo(std::size_t index) {
    AppHandle* handle = Handle(index);
    return handle == nullptr ? 0 : handle->CancelIo();
}

bool ReaderMachine::Cancel(PIRP irp) {
    for (auto& request : requests_) {
        if (request->irp != irp || request->done) continue;
        // The application cancels its own I/O (CancelIoEx).
        if (auto found = overlapped_.find(request.get()); found != overlapped_.end()) return found->second->Cancel();
        return IoCancelIrp(irp) != FALSE;
    }
    return false;
}

std::vector<AsyncRequest> ReaderMachine::Reap() {
    std::vector<AsyncRequest> done;
    std::vector<std::unique_ptr<AsyncRequest>> left;
    for (auto& request : requests_) {
        if (!request->done) {
            left.push_back(std::move(request));
            continue;
        }
        done.push_back(*request);
        Collect(*request);
    }
    requests_ = std::move(left);
    std::ranges::sort(done, {}, &AsyncRequest::completedAt);
    return done;
}

std::optional<AsyncRequest> ReaderMachine::Reap(const AsyncRequest& request) {
    auto found = std::ranges::find_if(requests_, [&request](const auto& r) { return r.get() == &request; });
    if (found == requests_.end() || !(*found)->done) return std::nullopt;
    std::unique_ptr<AsyncRequest> record = std::move(*found);
    requests_.erase(found);
    Collect(*record);
    return *record;
}

// The application collects a completed request (GetOverlappedResult): the
// IRP is freed, and a handle closed meanwhile sends its close now.
void ReaderMachine::Collect(const AsyncRequest& request) {
    if (kept_.erase(&request) != 0 && request.irp != nullptr) IoFreeIrp(request.irp);
    if (auto found = overlapped_.find(&request); found != overlapped_.end()) {
        found->second->Wait();
        overlapped_.erase(found);
    }
}

bool ReaderMachine::RequestsHeld(std::size_t index) {
    if (power::SystemState() != PowerSystemWorking) return true;
    if (index >= readers_.size() || readers_[index].device == nullptr) return false;
    const pnp::DeviceNode* node = machine_.Pnp().Node(readers_[index].pdo);
    return node != nullptr && (node->state == pnp::DeviceState::StopPending || node->state == pnp::DeviceState::Stopped);
}

std::size_t ReaderMachine::Outstanding() const {
    return static_cast<std::size_t>(std::ranges::count_if(requests_, [](const auto& r) { return !r->done; }));
}

ReaderMachine::ReaderMachine(MachineConfig config, usb::UsbBusConfig bus)
    : config_(config), machine_(config_, bus) {
    machine_.Pnp().SetFunctionDriver(std::u16string(kDriverName), &LoadFreshDriverImage);
}

ReaderMachine::ReaderMachine(usb::UsbDeviceModel& model, HeldReader held)
    : ReaderMachine(held.machine, held.bus) {
    heldModel_ = &model;
    held_ = std::move(held);
    // A reader held below its start is driven on a test bed; its runs keep
    // that name, and with it the digests the reader console has given.
    runName_ = "testbed";
}

ReaderMachine::~ReaderMachine() {
    if (!shutDown_ && !machine_.BugChecked()) Shutdown();
}

PDRIVER_OBJECT ReaderMachine::Driver() { return machine_.Pnp().Driver(); }

RunResult ReaderMachine::Run(std::function<void()> body) {
    return machine_.RunThread(runName_, [this, body = std::move(body)] {
        if (heldModel_ != nullptr) PlugHeld();
        body();
        Sync();
    });
}

RunResult ReaderMachine::Shutdown() {
    shutDown_ = true;
    return machine_.RunThread(runName_ + "-shutdown", [this] { Teardown(); });
}

// The machine is switched off: applications close their handles (a wait
// still pending ends with the cleanup), every reader still there is removed
// in order (one that refuses is pulled), and the manager unloads the driver
// after the last, which runs the unload audit.
void ReaderMachine::Teardown() {
    shutDown_ = true;
    for (std::size_t index = 0; index < readers_.size(); ++index) {
        while (!handles_[index].empty()) Close(index);
        // The polling the harness started on a held reader is its own to
        // end, and a sender that keeps its IRPs ends its waits with its
        // cleanup before they can be freed. The card services restart the
        // I/O timer after their work; a held reader's is stopped here.
        if (StartHeld(index) && readers_[index].device->Timer != nullptr) IoStopTimer(readers_[index].device);
        StopPolling(index);
        const bool keptPending = std::ranges::any_of(kept_, [](const AsyncRequest* r) { return !r->done; });
        if (keptPending && Top(index) != nullptr) Cleanup(index);
    }
    Reap();
    pnp::PnpManager& manager = pnp::Manager();
    for (std::size_t index = 0; index < readers_.size(); ++index) {
        PluggedReader& reader = readers_[index];
        if (manager.Node(reader.pdo) == nullptr) continue;
        const pnp::DeviceNode* node = manager.Node(reader.pdo);
        if (node->state == pnp::DeviceState::RemovePending || node->startHeld) manager.Remove(reader.pdo);
        else if (node->state != pnp::DeviceState::SurpriseRemoved) manager.RemoveOrderly(reader.pdo);
        if (manager.Node(reader.pdo) != nullptr) {
            reader.pulled = true;
            machine_.Usb().Unplug(reader.pdo);
            manager.DevicePulled(reader.pdo);
        }
    }
    Sync();
    machine_.Usb().Shutdown();
}

void ReaderMachine::Abandon() {
    shutDown_ = true;
    for (auto& handles : handles_) {
        for (auto& handle : handles) (void)handle.release();
    }
    for (auto& handle : retired_) (void)handle.release();
}

void ReaderMachine::Sync() {
    const pnp::PnpManager& manager = machine_.Pnp();
    for (PluggedReader& reader : readers_) {
        if (reader.device == nullptr) continue;
        const pnp::DeviceNode* node = manager.Node(reader.pdo);
        if (node == nullptr) {
            reader.device = nullptr;
            reader.life = reader.pulled ? ReaderLife::Gone : ReaderLife::Removed;
            continue;
        }
        switch (node->state) {
        case pnp::DeviceState::Added: reader.life = ReaderLife::Added; break;
        case pnp::DeviceState::Started:
        case pnp::DeviceState::StopPending: reader.life = ReaderLife::Started; break;
        case pnp::DeviceState::Stopped: reader.life = ReaderLife::Stopped; break;
        // Surprise-removed, the reader takes no more requests although its
        // remove waits for the last close.
        case pnp::DeviceState::SurpriseRemoved:
            reader.life = reader.pulled ? ReaderLife::Gone : ReaderLife::Removed;
            break;
        default: break;
        }
    }
    for (std::size_t index = 0; index < readers_.size(); ++index) readers_[index].open = !handles_[index].empty();
}

std::vector<PluggedReader>& ReaderMachine::Readers() {
    Sync();
    return readers_;
}

PlugResult ReaderMachine::Plug(usb::UsbDeviceModel& model, const std::function<void(PDEVICE_OBJECT)>& beforeAdd,
                               PlugStart start, std::string name) {
    PluggedReader reader;
    reader.model = &model;
    if (name.empty()) name = "reader" + std::to_string(readers_.size());
    reader.pdo = machine_.Usb().Plug(model, name);
    if (beforeAdd) beforeAdd(reader.pdo);
    pnp::PnpManager& manager = pnp::Manager();
    const pnp::Arrival arrival = manager.Arrive(reader.pdo, start == PlugStart::Held);
    PlugResult result;
    result.status = arrival.added;
    result.started = arrival.started;
    reader.added = arrival.added;
    if (manager.Node(reader.pdo) != nullptr) {
        reader.device = reader.pdo->AttachedDevice;
        reader.unit =
            static_cast<PDEVICE_EXTENSION>(reader.device->DeviceExtension)->SmartcardExtension.VendorAttr.UnitNo;
        reader.life = NT_SUCCESS(arrival.started) ? ReaderLife::Started : ReaderLife::Added;
    } else {
        // Add-device failed, or the start did and the manager removed it.
        reader.life = NT_SUCCESS(arrival.added) ? ReaderLife::Removed : ReaderLife::Failed;
    }
    result.index = readers_.size();
    readers_.push_back(reader);
    handles_.emplace_back();
    return result;
}

PDEVICE_EXTENSION ReaderMachine::Extension(std::size_t index) {
    Sync();
    PDEVICE_OBJECT device = readers_.at(index).device;
    return device == nullptr ? nullptr : static_cast<PDEVICE_EXTENSION>(device->DeviceExtension);
}

PDEVICE_OBJECT ReaderMachine::Top(std::size_t index) {
    Sync();
    const PluggedReader& reader = readers_.at(index);
    return reader.device == nullptr ? nullptr : pnp::PnpManager::TopOf(reader.pdo);
}

NTSTATUS ReaderMachine::Pnp(std::size_t index, UCHAR minor) {
    Sync();
    PluggedReader& reader = readers_.at(index);
    if (reader.device == nullptr) return STATUS_NO_SUCH_DEVICE;
    pnp::PnpManager& manager = pnp::Manager();
    const pnp::DeviceNode* node = manager.Node(reader.pdo);
    const pnp::DeviceState state = node->state;
    NTSTATUS status = STATUS_INVALID_DEVICE_STATE;
    switch (minor) {
    case IRP_MN_START_DEVICE:
        // The manager starts a device once when it arrives; asking again
        // reports how that start went.
        status = state == pnp::DeviceState::Started ? node->lastStart : manager.Start(reader.pdo);
        break;
    case IRP_MN_QUERY_STOP_DEVICE: status = manager.QueryStop(reader.pdo); break;
    case IRP_MN_STOP_DEVICE:
        if (state == pnp::DeviceState::Started) {
            status = manager.QueryStop(reader.pdo);
            if (!NT_SUCCESS(status)) break;
        }
        status = manager.Stop(reader.pdo);
        break;
    case IRP_MN_CANCEL_STOP_DEVICE: status = manager.CancelStop(reader.pdo); break;
    case IRP_MN_QUERY_REMOVE_DEVICE: status = manager.QueryRemove(reader.pdo, pnp::AfterQueryRemove::Wait); break;
    case IRP_MN_CANCEL_REMOVE_DEVICE: status = manager.CancelRemove(reader.pdo); break;
    case IRP_MN_REMOVE_DEVICE:
        if ((state == pnp::DeviceState::RemovePending && node->removeHeld) ||
            (state == pnp::DeviceState::Added && node->startHeld)) {
            status = manager.Remove(reader.pdo);
        } else {
            status = manager.RemoveOrderly(reader.pdo);
        }
        break;
    case IRP_MN_SURPRISE_REMOVAL: return Unplug(index);
    default: break;
    }
    Sync();
    return status;
}

NTSTATUS ReaderMachine::Unplug(std::size_t index) {
    Sync();
    PluggedReader& reader = readers_.at(index);
    if (reader.device == nullptr || reader.pulled) return STATUS_NO_SUCH_DEVICE;
    reader.pulled = true;
    machine_.Usb().Unplug(reader.pdo);
    const NTSTATUS status = pnp::Manager().DevicePulled(reader.pdo);
    Sync();
    return status;
}

std::u16string ReaderMachine::Link(std::size_t index) {
    Sync();
    const PluggedReader& reader = readers_.at(index);
    if (reader.device == nullptr) return {};
    // On a legacy platform applications know readers by the link the smart
    // card library made for each, which names the device's interface.
    const auto* extension = static_cast<PDEVICE_EXTENSION>(reader.device->DeviceExtension);
    if (extension->LegacyOs && extension->DosLinkName.Buffer != nullptr) {
        return std::u16string(reinterpret_cast<const char16_t*>(extension->DosLinkName.Buffer),
                              extension->DosLinkName.Length / sizeof(WCHAR));
    }
    for (const pnp::DeviceInterface& entry : pnp::Platform().Interfaces()) {
        if (entry.pdo == reader.pdo && entry.enabled) return entry.link;
    }
    return {};
}

AppHandle* ReaderMachine::Handle(std::size_t index) {
    auto& handles = handles_.at(index);
    return handles.empty() ? nullptr : handles.back().get();
}

void ReaderMachine::AwaitFirstPoll(std::size_t index) {
    AppHandle* handle = Handle(index);
    if (handle == nullptr) return;
    auto wait = handle->ControlAsync(IOCTL_SMARTCARD_IS_PRESENT, {}, 0);
    for (LONGLONG waited = 0; waited < kFirstPollMs && !wait->Completed(); waited += kFirstPollStepMs) {
        LARGE_INTEGER step;
        step.QuadPart = -kFirstPollStepMs * static_cast<LONGLONG>(kTicksPerMillisecond);
        KeDelayExecutionThread(KernelMode, FALSE, &step);
    }
    wait->Cancel();
    (void)wait->Wait();
}

NTSTATUS ReaderMachine::Open(std::size_t index) {
    const std::u16string link = Link(index);
    if (link.empty()) return readers_.at(index).device == nullptr ? STATUS_NO_SUCH_DEVICE : STATUS_OBJECT_NAME_NOT_FOUND;
    std::unique_ptr<AppHandle> handle;
    const NTSTATUS status = AppHandle::Open(link, handle);
    if (NT_SUCCESS(status)) handles_.at(index).push_back(std::move(handle));
    Sync();
    return status;
}

NTSTATUS ReaderMachine::Close(std::size_t index) {
    auto& handles = handles_.at(index);
    if (handles.empty()) return STATUS_INVALID_HANDLE;
    std::unique_ptr<AppHandle> handle = std::move(handles.back());
    handles.pop_back();
    // The close reaches the driver once the handle's last request has ended;
    // a pulled reader's remove request follows it.
    handle->Close();
    // Requests still outstanding on it refer to it until they are waited for.
    retired_.push_back(std::move(handle));
    Sync();
    return STATUS_SUCCESS;
}

// IRP_MJ_CLEANUP for the handle's file object, the handle left as it is:
// a test sends it to see what the driver does with the requests still
// pending, and may go on using the handle afterwards.
NTSTATUS ReaderMachine::Cleanup(std::size_t index) {
    AppHandle* handle = Handle(index);
    PDEVICE_OBJECT top = Top(index);
    if (top == nullptr) return STATUS_INVALID_HANDLE;
    PIRP irp = nullptr;
    if (handle == nullptr) {
        // A kernel-mode sender's cleanup: no file object.
        irp = IoAllocateIrp(top->StackSize, FALSE);
        if (irp == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
        irp->IoStatus.Status = STATUS_NOT_SUPPORTED;
    } else {
        while ((irp = IoAllocateIrp(top->StackSize, FALSE)) == nullptr) SwitchPoint();
        irp->RequestorMode = UserMode;
        irp->Tail.Overlay.OriginalFileObject = handle->File();
        irp->IoStatus.Status = STATUS_SUCCESS;
    }
    KEVENT done;
    KeInitializeEvent(&done, NotificationEvent, FALSE);
    PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
    next->MajorFunction = IRP_MJ_CLEANUP;
    next->FileObject = handle == nullptr ? nullptr : handle->File();
    IoSetCompletionRoutine(irp, &SignalDone, &done, TRUE, TRUE, TRUE);
    if (IoCallDriver(top, irp) == STATUS_PENDING) KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, nullptr);
    const NTSTATUS status = irp->IoStatus.Status;
    IoFreeIrp(irp);
    Sync();
    return status;
}

IoctlResult ReaderMachine::DeviceControl(std::size_t index, ULONG code, std::span<const std::uint8_t> input,
                                         ULONG outputLength) {
    IoctlResult result;
    if (AppHandle* handle = Handle(index)) {
        const std::shared_ptr<AppRequest> request = handle->ControlAsync(code, input, outputLength);
        result.status = request->Wait();
        result.output = request->Output();
        result.information = request->Information();
        Sync();
        return result;
    }
    PDEVICE_OBJECT device = Top(index);
    if (device == nullptr) {
        result.status = STATUS_NO_SUCH_DEVICE;
        return result;
    }
    std::vector<std::uint8_t> in(input.begin(), input.end());
    std::vector<std::uint8_t> out(outputLength);
    KEVENT done;
    KeInitializeEvent(&done, NotificationEvent, FALSE);
    IO_STATUS_BLOCK ioStatus{};
    PIRP irp = IoBuildDeviceIoControlRequest(code, device, in.empty() ? nullptr : in.data(),
                                             static_cast<ULONG>(in.size()), out.empty() ? nullptr : out.data(),
                                             outputLength, FALSE, &done, &ioStatus);
    if (irp == nullptr) {
        result.status = STATUS_INSUFFICIENT_RESOURCES;
        return result;
    }
    NTSTATUS status = IoCallDriver(device, irp);
    if (status == STATUS_PENDING) {
        KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, nullptr);
        status = ioStatus.Status;
    }
    result.status = status;
    result.information = ioStatus.Information;
    const std::size_t copied = std::min<std::size_t>(ioStatus.Information, out.size());
    result.output.assign(out.begin(), out.begin() + static_cast<std::ptrdiff_t>(copied));
    return result;
}

CommandResult ReaderMachine::SendCommand(std::size_t index, ULONG number, std::span<const std::uint8_t> payload) {
    CommandResult result;
    PDEVICE_EXTENSION extension = Extension(index);
    if (extension == nullptr) {
        result.status = STATUS_NO_SUCH_DEVICE;
        return result;
    }
    PREADER_EXTENSION reader = extension->SmartcardExtension.ReaderExtension;
    // The payload hand-over belongs to the link like the rest of its
    // members: only under ReaderMutex, or another thread's command could
    // overwrite it before it is sent.
    KeWaitForSingleObject(reader->ReaderMutex, Executive, KernelMode, FALSE, nullptr);
    const std::size_t length = std::min<std::size_t>(payload.size(), sizeof(reader->CommandBlock));
    std::copy_n(payload.begin(), length, reader->CommandBlock);
    reader->CommandLength = static_cast<ULONG>(length);
    result.status = SendReaderCommand(number, &extension->SmartcardExtension);
    const std::size_t replied = std::min<std::size_t>(reader->ReplyLength, sizeof(reader->ReplyData));
    result.reply.assign(reader->ReplyData, reader->ReplyData + replied);
    KeReleaseMutex(reader->ReaderMutex, FALSE);
    return result;
}

// ---- A reader whose start is held ------------------------------------------

NTSTATUS ReaderMachine::Configure(std::size_t index) {
    PDEVICE_EXTENSION extension = Extension(index);
    if (extension == nullptr) return STATUS_NO_SUCH_DEVICE;
    PDEVICE_OBJECT device = readers_[index].device;
    extension->SmartcardExtension.ReaderExtension->DeviceObject = device;
    // The card services stop and restart the I/O timer around their work;
    // the start ties it to the poll timer routine once for the device's life.
    if (device->Timer == nullptr) IoInitializeTimer(device, &PollTimer, extension);
    return ConfigureUsbDevice(device);
}

NTSTATUS ReaderMachine::Unconfigure(std::size_t index) {
    PDEVICE_OBJECT device = Extension(index) == nullptr ? nullptr : readers_[index].device;
    return device == nullptr ? STATUS_NO_SUCH_DEVICE : UnconfigureUsbDevice(device);
}

void ReaderMachine::AdmitRequests(std::size_t index) {
    PDEVICE_EXTENSION extension = Extension(index);
    if (extension == nullptr) {
        machine_.Kernel().RaiseBugCheck(kHarnessFailure, index, 0, 0, 0, "harness: no reader to admit requests to");
        return;
    }
    extension->SmartcardExtension.ReaderCapabilities.CurrentState = SCARD_PRESENT;
    SetPnpReady(extension, TRUE);
}

void ReaderMachine::PlugHeld() {
    usb::UsbDeviceModel& model = *std::exchange(heldModel_, nullptr);
    const PlugResult plugged = Plug(model, {}, PlugStart::Held, held_.deviceName);
    if (!NT_SUCCESS(plugged.status) || Extension(plugged.index) == nullptr) {
        machine_.Kernel().RaiseBugCheck(kHarnessFailure, static_cast<ULONG>(plugged.status), 0, 0, 0,
                                        "harness: AddDevice failed for the held reader");
        return;
    }
    if (held_.admitRequests) AdmitRequests(plugged.index);
}

bool ReaderMachine::StartHeld(std::size_t index) {
    if (Extension(index) == nullptr) return false;
    const pnp::DeviceNode* node = machine_.Pnp().Node(readers_[index].pdo);
    return node != nullptr && node->startHeld;
}

NTSTATUS ReaderMachine::StartPolling(std::size_t index) {
    PluggedReader& plugged = readers_.at(index);
    if (plugged.polling) return STATUS_SUCCESS;
    PDEVICE_EXTENSION extension = Extension(index);
    if (extension == nullptr) return STATUS_NO_SUCH_DEVICE;
    PREADER_EXTENSION reader = extension->SmartcardExtension.ReaderExtension;
    extension->PollThreadRun = 1;
    reader->PollEnabled = 1;
    extension->SmartcardExtension.ReaderCapabilities.CurrentState = SCARD_ABSENT;
    const NTSTATUS status = StartPollThread(extension);
    if (!NT_SUCCESS(status)) return status;
    plugged.polling = true;
    reader->LastPollMs = InterruptTimeMs();
    reader->ReaderRunning = 1;
    IoStartTimer(plugged.device);
    return STATUS_SUCCESS;
}

void ReaderMachine::StopPolling(std::size_t index) {
    PluggedReader& plugged = readers_.at(index);
    if (!plugged.polling) return;
    plugged.polling = false;
    PDEVICE_EXTENSION extension = Extension(index);
    if (extension == nullptr) return;
    extension->SmartcardExtension.ReaderExtension->ReaderRunning = 0;
    IoStopTimer(plugged.device);
    StopPollThread(extension);
}

} // namespace qv::harness
