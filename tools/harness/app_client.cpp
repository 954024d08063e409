// The application side of a reader: handles and device-control requests as
// the I/O manager builds and sends them (see app_client.h).
#include "harness/app_client.h"

#include <algorithm>
#include <cstring>

#include "pnp/pnp_manager.h"
#include "pnp/pnp_platform.h"

namespace qv::harness {

namespace {

constexpr GUID kReaderInterface = {0x50DD5230, 0xBA8A, 0x11D1, {0xBF, 0x5D, 0x00, 0x00, 0xF8, 0x05, 0xF5, 0x30}};
constexpr CSHORT kFileObjectType = 5; // IO_TYPE_FILE

NTSTATUS NTAPI RequestDone(PDEVICE_OBJECT, PIRP, PVOID context) {
    KeSetEvent(static_cast<PKEVENT>(context), IO_NO_INCREMENT, FALSE);
    return STATUS_MORE_PROCESSING_REQUIRED;
}

} // namespace

// An overlapped request's completion: the caller's observer first, then the
// event its Wait waits on.
NTSTATUS NTAPI AppRequest::ControlDone(PDEVICE_OBJECT, PIRP irp, PVOID context) {
    auto* request = static_cast<AppRequest*>(context);
    if (request->onComplete_) request->onComplete_(irp);
    KeSetEvent(&request->done_, IO_NO_INCREMENT, FALSE);
    return STATUS_MORE_PROCESSING_REQUIRED;
}

namespace {

// An IRP for the top of the pdo's stack, its first location filled.
PIRP BuildIrp(PDEVICE_OBJECT top, UCHAR major, PFILE_OBJECT file, PKEVENT done) {
    PIRP irp = nullptr;
    // The application's request waits for memory rather than fail: the
    // pool's fault plan is aimed at the driver.
    while ((irp = IoAllocateIrp(top->StackSize, FALSE)) == nullptr) SwitchPoint();
    irp->RequestorMode = UserMode;
    irp->Tail.Overlay.Thread = PsGetCurrentThread();
    irp->Tail.Overlay.OriginalFileObject = file;
    irp->IoStatus.Status = STATUS_SUCCESS;
    PIO_STACK_LOCATION stack = IoGetNextIrpStackLocation(irp);
    stack->MajorFunction = major;
    stack->FileObject = file;
    IoSetCompletionRoutine(irp, &RequestDone, done, TRUE, TRUE, TRUE);
    return irp;
}

// The I/O manager enforces exclusivity on the device object a name refers
// to. In a Plug and Play stack that is the PDO, which the bus driver makes
// exclusive when the device's INF asks for it; the Exclusive argument a
// function driver gives IoCreateDevice for its FDO has no effect.
bool NamedDeviceIsExclusive(PDEVICE_OBJECT pdo) { return (pdo->Flags & DO_EXCLUSIVE) != 0; }

} // namespace

std::vector<std::u16string> FindReaders() { return pnp::Platform().EnabledInterfaces(kReaderInterface); }

AppHandle::AppHandle(PDEVICE_OBJECT pdo) : pdo_(pdo) {
    file_.Type = kFileObjectType;
    file_.Size = sizeof(FILE_OBJECT);
}

AppHandle::~AppHandle() {
    if (!cleanedUp_) Close();
}

NTSTATUS AppHandle::SendSimple(UCHAR major) {
    PDEVICE_OBJECT top = pnp::PnpManager::TopOf(pdo_);
    file_.DeviceObject = top;
    KEVENT done;
    KeInitializeEvent(&done, NotificationEvent, FALSE);
    PIRP irp = BuildIrp(top, major, &file_, &done);
    if (IoCallDriver(top, irp) == STATUS_PENDING) KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, nullptr);
    const NTSTATUS status = irp->IoStatus.Status;
    IoFreeIrp(irp);
    return status;
}

NTSTATUS AppHandle::Open(std::u16string_view link, std::unique_ptr<AppHandle>& handle) {
    handle.reset();
    pnp::PnpPlatform& platform = pnp::Platform();
    PDEVICE_OBJECT pdo = nullptr;
    if (const pnp::DeviceInterface* entry = platform.FindInterface(link)) {
        // Only enabled interfaces can be opened.
        if (!entry->enabled) return STATUS_OBJECT_NAME_NOT_FOUND;
        pdo = entry->pdo;
    } else if (auto target = platform.LinkTarget(link)) {
        // A legacy link names an interface link (the device's name).
        const pnp::DeviceInterface* named = platform.FindInterface(*target);
        if (named == nullptr) return STATUS_OBJECT_NAME_NOT_FOUND;
        pdo = named->pdo;
    } else {
        return STATUS_OBJECT_NAME_NOT_FOUND;
    }
    pnp::PnpManager& manager = pnp::Manager();
    const pnp::DeviceNode* node = manager.Node(pdo);
    // An exclusive device takes one handle at a time; the I/O manager
    // refuses the second before any driver sees it.
    if (node != nullptr && node->openHandles > 0 && NamedDeviceIsExclusive(pdo)) return STATUS_ACCESS_DENIED;
    NTSTATUS status = manager.HandleOpening(pdo);
    if (!NT_SUCCESS(status)) return status;
    std::unique_ptr<AppHandle> opened(new AppHandle(pdo));
    status = opened->SendSimple(IRP_MJ_CREATE);
    if (!NT_SUCCESS(status)) {
        // A failed create leaves no handle: no cleanup, no close.
        opened->cleanedUp_ = opened->closed_ = true;
        manager.HandleClosed(pdo);
        return status;
    }
    handle = std::move(opened);
    return status;
}

