// A test's way into the narrowest window of IoCancelIrp: after it has set
// Irp->Cancel and before it takes the IRP's cancel routine away. A driver
// that clears a cancel routine without the cancel spin lock can meet a
// cancellation there, and must tell from the routine it got back, not from
// the flag, whether the cancel routine will run.
#pragma once

#include <functional>

#include "qvwdk.h"

namespace qv::io {

// `flagged` runs once, on the thread that next cancels an IRP, at that
// point, with the IRP. It holds the cancel spin lock at DISPATCH_LEVEL, so it
// must not wait; it may spawn threads and pass switch points. A new probe
// replaces the one set before; an empty function clears it.
void ProbeCancelOnce(std::function<void(PIRP)> flagged);

} // namespace qv::io
