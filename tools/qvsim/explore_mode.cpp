#include "explore_mode.h"

#include <unistd.h>

#include <cstdio>
#include <string>
#include <thread>

#include "explore/explore.h"

namespace qvsim {

namespace {

using qv::explore::Scenario;

unsigned Jobs(unsigned asked) {
    if (asked != 0) return asked;
    const unsigned cores = std::thread::hardware_concurrency();
    return cores == 0 ? 1 : cores;
}

int List() {
    for (const Scenario& scenario : qv::explore::Scenarios())
        std::printf("%-26s %s\n", scenario.name.c_str(), scenario.summary.c_str());
    return 0;
}

int Replay(const std::string& token) {
    const std::optional<qv::explore::ParsedToken> parsed = qv::explore::ParseReplayToken(token);
    if (!parsed) {
        std::fprintf(stderr, "qvsim explore: '%s' is no replay token (NAME:P.C-P.C, as a failure prints it)\n",
                     token.c_str());
        return 2;
    }
    qv::explore::RunOptions options;
    options.trace = [](std::string_view line) { std::printf("%.*s\n", static_cast<int>(line.size()), line.data()); };
    const qv::explore::ScheduleRun run = qv::explore::RunSchedule(*parsed->scenario, parsed->departures, options);
    std::printf("qvsim explore: %s: %s\n", token.c_str(), run.passed ? "passes" : "fails");
    if (!run.passed) std::printf("%s\n", run.failure.c_str());
    return run.passed ? 0 : 1;
}

// Explores one scenario; returns the number of failing schedules.
std::uint64_t ExploreOne(const Scenario& scenario, const Options& options) {
    const bool terminal = isatty(fileno(stderr)) != 0;
    qv::explore::ExploreOptions explore;
    explore.preemptions = options.preemptions;
    explore.maxSchedules = options.maxSchedules;
    explore.jobs = Jobs(options.jobs);
    std::uint64_t shown = 0;
    explore.onFailure = [&](const qv::explore::ScheduleRun& run) {
        // The first few in full; the count says the rest.
        if (++shown > 5 && !options.verbose) return;
        std::printf("failing schedule: %s\n  replay: qvsim explore --replay %s\n", run.failure.c_str(),
                    qv::explore::ReplayToken(scenario, run.departures).c_str());
        std::fflush(stdout);
    };
    explore.onProgress = [&](std::uint64_t runs, std::uint64_t failing) {
        if (!terminal) return;
        std::fprintf(stderr, "\r%s: %llu schedules, %llu failing", scenario.name.c_str(),
                     static_cast<unsigned long long>(runs), static_cast<unsigned long long>(failing));
    };
    const qv::explore::ExploreResult result = qv::explore::Explore(scenario, explore);
    if (terminal) std::fprintf(stderr, "\r\033[K");
    std::printf("qvsim explore: %s: %llu schedules, %llu failing%s\n", scenario.name.c_str(),
                static_cast<unsigned long long>(result.schedules), static_cast<unsigned long long>(result.failing),
                result.limitReached ? " (stopped at --max-schedules)" : "");
    std::fflush(stdout);
    return result.failing;
}

} // namespace

int RunExplore(const Options& options) {
    if (options.list) return List();
    if (options.replay) return Replay(*options.replay);
    const std::string& name = *options.scenario;
    std::uint64_t failing = 0;
    if (name == "all") {
        for (const Scenario& scenario : qv::explore::Scenarios()) failing += ExploreOne(scenario, options);
        return failing == 0 ? 0 : 1;
    }
    const Scenario* scenario = qv::explore::FindScenario(name);
    if (scenario == nullptr) {
        std::fprintf(stderr, "qvsim explore: no story is called '%s' (qvsim explore --list names them)\n", name.c_str());
        return 2;
    }
    return ExploreOne(*scenario, options) == 0 ? 0 : 1;
}

} // namespace qvsim
