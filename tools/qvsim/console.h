// qvsim's reader console and the demo session built on it.
#pragma once

#include "options.h"

namespace qvsim {

// The reader console on standard input or a script. Returns the exit code.
int RunConsole(const Options& options, std::uint64_t seed);
// The demo: a short console session with the trace on.
int RunConsoleDemo(const Options& options, std::uint64_t seed);

} // namespace qvsim
