#include "pcsc/bridge_machine.h"

#include <algorithm>

#include "kernel/scheduler.h"

namespace qv::pcsc {

namespace {
// The control worker looks up at least this often, so that an idle machine
// always has a deadline ahead and is never taken for deadlocked.
constexpr LONGLONG kIdleLookMs = 1000;
} // namespace

struct MachineHost::Worker {
    KEVENT wake{};
    std::deque<Job> queue;       // guarded by the host's mutex
    std::unique_ptr<Job> current; // the job running, guarded likewise
};

MachineHost::MachineHost(MachineConfig config, unsigned workers, std::function<void()> boot,
                         std::function<void()> teardown)
    : boot_(std::move(boot)), teardown_(std::move(teardown)) {
    for (unsigned i = 0; i < std::max(workers, 1u); ++i) workers_.push_back(std::make_unique<Worker>());
    thread_ = std::thread([this, config] { HostThread(config); });
    // Calls may be made as soon as the constructor returns: wait until the
    // machine takes them (or could not start).
    std::unique_lock lock(mutex_);
    started_.wait(lock, [this] { return running_ || stopped_; });
}

MachineHost::~MachineHost() { Stop(); }

void MachineHost::HostThread(MachineConfig config) {
    std::string report;
    try {
        harness::ReaderMachine readers(config);
        readers_ = &readers;
        Machine& machine = readers.Machine();
        for (auto& worker : workers_) KeInitializeEvent(&worker->wake, SynchronizationEvent, FALSE);
        for (unsigned i = 0; i < workers_.size(); ++i) {
            machine.Spawn(i == 0 ? "pcsc control" : "pcsc worker " + std::to_string(i),
                         [this, i] { WorkerLoop(*workers_[i], i); });
        }
        {
            std::lock_guard lock(mutex_);
            machine_ = &machine;
            running_ = true;
        }
        started_.notify_all();
        RunResult result;
        try {
            result = machine.Run();
        } catch (const std::exception& error) {
            result.outcome = RunOutcome::BugCheck;
            result.report = error.what();
        }
        // Nobody may post to the machine once it is going away.
        // Stopped by itself, the machine is left as it is.
        if (!result.Ok()) readers.Abandon();
        std::lock_guard lock(mutex_);
        machine_ = nullptr;
        stopped_ = true;
        if (!result.Ok()) {
            report_ = "the machine stopped (" + std::string(OutcomeName(result.outcome)) + "):\n" + result.report;
        }
    } catch (const std::exception& error) {
        std::lock_guard lock(mutex_);
        machine_ = nullptr;
        stopped_ = true;
        report_ = std::string("the machine could not run: ") + error.what();
    }
    started_.notify_all();
    FailEverything();
}

void MachineHost::FailEverything() {
    std::vector<Job> failed;
    {
        std::lock_guard lock(mutex_);
        for (auto& worker : workers_) {
            if (worker->current) failed.push_back(std::move(*worker->current));
            worker->current.reset();
            for (Job& job : worker->queue) failed.push_back(std::move(job));
            worker->queue.clear();
        }
    }
    for (Job& job : failed)
        if (job.done) job.done(false);
}

void MachineHost::WorkerLoop(Worker& worker, unsigned index) {
    if (index == 0 && boot_) boot_();
    for (;;) {
        LARGE_INTEGER look;
        look.QuadPart = -kIdleLookMs * static_cast<LONGLONG>(kTicksPerMillisecond);
        KeWaitForSingleObject(&worker.wake, Executive, KernelMode, FALSE, index == 0 ? &look : nullptr);
        for (;;) {
            Job* job = nullptr;
            {
                std::lock_guard lock(mutex_);
                if (worker.queue.empty()) break;
                worker.current = std::make_unique<Job>(std::move(worker.queue.front()));
                worker.queue.pop_front();
                job = worker.current.get();
            }
            job->body();
            std::unique_ptr<Job> finished;
            {
                std::lock_guard lock(mutex_);
                finished = std::move(worker.current);
            }
            if (finished && finished->done) finished->done(true);
        }
        bool stopping = false;
        {
            std::lock_guard lock(mutex_);
            stopping = stopping_;
        }
        if (!stopping) continue;
        if (index != 0) return;
        // The control worker tears the world down once the others have had
        // their last jobs, then wakes them to end.
        if (teardown_) teardown_();
        for (unsigned i = 1; i < workers_.size(); ++i) KeSetEvent(&workers_[i]->wake, IO_NO_INCREMENT, FALSE);
        return;
    }
}

void MachineHost::Ring(unsigned worker) { KeSetEvent(&workers_[worker]->wake, IO_NO_INCREMENT, FALSE); }

void MachineHost::Send(unsigned worker, std::function<void()> body, std::function<void(bool)> done) {
    {
        std::lock_guard lock(mutex_);
        if (!stopped_ && !stopping_ && machine_ != nullptr && worker < workers_.size()) {
            workers_[worker]->queue.push_back(Job{std::move(body), std::move(done)});
            machine_->Kernel().Sched().Inbox().Post([this, worker] { Ring(worker); });
            return;
        }
    }
    if (done) done(false);
}

bool MachineHost::Call(unsigned worker, std::function<void()> body) {
    struct Waiter {
        std::mutex mutex;
        std::condition_variable cv;
        bool finished = false;
        bool ran = false;
    };
    auto waiter = std::make_shared<Waiter>();
    Send(worker, std::move(body), [waiter](bool ran) {
        {
            std::lock_guard lock(waiter->mutex);
            waiter->finished = true;
            waiter->ran = ran;
        }
        waiter->cv.notify_all();
    });
    std::unique_lock lock(waiter->mutex);
    waiter->cv.wait(lock, [&] { return waiter->finished; });
    return waiter->ran;
}

void MachineHost::Stop() {
    {
        std::lock_guard lock(mutex_);
        if (!stopping_ && !stopped_ && machine_ != nullptr) {
            stopping_ = true;
            // Every worker finishes what it has queued; the control worker
            // then tears down.
            machine_->Kernel().Sched().Inbox().Post([this] {
                for (unsigned i = 0; i < workers_.size(); ++i) Ring(i);
            });
        }
    }
    if (thread_.joinable()) thread_.join();
}

bool MachineHost::Stopped() const {
    std::lock_guard lock(mutex_);
    return stopped_;
}

std::string MachineHost::StopReport() const {
    std::lock_guard lock(mutex_);
    return report_;
}

} // namespace qv::pcsc