std::shared_ptr<AppRequest> AppHandle::ControlAsync(ULONG code, std::span<const std::uint8_t> input,
                                                    std::size_t outputLength, std::function<void(PIRP)> onComplete) {
    std::shared_ptr<AppRequest> request(new AppRequest(*this, outputLength));
    if (cleanedUp_) {
        request->status_ = STATUS_INVALID_HANDLE;
        request->reaped_ = true;
        KeSetEvent(&request->done_, IO_NO_INCREMENT, FALSE);
        return request;
    }
    PDEVICE_OBJECT top = pnp::PnpManager::TopOf(pdo_);
    request->system_.assign(std::max(input.size(), outputLength), 0);
    std::copy(input.begin(), input.end(), request->system_.begin());
    PIRP irp = BuildIrp(top, IRP_MJ_DEVICE_CONTROL, &file_, &request->done_);
    request->onComplete_ = std::move(onComplete);
    IoSetCompletionRoutine(irp, &AppRequest::ControlDone, request.get(), TRUE, TRUE, TRUE);
    irp->AssociatedIrp.SystemBuffer = request->system_.empty() ? nullptr : request->system_.data();
    PIO_STACK_LOCATION stack = IoGetNextIrpStackLocation(irp);
    stack->Parameters.DeviceIoControl.IoControlCode = code;
    stack->Parameters.DeviceIoControl.InputBufferLength = static_cast<ULONG>(input.size());
    stack->Parameters.DeviceIoControl.OutputBufferLength = static_cast<ULONG>(outputLength);
    request->irp_ = irp;
    ++outstanding_;
    // Known to the handle before it goes down, so that a cancel from another
    // thread can reach it while the driver still has it in hand.
    std::erase_if(sent_, [](const std::weak_ptr<AppRequest>& r) { return r.expired() || r.lock()->Completed(); });
    sent_.push_back(request);
    IoCallDriver(top, irp);
    return request;
}

std::size_t AppHandle::CancelIo() {
    std::size_t asked = 0;
    for (const std::weak_ptr<AppRequest>& sent : sent_) {
        const std::shared_ptr<AppRequest> request = sent.lock();
        if (request == nullptr || request->Completed() || request->irp_ == nullptr) continue;
        IoCancelIrp(request->irp_);
        ++asked;
    }
    return asked;
}

NTSTATUS AppHandle::Control(ULONG code, std::span<const std::uint8_t> input, std::size_t outputLength,
                            std::vector<std::uint8_t>* output) {
    std::shared_ptr<AppRequest> request = ControlAsync(code, input, outputLength);
    const NTSTATUS status = request->Wait();
    if (output != nullptr) *output = request->Output();
    return status;
}

void AppHandle::Close() {
    if (cleanedUp_) return;
    cleanedUp_ = true;
    SendSimple(IRP_MJ_CLEANUP);
    if (outstanding_ == 0) FinishClose();
}

void AppHandle::RequestReaped() {
    --outstanding_;
    if (cleanedUp_ && outstanding_ == 0) FinishClose();
}

// The last reference to the file object is gone: IRP_MJ_CLOSE, and the
// handle no longer holds the device.
void AppHandle::FinishClose() {
    if (closed_) return;
    closed_ = true;
    SendSimple(IRP_MJ_CLOSE);
    pnp::Manager().HandleClosed(pdo_);
}

AppRequest::AppRequest(AppHandle& handle, std::size_t outputLength) : handle_(handle), outputLength_(outputLength) {
    KeInitializeEvent(&done_, NotificationEvent, FALSE);
}

bool AppRequest::Completed() const { return reaped_ || KeReadStateEvent(const_cast<PKEVENT>(&done_)) != 0; }

bool AppRequest::Cancel() {
    if (reaped_ || irp_ == nullptr) return false;
    return IoCancelIrp(irp_) != FALSE;
}

NTSTATUS AppRequest::Wait() {
    if (reaped_) return status_;
    KeWaitForSingleObject(&done_, Executive, KernelMode, FALSE, nullptr);
    status_ = irp_->IoStatus.Status;
    information_ = irp_->IoStatus.Information;
    // Buffered output: what the driver says it wrote, never more than the
    // caller's buffer.
    const std::size_t written = std::min<std::size_t>(irp_->IoStatus.Information, outputLength_);
    output_.assign(system_.begin(), system_.begin() + static_cast<std::ptrdiff_t>(std::min(written, system_.size())));
    IoFreeIrp(irp_);
    irp_ = nullptr;
    reaped_ = true;
    handle_.RequestReaped();
    return status_;
}

} // namespace qv::harness
