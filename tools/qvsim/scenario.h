// Ready scenarios: application console scripts (scenarios/*.qvs) with the
// outcomes they must show. A scenario file holds console commands, and
//
//   # about: one line that 'qvsim app --scenario list' prints
//   setup card NAME | setup no-card | setup model QV-39N   (before the first command)
//   expect TEXT    a line printed since the last expect contains TEXT
//   expect-no TEXT no line printed since the last expect contains TEXT
//
// A run passes when every expectation holds and the machine ends clean (no
// bug check, deadlock or leak). With faults on, reader and card faults the
// driver must ride out are armed before requests, drawn from the seed.
#pragma once

#include <cstdint>
#include <optional>
#include <ostream>
#include <string>
#include <vector>

#include "options.h"

namespace qvsim {

struct Scenario {
    std::string name;
    std::string about;
    std::string text;
};

// The scenarios compiled into qvsim, by name.
std::vector<Scenario> Scenarios();
// A scenario by name, or from a file when the name is a path (contains a
// '/' or ends in .qvs); nothing (and why in error) otherwise.
std::optional<Scenario> FindScenario(const std::string& name, std::string& error);

struct ScenarioRun {
    std::uint64_t seed = 1;
    bool faults = false;
    // The faults drawn from; the ones the driver rides out when empty.
    std::vector<std::string> faultSet;
    bool trace = false;
    bool time = false;
    std::optional<std::string> pcap;
};

struct ScenarioOutcome {
    bool passed = false;
    std::string cause; // one line, when it failed
    unsigned checks = 0;
    std::uint64_t virtualMs = 0;
    unsigned faultsArmed = 0;
    // The digest of the machine's event trace as the run's last line gives it
    // (16 hex digits); empty when the run never reached its end.
    std::string digest;
};

// Runs the scenario on a fresh machine; what the console prints goes to out.
ScenarioOutcome RunScenario(const Scenario& scenario, const ScenarioRun& run, std::ostream& out);

// "a,b,c" as a list of fault names.
std::vector<std::string> SplitFaultSet(const std::string& text);

// qvsim app --scenario NAME|list: exit code 0 when it passed.
int RunScenarioCommand(const Options& options, std::uint64_t seed);

} // namespace qvsim
