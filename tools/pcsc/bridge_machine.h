// The host side of a machine that runs in real time on a host thread of its
// own while other host threads hand it work. Work runs on simulated
// "worker" threads: each has a queue, and a call from any host thread puts a
// job in and waits for it. The machine runs until Stop, or until it stops by
// itself (a bug check, a deadlock); then every waiting call comes back with
// false and no more jobs run.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "harness/reader_machine.h"
#include "machine/machine.h"

namespace qv::pcsc {

class MachineHost {
  public:
    struct Worker;

    // Starts the host thread. boot runs first on the control worker (the
    // first worker, number 0), before any job; teardown runs on it last,
    // when Stop is called. The machine exists only on the host thread: what
    // needs it is made inside boot, or reaches it through Readers.
    MachineHost(MachineConfig config, unsigned workers, std::function<void()> boot, std::function<void()> teardown);
    ~MachineHost();
    MachineHost(const MachineHost&) = delete;
    MachineHost& operator=(const MachineHost&) = delete;

    // Runs body on worker `worker` (on its simulated thread) and waits for
    // it. False when the machine has stopped before body finished.
    bool Call(unsigned worker, std::function<void()> body);
    // Queues body without waiting; calls done(true) after it ran, or
    // done(false) when the machine stopped first. done runs with no lock
    // held, on the machine's thread or the caller's.
    void Send(unsigned worker, std::function<void()> body, std::function<void(bool)> done);

    // Runs teardown, lets every worker end, and joins the host thread.
    void Stop();
    bool Stopped() const;
    // The machine with its readers. Only on its workers, while it runs.
    harness::ReaderMachine& Readers() { return *readers_; }
    std::string StopReport() const;

  private:
    struct Job {
        std::function<void()> body;
        std::function<void(bool)> done;
    };

    void HostThread(MachineConfig config);
    void WorkerLoop(Worker& worker, unsigned index);
    // Scheduler context: wakes the worker.
    void Ring(unsigned worker);
    void FailEverything();

    std::function<void()> boot_;
    std::function<void()> teardown_;
    std::vector<std::unique_ptr<Worker>> workers_;
    mutable std::mutex mutex_;
    std::condition_variable started_;
    bool running_ = false;
    bool stopping_ = false;
    bool stopped_ = false;
    std::string report_;
    Machine* machine_ = nullptr; // set by the host thread while it runs
    harness::ReaderMachine* readers_ = nullptr;
    std::thread thread_;
};

} // namespace qv::pcsc
