// qvsim sweep: one scenario under many seeds, each run a deterministic
// emulated machine of its own, spread over worker processes (one per core
// by default). Prints a progress bar on a terminal (progress lines
// otherwise) and a summary: runs, failures with their seeds and one-line
// causes, virtual and wall time. A failing seed replays alone with
// qvsim app --scenario NAME --seed N.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "options.h"

namespace qvsim {

// "1-10000", "3,17", "1-4,17": the seeds in order; nothing for a mistake.
std::optional<std::vector<std::uint64_t>> ParseSeeds(std::string_view text);

int RunSweep(const Options& options);

} // namespace qvsim
