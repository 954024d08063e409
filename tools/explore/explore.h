// The schedule explorer: small lifecycle stories run under every schedule
// within a bound, each checked to the end.
//
// A story brings a machine (one reader, a card, a handle) to where it starts
// under the kernel's default systematic schedule, then runs its threads (a
// Plug and Play or power event meeting an application's requests) while the
// scheduler explores, and checks what came of it: every request completed
// once with a status the story accepts, data that claims success matching the
// card, no bug check or deadlock, and a clean unload audit after the machine
// is switched off.
//
// Exploration is preemption-bounded over the scheduler's decision points
// (kernel/schedule_script.h): every schedule that departs from the default at
// most N times is run, N = 2 unless asked otherwise. A departure is a switch
// at a synchronisation point to another thread that could run there, or,
// when the running thread waits, another choice than the first thread in
// line. The first kind is what a preemption bound counts; counting the
// second as well keeps the number of schedules polynomial in the length of
// the story (a delay bound), where leaving it free would multiply it by every
// wait. Most concurrency faults need one or two such departures.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "harness/reader_machine.h"
#include "kernel/schedule_script.h"

namespace qv::explore {

// One story's world for one run: built afresh for every schedule.
class Story {
  public:
    virtual ~Story() = default;
    // Under the default schedule, not explored: plug, start, open, power
    // the card. A failure here is the story's own fault, not a finding.
    virtual NTSTATUS Setup(harness::ReaderMachine& machine) = 0;
    // Explored: starts the story's threads (the machine's Run waits for them).
    virtual void Race(harness::ReaderMachine& machine) = 0;
    // After the race, on a simulated thread: what went wrong, one line each.
    virtual std::vector<std::string> Check(harness::ReaderMachine& machine) = 0;
};

struct Scenario {
    std::string name;
    std::string summary;
    std::function<std::unique_ptr<Story>()> make;
};

// Every scenario, in the order `qvsim explore --list` prints them.
const std::vector<Scenario>& Scenarios();
const Scenario* FindScenario(std::string_view name, const std::vector<Scenario>& among = Scenarios());

// What one schedule came to.
struct ScheduleRun {
    std::vector<ScheduleDeparture> departures;
    bool passed = false;
    std::string failure;                  // the first lines of what went wrong
    std::vector<std::uint32_t> alternatives; // what each decision point offered
    std::uint32_t unserved = 0;              // departures the run never reached
};

struct RunOptions {
    // Prints the run's trace (kernel events, departures) as it happens.
    std::function<void(std::string_view line)> trace;
};

// Runs one scenario under one schedule, in this process.
ScheduleRun RunSchedule(const Scenario& scenario, const std::vector<ScheduleDeparture>& departures,
                        const RunOptions& options = {});

struct ExploreOptions {
    unsigned preemptions = 2;
    // Stop after this many schedules (0: no limit).
    std::uint64_t maxSchedules = 0;
    // Worker processes; each schedule runs in a child of its own, so that a
    // crash of the host is a failing schedule too. 0 runs every schedule in
    // this process instead (the race detector's build, which must not fork).
    unsigned jobs = 1;
    // Called for every failing schedule as it is found.
    std::function<void(const ScheduleRun&)> onFailure;
    // Called now and then with the schedules run so far.
    std::function<void(std::uint64_t run, std::uint64_t failing)> onProgress;
};

struct ExploreResult {
    std::uint64_t schedules = 0;
    std::uint64_t failing = 0;
    bool limitReached = false;
};

ExploreResult Explore(const Scenario& scenario, const ExploreOptions& options);

// A failing schedule as one word: "NAME:SCHEDULE" (ScheduleText).
std::string ReplayToken(const Scenario& scenario, const std::vector<ScheduleDeparture>& departures);
struct ParsedToken {
    const Scenario* scenario = nullptr;
    std::vector<ScheduleDeparture> departures;
};
std::optional<ParsedToken> ParseReplayToken(std::string_view token, const std::vector<Scenario>& among = Scenarios());

} // namespace qv::explore
