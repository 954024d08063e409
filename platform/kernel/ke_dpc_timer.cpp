// DPC objects and kernel timers.
//
// A DPC runs its routine once per queuing, at DISPATCH_LEVEL in the DPC
// context; queuing it again before it ran changes nothing. A timer is a
// dispatcher object that becomes signalled when it expires (a notification
// timer stays signalled, a synchronization timer releases one waiter and
// resets) and queues its DPC, if it has one, then; a periodic timer is set
// again for the next period.
#include <cstring>
#include <string>

#include "kernel/dispatcher.h"
#include "kernel/ke_timer_state.h"
#include "kernel/placement_rules.h"
#include "kernel/race_annotations.h"
#include "kernel/scheduler.h"

namespace qv {

namespace {

// KOBJECTS values of the kernel, for KDPC.Type.
constexpr UCHAR kDpcObject = 0x13;
constexpr UCHAR kMediumImportance = 1;

void RequireAtMostDispatch(const void* object, const char* routine) {
    const KIRQL irql = CurrentIrql();
    if (irql > DISPATCH_LEVEL) {
        K().Violation("timer-dpc-above-dispatch", bugcode::IRQL_NOT_LESS_OR_EQUAL, reinterpret_cast<ULONG_PTR>(object),
                      irql, 0, 0, std::string(routine) + " above DISPATCH_LEVEL");
    }
}

void Expire(PKTIMER timer, std::uint64_t cookie);

void Arm(PKTIMER timer, VirtualTime when) {
    KernelCore::TimerState& timers = K().Timers();
    const std::uint64_t cookie = timers.nextCookie++;
    timers.set[timer] = cookie;
    timer->DueTime.QuadPart = when;
    K().Sched().At(when, [timer, cookie] { Expire(timer, cookie); });
}

void Expire(PKTIMER timer, std::uint64_t cookie) {
    KernelCore::TimerState& timers = K().Timers();
    auto found = timers.set.find(timer);
    if (found == timers.set.end() || found->second != cookie) return; // cancelled or set anew
    timers.set.erase(found);
    K().Events().Log(K().Now(), "clock", "timer", "expires");
    // What the setter did happens before the expiry, and the expiry before
    // whatever its waiters do.
    race::Acquire(timer);
    race::Release(&timer->Header);
    timer->Header.SignalState = 1;
    ReleaseWaitersOf(timer->Header);
    if (timer->Period != 0) Arm(timer, K().Now() + static_cast<VirtualTime>(timer->Period) * kTicksPerMillisecond);
    if (timer->Dpc != nullptr) {
        LARGE_INTEGER now;
        KeQuerySystemTime(&now);
        KeInsertQueueDpc(timer->Dpc, reinterpret_cast<PVOID>(static_cast<ULONG_PTR>(now.u.LowPart)),
                         reinterpret_cast<PVOID>(static_cast<ULONG_PTR>(static_cast<ULONG>(now.u.HighPart))));
    }
}

} // namespace
} // namespace qv

using namespace qv;

