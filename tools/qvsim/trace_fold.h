// The demo's folded trace: the console's lines of one step, with the USB
// transfers, link blocks and library notes behind a request folded into
// one line that a newcomer can read ("12 USB transfers; blocks
// S(RESYNCH) I(0) I(1) ..."), and the result lines kept as they are.
#pragma once

#include <string>
#include <vector>

namespace qvsim {

// Folds the console's output of one step. Lines that are not trace lines
// come back unchanged, in order; each run of trace lines becomes one line.
std::vector<std::string> FoldTrace(const std::string& text);

} // namespace qvsim
