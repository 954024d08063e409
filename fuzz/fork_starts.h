// Machine-level inputs run from a machine booted once per boot key rather
// than once per input. For each key a start process (a copy-on-write fork of
// this one) runs the target's first input with that key up to its start
// point and stops there, booted; from then on every input with the key runs
// in a fork of that start process, which goes on from the start point with
// the new input's bytes and ends after the input's run. The machine runs on
// one host thread (its threads are fibers, and the fuzzing configuration
// starts no watchdog), so a fork holds the whole machine, its simulated
// threads and its pending timers, exactly as they were; libFuzzer's thread
// that watches the memory is not copied, and nothing in the fork waits for
// it. Host timers are not copied either: the watchdog of a machine that keeps
// the default configuration (the scenario target's console) is silent in a
// fork, and a busy loop there is caught by libFuzzer's -timeout instead.
//
// An input's run reports back through memory shared with this process: its
// verdict and digest, and the coverage counters the compiler's
// instrumentation keeps in the executable's __sancov_cntrs section, which
// this process adds to its own before the fuzzer reads them. The start
// process clears its counters before it boots, so a run's counters are
// those of a fresh run: the boot's and the input's. A run that dies (a
// sanitizer's report, a crash) has printed its report on the shared
// standard error already; its verdict here says how the process ended.
//
// At most `capacity` start processes are kept, the least recently used
// giving way. A start process and its runs die with the process that
// started them (the fuzzer's time-out, say).
#pragma once

#include <cstddef>
#include <cstdint>
#include <list>
#include <string>
#include <sys/types.h>

#include "fuzz_targets.h"

namespace qv::fuzz {

class ForkStarts {
  public:
    explicit ForkStarts(const MachineTarget& target, std::size_t capacity = kDefaultCapacity);
    ~ForkStarts();
    ForkStarts(const ForkStarts&) = delete;
    ForkStarts& operator=(const ForkStarts&) = delete;

    // The input's run, from the start process of its boot key.
    Verdict Run(Input input);

    // How many inputs found their start process booted already, and how
    // many start processes were booted.
    std::size_t Reused() const { return reused_; }
    std::size_t Booted() const { return booted_; }

    static constexpr std::size_t kDefaultCapacity = 64;

  private:
    struct Start {
        std::string key;
        pid_t pid = -1;
        int channel = -1; // this side of the socket pair
    };
    struct Shared;

    // Boots a start process for the input's key; false when its run ended
    // before the start point, and `verdict` is then that run's.
    bool Boot(Input input, const std::string& key, Verdict& verdict);
    // Sends the input to a booted start process; false when it has died.
    bool Serve(Start& start, Input input, Verdict& verdict);
    void Stop(Start& start);
    Verdict Collected(int status) const;
    [[noreturn]] void RunStartProcess(Input input, int channel);

    const MachineTarget& target_;
    std::size_t capacity_;
    Shared* shared_ = nullptr;
    std::size_t sharedBytes_ = 0;
    std::list<Start> starts_; // the most recently used first
    std::size_t reused_ = 0;
    std::size_t booted_ = 0;
};

} // namespace qv::fuzz
