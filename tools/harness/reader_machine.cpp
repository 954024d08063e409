#include "harness/reader_machine.h"

#include <algorithm>

#include "device.h"
#include "link.h"
#include "io/io_manager.h"

namespace qv::harness {

namespace {

constexpr std::u16string_view kDriverName = u"\\Driver\\qvscr";

NTSTATUS NTAPI SignalDone(PDEVICE_OBJECT, PIRP, PVOID context) {
    KeSetEvent(static_cast<PKEVENT>(context), IO_NO_INCREMENT, FALSE);
    return STATUS_MORE_PROCESSING_REQUIRED;
}

NTSTATUS NTAPI AsyncDone(PDEVICE_OBJECT, PIRP irp, PVOID context) {
    auto* request = static_cast<AsyncRequest*>(context);
    request->completions += 1;
    request->done = true;
    request->status = irp->IoStatus.Status;
    request->completedAt = Kernel::Current().Now();
    return STATUS_MORE_PROCESSING_REQUIRED;
}

} // namespace

AsyncRequest& ReaderMachine::SendAsync(std::size_t index, ULONG code) {
    auto request = std::make_unique<AsyncRequest>();
    AsyncRequest& sent = *request;
    requests_.push_back(std::move(request));
    sent.code = code;
    sent.sentAt = kernel_.Now();
    PDEVICE_OBJECT device = readers_.at(index).device;
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
    IoSetCompletionRoutine(irp, &AsyncDone, &sent, TRUE, TRUE, TRUE);
    IoCallDriver(device, irp);
    return sent;
}

bool ReaderMachine::Cancel(PIRP irp) {
    for (auto& request : requests_) {
        if (request->irp == irp && !request->done) return IoCancelIrp(irp) != FALSE;
    }
    return false;
}

NTSTATUS ReaderMachine::Cleanup(std::size_t index) {
    PDEVICE_OBJECT device = readers_.at(index).device;
    if (device == nullptr) return STATUS_NO_SUCH_DEVICE;
    return SendMajor(device, IRP_MJ_CLEANUP, 0);
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
        if (request->irp != nullptr) IoFreeIrp(request->irp);
    }
    requests_ = std::move(left);
    std::ranges::sort(done, {}, &AsyncRequest::completedAt);
    return done;
}

std::size_t ReaderMachine::Outstanding() const {
    return static_cast<std::size_t>(std::ranges::count_if(requests_, [](const auto& r) { return !r->done; }));
}

ReaderMachine::ReaderMachine(KernelConfig config, usb::UsbBusConfig bus)
    : config_(config), kernel_(config_), bus_(kernel_, bus) {}

ReaderMachine::~ReaderMachine() {
    if (!shutDown_ && !kernel_.BugChecked()) Shutdown();
}

RunResult ReaderMachine::Run(std::function<void()> body) {
    return kernel_.RunThread("machine", [this, body = std::move(body)] {
        if (driver_ == nullptr) {
            NTSTATUS status = STATUS_UNSUCCESSFUL;
            driver_ = kernel_.Io().LoadDriver(kDriverName, &DriverEntry, &status);
        }
        body();
    });
}

RunResult ReaderMachine::Shutdown() {
    shutDown_ = true;
    return kernel_.RunThread("machine-shutdown", [this] { Teardown(); });
}

void ReaderMachine::Teardown() {
    // Applications close their handles before the readers go: a wait still
    // pending ends with the cleanup.
    for (std::size_t index = 0; index < readers_.size(); ++index) {
        PluggedReader& reader = readers_[index];
        if (reader.device == nullptr) continue;
        if (reader.open) Close(index);
        if (reader.device != nullptr) Pnp(index, IRP_MN_REMOVE_DEVICE);
    }
    Reap();
    bus_.Shutdown();
    if (driver_ != nullptr) {
        kernel_.Io().UnloadDriver(driver_);
        driver_ = nullptr;
    }
}

PlugResult ReaderMachine::Plug(usb::UsbDeviceModel& model, const std::function<void(PDEVICE_OBJECT)>& beforeAdd) {
    PluggedReader reader;
    reader.model = &model;
    reader.pdo = bus_.Plug(model, "reader" + std::to_string(readers_.size()));
    if (beforeAdd) beforeAdd(reader.pdo);
    PlugResult result;
    result.status = driver_->DriverExtension->AddDevice(driver_, reader.pdo);
    if (NT_SUCCESS(result.status)) {
        reader.device = reader.pdo->AttachedDevice;
        reader.unit = static_cast<PDEVICE_EXTENSION>(reader.device->DeviceExtension)->SmartcardExtension.VendorAttr.UnitNo;
    } else {
        reader.life = ReaderLife::Gone;
    }
    result.index = readers_.size();
    readers_.push_back(reader);
    return result;
}

