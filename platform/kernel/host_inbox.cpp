#include "kernel/host_inbox.h"

namespace qv {

void HostInbox::Post(std::function<void()> fn) {
    {
        std::lock_guard lock(mutex_);
        work_.push_back(std::move(fn));
        pending_.store(true, std::memory_order_release);
    }
    posted_.notify_one();
}

std::vector<std::function<void()>> HostInbox::Take() {
    std::lock_guard lock(mutex_);
    std::vector<std::function<void()>> taken;
    taken.swap(work_);
    pending_.store(false, std::memory_order_release);
    return taken;
}

bool HostInbox::SleepUntil(Clock::time_point until) {
    std::unique_lock lock(mutex_);
    return posted_.wait_until(lock, until, [this] { return !work_.empty(); });
}

} // namespace qv
