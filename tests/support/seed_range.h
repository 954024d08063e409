// The seeds a scheduling test runs under: QV_SEEDS from the environment
// ("7", or a range such as "1-500"), else the test's small default range.
// Tests name the seed in a failure (SCOPED_TRACE), so any run can be
// replayed with QV_SEEDS set to that one seed.
#pragma once

#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

namespace qv::test {

inline std::vector<std::uint64_t> SeedRange(std::uint64_t first, std::uint64_t last) {
    if (const char* text = std::getenv("QV_SEEDS"); text != nullptr && *text != '\0') {
        const std::string value(text);
        const std::size_t dash = value.find('-');
        first = std::stoull(value.substr(0, dash));
        last = dash == std::string::npos ? first : std::stoull(value.substr(dash + 1));
    }
    std::vector<std::uint64_t> seeds;
    for (std::uint64_t seed = first; seed <= last; ++seed) seeds.push_back(seed);
    return seeds;
}

} // namespace qv::test
