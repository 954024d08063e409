// The cost of the emulation's basic operations on the host CPU, so that later
// work can see when the emulation slows down.
#include <benchmark/benchmark.h>

#include "kernel/kernel.h"

namespace {

// Two threads hand a synchronization event back and forth: each round trip
// is two waits, two signals and two thread switches.
void BM_ThreadSwitch(benchmark::State& state) {
    qv::KernelConfig config;
    config.seed = 1;
    qv::Kernel kernel(config);
    KEVENT ping;
    KEVENT pong;
    KeInitializeEvent(&ping, SynchronizationEvent, FALSE);
    KeInitializeEvent(&pong, SynchronizationEvent, FALSE);
    bool stop = false;
    kernel.Spawn("ponger", [&] {
        for (;;) {
            KeWaitForSingleObject(&ping, Executive, KernelMode, FALSE, nullptr);
            if (stop) return;
            KeSetEvent(&pong, IO_NO_INCREMENT, FALSE);
        }
    });
    kernel.Spawn("pinger", [&] {
        for (auto _ : state) {
            KeSetEvent(&ping, IO_NO_INCREMENT, FALSE);
            KeWaitForSingleObject(&pong, Executive, KernelMode, FALSE, nullptr);
        }
        stop = true;
        KeSetEvent(&ping, IO_NO_INCREMENT, FALSE);
    });
    const qv::RunResult result = kernel.Run();
    if (!result.Ok()) state.SkipWithError(result.report.c_str());
    state.SetItemsProcessed(state.iterations() * 2);
    state.SetLabel("items = thread switches");
}
BENCHMARK(BM_ThreadSwitch);

} // namespace
