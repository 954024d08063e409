// Work handed to a running machine from other host threads. The machine is
// one host thread that runs every simulated thread as a fiber; nothing else
// may touch it. A program that serves requests from threads of its own (the
// PC/SC bridge inside pcscd) posts a function here instead: the scheduler
// runs it, in scheduler context, at its next step, and a real-time machine
// that sleeps until its next deadline wakes up for it at once.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <vector>

namespace qv {

class HostInbox {
  public:
    using Clock = std::chrono::steady_clock;

    // Any host thread. fn runs on the machine's host thread in scheduler
    // context: it must not wait; it may signal events and queue DPCs.
    void Post(std::function<void()> fn);

    // The machine's host thread: whether anything waits, and takes it all.
    bool Pending() const { return pending_.load(std::memory_order_acquire); }
    std::vector<std::function<void()>> Take();
    // Sleeps until `until` or until something is posted; true when a post
    // ended the sleep early.
    bool SleepUntil(Clock::time_point until);

  private:
    std::mutex mutex_;
    std::condition_variable posted_;
    std::vector<std::function<void()>> work_;
    std::atomic<bool> pending_{false};
};

} // namespace qv
