// The smart card library's host services on the emulated machine: trace
// lines in the machine's event trace, violations as the machine's bug
// checks, the IRQL check of the I/O manager.
#include "kernel/placement_rules.h"
#include "smclib/library_host.h"

#include <cstdarg>
#include <cstdio>
#include <string>

#include "io/io_state.h"
#include "kernel/kernel.h"
#include "kernel/status_names.h"

namespace qv::smclib::host {

namespace {

// Long enough for every line the library writes, so that a line is
// formatted once; a longer one is measured and formatted again.
constexpr std::size_t kLineBuffer = 256;

std::string Format(const char* format, std::va_list arguments) {
    std::va_list copy;
    va_copy(copy, arguments);
    char buffer[kLineBuffer];
    const int length = std::vsnprintf(buffer, sizeof buffer, format, copy);
    va_end(copy);
    if (length <= 0) return {};
    if (static_cast<std::size_t>(length) < sizeof buffer) return std::string(buffer, static_cast<std::size_t>(length));
    std::string text(static_cast<std::size_t>(length) + 1, '\0');
    std::vsnprintf(text.data(), text.size(), format, arguments);
    text.resize(static_cast<std::size_t>(length));
    return text;
}

} // namespace

void Note(const char* format, ...) {
    std::va_list arguments;
    va_start(arguments, format);
    std::string text = Format(format, arguments);
    va_end(arguments);
    KernelCore& kernel = K();
    kernel.Events().Log(kernel.Now(), "", "smclib", text);
}

void Violation(ULONG_PTR which, ULONG_PTR second, ULONG_PTR third, ULONG_PTR fourth, const char* format, ...) {
    std::va_list arguments;
    va_start(arguments, format);
    std::string text = Format(format, arguments);
    va_end(arguments);
    K().RaiseBugCheck(bugcode::DRIVER_VERIFIER_DETECTED_VIOLATION, which, second, third, fourth, std::move(text));
}

void RequireIrqlAtMost(KIRQL highest, const char* routine) { io::RequireIrqlAtMost(highest, routine); }

void CheckCaller(const void* returnAddress, const char* routine) { ::qv::CheckCaller(returnAddress, routine); }

void CheckDriverRoutine(const void* routine, const char* what) { ::qv::CheckDriverRoutineAddress(routine, what); }

const char* StatusName(NTSTATUS status) {
    thread_local std::string name;
    name = NtStatusName(status);
    return name.c_str();
}

} // namespace qv::smclib::host
