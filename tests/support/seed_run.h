// The per-seed skeleton of the whole-machine tests: for each seed (and, for
// the races, each scheduling) a fresh machine, the run, the check that the
// run ended well and the machine's clean shutdown with its unload audit.
// Every failure names the seed, and the scheduling where there is one.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <functional>
#include <string>
#include <utility>

#include "harness/reader_machine.h"
#include "harness/seeds.h"
#include "support/machine_helpers.h"
#include "usb/usb_bus.h"

namespace qv::test {

// One seed's machine. The scenario builds its readers and whatever else the
// run uses before it calls Run, so that they outlive the shutdown Run ends
// with.
class SeedRun {
  public:
    SeedRun(std::uint64_t seed, std::string where, const MachineConfig& config, const usb::UsbBusConfig& bus)
        : seed(seed), where(std::move(where)), machine(config, bus) {}

    // Runs body on the machine and expects the run to end without a bug
    // check, deadlock or time-out; then afterRun, for checks that belong
    // between the run and the shutdown; then shuts the machine down and
    // expects that to end cleanly too. Once per seed.
    RunResult Run(const std::function<void()>& body, const std::function<void()>& afterRun = {}) {
        ran_ = true;
        RunResult run = machine.Run(body);
        EXPECT_TRUE(run.Ok()) << where << "\n" << run.report;
        if (afterRun) afterRun();
        ExpectCleanShutdown(machine, where);
        return run;
    }

    bool Ran() const { return ran_; }

    const std::uint64_t seed;
    // "seed 3", or "seed 3, pct" under a scheduling; a scenario that runs
    // several cases per seed may name its case here too.
    std::string where;
    harness::ReaderMachine machine;

  private:
    bool ran_ = false;
};

// Adjusts a seed's configuration beyond the seed and the scheduling: the
// verifier's switches, the bus's timing.
using SeedSetting = std::function<void(std::uint64_t seed, MachineConfig&, usb::UsbBusConfig&)>;

namespace detail {
inline void RunScenario(std::uint64_t seed, const harness::ScheduleVariant* variant, const SeedSetting& setting,
                        const std::function<void(SeedRun&)>& scenario) {
    MachineConfig config;
    config.seed = seed;
    if (variant != nullptr) variant->apply(config);
    usb::UsbBusConfig bus;
    if (setting) setting(seed, config, bus);
    std::string where = "seed " + std::to_string(seed);
    if (variant != nullptr) where += ", " + variant->name;
    SeedRun run(seed, std::move(where), config, bus);
    scenario(run);
    EXPECT_TRUE(run.Ran()) << run.where << ": the scenario never ran its machine";
}
} // namespace detail

// Runs scenario once for each seed of QV_SEEDS (or 1 to defaultCount).
inline void OnEachSeed(std::uint64_t defaultCount, const std::function<void(SeedRun&)>& scenario,
                       const SeedSetting& setting = {}) {
    for (std::uint64_t seed : harness::RunSeeds(defaultCount)) detail::RunScenario(seed, nullptr, setting, scenario);
}

// Runs scenario once for each seed under each scheduling the machine offers.
inline void OnEachSeedAndScheduling(std::uint64_t defaultCount, const std::function<void(SeedRun&)>& scenario,
                                    const SeedSetting& setting = {}) {
    for (std::uint64_t seed : harness::RunSeeds(defaultCount)) {
        for (const harness::ScheduleVariant& variant : harness::ScheduleVariants()) {
            detail::RunScenario(seed, &variant, setting, scenario);
        }
    }
}

} // namespace qv::test
