// The test bed's card-presence side: polling started and stopped the way the
// start and stop sequences will, and an application's requests that stay
// pending in the driver (card waits), cancelled or ended by a cleanup.
#include <algorithm>

#include "card.h"
#include "harness/reader_testbed.h"
#include "io/io_manager.h"

namespace qv::harness {

namespace {

// The application's side of a request: records the completion and keeps
// the IRP for the test bed, which frees it in Reap.
NTSTATUS NTAPI AsyncRequestDone(PDEVICE_OBJECT, PIRP irp, PVOID context) {
    auto* request = static_cast<AsyncRequest*>(context);
    request->completions += 1;
    request->done = true;
    request->status = irp->IoStatus.Status;
    request->completedAt = Machine::Current().Now();
    return STATUS_MORE_PROCESSING_REQUIRED;
}

NTSTATUS NTAPI CleanupDone(PDEVICE_OBJECT, PIRP, PVOID context) {
    KeSetEvent(static_cast<PKEVENT>(context), IO_NO_INCREMENT, FALSE);
    return STATUS_MORE_PROCESSING_REQUIRED;
}

} // namespace

NTSTATUS ReaderTestbed::StartPolling() {
    if (polling_) return STATUS_SUCCESS;
    auto* extension = static_cast<PDEVICE_EXTENSION>(device_->DeviceExtension);
    extension->PollThreadRun = 1;
    reader_->PollEnabled = 1;
    Smartcard().ReaderCapabilities.CurrentState = SCARD_ABSENT;
    const NTSTATUS status = StartPollThread(extension);
    if (!NT_SUCCESS(status)) return status;
    polling_ = true;
    reader_->LastPollMs = InterruptTimeMs();
    reader_->ReaderRunning = 1;
    IoStartTimer(device_);
    return STATUS_SUCCESS;
}

void ReaderTestbed::StopPolling() {
    if (!polling_) return;
    polling_ = false;
    reader_->ReaderRunning = 0;
    IoStopTimer(device_);
    StopPollThread(static_cast<PDEVICE_EXTENSION>(device_->DeviceExtension));
}

AsyncRequest& ReaderTestbed::SendAsync(ULONG code) {
    auto request = std::make_unique<AsyncRequest>();
    AsyncRequest& sent = *request;
    requests_.push_back(std::move(request));
    sent.code = code;
    sent.sentAt = machine_.Now();
    PIRP irp = IoAllocateIrp(device_->StackSize, FALSE);
    if (irp == nullptr) {
        sent.done = true;
        sent.status = STATUS_INSUFFICIENT_RESOURCES;
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
    IoSetCompletionRoutine(irp, &AsyncRequestDone, &sent, TRUE, TRUE, TRUE);
    IoCallDriver(device_, irp);
    return sent;
}

bool ReaderTestbed::Cancel(AsyncRequest& request) {
    // The IRP stays the test bed's until Reap, so it can be cancelled even
    // when it has just completed; then nothing happens.
    if (request.irp == nullptr || request.done) return false;
    return IoCancelIrp(request.irp) != FALSE;
}

bool ReaderTestbed::Cancel(PIRP irp) {
    for (auto& request : requests_) {
        if (request->irp == irp) return Cancel(*request);
    }
    return false;
}

NTSTATUS ReaderTestbed::Cleanup() {
    PIRP irp = IoAllocateIrp(device_->StackSize, FALSE);
    if (irp == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
    KEVENT done;
    KeInitializeEvent(&done, NotificationEvent, FALSE);
    IoGetNextIrpStackLocation(irp)->MajorFunction = IRP_MJ_CLEANUP;
    irp->IoStatus.Status = STATUS_NOT_SUPPORTED;
    IoSetCompletionRoutine(irp, &CleanupDone, &done, TRUE, TRUE, TRUE);
    IoCallDriver(device_, irp);
    KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, nullptr);
    const NTSTATUS status = irp->IoStatus.Status;
    IoFreeIrp(irp);
    return status;
}

std::vector<AsyncRequest> ReaderTestbed::Reap() {
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

std::size_t ReaderTestbed::Outstanding() const {
    return static_cast<std::size_t>(std::ranges::count_if(requests_, [](const auto& r) { return !r->done; }));
}

} // namespace qv::harness
