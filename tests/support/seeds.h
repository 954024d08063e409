// The seeds a scheduling test runs under: QV_SEEDS from the environment
// ("1-500", "1,5,9" or a mix such as "1-4,17"), else 1..defaultCount. Odd
// seeds schedule uniformly and even ones by PCT (unless QV_SCHED forces a
// mode), so any run of two or more seeds covers both modes.
#pragma once

#include <cstdint>
#include <cstdlib>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace qv::test {

inline std::vector<std::uint64_t> ParseSeeds(std::string_view text) {
    std::vector<std::uint64_t> seeds;
    while (!text.empty()) {
        const std::size_t comma = text.find(',');
        const std::string item(text.substr(0, comma));
        text = comma == std::string_view::npos ? std::string_view{} : text.substr(comma + 1);
        if (item.empty()) continue;
        const std::size_t dash = item.find('-');
        std::size_t used = 0;
        const std::uint64_t first = std::stoull(item.substr(0, dash), &used);
        std::uint64_t last = first;
        if (dash != std::string::npos) last = std::stoull(item.substr(dash + 1));
        if (last < first) throw std::invalid_argument("QV_SEEDS range runs backwards: " + item);
        for (std::uint64_t seed = first; seed <= last; ++seed) seeds.push_back(seed);
    }
    return seeds;
}

inline std::vector<std::uint64_t> TestSeeds(std::size_t defaultCount) {
    if (const char* text = std::getenv("QV_SEEDS"); text != nullptr && *text != '\0') return ParseSeeds(text);
    std::vector<std::uint64_t> seeds;
    for (std::uint64_t seed = 1; seed <= defaultCount; ++seed) seeds.push_back(seed);
    return seeds;
}

} // namespace qv::test
