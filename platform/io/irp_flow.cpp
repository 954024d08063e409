// The way of an IRP down a device stack and back up: IoCallDriver, marking
// it pending, and IoCompleteRequest with its completion routines.
#include <string>

#include "io/io_state.h"
#include "kernel/placement_rules.h"
#include "kernel/race_annotations.h"
#include "kernel/scheduler.h"

namespace qv::io {

namespace {

// Keeps a dispatch call's frame on its IRP's record for exactly the length of
// the call.
class FrameScope {
  public:
    FrameScope(IrpRecord& record, DispatchFrame& frame) : record_(record) { record_.frames.push_back(&frame); }
    ~FrameScope() { record_.frames.pop_back(); }
    FrameScope(const FrameScope&) = delete;
    FrameScope& operator=(const FrameScope&) = delete;

  private:
    IrpRecord& record_;
};

bool AtTop(const IRP* irp) { return irp->CurrentLocation > irp->StackCount; }

bool Invokes(const IRP* irp, UCHAR control) {
    const NTSTATUS status = irp->IoStatus.Status;
    return (NT_SUCCESS(status) && (control & SL_INVOKE_ON_SUCCESS) != 0) ||
           (!NT_SUCCESS(status) && (control & SL_INVOKE_ON_ERROR) != 0) ||
           (irp->Cancel && (control & SL_INVOKE_ON_CANCEL) != 0);
}

// What a finished location keeps: its major function and device, which a
// later look at a completed IRP may still want to see. The rest would only
// mislead the driver that sends the IRP again.
void ClearStackLocation(IO_STACK_LOCATION& stack) {
    stack.MinorFunction = 0;
    stack.Flags = 0;
    stack.Control = 0;
    stack.Parameters = {};
    stack.FileObject = nullptr;
    stack.CompletionRoutine = nullptr;
    stack.Context = nullptr;
}

// Windows bug-checks a completion only when CurrentLocation has moved past
// StackCount + 1, the top. An IRP that its creator's own routine kept at the
// top is still there, and completing it again is how the creator of a
// request built for a thread hands it back for the I/O manager to finish.
// Any other IRP already at the top has finished completing (and a threaded
// one is freed), so a second completion is a driver's mistake; one kept by
// its creator that belongs to no thread has nothing left to finish.
bool CompletableAgain(const IrpRecord& record) { return record.phase == IrpPhase::Kept && record.threaded; }

void CheckCompletable(const std::shared_ptr<IrpRecord>& record, PIRP irp) {
    if (!record || record->phase == IrpPhase::Completing || record->phase == IrpPhase::Done ||
        (record->phase == IrpPhase::Kept && !CompletableAgain(*record))) {
        K().Fatal("irp-completed-twice", bugcode::MULTIPLE_IRP_COMPLETE_REQUESTS, Ptr(irp), 0, 0, 0,
                  record ? "IoCompleteRequest of irp" + std::to_string(record->serial) + ", which was completed already"
                         : std::string("IoCompleteRequest of an IRP that was completed and freed already"));
    }
    const KIRQL irql = CurrentIrql();
    if (irql > DISPATCH_LEVEL) {
        K().Violation("irp-completed-above-dispatch", bugcode::DRIVER_VERIFIER_IOMANAGER_VIOLATION,
                      violation::CompletedAboveDispatch, irql, Ptr(irp), 0,
                      "IoCompleteRequest at IRQL " + std::to_string(irql));
    }
    if (irp->IoStatus.Status == STATUS_PENDING) {
        K().Violation("irp-completed-pending", bugcode::DRIVER_VERIFIER_IOMANAGER_VIOLATION,
                      violation::CompletedWithPending, static_cast<ULONG_PTR>(static_cast<ULONG>(irp->IoStatus.Status)),
                      Ptr(irp), 0, "irp" + std::to_string(record->serial) + " completed with STATUS_PENDING");
    }
    if (irp->CancelRoutine != nullptr) {
        K().Violation("irp-completed-with-cancel-routine", bugcode::DRIVER_VERIFIER_IOMANAGER_VIOLATION,
                      violation::CompletedWithCancelRoutine, reinterpret_cast<ULONG_PTR>(irp->CancelRoutine), Ptr(irp),
                      0, "irp" + std::to_string(record->serial) + " completed with its cancel routine still set");
    }
}

// Calls the completion routine of the location just left. Returns false when
// completion stops here.
bool RunCompletionRoutine(IrpRecord& record, PIRP irp, PIO_COMPLETION_ROUTINE routine, PVOID context) {
    // The routine gets the device of the driver that set it: the one at the
    // location now current, or none when the IRP's creator set it at the top.
    PDEVICE_OBJECT owner = AtTop(irp) ? nullptr : IoGetCurrentIrpStackLocation(irp)->DeviceObject;
    // While its routine runs the IRP is that driver's again: it may send it
    // on, complete it anew, or free it.
    record.phase = IrpPhase::Sent;
    record.at = owner;
    const std::uint64_t generation = record.generation;
    const KIRQL irql = CurrentIrql();
    CheckDriverRoutine(routine, "a completion routine");
    const NTSTATUS result = routine(owner, irp, context);
    const KIRQL after = CurrentIrql();
    if (after != irql) {
        K().Violation("completion-routine-changed-irql", bugcode::DRIVER_VERIFIER_DETECTED_VIOLATION,
                      violation::CompletionRoutineChangedIrql, reinterpret_cast<ULONG_PTR>(routine), irql, after,
                      "a completion routine of irp" + std::to_string(record.serial) + " returned at IRQL " +
                          std::to_string(after) + ", called at " + std::to_string(irql));
    }
    if (result == STATUS_MORE_PROCESSING_REQUIRED) {
        // Kept by its creator above every device, the IRP is no driver's to
        // complete any more: it can only be freed, reused or sent again, or,
        // built for a thread, completed once more by its creator.
        if (owner == nullptr && !record.freed && record.generation == generation) record.phase = IrpPhase::Kept;
        return false;
    }
    if (record.freed || record.generation != generation) {
        K().Fatal("completion-routine-let-freed-irp-go-on", bugcode::MULTIPLE_IRP_COMPLETE_REQUESTS, Ptr(irp),
                  reinterpret_cast<ULONG_PTR>(routine), 0, 0,
                  "a completion routine of irp" + std::to_string(record.serial) +
                      (record.freed ? " freed it" : " sent or completed it") + " and still let its completion go on");
    }
    // A driver that passed the IRP down and returned what the driver below
    // returned must show the pending state at its own location too, or the
    // I/O manager above it would take the IRP as finished synchronously.
    if (irp->PendingReturned && owner != nullptr &&
        (IoGetCurrentIrpStackLocation(irp)->Control & SL_PENDING_RETURNED) == 0) {
        K().Violation(
            "completion-ignored-pending-returned", bugcode::DRIVER_VERIFIER_DETECTED_VIOLATION,
            violation::PendingReturnedNotPropagated, reinterpret_cast<ULONG_PTR>(routine), Ptr(irp), Ptr(owner),
            "the completion routine of " + Io().Internals().devices.Label(owner) + " for irp" +
                std::to_string(record.serial) + " did not call IoMarkIrpPending though PendingReturned is set");
    }
    record.phase = IrpPhase::Completing;
    record.at = nullptr;
    return true;
}

} // namespace
} // namespace qv::io

