#include "machine/machine.h"

#include <stdexcept>

#include "kernel/pool.h"
#include "kernel/scheduler.h"

namespace qv {

namespace detail {
constinit thread_local CurrentMachine current;
} // namespace detail

namespace {
MachineConfig Checked(MachineConfig config) {
    if (config.processors == 0) throw std::invalid_argument("a machine needs at least one processor");
    return config;
}
} // namespace

Machine* Machine::Enter(Machine* machine) {
    Machine* previous = detail::current.machine;
    detail::current.machine = machine;
    detail::current.kernel = machine != nullptr && machine->kernel_ ? machine->kernel_.get() : nullptr;
    return previous;
}

Machine::Machine(MachineConfig config, usb::UsbBusConfig bus)
    : config_(Checked(std::move(config))), random_(config_.seed), rules_(config_.disabledRules), previous_(Enter(this)),
      kernel_(std::make_unique<KernelCore>(config_, trace_, random_, rules_)),
      io_(std::make_unique<IoManager>(*kernel_, [this](bool active) { SetIoTimersActive(active); })),
      usb_(*kernel_, bus) {
    detail::current.kernel = kernel_.get();
}

Machine::~Machine() {
    // The I/O manager goes before the kernel core it is built on; the
    // managers above keep host memory only and go after both.
    io_.reset();
    // The core answers K() no more while it is torn down, as while it was
    // built.
    detail::current.kernel = nullptr;
    kernel_.reset();
    Enter(previous_);
}

Machine& Machine::Current() {
    if (detail::current.machine == nullptr) throw std::logic_error("no emulated machine exists on this thread");
    return *detail::current.machine;
}

bool Machine::HasCurrent() { return detail::current.machine != nullptr; }

RunResult Machine::Run() {
    // A machine stopped by a bug check stays stopped: its threads were left
    // where they stood and must never run again, so a later run (a tool
    // that goes on to switch the machine off) only repeats the report.
    if (const std::optional<BugCheckInfo>& bugCheck = kernel_->LastBugCheck()) {
        RunResult stopped;
        stopped.outcome = RunOutcome::BugCheck;
        stopped.bugCheck = bugCheck;
        stopped.report = bugCheck->Report();
        stopped.endTime = kernel_->Now();
        stopped.digest = trace_.Digest();
        return stopped;
    }
    RunResult result = kernel_->Sched().Run();
    if (result.outcome == RunOutcome::Completed) {
        // Overruns that nobody freed yet are still overruns.
        try {
            kernel_->PoolAllocator().CheckAll();
        } catch (const BugCheckError&) {
            result.outcome = RunOutcome::BugCheck;
        }
    }
    if (result.outcome == RunOutcome::BugCheck && kernel_->BugChecked()) {
        result.bugCheck = kernel_->LastBugCheck();
        result.report = result.bugCheck->Report();
    } else if (!result.Ok()) {
        result.report = std::string(OutcomeName(result.outcome)) + " (seed " + std::to_string(config_.seed) +
                        ", virtual time " + std::to_string(result.endTime / kTicksPerMillisecond) + " ms): " +
                        result.report;
    }
    result.digest = trace_.Digest();
    return result;
}

RunResult Machine::RunThread(std::string name, std::function<void()> body) {
    if (!kernel_->BugChecked()) Spawn(std::move(name), std::move(body));
    return Run();
}

void Machine::SetIoTimersActive(bool active) {
    ioTimersActive_ = active;
    if (active) ArmSecondTick();
}

void Machine::ArmSecondTick() {
    if (secondTickArmed_) return;
    secondTickArmed_ = true;
    // The I/O timers tick on whole seconds of virtual time, like the
    // system's own once-a-second timer.
    const VirtualTime next = (Now() / kTicksPerSecond + 1) * kTicksPerSecond;
    Scheduler& scheduler = kernel_->Sched();
    scheduler.At(next, [this, &scheduler] {
        secondTickArmed_ = false;
        if (!ioTimersActive_) return;
        scheduler.QueueDpc("I/O timers", [this] { io_->FireTimers(); });
        ArmSecondTick();
    });
}

// ---------------------------------------------------------------------------
// Each layer's way to the current machine's part of it.

KernelCore& detail::KernelOfCurrentMachine() { return Machine::Current().Kernel(); }

bool HasKernel() { return Machine::HasCurrent(); }

IoManager& Io() { return Machine::Current().Io(); }

namespace pnp {
PnpManager& Manager() { return Machine::Current().Pnp(); }
PnpPlatform& Platform() { return Machine::Current().PnpRecords(); }
} // namespace pnp

namespace power {
PowerManager& Manager() { return Machine::Current().Power(); }
} // namespace power

namespace smclib {
SmartcardEventLog& EventLog() { return Machine::Current().SmartcardLibrary(); }
} // namespace smclib

} // namespace qv
