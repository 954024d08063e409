// qvsim: runs the driver's world (the emulated kernel, the driver's reader
// link and the simulated reader) and prints what happens.
#include <cstdio>
#include <random>

#include "app.h"
#include "conformance.h"
#include "console.h"
#include "tour.h"
#include "options.h"

int main(int argc, char** argv) {
    std::string error;
    const std::optional<qvsim::Options> options = qvsim::ParseOptions(argc, argv, error);
    if (!options) {
        std::fprintf(stderr, "qvsim: %s\n%s", error.c_str(), qvsim::Usage().c_str());
        return 2;
    }
    if (options->help) {
        std::printf("%s", qvsim::Usage().c_str());
        return 0;
    }
    const std::uint64_t seed = options->seed ? *options->seed : std::random_device{}() % 1'000'000;
    if (options->command == "demo") return qvsim::RunAppDemo(*options, seed);
    if (options->command == "app") return qvsim::RunApp(*options, seed);
    if (options->command == "link") return qvsim::RunConsole(*options, seed);
    if (options->command == "conformance") return qvsim::RunConformance(*options);
    if (options->command == "tour") return qvsim::RunTour(seed, options->realTime);
    std::fprintf(stderr, "qvsim: unknown command '%s'\n%s", options->command.c_str(), qvsim::Usage().c_str());
    return 2;
}
