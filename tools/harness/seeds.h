// The seeds a seeded scenario runs under, for the tests and the tools that
// run scenarios (the conformance suite). QV_SEEDS chooses them: a range
// "1-500", a list "1,5,9", or both mixed ("1-8,13"); without it the first
// few seeds are used, so the default run stays quick while a sweep can run
// hundreds. A malformed QV_SEEDS is reported and the default used. Odd seeds
// schedule uniformly and even ones by PCT (unless QV_SCHED forces a mode), so
// any run of two or more seeds covers both modes. ScheduleVariants adds the
// other schedulings the machine offers, for the races that run under each.
#pragma once

#include <charconv>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "machine/machine.h"

namespace qv::harness {

inline constexpr std::uint64_t kDefaultSeedCount = 8;

// Parses a QV_SEEDS text; nothing when it is malformed or empty.
inline std::optional<std::vector<std::uint64_t>> ParseSeeds(std::string_view text) {
    std::vector<std::uint64_t> seeds;
    auto number = [](std::string_view digits) -> std::optional<std::uint64_t> {
        std::uint64_t value = 0;
        const auto [end, error] = std::from_chars(digits.data(), digits.data() + digits.size(), value);
        if (digits.empty() || error != std::errc() || end != digits.data() + digits.size()) return std::nullopt;
        return value;
    };
    while (!text.empty()) {
        const auto comma = text.find(',');
        const std::string_view item = text.substr(0, comma);
        text = comma == std::string_view::npos ? std::string_view{} : text.substr(comma + 1);
        const auto dash = item.find('-');
        const auto first = number(item.substr(0, dash));
        const auto last = dash == std::string_view::npos ? first : number(item.substr(dash + 1));
        if (!first || !last || *last < *first) return std::nullopt;
        for (std::uint64_t seed = *first; seed <= *last; ++seed) seeds.push_back(seed);
    }
    if (seeds.empty()) return std::nullopt;
    return seeds;
}

// The seeds from QV_SEEDS, or 1 to defaultCount: a cheap test may ask for
// more seeds by default than the usual few.
inline std::vector<std::uint64_t> RunSeeds(std::uint64_t defaultCount = kDefaultSeedCount) {
    if (const char* text = std::getenv("QV_SEEDS"); text != nullptr && *text != '\0') {
        if (auto seeds = ParseSeeds(text)) return *seeds;
        std::fprintf(stderr, "QV_SEEDS=\"%s\" is neither a range like 1-500 nor a list like 1,5,9; using 1-%llu\n",
                     text, static_cast<unsigned long long>(defaultCount));
    }
    std::vector<std::uint64_t> seeds;
    for (std::uint64_t seed = 1; seed <= defaultCount; ++seed) seeds.push_back(seed);
    return seeds;
}

// Every scheduling the kernel's configuration offers, so that the races run
// under each: uniform random switching with two processors, rarely and
// often, one processor switching at almost every kernel call, and PCT's
// random priorities with a few change points.
struct ScheduleVariant {
    std::string name;
    std::function<void(MachineConfig&)> apply;
};

inline std::vector<ScheduleVariant> ScheduleVariants() {
    return {
        {"uniform", [](MachineConfig& c) { c.scheduling = qv::SchedulingMode::Uniform; }},
        {"uniform-rare-switch",
         [](MachineConfig& c) {
             c.scheduling = qv::SchedulingMode::Uniform;
             c.switchPercent = 10;
         }},
        {"uniform-one-cpu",
         [](MachineConfig& c) {
             c.scheduling = qv::SchedulingMode::Uniform;
             c.processors = 1;
             c.switchPercent = 90;
         }},
        {"pct", [](MachineConfig& c) { c.scheduling = qv::SchedulingMode::Pct; }},
    };
}

} // namespace qv::harness
