// The kernel core of one simulated machine: the scheduler and its clock,
// the dispatcher objects' timers and DPCs, the pool, the object manager's
// handles, and the bug check that stops the machine. The machine
// (machine/machine.h) builds it first and hands it the configuration, the
// random streams and the verifier's switches it owns; the I/O manager and
// everything above it are built on top and call down into it, never the
// other way round. The WDK routines find the core through K().
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <random>
#include <string>
#include <string_view>
#include <vector>

#include "qvwdk.h"
#include "kernel/bugcheck.h"
#include "kernel/handle_table.h"
#include "kernel/machine_config.h"
#include "kernel/object_faults.h"
#include "kernel/random_streams.h"
#include "kernel/trace.h"
#include "kernel/verifier_rules.h"

namespace qv {

class Scheduler;
class SimThread;
class Pool;

enum class RunOutcome { Completed, BugCheck, Deadlock, TimeLimit, Watchdog };

std::string_view OutcomeName(RunOutcome outcome);

struct RunResult {
    RunOutcome outcome = RunOutcome::Completed;
    std::optional<BugCheckInfo> bugCheck;
    // Human-readable account of a failed run: the bug check, or every blocked
    // thread and what it waits for. Always names the seed.
    std::string report;
    std::uint64_t digest = 0;
    VirtualTime endTime = 0;
    bool Ok() const { return outcome == RunOutcome::Completed; }
};

class KernelCore {
  public:
    KernelCore(const MachineConfig& config, Trace& trace, RandomStreams& random, const VerifierRules& rules);
    ~KernelCore();
    KernelCore(const KernelCore&) = delete;
    KernelCore& operator=(const KernelCore&) = delete;

    const MachineConfig& Config() const { return config_; }
    std::uint64_t Seed() const { return config_.seed; }

    // Starts a host-owned thread (an application or test thread) at
    // PASSIVE_LEVEL. A run ends once every host-owned thread has ended.
    SimThread& Spawn(std::string name, std::function<void()> body);

    VirtualTime Now() const;

    Scheduler& Sched() { return *scheduler_; }
    Pool& PoolAllocator() { return *pool_; }
    Trace& Events() { return trace_; }
    std::mt19937_64& Random(RandomStream stream) { return random_.Of(stream); }
    HandleTable& Handles() { return handles_; }
    // Failures of the object manager a test asks for.
    ObjectFaults& ObjectManagerFaults() { return objectFaults_; }

    // Stops the machine with a bug check. On a simulated thread control never
    // comes back; called from the host it throws BugCheckError.
    [[noreturn]] void RaiseBugCheck(ULONG code, ULONG_PTR p1, ULONG_PTR p2, ULONG_PTR p3, ULONG_PTR p4,
                                    std::string what);
    // The verifier's check of one rule: stops the machine like RaiseBugCheck,
    // unless the rule is disabled; then the violation is only logged and
    // control comes back, so that a mutation run can show which test notices
    // the rule's absence.
    void Violation(std::string_view rule, ULONG code, ULONG_PTR p1, ULONG_PTR p2, ULONG_PTR p3, ULONG_PTR p4,
                   std::string what);
    bool RuleEnabled(std::string_view rule) const { return rules_.Enabled(rule); }
    // The same for a violation that leaves nothing sound to go on with (a
    // pointer that is no object, say): with the rule disabled the run still
    // stops, with code 0, so that a disabled rule never turns into a crash of
    // the host.
    [[noreturn]] void Fatal(std::string_view rule, ULONG code, ULONG_PTR p1, ULONG_PTR p2, ULONG_PTR p3, ULONG_PTR p4,
                            std::string what);
    bool BugChecked() const { return bugCheck_.has_value(); }
    const std::optional<BugCheckInfo>& LastBugCheck() const { return bugCheck_; }

    // The system cancel spin lock.
    KSPIN_LOCK& CancelSpinLock() { return cancelSpinLock_; }

    // Whether a driver's entry routine is running: only then is the code in
    // INIT still there (kernel/placement_rules.h). The I/O manager brackets
    // each entry routine it calls.
    void DriverEntryBegins() { ++driverEntriesRunning_; }
    void DriverEntryEnds() { --driverEntriesRunning_; }
    bool DriverEntryRunning() const { return driverEntriesRunning_ > 0; }

    // A test's way into a window only a few instructions wide: `taken` runs
    // once, on the thread that next takes `lock`, right after it has taken
    // it and at the IRQL it holds it at (so it must not wait; it may spawn
    // threads and pass switch points). A new probe replaces the one set
    // before; an empty function clears it. The spin-lock routines report
    // every acquisition through SpinLockTaken.
    void ProbeSpinLockOnce(const KSPIN_LOCK* lock, std::function<void()> taken);
    void SpinLockTaken(const KSPIN_LOCK* lock);

    // What the layers above add to the kernel's own work: the I/O manager
    // cancels the requests of a thread that ends (after the kernel's checks,
    // before its last APCs), and a bug check's report lists the last IRPs.
    void SetThreadExitRoutine(std::function<void(SimThread&)> routine) { threadExit_ = std::move(routine); }
    void SetBugCheckNotes(std::function<std::vector<std::string>()> notes) { bugCheckNotes_ = std::move(notes); }
    void RunThreadExitRoutine(SimThread& thread) {
        if (threadExit_) threadExit_(thread);
    }

    // State of the kernel's timer and DPC objects (ke_dpc_timer.cpp).
    struct TimerState;
    TimerState& Timers() { return *timers_; }

  private:
    const MachineConfig& config_;
    Trace& trace_;
    RandomStreams& random_;
    const VerifierRules& rules_;
    std::unique_ptr<Scheduler> scheduler_;
    std::unique_ptr<Pool> pool_;
    std::unique_ptr<TimerState> timers_;
    HandleTable handles_;
    ObjectFaults objectFaults_;
    std::optional<BugCheckInfo> bugCheck_;
    KSPIN_LOCK cancelSpinLock_ = 0;
    unsigned driverEntriesRunning_ = 0;
    const KSPIN_LOCK* probedLock_ = nullptr;
    std::function<void()> lockProbe_;
    std::function<void(SimThread&)> threadExit_;
    std::function<std::vector<std::string>()> bugCheckNotes_;
};

class Machine;

namespace detail {
// The bridge from the WDK's free functions to the machine they run on. It is
// the emulation's only mutable global: a stack of machines per host thread,
// the newest on top (machine/machine.cpp keeps it), with that machine's
// kernel core beside it, so that K(), which nearly every routine calls, is a
// load rather than a call. The core is null while the machine builds it.
struct CurrentMachine {
    Machine* machine = nullptr;
    KernelCore* kernel = nullptr;
};
extern constinit thread_local CurrentMachine current;
// K() when the core is not at hand: from the machine, which throws when
// there is none.
KernelCore& KernelOfCurrentMachine();
} // namespace detail

// The kernel core of the machine the calling code runs on, and whether there
// is one.
inline KernelCore& K() {
    if (KernelCore* kernel = detail::current.kernel; kernel != nullptr) [[likely]] return *kernel;
    return detail::KernelOfCurrentMachine();
}
bool HasKernel();
// The object manager's faults of the current machine.
inline ObjectFaults& ObjectManagerFaults() { return K().ObjectManagerFaults(); }
KIRQL CurrentIrql();
// A place where the scheduler may hand the processor to another thread.
void SwitchPoint();

} // namespace qv
