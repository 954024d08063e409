// IRQL, spin locks, interlocked operations and the driver's own bug checks.
#include <string>

#include "kernel/placement_rules.h"
#include "kernel/race_annotations.h"
#include "kernel/scheduler.h"

namespace qv {

KIRQL CurrentIrql() { return K().Sched().Irql(); }

void SwitchPoint() { K().Sched().SwitchPoint(); }

namespace {

// The value a held spin lock carries: who holds it.
ULONG_PTR OwnerToken() { return reinterpret_cast<ULONG_PTR>(K().Sched().CurrentObject()); }

void AcquireAtDispatch(PKSPIN_LOCK lock) {
    if (*lock == OwnerToken()) {
        K().Violation("spinlock-acquired-twice", bugcode::SPIN_LOCK_ALREADY_OWNED, reinterpret_cast<ULONG_PTR>(lock), 0,
                      0, 0, "spin lock acquired again by thread '" + K().Sched().CurrentName() + "', which holds it");
    }
    SwitchPoint();
    while (*lock != 0) K().Sched().SpinOn(lock);
    *lock = OwnerToken();
    race::Acquire(lock);
    K().SpinLockTaken(lock);
}

void ReleaseAtDispatch(PKSPIN_LOCK lock) {
    if (*lock != OwnerToken()) {
        K().Violation("spinlock-not-owned", bugcode::SPIN_LOCK_NOT_OWNED, reinterpret_cast<ULONG_PTR>(lock), *lock, 0,
                      0, "spin lock released by thread '" + K().Sched().CurrentName() + "', which does not hold it");
    }
    race::Release(lock);
    *lock = 0;
}

void RequireAtLeastDispatch(PKSPIN_LOCK lock, const char* routine) {
    const KIRQL irql = CurrentIrql();
    if (irql < DISPATCH_LEVEL) {
        K().Violation("spinlock-dpc-form-below-dispatch", bugcode::IRQL_NOT_GREATER_OR_EQUAL,
                      reinterpret_cast<ULONG_PTR>(lock), irql, 0, 0, std::string(routine) + " below DISPATCH_LEVEL");
    }
}

void RaiseTo(KIRQL newIrql, PKIRQL oldIrql) {
    const KIRQL current = CurrentIrql();
    if (newIrql < current) {
        K().Violation("irql-raised-to-lower", bugcode::DRIVER_VERIFIER_DETECTED_VIOLATION, violation::RaiseIrqlToLower,
                      current, newIrql, 0, "KeRaiseIrql to a lower IRQL");
    }
    *oldIrql = current;
    K().Sched().SetIrql(newIrql);
}

// KeAcquireSpinLock for its callers: `caller` is where the driver goes on,
// at DISPATCH_LEVEL, once it holds the lock.
void AcquireSpinLock(PKSPIN_LOCK lock, PKIRQL oldIrql, const void* caller, const char* routine) {
    const KIRQL irql = CurrentIrql();
    if (irql > DISPATCH_LEVEL) {
        K().Violation("spinlock-acquire-above-dispatch", bugcode::IRQL_NOT_LESS_OR_EQUAL,
                      reinterpret_cast<ULONG_PTR>(lock), irql, 0, 0, std::string(routine) + " above DISPATCH_LEVEL");
    }
    RaiseTo(DISPATCH_LEVEL, oldIrql);
    AcquireAtDispatch(lock);
    CheckCallerAtIrql(caller, DISPATCH_LEVEL, routine);
}

void ReleaseSpinLock(PKSPIN_LOCK lock, KIRQL newIrql) {
    const KIRQL irql = CurrentIrql();
    if (irql != DISPATCH_LEVEL || newIrql > DISPATCH_LEVEL) {
        K().Violation("spinlock-release-irql", bugcode::DRIVER_VERIFIER_DETECTED_VIOLATION,
                      violation::SpinLockReleaseWrongIrql, reinterpret_cast<ULONG_PTR>(lock), irql, newIrql,
                      "KeReleaseSpinLock at IRQL " + std::to_string(irql) + " back to " + std::to_string(newIrql));
    }
    ReleaseAtDispatch(lock);
    K().Sched().SetIrql(newIrql);
    SwitchPoint();
}

} // namespace
} // namespace qv

using namespace qv;

