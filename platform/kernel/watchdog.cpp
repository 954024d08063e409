#include "kernel/watchdog.h"

#include <sys/syscall.h>
#include <unistd.h>

#include <cstring>
#include <stdexcept>
#include <string>

#include "kernel/scheduler.h"

namespace qv {

namespace {
constexpr unsigned kChecksPerLimit = 4;
constexpr long kNanosecondsPerMillisecond = 1'000'000;
constexpr long kNanosecondsPerSecond = 1'000'000'000;
int WatchdogSignal() { return SIGRTMIN + 3; }
} // namespace

Watchdog::Watchdog(Scheduler& scheduler, std::uint32_t limitMilliseconds)
    : scheduler_(scheduler), limitMilliseconds_(limitMilliseconds) {
    struct sigaction action {};
    action.sa_sigaction = &Watchdog::OnSignal;
    // SA_NODEFER: the handler leaves by switching stacks, never returning,
    // so the signal must not stay blocked after it.
    action.sa_flags = SA_SIGINFO | SA_RESTART | SA_NODEFER;
    sigemptyset(&action.sa_mask);
    sigaction(WatchdogSignal(), &action, nullptr);

    // The signal goes to this host thread, carrying this watchdog.
    struct sigevent event {};
    event.sigev_notify = SIGEV_THREAD_ID;
    event.sigev_signo = WatchdogSignal();
    event.sigev_value.sival_ptr = this;
    event._sigev_un._tid = static_cast<pid_t>(syscall(SYS_gettid));
    if (timer_create(CLOCK_MONOTONIC, &event, &timer_) != 0)
        throw std::runtime_error(std::string("watchdog timer: ") + std::strerror(errno));
    created_ = true;
}

Watchdog::~Watchdog() {
    if (created_) timer_delete(timer_);
}

void Watchdog::Arm() {
    lastProgress_ = scheduler_.Progress();
    quietChecks_ = 0;
    const long period = static_cast<long>(limitMilliseconds_) * kNanosecondsPerMillisecond / kChecksPerLimit;
    itimerspec checks{};
    checks.it_interval.tv_sec = period / kNanosecondsPerSecond;
    checks.it_interval.tv_nsec = period % kNanosecondsPerSecond;
    checks.it_value = checks.it_interval;
    timer_settime(timer_, 0, &checks, nullptr);
}

void Watchdog::Disarm() {
    // All zero: the timer stops.
    itimerspec stopped{};
    timer_settime(timer_, 0, &stopped, nullptr);
}

void Watchdog::OnSignal(int, siginfo_t* info, void*) {
    static_cast<Watchdog*>(info->si_value.sival_ptr)->Check();
}

void Watchdog::Check() {
    const std::uint64_t progress = scheduler_.Progress();
    SimThread* running = scheduler_.Current();
    if (running == nullptr || progress != lastProgress_) {
        lastProgress_ = progress;
        quietChecks_ = 0;
        return;
    }
    if (++quietChecks_ < kChecksPerLimit) return;
    Disarm();
    // The thread is stuck in its own code, not in the kernel's, so leaving
    // it from here is safe enough to report it.
    scheduler_.WatchdogExpired("thread '" + running->Name() + "' ran " + std::to_string(limitMilliseconds_) +
                               " ms of host time without reaching a switch point (a busy-wait?)\n");
}

} // namespace qv
