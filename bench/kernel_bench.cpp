// The cost of the emulation's basic operations on the host CPU, so that later
// work can see when the emulation slows down.
#include <benchmark/benchmark.h>

#include <memory>
#include <vector>

#include "kernel/fiber.h"
#include "machine/machine.h"

namespace {

// Two threads hand a synchronization event back and forth: each round trip
// is two waits, two signals and two thread switches.
void BM_ThreadSwitch(benchmark::State& state) {
    qv::MachineConfig config;
    config.seed = 1;
    qv::Machine machine(config);
    KEVENT ping;
    KEVENT pong;
    KeInitializeEvent(&ping, SynchronizationEvent, FALSE);
    KeInitializeEvent(&pong, SynchronizationEvent, FALSE);
    bool stop = false;
    machine.Spawn("ponger", [&] {
        for (;;) {
            KeWaitForSingleObject(&ping, Executive, KernelMode, FALSE, nullptr);
            if (stop) return;
            KeSetEvent(&pong, IO_NO_INCREMENT, FALSE);
        }
    });
    machine.Spawn("pinger", [&] {
        for (auto _ : state) {
            KeSetEvent(&ping, IO_NO_INCREMENT, FALSE);
            KeWaitForSingleObject(&pong, Executive, KernelMode, FALSE, nullptr);
        }
        stop = true;
        KeSetEvent(&ping, IO_NO_INCREMENT, FALSE);
    });
    const qv::RunResult result = machine.Run();
    if (!result.Ok()) state.SkipWithError(result.report.c_str());
    state.SetItemsProcessed(state.iterations() * 2);
    state.SetLabel("items = thread switches");
}
BENCHMARK(BM_ThreadSwitch);

// The bare stack switch under the scheduler: the host and one fiber hand
// control back and forth, two switches per iteration.
struct PingPong {
    qv::Fiber host;
    std::unique_ptr<qv::Fiber> other;
    bool stop = false;
};

void PingPongEntry(void* argument) {
    auto& pp = *static_cast<PingPong*>(argument);
    pp.other->Started(pp.host);
    for (;;) qv::Fiber::Switch(*pp.other, pp.host);
}

void BM_FiberSwitch(benchmark::State& state) {
    constexpr std::size_t kStack = 64 * 1024;
    std::vector<unsigned char> stack(kStack);
    PingPong pp;
    pp.other = std::make_unique<qv::Fiber>(stack.data(), stack.size(), &PingPongEntry, &pp);
    for (auto _ : state) qv::Fiber::Switch(pp.host, *pp.other);
    state.SetItemsProcessed(state.iterations() * 2);
    state.SetLabel("items = stack switches");
}
BENCHMARK(BM_FiberSwitch);

} // namespace
