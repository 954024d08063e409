// qvsim explore: the schedule explorer's command line (tools/explore/).
#pragma once

#include "options.h"

namespace qvsim {

int RunExplore(const Options& options);

} // namespace qvsim
