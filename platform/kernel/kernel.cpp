#include "kernel/kernel.h"

#include <algorithm>
#include <cstdlib>
#include <stdexcept>

#include "io/io_manager.h"
#include "kernel/ke_timer_state.h"
#include "kernel/pool.h"
#include "kernel/race_annotations.h"
#include "kernel/scheduler.h"

namespace qv {

namespace {
// The bridge from the WDK's free functions to the machine they run on. It is
// the emulation's only mutable global: a stack of kernels per host thread,
// the newest on top.
thread_local Kernel* currentKernel = nullptr;

std::uint64_t SplitMix(std::uint64_t x) {
    x += 0x9e3779b97f4a7c15ull;
    x = (x ^ (x >> 30)) * 0xbf58476d1ce4e5b9ull;
    x = (x ^ (x >> 27)) * 0x94d049bb133111ebull;
    return x ^ (x >> 31);
}

// The rules that QV_VERIFIER_DISABLE names, comma-separated.
std::vector<std::string> RulesFromEnvironment() {
    std::vector<std::string> rules;
    const char* value = std::getenv("QV_VERIFIER_DISABLE");
    if (value == nullptr) return rules;
    std::string_view text(value);
    while (!text.empty()) {
        const std::size_t comma = text.find(',');
        std::string_view id = text.substr(0, comma);
        if (!id.empty()) rules.emplace_back(id);
        if (comma == std::string_view::npos) break;
        text.remove_prefix(comma + 1);
    }
    return rules;
}

} // namespace

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

Kernel::Kernel(KernelConfig config) : config_(config) {
    if (config_.processors == 0) throw std::invalid_argument("a machine needs at least one processor");
    disabledRules_ = config_.disabledRules;
    for (std::string& rule : RulesFromEnvironment()) disabledRules_.push_back(std::move(rule));
    previous_ = currentKernel;
    currentKernel = this;
    scheduler_ = std::make_unique<Scheduler>(*this);
    pool_ = std::make_unique<Pool>(*this);
    io_ = std::make_unique<IoManager>(*this);
    timers_ = std::make_unique<TimerState>();
}

Kernel::~Kernel() {
    timers_.reset();
    // Tearing the machine down touches what every simulated thread left
    // behind; that is the emulation's business, not a race in the driver.
    race::IgnoreBegin();
    io_.reset();
    pool_.reset();
    scheduler_.reset();
    race::IgnoreEnd();
    currentKernel = previous_;
}

Kernel& Kernel::Current() {
    if (currentKernel == nullptr) throw std::logic_error("no emulated kernel exists on this thread");
    return *currentKernel;
}

bool Kernel::HasCurrent() { return currentKernel != nullptr; }

std::mt19937_64& Kernel::Random(RandomStream stream) {
    const auto number = static_cast<std::size_t>(stream);
    if (number == 0 || number > random_.size()) throw std::logic_error("unknown random stream");
    std::optional<std::mt19937_64>& engine = random_[number - 1];
    if (!engine) engine.emplace(SplitMix(config_.seed ^ (static_cast<std::uint64_t>(stream) << 56)));
    return *engine;
}

SimThread& Kernel::Spawn(std::string name, std::function<void()> body) {
    return scheduler_->Create(std::move(name), ThreadKind::Host, std::move(body));
}

VirtualTime Kernel::Now() const { return scheduler_->Now(); }

// The probe is handed from the thread that sets it to the thread that takes
// the lock, and what it did back to whoever sets or clears the next: the
// race detector learns both hand-overs from the probe itself.
void Kernel::ProbeSpinLockOnce(const KSPIN_LOCK* lock, std::function<void()> taken) {
    race::Acquire(&lockProbe_);
    probedLock_ = taken ? lock : nullptr;
    lockProbe_ = std::move(taken);
    race::Release(&lockProbe_);
}

void Kernel::SpinLockTaken(const KSPIN_LOCK* lock) {
    if (lock != probedLock_ || !lockProbe_) return;
    race::Acquire(&lockProbe_);
    // Spent before it runs, so that the locks it takes do not run it again.
    std::function<void()> probe = std::move(lockProbe_);
    lockProbe_ = nullptr;
    probedLock_ = nullptr;
    probe();
    race::Release(&lockProbe_);
}

RunResult Kernel::Run() {
    // A machine stopped by a bug check stays stopped: its threads were left
    // where they stood and must never run again, so a later run (a tool
    // that goes on to switch the machine off) only repeats the report.
    if (bugCheck_) {
        RunResult stopped;
        stopped.outcome = RunOutcome::BugCheck;
        stopped.bugCheck = bugCheck_;
        stopped.report = bugCheck_->Report();
        stopped.endTime = scheduler_->Now();
        stopped.digest = trace_.Digest();
        return stopped;
    }
    RunResult result = scheduler_->Run();
    if (result.outcome == RunOutcome::Completed) {
        // Overruns that nobody freed yet are still overruns.
        try {
            pool_->CheckAll();
        } catch (const BugCheckError&) {
            result.outcome = RunOutcome::BugCheck;
        }
    }
    if (result.outcome == RunOutcome::BugCheck && bugCheck_) {
        result.bugCheck = bugCheck_;
        result.report = bugCheck_->Report();
    } else if (!result.Ok()) {
        result.report = std::string(OutcomeName(result.outcome)) + " (seed " + std::to_string(config_.seed) +
                        ", virtual time " + std::to_string(result.endTime / kTicksPerMillisecond) + " ms): " +
                        result.report;
    }
    result.digest = trace_.Digest();
    return result;
}

RunResult Kernel::RunThread(std::string name, std::function<void()> body) {
    if (!bugCheck_) Spawn(std::move(name), std::move(body));
    return Run();
}

void Kernel::RaiseBugCheck(ULONG code, ULONG_PTR p1, ULONG_PTR p2, ULONG_PTR p3, ULONG_PTR p4, std::string what) {
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
        if (io_) info.recentIrps = io_->RecentIrps();
        trace_.Log(info.time, info.thread, "bugcheck", BugCheckName(code));
        bugCheck_ = std::move(info);
    }
    if (scheduler_->Current() != nullptr) scheduler_->HaltFromThread();
    throw BugCheckError(*bugCheck_);
}

