// Events, mutexes, waits, delays and the clock.
#include "kernel/dispatcher.h"

#include <algorithm>
#include <stdexcept>
#include <string>

#include "kernel/placement_rules.h"
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
        K().Fatal("object-uninitialised", bugcode::DRIVER_VERIFIER_DETECTED_VIOLATION, violation::UninitialisedObject,
                  reinterpret_cast<ULONG_PTR>(&header), 0, 0,
                  std::string(routine) + " was given a dispatcher object that was never initialised");
    }
}

bool IsMutex(const DISPATCHER_HEADER& header) { return header.Type == QV_OBJECT_MUTANT; }

bool Satisfiable(const DISPATCHER_HEADER& header, PKTHREAD caller) {
    if (IsMutex(header)) {
        const auto* mutex = CONTAINING_RECORD(&header, KMUTEX, Header);
        return header.SignalState > 0 || mutex->OwnerThread == caller;
    }
    return header.SignalState > 0;
}

// Takes what a satisfied wait takes: a synchronization event or timer resets,
// a mutex becomes (or stays, one level deeper) the caller's.
void Acquire(DISPATCHER_HEADER& header, PKTHREAD caller) {
    if (header.Type == QV_OBJECT_EVENT_SYNCHRONIZATION || header.Type == QV_OBJECT_TIMER_SYNCHRONIZATION) {
        header.SignalState = 0;
    } else if (IsMutex(header)) {
        auto* mutex = CONTAINING_RECORD(&header, KMUTEX, Header);
        if (header.SignalState > 0 && caller->Sim != nullptr) caller->Sim->kernelState.ownedMutexes.push_back(mutex);
        mutex->OwnerThread = caller;
        header.SignalState -= 1;
    }
}

void Unlink(KWAIT_BLOCK& block) {
    LIST_ENTRY& link = block.WaitListEntry;
    if (link.Flink == &link) return;
    link.Blink->Flink = link.Flink;
    link.Flink->Blink = link.Blink;
    link.Flink = link.Blink = &link;
}

void UnlinkWait(SimThread& thread) {
    ThreadKernelState& state = thread.kernelState;
    for (ULONG i = 0; i < state.waitCount; ++i) Unlink(state.waitBlocks[i]);
    state.waitBlocks = nullptr;
    state.waitCount = 0;
}

DISPATCHER_HEADER& ObjectOf(const KWAIT_BLOCK& block) { return *static_cast<DISPATCHER_HEADER*>(block.Object); }

// Whether the wait that block belongs to is satisfied now; a wait for all
// its objects is satisfied only when every one of them is.
bool WaitSatisfied(const KWAIT_BLOCK& block) {
    if (block.WaitType == WaitAny) return Satisfiable(ObjectOf(block), block.Thread);
    const ThreadKernelState& state = block.Thread->Sim->kernelState;
    for (ULONG i = 0; i < state.waitCount; ++i)
        if (!Satisfiable(ObjectOf(state.waitBlocks[i]), block.Thread)) return false;
    return true;
}

// Ends the wait of block's thread: takes the objects it waited for and wakes
// it with the status its wait returns.
void Satisfy(const KWAIT_BLOCK& block) {
    SimThread& thread = *block.Thread->Sim;
    ThreadKernelState& state = thread.kernelState;
    NTSTATUS status = STATUS_WAIT_0;
    if (block.WaitType == WaitAny) {
        Acquire(ObjectOf(block), block.Thread);
        status = static_cast<NTSTATUS>(STATUS_WAIT_0 + block.WaitKey);
    } else {
        for (ULONG i = 0; i < state.waitCount; ++i) Acquire(ObjectOf(state.waitBlocks[i]), block.Thread);
    }
    UnlinkWait(thread);
    K().Sched().Wake(thread, status);
}

// Releases the waiters that a signalled object satisfies, first come first
// served: all of them for a notification event, timer or thread, the first
// one for a synchronization event or timer (which resets again), ownership
// to the first one for a mutex. A waiter for all of several objects is passed
// over until the others are signalled too.
void ReleaseWaiters(DISPATCHER_HEADER& header) {
    LIST_ENTRY* head = &header.WaitListHead;
    LIST_ENTRY* entry = head->Flink;
    while (entry != head) {
        const KWAIT_BLOCK& block = *CONTAINING_RECORD(entry, KWAIT_BLOCK, WaitListEntry);
        // A wait already ended by its time-out or interrupted for an APC
        // takes nothing; its thread unlinks its blocks when it runs.
        if (block.Thread->Sim->GetState() != SimThread::State::Waiting) {
            entry = entry->Flink;
            continue;
        }
        if (!Satisfiable(header, block.Thread)) break;
        if (WaitSatisfied(block)) {
            Satisfy(block);
            entry = head->Flink;
        } else {
            entry = entry->Flink;
        }
    }
}

