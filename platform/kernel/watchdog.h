// The watchdog: ends a run whose simulated thread busy-waits.
//
// A thread that loops without calling the kernel never reaches a switch
// point, so no other thread (and no virtual time) moves and the host would
// hang for ever. While Run() runs, a host timer signals the host thread every
// quarter of the limit; the handler looks at the scheduler's progress counter
// (switch points and switches). When a simulated thread is running and the
// counter has not moved for the whole limit, the handler ends the run with a
// report naming the thread, as a bug check does. The limit is host time, so
// how far the thread got is not deterministic, but whether it is caught is:
// a loop without switch points never ends, and anything that reaches one
// resets the count. (ThreadSanitizer holds signals back until its runtime is
// entered, so a pure busy loop is not caught in that build.)
#pragma once

#include <signal.h>
#include <time.h>

#include <cstdint>

namespace qv {

class Scheduler;

class Watchdog {
  public:
    Watchdog(Scheduler& scheduler, std::uint32_t limitMilliseconds);
    ~Watchdog();
    Watchdog(const Watchdog&) = delete;
    Watchdog& operator=(const Watchdog&) = delete;

    void Arm();
    void Disarm();

  private:
    static void OnSignal(int signal, siginfo_t* info, void* context);
    void Check();

    Scheduler& scheduler_;
    std::uint32_t limitMilliseconds_;
    timer_t timer_{};
    bool created_ = false;
    std::uint64_t lastProgress_ = 0;
    unsigned quietChecks_ = 0;
};

} // namespace qv