PDEVICE_EXTENSION ReaderMachine::Extension(std::size_t index) {
    PDEVICE_OBJECT device = readers_.at(index).device;
    return device == nullptr ? nullptr : static_cast<PDEVICE_EXTENSION>(device->DeviceExtension);
}

NTSTATUS ReaderMachine::SendMajor(PDEVICE_OBJECT device, UCHAR major, UCHAR minor) {
    PIRP irp = IoAllocateIrp(device->StackSize, FALSE);
    if (irp == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
    KEVENT done;
    KeInitializeEvent(&done, NotificationEvent, FALSE);
    // A Plug and Play request no driver answers keeps this status.
    irp->IoStatus.Status = major == IRP_MJ_PNP ? STATUS_NOT_SUPPORTED : STATUS_SUCCESS;
    PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
    next->MajorFunction = major;
    next->MinorFunction = minor;
    IoSetCompletionRoutine(irp, &SignalDone, &done, TRUE, TRUE, TRUE);
    if (IoCallDriver(device, irp) == STATUS_PENDING) {
        KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, nullptr);
    }
    const NTSTATUS status = irp->IoStatus.Status;
    IoFreeIrp(irp);
    return status;
}

NTSTATUS ReaderMachine::Pnp(std::size_t index, UCHAR minor) {
    PluggedReader& reader = readers_.at(index);
    if (reader.device == nullptr) return STATUS_NO_SUCH_DEVICE;
    const NTSTATUS status = SendMajor(reader.device, IRP_MJ_PNP, minor);
    switch (minor) {
    case IRP_MN_START_DEVICE:
        if (NT_SUCCESS(status)) reader.life = ReaderLife::Started;
        break;
    case IRP_MN_STOP_DEVICE:
        reader.life = ReaderLife::Stopped;
        break;
    case IRP_MN_REMOVE_DEVICE:
        reader.device = nullptr;
        reader.life = reader.pulled ? ReaderLife::Gone : ReaderLife::Removed;
        break;
    default:
        break;
    }
    return status;
}

NTSTATUS ReaderMachine::Unplug(std::size_t index) {
    PluggedReader& reader = readers_.at(index);
    if (reader.device == nullptr || reader.pulled) return STATUS_NO_SUCH_DEVICE;
    reader.pulled = true;
    bus_.Unplug(reader.pdo);
    const NTSTATUS status = Pnp(index, IRP_MN_SURPRISE_REMOVAL);
    if (!reader.open) Pnp(index, IRP_MN_REMOVE_DEVICE);
    return status;
}

NTSTATUS ReaderMachine::Open(std::size_t index) {
    PluggedReader& reader = readers_.at(index);
    if (reader.device == nullptr) return STATUS_NO_SUCH_DEVICE;
    const NTSTATUS status = SendMajor(reader.device, IRP_MJ_CREATE, 0);
    if (NT_SUCCESS(status)) reader.open = true;
    return status;
}

NTSTATUS ReaderMachine::Close(std::size_t index) {
    PluggedReader& reader = readers_.at(index);
    if (reader.device == nullptr || !reader.open) return STATUS_INVALID_HANDLE;
    (void)SendMajor(reader.device, IRP_MJ_CLEANUP, 0);
    const NTSTATUS status = SendMajor(reader.device, IRP_MJ_CLOSE, 0);
    reader.open = false;
    // A pulled reader goes once its last handle is closed.
    if (reader.pulled) Pnp(index, IRP_MN_REMOVE_DEVICE);
    return status;
}

IoctlResult ReaderMachine::DeviceControl(std::size_t index, ULONG code, std::span<const std::uint8_t> input,
                                         ULONG outputLength) {
    IoctlResult result;
    PDEVICE_OBJECT device = readers_.at(index).device;
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

CommandResult ReaderMachine::SendCommand(std::size_t index, ULONG number) {
    CommandResult result;
    PDEVICE_EXTENSION extension = Extension(index);
    if (extension == nullptr) {
        result.status = STATUS_NO_SUCH_DEVICE;
        return result;
    }
    PREADER_EXTENSION reader = extension->SmartcardExtension.ReaderExtension;
    KeWaitForSingleObject(reader->ReaderMutex, Executive, KernelMode, FALSE, nullptr);
    reader->CommandLength = 0;
    result.status = SendReaderCommand(number, &extension->SmartcardExtension);
    const std::size_t replied = std::min<std::size_t>(reader->ReplyLength, sizeof(reader->ReplyData));
    result.reply.assign(reader->ReplyData, reader->ReplyData + replied);
    KeReleaseMutex(reader->ReaderMutex, FALSE);
    return result;
}

} // namespace qv::harness
