// Simulated threads and the deterministic scheduler.
//
// Every simulated thread runs on its own stack (a Fiber) inside the one
// host thread; only one runs at any moment, and control returns to the
// scheduler at kernel calls (switch points), waits and thread ends. The
// scheduler models several processors: a thread at DISPATCH_LEVEL keeps its
// processor until it lowers IRQL, and a thread below DISPATCH_LEVEL runs only
// while a processor is free of them (it takes a free one each time it is
// chosen). Each processor has its own DPC queue, drained by its own DPC
// context at DISPATCH_LEVEL on that processor, so deferred routines on
// different processors interleave as on Windows.
//
// Which eligible thread runs next follows the scheduling mode, drawn from the
// seed (or forced by QV_SCHED): uniform (each switch point is a coin, the
// next thread drawn uniformly) or PCT (probabilistic concurrency testing:
// the eligible thread with the highest random priority runs, and a few
// priority-change points, drawn from the seed, demote the running thread).
// Either way one seed gives one interleaving. The systematic mode follows a
// schedule script instead (schedule_script.h): the running thread keeps the
// processor until it waits, the ready thread with the lowest id goes next,
// and the script's departures switch elsewhere at the decision points they
// name.
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <unordered_map>
#include <vector>

#include "kernel/fiber.h"
#include "kernel/host_inbox.h"
#include "kernel/kernel.h"
#include "kernel/schedule_script.h"
#include "kernel/thread_state.h"

struct _KTHREAD {
    DISPATCHER_HEADER Header; // signalled when the thread has ended
    qv::SimThread* Sim;
};

namespace qv {

enum class ThreadKind {
    Host,   // spawned by a test or tool; Run() waits for these
    System, // PsCreateSystemThread
    Dpc,    // a processor's deferred-procedure-call context
    Worker, // a system worker thread that runs work items
};
inline constexpr unsigned kThreadKinds = 4;

class Watchdog;

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
    // Both go as soon as the thread has ended; the record may stay longer.
    std::unique_ptr<ThreadStack> stack_;
    std::unique_ptr<Fiber> fiber_;
    // The processor the thread runs on (or last ran on, below
    // DISPATCH_LEVEL); fixed for a DPC context.
    unsigned processor_ = 0;
    // PCT: the thread's priority, and the switch points it has passed since
    // it was last chosen.
    std::int64_t priority_ = 0;
    std::uint64_t sliceSteps_ = 0;

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
    explicit Scheduler(KernelCore& kernel);
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
    // reports; left empty for a wait on an object, the object is described
    // when a report needs it.
    NTSTATUS Block(DISPATCHER_HEADER* object, std::optional<VirtualTime> deadline, std::string what);
    void Wake(SimThread& thread, NTSTATUS status);

    // Spin-lock support: the current thread spins (stays eligible but makes
    // no progress) until the lock is free.
    void SpinOn(PKSPIN_LOCK lock);
    // Whether some thread spins on lock now, waiting for its holder.
    bool SomeoneSpinsOn(const KSPIN_LOCK* lock) const;

    // Ends the current simulated thread; never returns.
    [[noreturn]] void ExitCurrent();

    // Runs fn at DISPATCH_LEVEL in a processor's DPC context as soon as it is
    // chosen: on the given processor, or else on the caller's (in scheduler
    // or host context, one drawn from the seed).
    void QueueDpc(std::string name, std::function<void()> fn, std::optional<unsigned> processor = std::nullopt);
    unsigned Processors() const { return static_cast<unsigned>(dpcs_.size()); }
    // Runs fn in scheduler context at virtual time `when`. fn must not wait;
    // it may wake threads and queue DPCs.
    void At(VirtualTime when, std::function<void()> fn);

    // Stops the machine after a bug check: control goes back to Run().
    [[noreturn]] void HaltFromThread();

    // For the verifier and reports: every thread whose record is kept (those
    // that run, and those that ended but are still referenced).
    std::vector<const SimThread*> Threads() const;
    // How many threads of a kind were ever created (names number them).
    unsigned CreatedOfKind(ThreadKind kind) const { return created_[static_cast<unsigned>(kind)]; }
    // The thread whose object `object` is, if its record is kept; else null.
    SimThread* FromObjectPointer(const void* object) const;
    // Called when a thread object's last reference goes: an ended thread's
    // record can then be released.
    void Unreferenced(SimThread& thread);
    // How many thread records the scheduler keeps, and how many of them have
    // not ended: a long run keeps both bounded.
    std::size_t ThreadRecords() const { return threads_.size(); }
    std::size_t LiveThreads() const { return live_.size(); }
    std::string BlockedReport() const;
    // The first thread waiting on object, or null.
    SimThread* FirstWaiter(DISPATCHER_HEADER* object) const;
    // The thread object of the caller (a host pseudo-thread outside Run()).
    PKTHREAD CurrentObject();
    // Index of the processor the caller runs on.
    ULONG ProcessorNumber() const;
    SchedulingMode Mode() const { return mode_; }

