// The demo scenario: the emulated kernel at work.
#pragma once

#include <cstdint>

namespace qvsim {

// Runs the demo with the given seed, printing a log and the run's digest.
// Returns the process exit code.
int RunDemo(std::uint64_t seed, bool realTime);

} // namespace qvsim