// An address as printf's %p writes it, without printf: every wait that
// blocks describes its object.
std::string AddressText(const void* address) {
    static constexpr char kDigits[] = "0123456789abcdef";
    constexpr int kNibbleBits = 4;
    constexpr std::uintptr_t kNibbleMask = 0xF;
    auto value = reinterpret_cast<std::uintptr_t>(address);
    if (value == 0) return "(nil)";
    char digits[2 * sizeof value];
    std::size_t count = 0;
    for (; value != 0; value >>= kNibbleBits) digits[count++] = kDigits[value & kNibbleMask];
    std::string text = "0x";
    while (count > 0) text += digits[--count];
    return text;
}

} // namespace

std::string DescribeObject(const DISPATCHER_HEADER& header) {
    const std::string address = AddressText(&header);
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
    case QV_OBJECT_TIMER_NOTIFICATION:
    case QV_OBJECT_TIMER_SYNCHRONIZATION:
        return std::string("timer ") + address;
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
        K().Violation("wait-irql", bugcode::IRQL_NOT_LESS_OR_EQUAL, reinterpret_cast<ULONG_PTR>(object), irql, 0, 0,
                      std::string(routine) + " with a non-zero time-out at IRQL " + std::to_string(irql));
    }
}

void CheckSignalIrql(const void* object, const char* routine) {
    const KIRQL irql = CurrentIrql();
    if (irql > DISPATCH_LEVEL) {
        K().Violation("signal-above-dispatch", bugcode::IRQL_NOT_LESS_OR_EQUAL, reinterpret_cast<ULONG_PTR>(object),
                      irql, 0, 0, std::string(routine) + " above DISPATCH_LEVEL");
    }
}

// KeSetEvent or KeReleaseMutex with Wait TRUE leaves the caller at
// DISPATCH_LEVEL until its next wait, which starts by lowering IRQL back.
void EndWaitNext() {
    SimThread* me = K().Sched().Current();
    if (me == nullptr || !me->kernelState.waitNext) return;
    me->kernelState.waitNext = false;
    K().Sched().SetIrql(me->kernelState.waitNextIrql);
}

void BeginWaitNext(const void* object, const char* routine, const char* rule, ULONG_PTR parameter1) {
    const KIRQL irql = CurrentIrql();
    if (irql > APC_LEVEL) {
        K().Violation(rule, bugcode::DRIVER_VERIFIER_DETECTED_VIOLATION, parameter1,
                      reinterpret_cast<ULONG_PTR>(object), irql, 0,
                      std::string(routine) + " with Wait TRUE at IRQL " + std::to_string(irql));
    }
    SimThread* me = K().Sched().Current();
    if (me == nullptr) return;
    me->kernelState.waitNext = true;
    me->kernelState.waitNextIrql = irql;
    K().Sched().SetIrql(DISPATCH_LEVEL);
}

} // namespace

NTSTATUS WaitForObjects(ULONG count, DISPATCHER_HEADER* const* objects, WAIT_TYPE type, PKWAIT_BLOCK blocks,
                        const LARGE_INTEGER* timeout) {
    Scheduler& sched = K().Sched();
    PKTHREAD caller = sched.CurrentObject();
    std::optional<VirtualTime> deadline;
    if (timeout != nullptr && timeout->QuadPart != 0) deadline = DeadlineFrom(*timeout);
    // What the signaller did before signalling happens before whatever the
    // waiter does after its wait is satisfied.
    auto satisfied = [&](NTSTATUS status) {
        if (type == WaitAny) {
            race::Acquire(objects[status - STATUS_WAIT_0]);
        } else {
            for (ULONG i = 0; i < count; ++i) race::Acquire(objects[i]);
        }
        return status;
    };
    for (;;) {
        if (type == WaitAny) {
            for (ULONG i = 0; i < count; ++i) {
                if (Satisfiable(*objects[i], caller)) {
                    Acquire(*objects[i], caller);
                    return satisfied(static_cast<NTSTATUS>(STATUS_WAIT_0 + i));
                }
            }
        } else {
            bool all = true;
            for (ULONG i = 0; i < count && all; ++i) all = Satisfiable(*objects[i], caller);
            if (all) {
                for (ULONG i = 0; i < count; ++i) Acquire(*objects[i], caller);
                return satisfied(STATUS_WAIT_0);
            }
        }
        if (timeout != nullptr && timeout->QuadPart == 0) return STATUS_TIMEOUT;
        SimThread* me = sched.Current();
        if (me == nullptr) {
            throw std::logic_error("host context cannot wait: " +
                                   (count == 1 ? DescribeObject(*objects[0]) : std::to_string(count) + " objects"));
        }
        ThreadKernelState& state = me->kernelState;
        if (!state.kernelApcs.empty() && me->Irql() < APC_LEVEL) {
            DeliverKernelApcs(*me);
            continue;
        }
        for (ULONG i = 0; i < count; ++i) {
            KWAIT_BLOCK& block = blocks[i];
            block.Thread = caller;
            block.Object = objects[i];
            block.WaitKey = static_cast<USHORT>(i);
            block.WaitType = static_cast<UCHAR>(type);
            LIST_ENTRY& head = objects[i]->WaitListHead;
            LIST_ENTRY& link = block.WaitListEntry;
            link.Flink = &head;
            link.Blink = head.Blink;
            head.Blink->Flink = &link;
            head.Blink = &link;
        }
        state.waitBlocks = blocks;
        state.waitCount = count;
        // When a signal ends the wait, the signaller has already taken for
        // this thread what the wait takes (reset a synchronization event,
        // handed a mutex over). The wait is described from its wait blocks
        // when a report needs it, not at every wait.
        const NTSTATUS status = sched.Block(nullptr, deadline, {});
        UnlinkWait(*me);
        if (status >= STATUS_WAIT_0 && status < static_cast<NTSTATUS>(STATUS_WAIT_0 + count)) return satisfied(status);
        if (status != kStatusKernelApc) return status;
        DeliverKernelApcs(*me);
    }
}

