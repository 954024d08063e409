// The bridge's host for the machine: calls from other host threads run on
// the machine's simulated workers, and when the machine stops by itself (a
// bug check in what it runs) every call comes back, refused, instead of
// hanging the daemon that made it.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>
#include <vector>

#include "pcsc/bridge_machine.h"

namespace qv::test {
namespace {

MachineConfig RealTime() {
    MachineConfig config;
    config.realTime = true;
    return config;
}

TEST(MachineHost, CallsFromManyThreadsRunOnTheMachine) {
    std::atomic<int> booted{0};
    std::atomic<int> tornDown{0};
    pcsc::MachineHost host(RealTime(), 3, [&] { ++booted; }, [&] { ++tornDown; });
    std::atomic<int> ran{0};
    std::vector<std::thread> callers;
    for (unsigned worker = 0; worker < 3; ++worker) {
        callers.emplace_back([&, worker] {
            for (int i = 0; i < 20; ++i) {
                bool onMachine = false;
                EXPECT_TRUE(host.Call(worker, [&] {
                    // A simulated thread may wait: the job runs in the kernel.
                    LARGE_INTEGER tick;
                    tick.QuadPart = -1;
                    KeDelayExecutionThread(KernelMode, FALSE, &tick);
                    onMachine = Machine::HasCurrent();
                }));
                EXPECT_TRUE(onMachine);
                ++ran;
            }
        });
    }
    for (auto& caller : callers) caller.join();
    EXPECT_EQ(ran, 60);
    host.Stop();
    EXPECT_EQ(booted, 1);
    EXPECT_EQ(tornDown, 1);
    EXPECT_FALSE(host.Call(1, [] {}));
    EXPECT_EQ(host.StopReport(), "");
}

TEST(MachineHost, AMachineThatStopsRefusesEveryCall) {
    pcsc::MachineHost host(RealTime(), 2, {}, {});
    // A call waiting on a worker that will never finish its job ...
    std::thread stuck([&] {
        EXPECT_FALSE(host.Call(1, [] {
            KEVENT never;
            KeInitializeEvent(&never, NotificationEvent, FALSE);
            KeWaitForSingleObject(&never, Executive, KernelMode, FALSE, nullptr);
        }));
    });
    // ... and the bug check that stops the machine.
    EXPECT_FALSE(host.Call(0, [] { KeBugCheckEx(0xE2, 1, 2, 3, 4); }));
    stuck.join();
    EXPECT_TRUE(host.Stopped());
    EXPECT_NE(host.StopReport().find("bug check"), std::string::npos) << host.StopReport();
    EXPECT_FALSE(host.Call(0, [] {}));
}

TEST(MachineHost, ATimeScaleRunsTheClockAheadOfTheWallClockAndBothStayInStep) {
    // Ten seconds of the machine's time at a scale of 0.001 take ten
    // milliseconds of wall time; the bound leaves room for a loaded host
    // and is far below the ten seconds of real time.
    constexpr LONGLONG kDelayMs = 10'000;
    constexpr auto kFarBelowRealTime = std::chrono::seconds(3);
    MachineConfig config = RealTime();
    config.realTimeScale = 0.001;
    pcsc::MachineHost host(config, 1, {}, {});
    LONGLONG before = 0;
    LONGLONG after = 0;
    const auto start = std::chrono::steady_clock::now();
    ASSERT_TRUE(host.Call(0, [&] {
        before = static_cast<LONGLONG>(KeQueryInterruptTime());
        LARGE_INTEGER delay;
        delay.QuadPart = -kDelayMs * static_cast<LONGLONG>(kTicksPerMillisecond);
        KeDelayExecutionThread(KernelMode, FALSE, &delay);
        after = static_cast<LONGLONG>(KeQueryInterruptTime());
    }));
    const auto wall = std::chrono::steady_clock::now() - start;
    EXPECT_GE(after - before, kDelayMs * static_cast<LONGLONG>(kTicksPerMillisecond));
    EXPECT_LT(wall, kFarBelowRealTime);
    host.Stop();
}

} // namespace
} // namespace qv::test
