// qvsim's reader console.
#pragma once

#include "options.h"

namespace qvsim {

// The reader console on standard input or a script. Returns the exit code.
int RunConsole(const Options& options, std::uint64_t seed);

} // namespace qvsim
