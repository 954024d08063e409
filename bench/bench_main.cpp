// qvbench's entry point. It names the build the figures come from in the
// report's context, so that nobody mistakes an unoptimised build's numbers
// for the real ones. Debian's Google Benchmark library is itself built
// without NDEBUG and prints its own "Library was built as DEBUG" warning;
// that warning is about the framework, not the code measured here, whose
// optimisation is what the context states.
#include <benchmark/benchmark.h>

#ifndef QV_BUILD_TYPE
#define QV_BUILD_TYPE "unknown"
#endif

namespace {

#ifdef __OPTIMIZE__
constexpr bool kOptimised = true;
#else
constexpr bool kOptimised = false;
#endif

} // namespace

int main(int argc, char** argv) {
    benchmark::AddCustomContext("qvscr_build_type", QV_BUILD_TYPE);
    benchmark::AddCustomContext("qvscr_optimised", kOptimised ? "yes" : "NO - figures are not meaningful");
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