bool Kernel::RuleEnabled(std::string_view rule) const {
    return std::find(disabledRules_.begin(), disabledRules_.end(), rule) == disabledRules_.end();
}

void Kernel::Violation(std::string_view rule, ULONG code, ULONG_PTR p1, ULONG_PTR p2, ULONG_PTR p3, ULONG_PTR p4,
                       std::string what) {
    if (!RuleEnabled(rule)) {
        trace_.Log(scheduler_->Now(), scheduler_->CurrentName(), "verifier",
                   "rule " + std::string(rule) + " disabled: " + what);
        return;
    }
    RaiseBugCheck(code, p1, p2, p3, p4, std::move(what));
}

void Kernel::Fatal(std::string_view rule, ULONG code, ULONG_PTR p1, ULONG_PTR p2, ULONG_PTR p3, ULONG_PTR p4,
                   std::string what) {
    if (!RuleEnabled(rule)) {
        RaiseBugCheck(0, 0, 0, 0, 0,
                      "rule " + std::string(rule) + " is disabled and the run cannot go on past it: " + what);
    }
    RaiseBugCheck(code, p1, p2, p3, p4, std::move(what));
}

void Kernel::SetIoTimersActive(bool active) {
    ioTimersActive_ = active;
    if (active) ArmSecondTick();
}

void Kernel::ArmSecondTick() {
    if (secondTickArmed_) return;
    secondTickArmed_ = true;
    // The I/O timers tick on whole seconds of virtual time, like the
    // system's own once-a-second timer.
    const VirtualTime next = (Now() / kTicksPerSecond + 1) * kTicksPerSecond;
    scheduler_->At(next, [this] {
        secondTickArmed_ = false;
        if (!ioTimersActive_) return;
        scheduler_->QueueDpc("I/O timers", [this] { io_->FireTimers(); });
        ArmSecondTick();
    });
}

HANDLE Kernel::CreateHandle(SimThread& thread) {
    const std::uintptr_t value = nextHandle_;
    nextHandle_ += 4;
    handles_.emplace_back(value, &thread);
    return reinterpret_cast<HANDLE>(value);
}

SimThread* Kernel::LookupHandle(HANDLE handle) const {
    const auto value = reinterpret_cast<std::uintptr_t>(handle);
    for (const auto& [h, thread] : handles_)
        if (h == value) return thread;
    return nullptr;
}

bool Kernel::CloseHandle(HANDLE handle) {
    const auto value = reinterpret_cast<std::uintptr_t>(handle);
    auto found = std::find_if(handles_.begin(), handles_.end(), [value](const auto& h) { return h.first == value; });
    if (found == handles_.end()) return false;
    handles_.erase(found);
    return true;
}

} // namespace qv
