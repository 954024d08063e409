// The smart card library's host services inside a Windows kernel image,
// for the end-to-end run under Wine: violations are the kernel's bug check,
// the IRQL check is the kernel's own, and the library keeps no trace (a
// line per request would only slow the run; Wine has no kernel debugger to
// read it).
#include "smclib/library_host.h"

namespace qv::smclib::host {

namespace {
// Bug check 0xC4; the toolchain's headers do not name it.
constexpr ULONG kDriverVerifierDetectedViolation = 0xC4;
} // namespace

void Note(const char*, ...) {}

void Violation(ULONG_PTR which, ULONG_PTR second, ULONG_PTR third, ULONG_PTR fourth, const char*, ...) {
    KeBugCheckEx(kDriverVerifierDetectedViolation, which, second, third, fourth);
    for (;;) {
    }
}

void RequireIrqlAtMost(KIRQL highest, const char*) {
    const KIRQL current = KeGetCurrentIrql();
    if (current > highest) KeBugCheckEx(IRQL_NOT_LESS_OR_EQUAL, 0, current, 0, 0);
}

const char* StatusName(NTSTATUS) { return ""; }

// Windows lays out and guards code placement itself.
void CheckCaller(const void*, const char*) {}

void CheckDriverRoutine(const void*, const char*) {}

} // namespace qv::smclib::host