extern "C" {

KIRQL NTAPI KeGetCurrentIrql(void) {
    QV_CHECK_CALLER();
    return CurrentIrql();
}

void NTAPI KeRaiseIrql(KIRQL NewIrql, PKIRQL OldIrql) {
    RaiseTo(NewIrql, OldIrql);
    CheckCallerAtIrql(__builtin_return_address(0), NewIrql, "KeRaiseIrql");
}

KIRQL NTAPI KeRaiseIrqlToDpcLevel(void) {
    KIRQL old;
    RaiseTo(DISPATCH_LEVEL, &old);
    CheckCallerAtIrql(__builtin_return_address(0), DISPATCH_LEVEL, "KeRaiseIrqlToDpcLevel");
    return old;
}

void NTAPI KeLowerIrql(KIRQL NewIrql) {
    QV_CHECK_CALLER();
    // After KeSetEvent or KeReleaseMutex with Wait TRUE the one legal next
    // call is a wait routine, which lowers IRQL itself.
    if (SimThread* me = K().Sched().Current(); me != nullptr && me->kernelState.waitNext) {
        me->kernelState.waitNext = false;
        K().Violation("wait-true-not-followed-by-wait", bugcode::DRIVER_VERIFIER_DETECTED_VIOLATION,
                      violation::WaitTrueNotFollowedByWait, CurrentIrql(), NewIrql, 0,
                      "KeLowerIrql after a Wait TRUE signal, where a wait routine must come next");
    }
    const KIRQL current = CurrentIrql();
    if (NewIrql > current) {
        K().Violation("irql-lowered-to-higher", bugcode::DRIVER_VERIFIER_DETECTED_VIOLATION,
                      violation::LowerIrqlToHigher, current, NewIrql, 0, "KeLowerIrql to a higher IRQL");
    }
    K().Sched().SetIrql(NewIrql);
    SwitchPoint();
}

void NTAPI QvCheckPagedCode(const char* File, int Line) {
    QV_CHECK_CALLER();
    const KIRQL irql = CurrentIrql();
    if (irql > APC_LEVEL) {
        K().Violation("paged-code-above-apc", bugcode::DRIVER_IRQL_NOT_LESS_OR_EQUAL, 0, irql, 0, 0,
                      std::string("pageable code at ") + File + ":" + std::to_string(Line) + " ran at IRQL " +
                          std::to_string(irql));
    }
}

ULONG NTAPI KeGetCurrentProcessorNumber(void) {
    QV_CHECK_CALLER();
    return K().Sched().ProcessorNumber();
}

void NTAPI KeBugCheckEx(ULONG BugCheckCode, ULONG_PTR P1, ULONG_PTR P2, ULONG_PTR P3, ULONG_PTR P4) {
    K().RaiseBugCheck(BugCheckCode, P1, P2, P3, P4, "KeBugCheckEx called");
}

void NTAPI KeInitializeSpinLock(PKSPIN_LOCK SpinLock) {
    QV_CHECK_CALLER();
    *SpinLock = 0;
}

void NTAPI KeAcquireSpinLock(PKSPIN_LOCK SpinLock, PKIRQL OldIrql) {
    AcquireSpinLock(SpinLock, OldIrql, __builtin_return_address(0), "KeAcquireSpinLock");
}

void NTAPI KeReleaseSpinLock(PKSPIN_LOCK SpinLock, KIRQL NewIrql) {
    QV_CHECK_CALLER();
    ReleaseSpinLock(SpinLock, NewIrql);
}

void NTAPI KeAcquireSpinLockAtDpcLevel(PKSPIN_LOCK SpinLock) {
    RequireAtLeastDispatch(SpinLock, "KeAcquireSpinLockAtDpcLevel");
    AcquireAtDispatch(SpinLock);
    CheckCallerAtIrql(__builtin_return_address(0), CurrentIrql(), "KeAcquireSpinLockAtDpcLevel");
}

void NTAPI KeReleaseSpinLockFromDpcLevel(PKSPIN_LOCK SpinLock) {
    QV_CHECK_CALLER();
    RequireAtLeastDispatch(SpinLock, "KeReleaseSpinLockFromDpcLevel");
    ReleaseAtDispatch(SpinLock);
    SwitchPoint();
}

void NTAPI IoAcquireCancelSpinLock(PKIRQL Irql) {
    AcquireSpinLock(&K().CancelSpinLock(), Irql, __builtin_return_address(0), "IoAcquireCancelSpinLock");
}

void NTAPI IoReleaseCancelSpinLock(KIRQL Irql) {
    QV_CHECK_CALLER();
    ReleaseSpinLock(&K().CancelSpinLock(), Irql);
}

// Interlocked operations are atomic by construction here (one simulated
// thread runs at a time); the switch point before each lets the schedule
// interleave other threads between them.
LONG NTAPI InterlockedExchange(LONG volatile* Target, LONG Value) {
    QV_CHECK_CALLER();
    SwitchPoint();
    race::AcquireRelease(Target);
    const LONG previous = *Target;
    *Target = Value;
    return previous;
}

LONG NTAPI InterlockedIncrement(LONG volatile* Addend) {
    QV_CHECK_CALLER();
    SwitchPoint();
    race::AcquireRelease(Addend);
    const LONG value = *Addend + 1;
    *Addend = value;
    return value;
}

LONG NTAPI InterlockedDecrement(LONG volatile* Addend) {
    QV_CHECK_CALLER();
    SwitchPoint();
    race::AcquireRelease(Addend);
    const LONG value = *Addend - 1;
    *Addend = value;
    return value;
}

LONG NTAPI InterlockedCompareExchange(LONG volatile* Destination, LONG Exchange, LONG Comparand) {
    QV_CHECK_CALLER();
    SwitchPoint();
    race::AcquireRelease(Destination);
    const LONG previous = *Destination;
    if (previous == Comparand) *Destination = Exchange;
    return previous;
}

PVOID NTAPI InterlockedExchangePointer(PVOID volatile* Target, PVOID Value) {
    QV_CHECK_CALLER();
    SwitchPoint();
    race::AcquireRelease(Target);
    PVOID previous = *Target;
    *Target = Value;
    return previous;
}

PVOID NTAPI InterlockedCompareExchangePointer(PVOID volatile* Destination, PVOID Exchange, PVOID Comparand) {
    QV_CHECK_CALLER();
    SwitchPoint();
    race::AcquireRelease(Destination);
    PVOID previous = *Destination;
    if (previous == Comparand) *Destination = Exchange;
    return previous;
}

} // extern "C"
