// What an application's request ended with, as the bridge reports it: the
// statuses the driver and the I/O manager complete smart-card requests with,
// sorted into the outcomes the IFD handler interface can tell apart.
#pragma once

#include "pcsc/bridge.h"
#include "qvwdk.h"

namespace qv::pcsc {

Outcome OutcomeFromStatus(NTSTATUS status);

} // namespace qv::pcsc
