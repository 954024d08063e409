// The seeds a seeded test runs on: from QV_SEEDS ("1-500", "3,7,9", "42"),
// or 1..defaultCount when it is not set.
#pragma once

#include <cstdint>
#include <cstdlib>
#include <sstream>
#include <string>
#include <vector>

namespace qv::test {

inline std::vector<std::uint64_t> TestSeeds(std::size_t defaultCount) {
    std::vector<std::uint64_t> seeds;
    const char* text = std::getenv("QV_SEEDS");
    if (text != nullptr && *text != '\0') {
        std::stringstream list(text);
        std::string item;
        while (std::getline(list, item, ',')) {
            const std::size_t dash = item.find('-');
            if (dash == std::string::npos) {
                seeds.push_back(std::stoull(item));
                continue;
            }
            const std::uint64_t first = std::stoull(item.substr(0, dash));
            const std::uint64_t last = std::stoull(item.substr(dash + 1));
            for (std::uint64_t seed = first; seed <= last; ++seed) seeds.push_back(seed);
        }
        if (!seeds.empty()) return seeds;
    }
    for (std::uint64_t seed = 1; seed <= defaultCount; ++seed) seeds.push_back(seed);
    return seeds;
}

} // namespace qv::test
