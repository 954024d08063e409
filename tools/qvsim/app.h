// qvsim app, the application's console, and the demo session built on it.
#pragma once

#include <cstdint>

#include "options.h"

namespace qvsim {

// The application's console on standard input or a script. Returns the
// exit code: 0 only for a clean run; 2 for bad options.
int RunApp(const Options& options, std::uint64_t seed);
// The demo: a card powered and its ATR, with the trace on.
int RunAppDemo(const Options& options, std::uint64_t seed);

} // namespace qvsim
