// The emulated kernel as the host (tests, tools, benchmarks) sees it: one
// object that owns the scheduler, the clock, the pool, the I/O manager and
// the verifier of one simulated machine. The WDK routines that the driver
// calls find this object through Kernel::Current().
#pragma once

#include <array>
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
#include "kernel/trace.h"

namespace qv {

class Scheduler;
class SimThread;
class Pool;
class IoManager;

// Virtual time, in the kernel's 100-nanosecond units since the machine booted.
using VirtualTime = std::uint64_t;
inline constexpr VirtualTime kTicksPerMicrosecond = 10;
inline constexpr VirtualTime kTicksPerMillisecond = 10'000;
inline constexpr VirtualTime kTicksPerSecond = 10'000'000;

// Independent random streams drawn from the one seed, so that adding a draw
// for one purpose (a pool fault, say) does not change the schedule.
enum class RandomStream : unsigned { Schedule = 1, Pool = 2, Bus = 3, Device = 4, Power = 5 };
inline constexpr std::size_t kRandomStreams = 5;

struct PoolFaultConfig {
    // Fail the Nth allocation counted from the start of the run (1 = the
    // first); 0 disables.
    std::uint64_t failNth = 0;
    // Fail each allocation with this chance, in parts per million.
    std::uint32_t failPerMillion = 0;
    // When non-zero, only allocations with this tag may fail.
    ULONG onlyTag = 0;
};

// How the scheduler picks the next thread (see scheduler.h). FromSeed lets
// the seed choose, unless the environment forces one: QV_SCHED=uniform|pct.
// Systematic follows a schedule script (kernel/schedule_script.h) instead of
// the seed; the schedule explorer runs every script within a bound.
enum class SchedulingMode { FromSeed, Uniform, Pct, Systematic };

class ScheduleScript;

struct KernelConfig {
    std::uint64_t seed = 1;
    unsigned processors = 2;
    // Follow the wall clock instead of jumping to the next deadline.
    bool realTime = false;
    // Chance, in percent, that a kernel call lets another thread run.
    unsigned switchPercent = 50;
    // Virtual time charged for every scheduling step, so that busy threads
    // still see the clock move and timers fire.
    VirtualTime stepCost = 1 * kTicksPerMicrosecond;
    // A run that reaches this virtual time without finishing is reported as
    // hung, with the same report a deadlock gives.
    VirtualTime timeLimit = 24ull * 3600 * kTicksPerSecond;
    PoolFaultConfig poolFaults;
    // Verifier rules switched off for this machine, by rule id (see
    // docs/verifier-rules.md). The ids in the environment variable
    // QV_VERIFIER_DISABLE (separated by commas) are added to these.
    std::vector<std::string> disabledRules;
    SchedulingMode scheduling = SchedulingMode::FromSeed;
    // The script of the systematic mode, shared with whoever explores; one of
    // its own (the default schedule) when left empty.
    std::shared_ptr<ScheduleScript> schedule;
    // A simulated thread that runs this long in host time without reaching
    // a switch point (a busy-wait) ends the run; 0 disables. The environment
    // may change it: QV_WATCHDOG_MS.
    std::uint32_t watchdogMilliseconds = 10'000;
};

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

class Kernel {
  public:
    explicit Kernel(KernelConfig config = {});
    ~Kernel();
    Kernel(const Kernel&) = delete;
    Kernel& operator=(const Kernel&) = delete;

    // The kernel that the calling code runs on. Exactly one kernel is current
    // per host thread: the most recently constructed one still alive.
    static Kernel& Current();
    static bool HasCurrent();

    const KernelConfig& Config() const { return config_; }
    std::uint64_t Seed() const { return config_.seed; }

    // Starts a host-owned thread (an application or test thread) at
    // PASSIVE_LEVEL. Run() returns once every host-owned thread has ended.
    SimThread& Spawn(std::string name, std::function<void()> body);

