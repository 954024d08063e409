// Simulated threads and the deterministic scheduler.
//
// Every simulated thread runs on its own stack (ucontext) inside the one
// host thread; only one runs at any moment, and control returns to the
// scheduler at kernel calls (switch points), waits and thread ends. The
// scheduler models several processors: a thread at DISPATCH_LEVEL keeps its
// processor until it lowers IRQL, so at most `processors` threads can be at
// DISPATCH_LEVEL at once, and a thread below DISPATCH_LEVEL runs only while
// a processor is free of them. Which eligible thread runs next is drawn from
// the seeded schedule stream, so one seed gives one interleaving.
#pragma once

#include <ucontext.h>

#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "kernel/kernel.h"
#include "kernel/thread_state.h"

struct _KTHREAD {
    DISPATCHER_HEADER Header; // signalled when the thread has ended
    qv::SimThread* Sim;
};

namespace qv {

enum class ThreadKind {
    Host,   // spawned by a test or tool; Run() waits for these
    System, // PsCreateSystemThread
    Dpc,    // the kernel's deferred-procedure-call context
    Worker, // a system worker thread that runs work items
};

// A simulated thread's stack: mapped memory with an inaccessible page below
// it, so that an overflow faults at once instead of corrupting a neighbour.
class ThreadStack {
  public:
    explicit ThreadStack(std::size_t size);
    ~ThreadStack();
    ThreadStack(const ThreadStack&) = delete;
    ThreadStack& operator=(const ThreadStack&) = delete;
    void* Base() const { return usable_; }
    std::size_t Size() const { return size_; }

  private:
    void* mapping_ = nullptr;
    void* usable_ = nullptr;
    std::size_t size_ = 0;
    std::size_t mapped_ = 0;
};

class SimThread {
  public:
    enum class State { Ready, Waiting, Terminated };

    SimThread(unsigned id, std::string name, ThreadKind kind, std::function<void()> body);
    ~SimThread();
    SimThread(const SimThread&) = delete;
    SimThread& operator=(const SimThread&) = delete;

    unsigned Id() const { return id_; }
    const std::string& Name() const { return name_; }
    ThreadKind Kind() const { return kind_; }
    State GetState() const { return state_; }
    KIRQL Irql() const { return irql_; }
    PKTHREAD Object() { return &object_; }
    static SimThread* FromObject(PKTHREAD thread) { return thread->Sim; }

    // Object-manager references to the thread object (handles and
    // ObReferenceObject); the verifier checks them at driver unload.
    LONG references = 0;

    // APCs, waits on dispatcher objects and owned mutexes (thread_state.h).
    ThreadKernelState kernelState;

  private:
    friend class Scheduler;

    struct WaitBlock {
        LIST_ENTRY link;
        SimThread* thread;
        DISPATCHER_HEADER* object;
    };

    unsigned id_;
    std::string name_;
    ThreadKind kind_;
    std::function<void()> body_;
    State state_ = State::Ready;
    KIRQL irql_ = PASSIVE_LEVEL;
    ucontext_t context_{};
    ThreadStack stack_;

    // The wait in progress.
    WaitBlock waitBlock_{};
    std::optional<VirtualTime> deadline_;
    NTSTATUS waitStatus_ = STATUS_SUCCESS;
    std::string waitWhat_;

    // The spin lock this thread spins on, if any.
    PKSPIN_LOCK spinningOn_ = nullptr;

    _KTHREAD object_{};
};

class Scheduler {
  public:
    explicit Scheduler(Kernel& kernel);
    ~Scheduler();

    SimThread& Create(std::string name, ThreadKind kind, std::function<void()> body);
    RunResult Run();

    // The running simulated thread; null in host context.
    SimThread* Current() const { return current_; }
    std::string CurrentName() const;
    KIRQL Irql() const;
    void SetIrql(KIRQL irql);

    VirtualTime Now() const { return now_; }
    void SwitchPoint();
    // Lets virtual time pass for the current thread without giving up the
    // processor (KeStallExecutionProcessor).
    void Stall(VirtualTime duration) { now_ += duration; }

    // Waits of the current thread. Block() gives up the processor until
    // Wake() is called for the thread or the deadline passes (then the wait
    // status is STATUS_TIMEOUT). `what` describes the wait for deadlock
    // reports.
    NTSTATUS Block(DISPATCHER_HEADER* object, std::optional<VirtualTime> deadline, std::string what);
    void Wake(SimThread& thread, NTSTATUS status);

    // Spin-lock support: the current thread spins (stays eligible but makes
    // no progress) until the lock is free.
    void SpinOn(PKSPIN_LOCK lock);

    // Ends the current simulated thread; never returns.
    [[noreturn]] void ExitCurrent();

    // Runs fn at DISPATCH_LEVEL in the DPC context as soon as it is chosen.
    void QueueDpc(std::string name, std::function<void()> fn);
    // Runs fn in scheduler context at virtual time `when`. fn must not wait;
    // it may wake threads and queue DPCs.
    void At(VirtualTime when, std::function<void()> fn);

    // Stops the machine after a bug check: control goes back to Run().
    [[noreturn]] void HaltFromThread();

    // For the verifier and reports.
    std::vector<const SimThread*> Threads() const;
    std::string BlockedReport() const;
    // The first thread waiting on object, or null.
    SimThread* FirstWaiter(DISPATCHER_HEADER* object) const;
    // The thread object of the caller (a host pseudo-thread outside Run()).
    PKTHREAD CurrentObject();
    // Index of the processor the caller runs on.
    ULONG ProcessorNumber() const;

  private:
    struct TimedEvent {
        VirtualTime when;
        std::uint64_t order;
        std::function<void()> fn;
    };

    bool HostThreadsAlive() const;
    std::vector<SimThread*> Eligible() const;
    std::optional<VirtualTime> NextDeadline() const;
    void AdvanceTo(VirtualTime time);
    void FireDue();
    void SwitchTo(SimThread& thread);
    void YieldToScheduler();
    static void Entry();
    void DpcLoop();
    bool SpinDeadlocked(const std::vector<SimThread*>& eligible) const;
    RunResult Finish(RunOutcome outcome, std::string report);

    Kernel& kernel_;
    std::vector<std::unique_ptr<SimThread>> threads_;
    SimThread* current_ = nullptr;
    SimThread* dpcThread_ = nullptr;
    std::deque<std::pair<std::string, std::function<void()>>> dpcQueue_;
    std::vector<TimedEvent> timed_;
    std::uint64_t timedOrder_ = 0;
    ucontext_t schedulerContext_{};
    VirtualTime now_ = 0;
    KIRQL hostIrql_ = PASSIVE_LEVEL;
    _KTHREAD hostObject_{};
    bool running_ = false;
    bool halted_ = false;
    unsigned nextId_ = 1;
    std::uint64_t wallStartNs_ = 0;
};

} // namespace qv
