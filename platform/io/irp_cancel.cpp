// Cancel routines and IoCancelIrp.
#include "io/cancel_probe.h"
#include "io/io_state.h"
#include "kernel/placement_rules.h"
#include "kernel/race_annotations.h"

using namespace qv;
using namespace qv::io;

namespace {

// Runs the probe, spent before it runs, once the cancel flag is set.
void CancelFlagSet(PIRP irp) {
    std::function<void(PIRP)>& probe = Io().Internals().cancelProbe;
    if (!probe) return;
    const std::function<void(PIRP)> flagged = std::move(probe);
    probe = nullptr;
    flagged(irp);
}

} // namespace

void qv::io::ProbeCancelOnce(std::function<void(PIRP)> flagged) {
    Io().Internals().cancelProbe = std::move(flagged);
}

extern "C" {

PDRIVER_CANCEL NTAPI IoSetCancelRoutine(PIRP Irp, PDRIVER_CANCEL CancelRoutine) {
    QV_CHECK_CALLER();
    // Interlocked, because IoCancelIrp takes the routine away under the
    // cancel spin lock while the driver may be setting or clearing it
    // without that lock.
    PVOID previous = InterlockedExchangePointer(reinterpret_cast<PVOID volatile*>(&Irp->CancelRoutine),
                                                reinterpret_cast<PVOID>(CancelRoutine));
    return reinterpret_cast<PDRIVER_CANCEL>(previous);
}

BOOLEAN NTAPI IoCancelIrp(PIRP Irp) {
    QV_CHECK_CALLER();
    RequireIrqlAtMost(DISPATCH_LEVEL, "IoCancelIrp");
    IoManager::State& io = Io().Internals();
    const std::shared_ptr<IrpRecord> record = io.irps.Require(Irp, "IoCancelIrp");
    IoAcquireCancelSpinLock(&Irp->CancelIrql);
    race::AcquireRelease(Irp);
    Irp->Cancel = TRUE;
    CancelFlagSet(Irp);
    const PDRIVER_CANCEL routine = IoSetCancelRoutine(Irp, nullptr);
    io.history.Cancelled(*record, routine != nullptr);
    if (routine == nullptr) {
        IoReleaseCancelSpinLock(Irp->CancelIrql);
        return FALSE;
    }
    // The routine releases the cancel spin lock itself, with Irp->CancelIrql.
    const bool located = Irp->CurrentLocation >= 1 && Irp->CurrentLocation <= Irp->StackCount;
    CheckDriverRoutine(routine, "a cancel routine");
    routine(located ? IoGetCurrentIrpStackLocation(Irp)->DeviceObject : nullptr, Irp);
    return TRUE;
}

} // extern "C"
