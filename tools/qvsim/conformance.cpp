#include "conformance.h"

#include <chrono>
#include <iostream>

#include "conformance/conformance.h"

namespace qvsim {

int RunConformance(const Options& options) {
    std::vector<std::uint64_t> seeds = qv::conformance::SuiteSeeds();
    if (options.seed) seeds = {*options.seed};
    const auto start = std::chrono::steady_clock::now();
    const auto results = qv::conformance::RunSuite(seeds, std::cout);
    const auto wall = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start);
    std::cout << "qvsim conformance: wall time " << wall.count() / 1000 << "." << (wall.count() % 1000) / 100 << " s\n";
    for (const auto& result : results) {
        if (result.verdict == qv::conformance::Verdict::Fail) return 1;
    }
    return 0;
}

} // namespace qvsim
