// qvsim: runs the driver's world (the emulated kernel, the driver's reader
// link and the simulated reader) and prints what happens.
#include <cstdio>
#include <random>

#include "app.h"
#include "conformance.h"
#include "explore_mode.h"
#include "console.h"
#include "options.h"
#include "scenario.h"
#include "scriptor.h"
#include "sweep.h"
#include "tour.h"

int main(int argc, char** argv) {
    qvsim::Options options;
    if (const std::optional<int> exit = qvsim::ParseCommandLine(argc, argv, options)) return *exit;
    const std::uint64_t seed = options.seed ? *options.seed : std::random_device{}() % 1'000'000;
    // One line per mode.
    if (options.command == "demo") return qvsim::RunAppDemo(options, seed);
    if (options.command == "app" && options.scenario) return qvsim::RunScenarioCommand(options, seed);
    if (options.command == "app" && options.scriptor) return qvsim::RunScriptor(options, seed);
    if (options.command == "app") return qvsim::RunApp(options, seed);
    if (options.command == "link") return qvsim::RunConsole(options, seed);
    if (options.command == "tour") return qvsim::RunTour(seed, options.realTime);
    if (options.command == "sweep") return qvsim::RunSweep(options);
    if (options.command == "conformance") return qvsim::RunConformance(options);
    if (options.command == "explore") return qvsim::RunExplore(options);
    std::fprintf(stderr, "qvsim: unknown mode '%s' (qvsim --help lists them)\n", options.command.c_str());
    return 2;
}