void ReleaseWaitersOf(DISPATCHER_HEADER& header) { ReleaseWaiters(header); }


void CheckInitialisedObject(const DISPATCHER_HEADER& header, const char* routine) { CheckInitialised(header, routine); }

void BeginWait(const void* object, const LARGE_INTEGER* timeout, const char* routine) {
    EndWaitNext();
    CheckWaitIrql(CurrentIrql(), object, timeout, routine);
}

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
    QV_CHECK_CALLER();
    InitializeHeader(Event->Header,
                     Type == NotificationEvent ? QV_OBJECT_EVENT_NOTIFICATION : QV_OBJECT_EVENT_SYNCHRONIZATION,
                     State ? 1 : 0);
}

LONG NTAPI KeSetEvent(PRKEVENT Event, KPRIORITY Increment, BOOLEAN Wait) {
    QV_CHECK_CALLER();
    UNREFERENCED_PARAMETER(Increment);
    CheckSignalIrql(Event, "KeSetEvent");
    CheckInitialised(Event->Header, "KeSetEvent");
    const LONG previous = Event->Header.SignalState;
    race::Release(&Event->Header);
    Event->Header.SignalState = 1;
    ReleaseWaiters(Event->Header);
    if (Wait) {
        BeginWaitNext(Event, "KeSetEvent", "set-event-wait-above-apc", violation::SetEventWaitAboveApc);
        CheckCallerAtIrql(__builtin_return_address(0), CurrentIrql(), "KeSetEvent with Wait TRUE");
        return previous;
    }
    SwitchPoint();
    return previous;
}

void NTAPI KeClearEvent(PRKEVENT Event) {
    QV_CHECK_CALLER();
    CheckInitialised(Event->Header, "KeClearEvent");
    Event->Header.SignalState = 0;
}

LONG NTAPI KeResetEvent(PRKEVENT Event) {
    QV_CHECK_CALLER();
    CheckSignalIrql(Event, "KeResetEvent");
    CheckInitialised(Event->Header, "KeResetEvent");
    const LONG previous = Event->Header.SignalState;
    Event->Header.SignalState = 0;
    return previous;
}

// The state read is only a snapshot: another processor may set or clear the
// event before the caller acts on it, so the read is a point where the
// scheduler may let another thread run.
LONG NTAPI KeReadStateEvent(PRKEVENT Event) {
    QV_CHECK_CALLER();
    CheckInitialised(Event->Header, "KeReadStateEvent");
    const LONG state = Event->Header.SignalState;
    if (state != 0) race::Acquire(&Event->Header);
    SwitchPoint();
    return state;
}

void NTAPI KeInitializeMutex(PRKMUTEX Mutex, ULONG Level) {
    QV_CHECK_CALLER();
    UNREFERENCED_PARAMETER(Level);
    InitializeHeader(Mutex->Header, QV_OBJECT_MUTANT, 1);
    Mutex->MutantListEntry.Flink = Mutex->MutantListEntry.Blink = &Mutex->MutantListEntry;
    Mutex->OwnerThread = nullptr;
    Mutex->Abandoned = FALSE;
    Mutex->ApcDisable = 1;
}