    // Runs the machine until every host-owned thread has ended, a bug check
    // stops it, nothing can run any more (deadlock), or the time limit passes.
    RunResult Run();

    // Convenience for tests: spawns one thread running body and runs.
    RunResult RunThread(std::string name, std::function<void()> body);

    VirtualTime Now() const;

    Scheduler& Sched() { return *scheduler_; }
    Pool& PoolAllocator() { return *pool_; }
    IoManager& Io() { return *io_; }
    Trace& Events() { return trace_; }
    std::mt19937_64& Random(RandomStream stream);

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
    bool RuleEnabled(std::string_view rule) const;
    // The same for a violation that leaves nothing sound to go on with (a
    // pointer that is no object, say): with the rule disabled the run still
    // stops, with code 0, so that a disabled rule never turns into a crash of
    // the host.
    [[noreturn]] void Fatal(std::string_view rule, ULONG code, ULONG_PTR p1, ULONG_PTR p2, ULONG_PTR p3, ULONG_PTR p4,
                            std::string what);

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

    // The I/O manager says whether any I/O timer is started; the once-a-second
    // clock that drives them only runs while one is, so that an idle machine
    // can still be found deadlocked.
    void SetIoTimersActive(bool active);

    // Handles of the object manager (thread objects only).
    HANDLE CreateHandle(SimThread& thread);
    SimThread* LookupHandle(HANDLE handle) const;
    bool CloseHandle(HANDLE handle);

    // Per-machine state of an emulated component that lives outside the
    // kernel core (the smart card library's event log, say), made on first
    // use and kept as long as the machine.
    template <class T>
    T& Component() {
        for (auto& [key, component] : components_) {
            if (key == ComponentKey<T>()) return *static_cast<T*>(component.get());
        }
        auto component = std::make_shared<T>();
        T& result = *component;
        components_.emplace_back(ComponentKey<T>(), std::move(component));
        return result;
    }
    // State of the kernel's timer and DPC objects (ke_dpc_timer.cpp).
    struct TimerState;
    TimerState& Timers() { return *timers_; }

    bool BugChecked() const { return bugCheck_.has_value(); }
    const std::optional<BugCheckInfo>& LastBugCheck() const { return bugCheck_; }

  private:
    template <class T>
    static const void* ComponentKey() {
        static const char key = 0;
        return &key;
    }

    KernelConfig config_;
    Trace trace_;
    // Seeded on first use (a machine boots for every fuzzer input, and
    // seeding a stream it never draws from is a good part of the boot);
    // each stream's seed depends on the machine's seed alone, so the order
    // of first use changes nothing.
    std::array<std::optional<std::mt19937_64>, kRandomStreams> random_;
    std::unique_ptr<Scheduler> scheduler_;
    std::unique_ptr<Pool> pool_;
    std::unique_ptr<IoManager> io_;
    std::optional<BugCheckInfo> bugCheck_;
    KSPIN_LOCK cancelSpinLock_ = 0;
    unsigned driverEntriesRunning_ = 0;
    const KSPIN_LOCK* probedLock_ = nullptr;
    std::function<void()> lockProbe_;
    bool ioTimersActive_ = false;
    bool secondTickArmed_ = false;
    std::vector<std::pair<std::uintptr_t, SimThread*>> handles_;
    std::uintptr_t nextHandle_ = 4;
    Kernel* previous_ = nullptr;
    // Components keep host memory only; they outlive the pool and I/O manager.
    std::vector<std::pair<const void*, std::shared_ptr<void>>> components_;
    std::vector<std::string> disabledRules_;
    std::unique_ptr<TimerState> timers_;

    void ArmSecondTick();
};

// Shorthands used throughout the emulation.
inline Kernel& K() { return Kernel::Current(); }
KIRQL CurrentIrql();
// A place where the scheduler may hand the processor to another thread.
void SwitchPoint();

} // namespace qv
