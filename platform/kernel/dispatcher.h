// Internal helpers of the dispatcher objects shared by the scheduler and the
// WDK wait routines.
#pragma once

#include <string>

#include "kernel/kernel.h"

struct _KTHREAD;

namespace qv {

// Signals a thread object when its thread ends and releases its waiters.
void SignalThreadObject(_KTHREAD& thread);

// Signals a dispatcher object that has just become signalled (a timer, say)
// to its waiters.
void ReleaseWaitersOf(DISPATCHER_HEADER& header);

// The wait on dispatcher objects behind KeWaitForSingleObject and
// KeWaitForMultipleObjects: the caller's IRQL and the objects are checked
// already. Returns STATUS_WAIT_0 + the index of the object that ended a wait
// for any, STATUS_WAIT_0 for a wait for all, or STATUS_TIMEOUT. Kernel APCs
// that arrive meanwhile run and the wait goes on. `what` says what the wait
// is for in reports; empty, it is the one object's description.
NTSTATUS WaitForObjects(ULONG count, DISPATCHER_HEADER* const* objects, WAIT_TYPE type, PKWAIT_BLOCK blocks,
                        const LARGE_INTEGER* timeout, const std::string& what);

// Raises the bug check for a dispatcher object never initialised.
void CheckInitialisedObject(const DISPATCHER_HEADER& header, const char* routine);

// The IRQL check of the wait routines: a wait that may block needs IRQL below
// DISPATCH_LEVEL. Ends a Wait TRUE state first.
void BeginWait(const void* object, const LARGE_INTEGER* timeout, const char* routine);
// Describes a dispatcher object for reports: its kind, address, owner.
std::string DescribeObject(const DISPATCHER_HEADER& header);

// Converts a WDK time-out (negative: relative, positive: absolute system
// time, both in 100 ns units) into a virtual deadline.
// The deadline falls on the first clock tick at or after the due time.
VirtualTime DeadlineFrom(const LARGE_INTEGER& timeout);
// Rounds a due time up to the clock tick that expires it.
VirtualTime OnClockTick(VirtualTime due);

// The system time at boot, in 100 ns units since 1601 (2026-01-01 00:00 UTC),
// so that KeQuerySystemTime gives plausible dates.
inline constexpr LONGLONG kBootSystemTime = 134116128000000000LL;
// The length of a clock tick: 15.625 ms, as on Windows.
inline constexpr ULONG kTimeIncrement = 156250;

} // namespace qv