using namespace qv;
using namespace qv::io;

namespace qv::io {

namespace {

// IoCallDriver's work, for a driver's call and for the power manager's.
NTSTATUS CallDriver(PDEVICE_OBJECT DeviceObject, PIRP Irp, bool byPowerManager) {
    // Handing an IRP down publishes what the sender wrote into it (and what
    // its completion routine's context holds) to whoever completes it.
    race::Release(Irp);
    SwitchPoint();
    const KIRQL irql = CurrentIrql();
    if (irql > DISPATCH_LEVEL) {
        K().Violation("call-driver-above-dispatch", bugcode::DRIVER_VERIFIER_IOMANAGER_VIOLATION,
                      violation::CallDriverAboveDispatch, irql, Ptr(DeviceObject), Ptr(Irp),
                      "IoCallDriver at IRQL " + std::to_string(irql));
    }
    IoManager::State& io = Io().Internals();
    // The record outlives the call even when the IRP is completed and freed
    // inside it.
    const std::shared_ptr<IrpRecord> record = io.irps.Require(Irp, "IoCallDriver");
    // Only used before the call: the dispatch routine may delete its device.
    const DeviceRecord& device = io.devices.Require(DeviceObject, "IoCallDriver");
    if (Irp->CurrentLocation <= 1) {
        K().Fatal("irp-no-stack-location", bugcode::NO_MORE_IRP_STACK_LOCATIONS, Ptr(Irp), 0, 0, 0,
                  "irp" + std::to_string(record->serial) + " sent to " + device.label + " with no stack location left");
    }
    if (Irp->CancelRoutine != nullptr) {
        K().Violation("call-driver-with-cancel-routine", bugcode::DRIVER_VERIFIER_DETECTED_VIOLATION,
                      violation::CalledWithCancelRoutine, Ptr(Irp), reinterpret_cast<ULONG_PTR>(Irp->CancelRoutine),
                      Ptr(DeviceObject),
                      "irp" + std::to_string(record->serial) + " sent to " + device.label +
                          " with the sender's cancel routine still set");
    }
    // Power IRPs go down through PoCallDriver (SendFromPowerManager).
    if (IoGetNextIrpStackLocation(Irp)->MajorFunction == IRP_MJ_POWER && !byPowerManager) {
        K().Violation("power-irp-sent-with-iocalldriver", bugcode::DRIVER_VERIFIER_DETECTED_VIOLATION,
                      violation::PowerIrpSentWithIoCallDriver, Ptr(Irp), Ptr(DeviceObject), 0,
                      "power irp" + std::to_string(record->serial) + " sent to " + device.label +
                          " with IoCallDriver instead of PoCallDriver");
    }
    SimThread* thread = K().Sched().Current();
    DispatchFrame* caller = record->FrameOn(thread);

    --Irp->CurrentLocation;
    --Irp->Tail.Overlay.CurrentStackLocation;
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
    stack->DeviceObject = DeviceObject;
    record->phase = IrpPhase::Sent;
    record->at = DeviceObject;
    ++record->generation;
    io.history.Sent(*record, *stack, device.label);

    PDRIVER_DISPATCH dispatch = stack->MajorFunction <= IRP_MJ_MAXIMUM_FUNCTION
                                    ? DeviceObject->DriverObject->MajorFunction[stack->MajorFunction]
                                    : nullptr;
    if (dispatch == nullptr) dispatch = &DefaultDispatch;

    DispatchFrame frame{thread, Irp->CurrentLocation, DeviceObject};
    NTSTATUS status;
    {
        FrameScope scope(*record, frame);
        CheckDriverRoutine(dispatch, "a dispatch routine");
        status = dispatch(DeviceObject, Irp);
    }

    const KIRQL after = CurrentIrql();
    if (after != irql) {
        K().Violation("dispatch-changed-irql", bugcode::DRIVER_VERIFIER_IOMANAGER_VIOLATION,
                      violation::IrqlChangedByDispatch, Ptr(DeviceObject), irql, after,
                      "the dispatch routine of " + io.devices.Label(DeviceObject) + " for irp" +
                          std::to_string(record->serial) + " returned at IRQL " + std::to_string(after) +
                          ", entered at " + std::to_string(irql));
    }
    if (status == STATUS_PENDING) {
        if (!frame.markedPending && !frame.passedDownPending) {
            K().Violation("pending-without-mark", bugcode::DRIVER_VERIFIER_DETECTED_VIOLATION,
                          violation::PendingReturnedWithoutMark, Ptr(DeviceObject), Ptr(record->freed ? nullptr : Irp),
                          record->serial,
                          "the dispatch routine of " + io.devices.Label(DeviceObject) +
                              " returned STATUS_PENDING for irp" + std::to_string(record->serial) +
                              " without IoMarkIrpPending");
        }
        if (caller != nullptr) caller->passedDownPending = true;
    } else if (frame.markedPending) {
        K().Violation("marked-pending-returned-other", bugcode::DRIVER_VERIFIER_DETECTED_VIOLATION,
                      violation::MarkedPendingReturnedOther, Ptr(DeviceObject), Ptr(record->freed ? nullptr : Irp),
                      static_cast<ULONG_PTR>(static_cast<ULONG>(status)),
                      "the dispatch routine of " + io.devices.Label(DeviceObject) + " marked irp" +
                          std::to_string(record->serial) + " pending and returned " + std::to_string(status) +
                          " instead of STATUS_PENDING");
    }
    return status;
}

} // namespace

NTSTATUS SendFromPowerManager(PDEVICE_OBJECT device, PIRP irp) { return CallDriver(device, irp, true); }

} // namespace qv::io