LONG NTAPI KeReleaseMutex(PRKMUTEX Mutex, BOOLEAN Wait) {
    QV_CHECK_CALLER();
    CheckSignalIrql(Mutex, "KeReleaseMutex");
    CheckInitialised(Mutex->Header, "KeReleaseMutex");
    PKTHREAD caller = K().Sched().CurrentObject();
    if (Mutex->OwnerThread != caller || Mutex->Header.SignalState > 0) {
        K().Violation("mutex-not-owner", bugcode::THREAD_NOT_MUTEX_OWNER, reinterpret_cast<ULONG_PTR>(caller),
                      reinterpret_cast<ULONG_PTR>(Mutex), reinterpret_cast<ULONG_PTR>(Mutex->OwnerThread), 0,
                      "mutex released by thread '" + K().Sched().CurrentName() + "', which does not own it");
    }
    const LONG previous = Mutex->Header.SignalState;
    race::Release(&Mutex->Header);
    Mutex->Header.SignalState += 1;
    if (Mutex->Header.SignalState == 1) {
        Mutex->OwnerThread = nullptr;
        if (caller->Sim != nullptr) {
            auto& owned = caller->Sim->kernelState.ownedMutexes;
            owned.erase(std::remove(owned.begin(), owned.end(), Mutex), owned.end());
        }
        ReleaseWaiters(Mutex->Header);
    }
    if (Wait) {
        BeginWaitNext(Mutex, "KeReleaseMutex", "release-mutex-wait-above-apc", violation::ReleaseMutexWaitAboveApc);
        CheckCallerAtIrql(__builtin_return_address(0), CurrentIrql(), "KeReleaseMutex with Wait TRUE");
        return previous;
    }
    SwitchPoint();
    return previous;
}

LONG NTAPI KeReadStateMutex(PRKMUTEX Mutex) {
    QV_CHECK_CALLER();
    return Mutex->Header.SignalState;
}

NTSTATUS NTAPI KeWaitForSingleObject(PVOID Object, KWAIT_REASON WaitReason, KPROCESSOR_MODE WaitMode,
                                     BOOLEAN Alertable, PLARGE_INTEGER Timeout) {
    QV_CHECK_CALLER();
    UNREFERENCED_PARAMETER(WaitReason);
    UNREFERENCED_PARAMETER(WaitMode);
    UNREFERENCED_PARAMETER(Alertable);
    EndWaitNext();
    CheckWaitIrql(CurrentIrql(), Object, Timeout, "KeWaitForSingleObject");
    auto* header = static_cast<DISPATCHER_HEADER*>(Object);
    CheckInitialised(*header, "KeWaitForSingleObject");
    SwitchPoint();
    SimThread* me = K().Sched().Current();
    KWAIT_BLOCK hostBlock{};
    return WaitForObjects(1, &header, WaitAny, me != nullptr ? me->kernelState.ownBlocks : &hostBlock, Timeout);
}

NTSTATUS NTAPI KeDelayExecutionThread(KPROCESSOR_MODE WaitMode, BOOLEAN Alertable, PLARGE_INTEGER Interval) {
    QV_CHECK_CALLER();
    UNREFERENCED_PARAMETER(WaitMode);
    UNREFERENCED_PARAMETER(Alertable);
    EndWaitNext();
    // Even a zero interval gives up the processor, which a thread at
    // DISPATCH_LEVEL cannot do.
    const KIRQL irql = CurrentIrql();
    if (irql > APC_LEVEL) {
        K().Violation("delay-above-apc", bugcode::IRQL_NOT_LESS_OR_EQUAL, reinterpret_cast<ULONG_PTR>(Interval), irql,
                      0, 0, "KeDelayExecutionThread at IRQL " + std::to_string(irql));
    }
    const VirtualTime deadline = DeadlineFrom(*Interval);
    Scheduler& sched = K().Sched();
    while (sched.Block(nullptr, deadline, "a delay") == kStatusKernelApc) DeliverKernelApcs(*sched.Current());
    return STATUS_SUCCESS;
}

void NTAPI KeQuerySystemTime(PLARGE_INTEGER CurrentTime) {
    QV_CHECK_CALLER();
    CurrentTime->QuadPart = kBootSystemTime + static_cast<LONGLONG>(K().Now());
}

ULONGLONG NTAPI KeQueryInterruptTime(void) { return K().Now(); }

void NTAPI KeQueryTickCount(PLARGE_INTEGER TickCount) {
    QV_CHECK_CALLER();
    TickCount->QuadPart = static_cast<LONGLONG>(K().Now() / kTimeIncrement);
}

ULONG NTAPI KeQueryTimeIncrement(void) {
    QV_CHECK_CALLER();
    return kTimeIncrement;
}

LARGE_INTEGER NTAPI RtlExtendedIntegerMultiply(LARGE_INTEGER Multiplicand, LONG Multiplier) {
    QV_CHECK_CALLER();
    LARGE_INTEGER product;
    product.QuadPart = Multiplicand.QuadPart * Multiplier;
    return product;
}

} // extern "C"