extern "C" {

void NTAPI KeInitializeDpc(PRKDPC Dpc, PKDEFERRED_ROUTINE DeferredRoutine, PVOID DeferredContext) {
    QV_CHECK_CALLER();
    std::memset(Dpc, 0, sizeof *Dpc);
    Dpc->Type = kDpcObject;
    Dpc->Importance = kMediumImportance;
    Dpc->DeferredRoutine = DeferredRoutine;
    Dpc->DeferredContext = DeferredContext;
}

BOOLEAN NTAPI KeInsertQueueDpc(PRKDPC Dpc, PVOID SystemArgument1, PVOID SystemArgument2) {
    QV_CHECK_CALLER();
    if (Dpc->DpcData != nullptr) return FALSE;
    const std::uint64_t cookie = K().Timers().nextCookie++;
    Dpc->DpcData = reinterpret_cast<PVOID>(static_cast<ULONG_PTR>(cookie));
    Dpc->SystemArgument1 = SystemArgument1;
    Dpc->SystemArgument2 = SystemArgument2;
    K().Sched().QueueDpc("KDPC", [Dpc, cookie] {
        // Removed from the queue (and perhaps queued again) meanwhile.
        if (Dpc->DpcData != reinterpret_cast<PVOID>(static_cast<ULONG_PTR>(cookie))) return;
        Dpc->DpcData = nullptr;
        // The queue orders one run of a DPC object after the one before it,
        // on whichever processor each runs.
        race::Acquire(Dpc);
        CheckDriverRoutine(Dpc->DeferredRoutine, "a deferred routine");
        Dpc->DeferredRoutine(Dpc, Dpc->DeferredContext, Dpc->SystemArgument1, Dpc->SystemArgument2);
        race::Release(Dpc);
    });
    return TRUE;
}

BOOLEAN NTAPI KeRemoveQueueDpc(PRKDPC Dpc) {
    if (Dpc->DpcData == nullptr) return FALSE;
    Dpc->DpcData = nullptr;
    return TRUE;
}

void NTAPI KeInitializeTimer(PKTIMER Timer) {
    QV_CHECK_CALLER();
    KeInitializeTimerEx(Timer, NotificationTimer);
}

void NTAPI KeInitializeTimerEx(PKTIMER Timer, TIMER_TYPE Type) {
    QV_CHECK_CALLER();
    std::memset(Timer, 0, sizeof *Timer);
    Timer->Header.Type = Type == NotificationTimer ? QV_OBJECT_TIMER_NOTIFICATION : QV_OBJECT_TIMER_SYNCHRONIZATION;
    Timer->Header.Inserted = 1;
    Timer->Header.WaitListHead.Flink = Timer->Header.WaitListHead.Blink = &Timer->Header.WaitListHead;
    Timer->TimerListEntry.Flink = Timer->TimerListEntry.Blink = &Timer->TimerListEntry;
    K().Timers().set.erase(Timer);
}

BOOLEAN NTAPI KeSetTimer(PKTIMER Timer, LARGE_INTEGER DueTime, PKDPC Dpc) {
    QV_CHECK_CALLER();
    return KeSetTimerEx(Timer, DueTime, 0, Dpc);
}

BOOLEAN NTAPI KeSetTimerEx(PKTIMER Timer, LARGE_INTEGER DueTime, LONG Period, PKDPC Dpc) {
    QV_CHECK_CALLER();
    RequireAtMostDispatch(Timer, "KeSetTimerEx");
    CheckInitialisedObject(Timer->Header, "KeSetTimerEx");
    const bool wasSet = K().Timers().set.erase(Timer) > 0;
    Timer->Header.SignalState = 0;
    Timer->Dpc = Dpc;
    Timer->Period = Period > 0 ? static_cast<ULONG>(Period) : 0;
    race::Release(Timer);
    Arm(Timer, DeadlineFrom(DueTime));
    SwitchPoint();
    return wasSet ? TRUE : FALSE;
}

BOOLEAN NTAPI KeCancelTimer(PKTIMER Timer) {
    QV_CHECK_CALLER();
    RequireAtMostDispatch(Timer, "KeCancelTimer");
    const bool wasSet = K().Timers().set.erase(Timer) > 0;
    SwitchPoint();
    return wasSet ? TRUE : FALSE;
}

BOOLEAN NTAPI KeReadStateTimer(PKTIMER Timer) {
    QV_CHECK_CALLER();
    return Timer->Header.SignalState > 0 ? TRUE : FALSE;
}

// Busy-waits: the processor is not given up, yet the time passes. Windows
// asks callers to stay within 50 microseconds; a longer stall holds up
// every other thread of its processor, so the verifier refuses it.
void NTAPI KeStallExecutionProcessor(ULONG MicroSeconds) {
    QV_CHECK_CALLER();
    constexpr ULONG kLongestStall = 50;
    if (MicroSeconds > kLongestStall) {
        K().Violation("stall-too-long", bugcode::DRIVER_VERIFIER_DETECTED_VIOLATION, violation::StallTooLong,
                      MicroSeconds, kLongestStall, 0,
                      "KeStallExecutionProcessor for " + std::to_string(MicroSeconds) + " microseconds");
    }
    K().Sched().Stall(static_cast<VirtualTime>(MicroSeconds) * kTicksPerMicrosecond);
}

} // extern "C"