extern "C" {

NTSTATUS NTAPI IofCallDriver(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
    QV_CHECK_CALLER();
    return CallDriver(DeviceObject, Irp, false);
}

void NTAPI IoMarkIrpPending(PIRP Irp) {
    QV_CHECK_CALLER();
    IoManager::State& io = Io().Internals();
    const std::shared_ptr<IrpRecord> record = io.irps.Require(Irp, "IoMarkIrpPending");
    // At the top there is no location to mark: the flag would land past the
    // end of the IRP.
    if (AtTop(Irp) || Irp->CurrentLocation < 1) {
        K().Fatal("mark-pending-without-location", bugcode::NO_MORE_IRP_STACK_LOCATIONS, Ptr(Irp), 0, 0, 0,
                  "IoMarkIrpPending on irp" + std::to_string(record->serial) + ", which has no current stack location");
    }
    IoGetCurrentIrpStackLocation(Irp)->Control |= SL_PENDING_RETURNED;
    if (DispatchFrame* frame = record->FrameOn(K().Sched().Current(), Irp->CurrentLocation)) {
        frame->markedPending = true;
    }
}

void NTAPI IofCompleteRequest(PIRP Irp, CHAR PriorityBoost) {
    QV_CHECK_CALLER();
    UNREFERENCED_PARAMETER(PriorityBoost);
    SwitchPoint();
    IoManager::State& io = Io().Internals();
    const std::shared_ptr<IrpRecord> record = io.irps.Find(Irp);
    CheckCompletable(record, Irp);
    race::AcquireRelease(Irp);

    const PDEVICE_OBJECT completer = AtTop(Irp) ? nullptr : IoGetCurrentIrpStackLocation(Irp)->DeviceObject;
    io.history.Completed(*record, io.devices.Label(completer), Irp->IoStatus.Status);
    record->phase = IrpPhase::Completing;
    record->at = nullptr;
    ++record->generation;

    while (!AtTop(Irp)) {
        PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
        const UCHAR control = stack->Control;
        const PIO_COMPLETION_ROUTINE routine = stack->CompletionRoutine;
        const PVOID context = stack->Context;
        ClearStackLocation(*stack);
        ++Irp->CurrentLocation;
        ++Irp->Tail.Overlay.CurrentStackLocation;
        Irp->PendingReturned = (control & SL_PENDING_RETURNED) != 0;

        if (routine != nullptr && Invokes(Irp, control)) {
            if (!RunCompletionRoutine(*record, Irp, routine, context)) return;
        } else if (Irp->PendingReturned && !AtTop(Irp)) {
            // With no routine to decide, the pending state travels up, so the
            // driver above sees the IRP as pending too.
            IoGetCurrentIrpStackLocation(Irp)->Control |= SL_PENDING_RETURNED;
        }
    }

    record->phase = IrpPhase::Done;
    if (record->threaded) CompleteThreadedRequest(io, record);
}

} // extern "C"
