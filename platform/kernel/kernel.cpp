#include "kernel/kernel.h"

#include "kernel/ke_timer_state.h"
#include "kernel/pool.h"
#include "kernel/race_annotations.h"
#include "kernel/scheduler.h"

namespace qv {

std::string_view OutcomeName(RunOutcome outcome) {
    switch (outcome) {
    case RunOutcome::Completed:
        return "completed";
    case RunOutcome::BugCheck:
        return "bug check";
    case RunOutcome::Deadlock:
        return "deadlock";
    case RunOutcome::TimeLimit:
        return "time limit";
    case RunOutcome::Watchdog:
        return "watchdog";
    }
    return "?";
}

KernelCore::KernelCore(const MachineConfig& config, Trace& trace, RandomStreams& random, const VerifierRules& rules)
    : config_(config), trace_(trace), random_(random), rules_(rules) {
    scheduler_ = std::make_unique<Scheduler>(*this);
    pool_ = std::make_unique<Pool>(*this);
    timers_ = std::make_unique<TimerState>();
}

KernelCore::~KernelCore() {
    timers_.reset();
    // Tearing the machine down touches what every simulated thread left
    // behind; that is the emulation's business, not a race in the driver.
    race::IgnoreBegin();
    pool_.reset();
    scheduler_.reset();
    race::IgnoreEnd();
}

SimThread& KernelCore::Spawn(std::string name, std::function<void()> body) {
    return scheduler_->Create(std::move(name), ThreadKind::Host, std::move(body));
}

VirtualTime KernelCore::Now() const { return scheduler_->Now(); }

// The probe is handed from the thread that sets it to the thread that takes
// the lock, and what it did back to whoever sets or clears the next: the
// race detector learns both hand-overs from the probe itself.
void KernelCore::ProbeSpinLockOnce(const KSPIN_LOCK* lock, std::function<void()> taken) {
    race::Acquire(&lockProbe_);
    probedLock_ = taken ? lock : nullptr;
    lockProbe_ = std::move(taken);
    race::Release(&lockProbe_);
}

void KernelCore::SpinLockTaken(const KSPIN_LOCK* lock) {
    if (lock != probedLock_ || !lockProbe_) return;
    race::Acquire(&lockProbe_);
    // Spent before it runs, so that the locks it takes do not run it again.
    std::function<void()> probe = std::move(lockProbe_);
    lockProbe_ = nullptr;
    probedLock_ = nullptr;
    probe();
    race::Release(&lockProbe_);
}

void KernelCore::RaiseBugCheck(ULONG code, ULONG_PTR p1, ULONG_PTR p2, ULONG_PTR p3, ULONG_PTR p4,
                               std::string what) {
    if (!bugCheck_) {
        BugCheckInfo info;
        info.code = code;
        info.parameters[0] = p1;
        info.parameters[1] = p2;
        info.parameters[2] = p3;
        info.parameters[3] = p4;
        info.what = std::move(what);
        info.thread = scheduler_->CurrentName();
        info.seed = config_.seed;
        info.time = scheduler_->Now();
        if (bugCheckNotes_) info.recentIrps = bugCheckNotes_();
        trace_.Log(info.time, info.thread, "bugcheck", BugCheckName(code));
        bugCheck_ = std::move(info);
    }
    if (scheduler_->Current() != nullptr) scheduler_->HaltFromThread();
    throw BugCheckError(*bugCheck_);
}

void KernelCore::Violation(std::string_view rule, ULONG code, ULONG_PTR p1, ULONG_PTR p2, ULONG_PTR p3, ULONG_PTR p4,
                           std::string what) {
    if (!RuleEnabled(rule)) {
        trace_.Log(scheduler_->Now(), scheduler_->CurrentName(), "verifier",
                   "rule " + std::string(rule) + " disabled: " + what);
        return;
    }
    RaiseBugCheck(code, p1, p2, p3, p4, std::move(what));
}

void KernelCore::Fatal(std::string_view rule, ULONG code, ULONG_PTR p1, ULONG_PTR p2, ULONG_PTR p3, ULONG_PTR p4,
                       std::string what) {
    if (!RuleEnabled(rule)) {
        RaiseBugCheck(0, 0, 0, 0, 0,
                      "rule " + std::string(rule) + " is disabled and the run cannot go on past it: " + what);
    }
    RaiseBugCheck(code, p1, p2, p3, p4, std::move(what));
}

} // namespace qv
