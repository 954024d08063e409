// What the smart card library needs of the system it runs in besides the
// kernel routines every driver may call: a trace line, a verifier
// violation, an IRQL check and a status name. The emulated build answers
// them with the emulated machine's trace and bug checks
// (library_host.cpp); the library built into a Windows image for Wine
// answers them with the kernel's own routines (windows/smclib/). Keeping
// these four here lets the same library sources build freestanding, with
// no standard library strings.
#pragma once

#include "qvwdk.h"

namespace qv::smclib::host {

// A line in the machine's trace, category "smclib", printf-style.
void Note(const char* format, ...) __attribute__((format(printf, 1, 2)));

// A misuse of the library by its caller: DRIVER_VERIFIER_DETECTED_VIOLATION
// with these parameters, explained by the printf-style text.
[[noreturn]] void Violation(ULONG_PTR which, ULONG_PTR second, ULONG_PTR third, ULONG_PTR fourth,
                            const char* format, ...) __attribute__((format(printf, 5, 6)));

// A bug check when the caller runs above `highest`.
void RequireIrqlAtMost(KIRQL highest, const char* routine);

// "STATUS_IO_TIMEOUT" for 0xC00000B5, for trace lines; valid until the
// next call on the same thread.
const char* StatusName(NTSTATUS status);

// Where the emulated kernel enforces Windows' code placement: the caller of
// an exported routine must not be INIT code after the driver's load, and a
// driver routine the library calls must not lie in INIT after load, nor in
// pageable code when called at DISPATCH_LEVEL or above. Windows itself
// needs no such look.
void CheckCaller(const void* returnAddress, const char* routine);
void CheckDriverRoutine(const void* routine, const char* what);

} // namespace qv::smclib::host

// The look at an exported routine's caller, with the routine's own return
// address.
#define QV_LIBRARY_CHECK_CALLER() ::qv::smclib::host::CheckCaller(__builtin_return_address(0), __func__)
