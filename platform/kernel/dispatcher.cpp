// Events, mutexes, waits, delays and the clock.
#include "kernel/dispatcher.h"

#include <cstdio>
#include <string>

#include "kernel/race_annotations.h"
#include "kernel/scheduler.h"

namespace qv {

namespace {

void InitializeHeader(DISPATCHER_HEADER& header, UCHAR type, LONG state) {
    header.Type = type;
    header.Inserted = 1;
    header.SignalState = state;
    header.WaitListHead.Flink = header.WaitListHead.Blink = &header.WaitListHead;
}

void CheckInitialised(const DISPATCHER_HEADER& header, const char* routine) {
    if (header.Inserted != 1) {
        K().RaiseBugCheck(bugcode::DRIVER_VERIFIER_DETECTED_VIOLATION, violation::UninitialisedObject,
                          reinterpret_cast<ULONG_PTR>(&header), 0, 0,
                          std::string(routine) + " was given a dispatcher object that was never initialised");
    }
}

// Releases the waiters that a signalled object satisfies: all of them for a
// notification event or a thread, the first one for a synchronization event
// (which resets again), ownership to the first one for a mutex.
void ReleaseWaiters(DISPATCHER_HEADER& header) {
    Scheduler& sched = K().Sched();
    switch (header.Type) {
    case QV_OBJECT_EVENT_SYNCHRONIZATION:
        if (SimThread* waiter = sched.FirstWaiter(&header)) {
            header.SignalState = 0;
            sched.Wake(*waiter, STATUS_SUCCESS);
        }
        break;
    case QV_OBJECT_MUTANT:
        if (SimThread* waiter = sched.FirstWaiter(&header)) {
            auto* mutex = CONTAINING_RECORD(&header, KMUTEX, Header);
            header.SignalState = 0;
            mutex->OwnerThread = waiter->Object();
            sched.Wake(*waiter, STATUS_SUCCESS);
        }
        break;
    default:
        while (SimThread* waiter = sched.FirstWaiter(&header)) sched.Wake(*waiter, STATUS_SUCCESS);
        break;
    }
}

bool Satisfiable(const DISPATCHER_HEADER& header, PKTHREAD caller) {
    if (header.Type == QV_OBJECT_MUTANT) {
        const auto* mutex = CONTAINING_RECORD(&header, KMUTEX, Header);
        return header.SignalState > 0 || mutex->OwnerThread == caller;
    }
    return header.SignalState > 0;
}

void Acquire(DISPATCHER_HEADER& header, PKTHREAD caller) {
    if (header.Type == QV_OBJECT_EVENT_SYNCHRONIZATION) {
        header.SignalState = 0;
    } else if (header.Type == QV_OBJECT_MUTANT) {
        CONTAINING_RECORD(&header, KMUTEX, Header)->OwnerThread = caller;
        header.SignalState -= 1;
    }
}

} // namespace

std::string DescribeObject(const DISPATCHER_HEADER& header) {
    char address[32];
    std::snprintf(address, sizeof address, "%p", static_cast<const void*>(&header));
    switch (header.Type) {
    case QV_OBJECT_EVENT_NOTIFICATION:
        return std::string("notification event ") + address;
    case QV_OBJECT_EVENT_SYNCHRONIZATION:
        return std::string("synchronization event ") + address;
    case QV_OBJECT_MUTANT: {
        const auto* mutex = CONTAINING_RECORD(&header, KMUTEX, Header);
        std::string owner = mutex->OwnerThread && mutex->OwnerThread->Sim ? mutex->OwnerThread->Sim->Name() : "?";
        return std::string("mutex ") + address + " owned by '" + owner + "'";
    }
    case QV_OBJECT_THREAD: {
        const auto* thread = CONTAINING_RECORD(&header, _KTHREAD, Header);
        return "the end of thread '" + (thread->Sim ? thread->Sim->Name() : std::string("host")) + "'";
    }
    default:
        return std::string("object ") + address;
    }
}

namespace {

void CheckWaitIrql(KIRQL irql, const void* object, const LARGE_INTEGER* timeout, const char* routine) {
    const bool mayBlock = timeout == nullptr || timeout->QuadPart != 0;
    if (irql > DISPATCH_LEVEL || (irql == DISPATCH_LEVEL && mayBlock)) {
        K().RaiseBugCheck(bugcode::IRQL_NOT_LESS_OR_EQUAL, reinterpret_cast<ULONG_PTR>(object), irql, 0, 0,
                          std::string(routine) + " with a non-zero time-out at IRQL " + std::to_string(irql));
    }
}

void CheckSignalIrql(const void* object, const char* routine) {
    const KIRQL irql = CurrentIrql();
    if (irql > DISPATCH_LEVEL) {
        K().RaiseBugCheck(bugcode::IRQL_NOT_LESS_OR_EQUAL, reinterpret_cast<ULONG_PTR>(object), irql, 0, 0,
                          std::string(routine) + " above DISPATCH_LEVEL");
    }
}

} // namespace

void SignalThreadObject(_KTHREAD& thread) {
    race::Release(&thread.Header);
    thread.Header.SignalState = 1;
    ReleaseWaiters(thread.Header);
}

VirtualTime DeadlineFrom(const LARGE_INTEGER& timeout) {
    const VirtualTime now = K().Now();
    VirtualTime due = 0;
    if (timeout.QuadPart < 0) {
        due = now + static_cast<VirtualTime>(-timeout.QuadPart);
    } else {
        const LONGLONG sinceBoot = timeout.QuadPart - kBootSystemTime;
        if (sinceBoot <= static_cast<LONGLONG>(now)) return now;
        due = static_cast<VirtualTime>(sinceBoot);
    }
    return OnClockTick(due);
}

VirtualTime OnClockTick(VirtualTime due) {
    // Timers are examined on the clock interrupt only: a wait or delay ends
    // on the first tick at or after its due time, as on Windows.
    return (due + kTimeIncrement - 1) / kTimeIncrement * kTimeIncrement;
}

} // namespace qv

