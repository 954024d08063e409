// qvsim conformance: the reader conformance suite (tools/conformance/).
#pragma once

#include "options.h"

namespace qvsim {

// Runs every case under --seed N, or the seeds of QV_SEEDS, or seeds 1 to 3;
// prints the table. Exit status 0 when no case failed (known deviations
// pass), 1 otherwise.
int RunConformance(const Options& options);

} // namespace qvsim
