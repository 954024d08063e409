// Work posted to a running machine from another host thread: it runs in
// scheduler context at the machine's next step, and a real-time machine
// asleep until a far deadline wakes for it at once instead of sleeping on.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "machine/machine.h"
#include "kernel/scheduler.h"

namespace qv::test {
namespace {

constexpr LONGLONG kFarDeadlineSeconds = 600;

TEST(HostInbox, APostWakesARealTimeMachineAsleepUntilAFarDeadline) {
    MachineConfig config;
    config.realTime = true;
    Machine machine(config);
    KEVENT posted;
    KeInitializeEvent(&posted, NotificationEvent, FALSE);
    std::atomic<bool> waiting{false};
    NTSTATUS status = STATUS_PENDING;
    machine.Spawn("waiter", [&] {
        LARGE_INTEGER timeout;
        timeout.QuadPart = -kFarDeadlineSeconds * static_cast<LONGLONG>(kTicksPerSecond);
        waiting = true;
        // Ten minutes: only the post can end this wait in a test's time.
        status = KeWaitForSingleObject(&posted, Executive, KernelMode, FALSE, &timeout);
    });
    std::thread poster([&] {
        while (!waiting) std::this_thread::yield();
        machine.Kernel().Sched().Inbox().Post([&] { KeSetEvent(&posted, IO_NO_INCREMENT, FALSE); });
    });
    const RunResult result = machine.Run();
    poster.join();
    ASSERT_TRUE(result.Ok()) << result.report;
    EXPECT_EQ(status, STATUS_SUCCESS);
    EXPECT_LT(result.endTime, static_cast<VirtualTime>(kFarDeadlineSeconds) * kTicksPerSecond);
}

TEST(HostInbox, PostsRunInOrderAndOnlyOnce) {
    Machine machine;
    std::vector<int> ran;
    for (int i = 0; i < 3; ++i) machine.Kernel().Sched().Inbox().Post([&ran, i] { ran.push_back(i); });
    const RunResult result = machine.RunThread("idle", [] { SwitchPoint(); });
    ASSERT_TRUE(result.Ok()) << result.report;
    EXPECT_EQ(ran, (std::vector<int>{0, 1, 2}));
    EXPECT_FALSE(machine.Kernel().Sched().Inbox().Pending());
}

} // namespace
} // namespace qv::test
