// The verifier's rules on where driver code lies (kernel/image_sections.h),
// as Driver Verifier's IRQL checking enforces them on Windows: it trims
// every pageable page whenever a verified driver raises IRQL to
// DISPATCH_LEVEL, so pageable code that goes on running there, or that the
// kernel calls there, faults at once; and the loader has discarded INIT by
// the time anything runs after the entry routine. docs/verifier-rules.md
// lists the rules, their codes and their tests.
#pragma once

#include "qvwdk.h"

namespace qv {

// Checked by every kernel routine the driver may call, with the routine's
// own return address: code in INIT may call the kernel only while a
// driver's entry routine runs.
void CheckCaller(const void* returnAddress, const char* routine);

// Checked by a kernel routine that returns to its caller at `irql` (raising
// routines, spin locks): beside CheckCaller's rule, pageable code may not go
// on at DISPATCH_LEVEL or above.
void CheckCallerAtIrql(const void* returnAddress, KIRQL irql, const char* routine);

// Checked before the emulation calls a driver routine through a pointer
// (dispatch, completion, cancel, deferred, timer and work-item routines,
// thread starts, the smart card library's callbacks): a pageable routine
// may not be called at DISPATCH_LEVEL or above, nor one in INIT once its
// driver's entry routine has returned.
void CheckDriverRoutineAddress(const void* routine, const char* what);

template <class Routine>
void CheckDriverRoutine(Routine* routine, const char* what) {
    CheckDriverRoutineAddress(reinterpret_cast<const void*>(routine), what);
}

} // namespace qv

// The first statement of a kernel routine the driver may call. The return
// address must be taken in the routine itself, not in a helper it calls.
#define QV_CHECK_CALLER() ::qv::CheckCaller(__builtin_return_address(0), __func__)
