// One short APDU (READ BINARY of four bytes under T=1) on `qvsim app`'s
// path: the console's apdu command, the machine in virtual time. Beside the
// PC/SC round trip in pcsc_bench.cpp; virtual_us is the virtual time one
// APDU takes (its USB frames and the card's own time), which the bridge's
// real-time machine spends in wall time.
#include <benchmark/benchmark.h>

#include <cstdio>
#include <sstream>
#include <string>

#include "qvsim/console/app_console.h"

namespace {

// "[0001.234] ..." at the start of a --time line: the virtual time in ms.
double StampMs(const std::string& line) {
    unsigned seconds = 0;
    unsigned ms = 0;
    if (std::sscanf(line.c_str(), "[%u.%u]", &seconds, &ms) != 2) return 0;
    return seconds * 1000.0 + ms;
}

void BM_AppConsoleTransmit(benchmark::State& state) {
    std::ostringstream out;
    qv::harness::AppConsoleOptions options;
    options.card = "t1";
    options.time = true;
    qv::harness::AppConsole console(options, out);
    if (!console.Start()) {
        state.SkipWithError("the console did not start");
        return;
    }
    for (const char* line : {"power cold", "protocol t1", "apdu 00A4040C07F05156534352 01", "apdu 00A4000C020101"})
        console.Execute(line);
    out.str({});
    std::int64_t apdus = 0;
    std::string first;
    std::string last;
    for (auto _ : state) {
        console.Execute("apdu 00B0000004");
        ++apdus;
        if (first.empty()) first = out.str();
    }
    last = out.str();
    const std::size_t lastLine = last.rfind('[');
    if (apdus > 1 && lastLine != std::string::npos) {
        const double span = StampMs(last.substr(lastLine)) - StampMs(first);
        state.counters["virtual_us"] = span * 1000.0 / static_cast<double>(apdus - 1);
    }
    if (last.find("SW 9000") == std::string::npos) state.SkipWithError("the APDU failed");
    console.Finish();
}
// A fixed count: every console command runs on a simulated thread of its
// own, and the scheduler keeps the ended ones, so a session of thousands of
// commands grows slower; a few hundred are what a session sends.
BENCHMARK(BM_AppConsoleTransmit)->UseRealTime()->Unit(benchmark::kMicrosecond)->Iterations(300);

} // namespace
