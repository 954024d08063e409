// The kernel tour: the emulated kernel at work.
#pragma once

#include <cstdint>

namespace qvsim {

// Runs the tour with the given seed, printing a log and the run's digest.
// Returns the process exit code.
int RunTour(std::uint64_t seed, bool realTime);

} // namespace qvsim
