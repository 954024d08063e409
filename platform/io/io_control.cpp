// Device-control requests that the I/O manager builds for a kernel-mode
// caller, and what their completion hands back to that caller.
#include <algorithm>
#include <cstring>
#include <string>

#include "io/io_state.h"
#include "kernel/placement_rules.h"
#include "kernel/pool.h"
#include "kernel/scheduler.h"

namespace qv::io {

namespace {

// Errors (severity 3) leave the caller's output buffer untouched; warnings
// such as STATUS_BUFFER_OVERFLOW still deliver the data that fitted.
constexpr ULONG kSeverityShift = 30;
constexpr ULONG kSeverityError = 3;

bool IsError(NTSTATUS status) { return (static_cast<ULONG>(status) >> kSeverityShift) == kSeverityError; }

} // namespace

void FinishThreadedRequest(IoManager::State& io, IrpRecord& record) {
    PIRP irp = record.irp;
    const ThreadedRequest& request = *record.threaded;
    const IO_STATUS_BLOCK status = irp->IoStatus;
    if (request.method == METHOD_BUFFERED && !IsError(status.Status) && status.Information > request.outputLength) {
        K().Violation("information-beyond-output-buffer", bugcode::DRIVER_VERIFIER_DETECTED_VIOLATION,
                      violation::InformationBeyondBuffer, Ptr(irp), status.Information, request.outputLength,
                      "irp" + std::to_string(record.serial) + " completed with Information " +
                          std::to_string(status.Information) + " for an output buffer of " +
                          std::to_string(request.outputLength) + " bytes");
    }
    if (request.method == METHOD_BUFFERED && !IsError(status.Status) && request.outputBuffer != nullptr) {
        // The driver's word on how much it wrote is not trusted beyond the
        // caller's buffer.
        const std::size_t bytes =
            std::min<std::size_t>({status.Information, request.outputLength, request.systemBuffer.size()});
        std::memcpy(request.outputBuffer, request.systemBuffer.data(), bytes);
    }
    if (irp->UserIosb != nullptr) *irp->UserIosb = status;
    PKEVENT event = irp->UserEvent;
    // Freed before the event is set: once the waiter runs, nothing of the
    // request is left for anyone to touch.
    io.irps.Free(irp);
    if (event != nullptr) KeSetEvent(event, IO_NO_INCREMENT, FALSE);
}

void CompleteThreadedRequest(IoManager::State& io, const std::shared_ptr<IrpRecord>& record) {
    SimThread* thread = record->threaded->thread;
    if (thread == nullptr || thread->GetState() == SimThread::State::Terminated) {
        FinishThreadedRequest(io, *record);
        return;
    }
    QueueKernelApc(*thread, [record] {
        if (!record->freed) FinishThreadedRequest(Io().Internals(), *record);
    });
}

} // namespace qv::io

namespace qv {

void IoManager::CancelThreadIo(SimThread& thread) {
    // Windows looks again every 100 ms, for five minutes, before it gives up.
    constexpr VirtualTime kPoll = 100 * kTicksPerMillisecond;
    constexpr VirtualTime kPatience = 5 * 60 * kTicksPerSecond;
    auto requestsOf = [this, &thread] {
        std::vector<std::shared_ptr<io::IrpRecord>> requests;
        for (const io::IrpRecord* record : state_->irps.Live()) {
            if (record->threaded && record->threaded->thread == &thread)
                requests.push_back(state_->irps.Find(record->irp));
        }
        return requests;
    };
    std::vector<std::shared_ptr<io::IrpRecord>> requests = requestsOf();
    if (requests.empty()) return;
    for (const auto& record : requests) {
        if (record->phase != io::IrpPhase::Done && record->phase != io::IrpPhase::Kept && !record->freed)
            IoCancelIrp(record->irp);
    }
    const VirtualTime giveUp = kernel_.Now() + kPatience;
    while (!(requests = requestsOf()).empty() && kernel_.Now() < giveUp && thread.Irql() == PASSIVE_LEVEL) {
        DeliverKernelApcs(thread);
        if (requestsOf().empty()) break;
        LARGE_INTEGER poll;
        poll.QuadPart = -static_cast<LONGLONG>(kPoll);
        KeDelayExecutionThread(KernelMode, FALSE, &poll);
    }
    // Requests a driver never gave back finish, when it does, without the
    // thread.
    for (const auto& record : requestsOf()) record->threaded->thread = nullptr;
}

} // namespace qv

using namespace qv;
using namespace qv::io;

extern "C" {

PIRP NTAPI IoBuildDeviceIoControlRequest(ULONG IoControlCode, PDEVICE_OBJECT DeviceObject, PVOID InputBuffer,
                                         ULONG InputBufferLength, PVOID OutputBuffer, ULONG OutputBufferLength,
                                         BOOLEAN InternalDeviceIoControl, PKEVENT Event,
                                         PIO_STATUS_BLOCK IoStatusBlock) {
    QV_CHECK_CALLER();
    RequireIrqlAtMost(PASSIVE_LEVEL, "IoBuildDeviceIoControlRequest");
    IoManager::State& io = Io().Internals();
    io.devices.Require(DeviceObject, "IoBuildDeviceIoControlRequest");
    if (DeviceObject->StackSize < 1) return nullptr;
    if (K().PoolAllocator().InjectFailure(kIrpTag, sizeof(IRP), "IoBuildDeviceIoControlRequest")) return nullptr;
    IrpRecord& record = io.irps.Allocate(DeviceObject->StackSize);
    PIRP irp = record.irp;

    ThreadedRequest request;
    request.thread = K().Sched().Current();
    request.method = METHOD_FROM_CTL_CODE(IoControlCode);
    request.outputBuffer = OutputBuffer;
    request.outputLength = OutputBufferLength;

    PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
    next->MajorFunction = InternalDeviceIoControl ? IRP_MJ_INTERNAL_DEVICE_CONTROL : IRP_MJ_DEVICE_CONTROL;
    next->Parameters.DeviceIoControl.IoControlCode = IoControlCode;
    next->Parameters.DeviceIoControl.InputBufferLength = InputBufferLength;
    next->Parameters.DeviceIoControl.OutputBufferLength = OutputBufferLength;

    // Buffered requests share one system buffer for input and output. The
    // direct methods have no memory descriptor lists here, so their input
    // is buffered and their output goes straight to the caller's buffer.
    switch (request.method) {
    case METHOD_NEITHER:
        next->Parameters.DeviceIoControl.Type3InputBuffer = InputBuffer;
        break;
    case METHOD_BUFFERED:
        request.systemBuffer.resize(std::max(InputBufferLength, OutputBufferLength));
        break;
    default:
        request.systemBuffer.resize(InputBufferLength);
        break;
    }
    if (!request.systemBuffer.empty() && InputBuffer != nullptr) {
        std::memcpy(request.systemBuffer.data(), InputBuffer,
                    std::min<std::size_t>(InputBufferLength, request.systemBuffer.size()));
    }
    record.threaded = std::move(request);
    std::vector<std::byte>& systemBuffer = record.threaded->systemBuffer;
    irp->AssociatedIrp.SystemBuffer = systemBuffer.empty() ? nullptr : systemBuffer.data();
    irp->UserBuffer = OutputBuffer;
    irp->UserIosb = IoStatusBlock;
    irp->UserEvent = Event;
    irp->RequestorMode = KernelMode;
    irp->Tail.Overlay.Thread = KeGetCurrentThread();
    return irp;
}

} // extern "C"