using namespace qv;

extern "C" {

void NTAPI KeInitializeEvent(PRKEVENT Event, EVENT_TYPE Type, BOOLEAN State) {
    InitializeHeader(Event->Header,
                     Type == NotificationEvent ? QV_OBJECT_EVENT_NOTIFICATION : QV_OBJECT_EVENT_SYNCHRONIZATION,
                     State ? 1 : 0);
}

LONG NTAPI KeSetEvent(PRKEVENT Event, KPRIORITY Increment, BOOLEAN Wait) {
    UNREFERENCED_PARAMETER(Increment);
    UNREFERENCED_PARAMETER(Wait);
    CheckSignalIrql(Event, "KeSetEvent");
    CheckInitialised(Event->Header, "KeSetEvent");
    const LONG previous = Event->Header.SignalState;
    race::Release(&Event->Header);
    Event->Header.SignalState = 1;
    ReleaseWaiters(Event->Header);
    SwitchPoint();
    return previous;
}

void NTAPI KeClearEvent(PRKEVENT Event) {
    CheckInitialised(Event->Header, "KeClearEvent");
    Event->Header.SignalState = 0;
}

LONG NTAPI KeResetEvent(PRKEVENT Event) {
    CheckSignalIrql(Event, "KeResetEvent");
    CheckInitialised(Event->Header, "KeResetEvent");
    const LONG previous = Event->Header.SignalState;
    Event->Header.SignalState = 0;
    return previous;
}

LONG NTAPI KeReadStateEvent(PRKEVENT Event) {
    CheckInitialised(Event->Header, "KeReadStateEvent");
    if (Event->Header.SignalState != 0) race::Acquire(&Event->Header);
    return Event->Header.SignalState;
}

void NTAPI KeInitializeMutex(PRKMUTEX Mutex, ULONG Level) {
    UNREFERENCED_PARAMETER(Level);
    InitializeHeader(Mutex->Header, QV_OBJECT_MUTANT, 1);
    Mutex->MutantListEntry.Flink = Mutex->MutantListEntry.Blink = &Mutex->MutantListEntry;
    Mutex->OwnerThread = nullptr;
    Mutex->Abandoned = FALSE;
    Mutex->ApcDisable = 1;
}

LONG NTAPI KeReleaseMutex(PRKMUTEX Mutex, BOOLEAN Wait) {
    UNREFERENCED_PARAMETER(Wait);
    CheckSignalIrql(Mutex, "KeReleaseMutex");
    CheckInitialised(Mutex->Header, "KeReleaseMutex");
    PKTHREAD caller = K().Sched().CurrentObject();
    if (Mutex->OwnerThread != caller || Mutex->Header.SignalState > 0) {
        K().RaiseBugCheck(bugcode::THREAD_NOT_MUTEX_OWNER, reinterpret_cast<ULONG_PTR>(caller),
                          reinterpret_cast<ULONG_PTR>(Mutex), reinterpret_cast<ULONG_PTR>(Mutex->OwnerThread), 0,
                          "mutex released by thread '" + K().Sched().CurrentName() + "', which does not own it");
    }
    const LONG previous = Mutex->Header.SignalState;
    race::Release(&Mutex->Header);
    Mutex->Header.SignalState += 1;
    if (Mutex->Header.SignalState == 1) {
        Mutex->OwnerThread = nullptr;
        ReleaseWaiters(Mutex->Header);
    }
    SwitchPoint();
    return previous;
}

LONG NTAPI KeReadStateMutex(PRKMUTEX Mutex) { return Mutex->Header.SignalState; }

NTSTATUS NTAPI KeWaitForSingleObject(PVOID Object, KWAIT_REASON WaitReason, KPROCESSOR_MODE WaitMode,
                                     BOOLEAN Alertable, PLARGE_INTEGER Timeout) {
    UNREFERENCED_PARAMETER(WaitReason);
    UNREFERENCED_PARAMETER(WaitMode);
    UNREFERENCED_PARAMETER(Alertable);
    CheckWaitIrql(CurrentIrql(), Object, Timeout, "KeWaitForSingleObject");
    auto& header = *static_cast<DISPATCHER_HEADER*>(Object);
    CheckInitialised(header, "KeWaitForSingleObject");
    SwitchPoint();
    Scheduler& sched = K().Sched();
    PKTHREAD caller = sched.CurrentObject();
    if (Satisfiable(header, caller)) {
        Acquire(header, caller);
        race::Acquire(&header);
        return STATUS_SUCCESS;
    }
    if (Timeout != nullptr && Timeout->QuadPart == 0) return STATUS_TIMEOUT;
    std::optional<VirtualTime> deadline;
    if (Timeout != nullptr) deadline = DeadlineFrom(*Timeout);
    // When a signal ends the wait, the signaller has already done what the
    // wait needs (reset a synchronization event, handed a mutex over).
    const NTSTATUS status = sched.Block(&header, deadline, {});
    if (status == STATUS_SUCCESS) race::Acquire(&header);
    return status;
}

NTSTATUS NTAPI KeDelayExecutionThread(KPROCESSOR_MODE WaitMode, BOOLEAN Alertable, PLARGE_INTEGER Interval) {
    UNREFERENCED_PARAMETER(WaitMode);
    UNREFERENCED_PARAMETER(Alertable);
    CheckWaitIrql(CurrentIrql(), Interval, Interval, "KeDelayExecutionThread");
    const VirtualTime deadline = DeadlineFrom(*Interval);
    K().Sched().Block(nullptr, deadline, "a delay");
    return STATUS_SUCCESS;
}

void NTAPI KeQuerySystemTime(PLARGE_INTEGER CurrentTime) {
    CurrentTime->QuadPart = kBootSystemTime + static_cast<LONGLONG>(K().Now());
}

void NTAPI KeQueryTickCount(PLARGE_INTEGER TickCount) {
    TickCount->QuadPart = static_cast<LONGLONG>(K().Now() / kTimeIncrement);
}

ULONG NTAPI KeQueryTimeIncrement(void) { return kTimeIncrement; }

LARGE_INTEGER NTAPI RtlExtendedIntegerMultiply(LARGE_INTEGER Multiplicand, LONG Multiplier) {
    LARGE_INTEGER product;
    product.QuadPart = Multiplicand.QuadPart * Multiplier;
    return product;
}

} // extern "C"