    // Called by the watchdog (from a signal handler) when the running thread
    // has gone too long without a switch point: ends the run with a report.
    void WatchdogExpired(std::string report);
    // Counts switch points and switches, for the watchdog to see progress.
    std::uint64_t Progress() const { return progress_; }

    // Work posted from other host threads (host_inbox.h); run at each step.
    HostInbox& Inbox() { return inbox_; }

  private:
    struct TimedEvent {
        VirtualTime when;
        std::uint64_t order;
        std::function<void()> fn;
    };

    // One processor's deferred procedure calls.
    struct DpcProcessor {
        SimThread* context = nullptr;
        std::deque<std::pair<std::string, std::function<void()>>> queue;
    };

    // A number in [0, n) from the schedule stream.
    std::uint64_t Draw(std::uint64_t n);
    bool HostThreadsAlive() const;
    bool DpcsBusy() const;
    const std::vector<SimThread*>& Eligible();
    void NoteHeldProcessors();
    SimThread& Choose(const std::vector<SimThread*>& eligible);
    SimThread* ChooseSystematic(const std::vector<SimThread*>& eligible);
    void SystematicSwitchPoint();
    // Whether a ready thread can make progress: not spinning on a held lock.
    static bool CanProgress(const SimThread& thread);
    void LogDeparture(const SimThread& from, const SimThread& to, const char* how);
    void NoteDecision(const SimThread& thread, const char* how);
    void AssignProcessor(SimThread& thread);
    void InitialisePct();
    void PctSwitchPoint();
    std::optional<VirtualTime> NextDeadline() const;
    void AdvanceTo(VirtualTime time);
    // A real-time machine's clock against the wall clock (MachineConfig::realTimeScale).
    std::uint64_t VirtualToWallNs(VirtualTime time) const;
    VirtualTime WallNsToVirtual(std::uint64_t ns) const;
    void FireDue();
    void SwitchTo(SimThread& thread);
    void YieldToScheduler();
    static void Entry(void* scheduler);
    void DpcLoop(unsigned processor);
    bool SpinDeadlocked(const std::vector<SimThread*>& eligible) const;
    static std::string DescribeWaitedObjects(const SimThread& thread);
    // Ended threads: drops their stacks, and their records once nothing
    // refers to them any more.
    void ReleaseEnded();
    bool Releasable(const SimThread& thread) const;
    void Forget(SimThread& thread);
    RunResult Finish(RunOutcome outcome, std::string report);

    KernelCore& kernel_;
    std::mt19937_64& random_; // the schedule stream
    // Every kept thread record, in the order of their ids; live_ holds those
    // that have not ended, in the same order, and is what each step walks.
    std::vector<std::unique_ptr<SimThread>> threads_;
    std::vector<SimThread*> live_;
    std::unordered_map<const void*, SimThread*> byObject_;
    // Threads that ended since the last step (their stacks are still in
    // use until the switch away from them), and host threads that ended in
    // this run: whoever spawned one may wait on its object until Run()
    // returns, so they are released when the next run begins.
    std::vector<SimThread*> ended_;
    std::vector<SimThread*> endedHosts_;
    unsigned created_[kThreadKinds] = {};
    SimThread* current_ = nullptr;
    std::vector<DpcProcessor> dpcs_;
    std::vector<TimedEvent> timed_;
    std::uint64_t timedOrder_ = 0;
    Fiber schedulerFiber_;
    SchedulingMode mode_ = SchedulingMode::Uniform;
    // PCT: the switch points counted so far, those at which the running
    // thread is demoted, the priority the next demotion gives, and whether
    // some thread became ready since the last choice.
    std::uint64_t steps_ = 0;
    std::vector<std::uint64_t> changePoints_;
    std::int64_t lowestPriority_ = 0;
    bool readyChanged_ = false;
    const SimThread* lastChosen_ = nullptr;
    std::uint64_t progress_ = 0;
    // Systematic mode: the script, and the thread a departure at a switch
    // point handed the processor to.
    std::shared_ptr<ScheduleScript> script_;
    SimThread* forced_ = nullptr;
    // Kept between steps so that a step allocates nothing.
    std::vector<SimThread*> eligible_;
    std::vector<SimThread*> others_;
    std::vector<bool> held_;
    unsigned freeProcessors_ = 0;
    // How many threads spin on a spin lock now (SpinOn).
    unsigned spinners_ = 0;
    unsigned hostThreadsAlive_ = 0;
    // No deadline or timed event falls before this.
    VirtualTime earliestDue_ = ~VirtualTime{0};
    std::optional<std::string> watchdogReport_;
    std::unique_ptr<Watchdog> watchdog_;
    // ThreadSanitizer: every thread's end is released here and acquired when
    // Run() returns, so that the host sees what the threads did.
    char runEnd_ = 0;
    VirtualTime now_ = 0;
    KIRQL hostIrql_ = PASSIVE_LEVEL;
    _KTHREAD hostObject_{};
    bool running_ = false;
    bool halted_ = false;
    unsigned nextId_ = 1;
    std::uint64_t wallStartNs_ = 0;
    HostInbox inbox_;
};

} // namespace qv
