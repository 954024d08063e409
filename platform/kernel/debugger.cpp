// What a driver sends the kernel debugger: debug print and failed
// assertions. A run has no debugger; its trace listener stands in for one.
#include <cstdio>
#include <string>
#include <string_view>

#include "kernel/kernel.h"
#include "kernel/placement_rules.h"
#include "kernel/scheduler.h"
#include "kernel/trace.h"

namespace qv {

namespace {

// Flags, width and precision of a conversion, which both formats share.
constexpr std::string_view kConversionPrefix = "-+ #0123456789.*";

// A Windows format string in the host's terms. Windows reads a long as 32
// bits, so a length of l (%lu, %lX) is dropped, which leaves the host's
// 32-bit int; I64 becomes ll. Everything else is copied.
std::string HostFormat(std::string_view format) {
    std::string host;
    host.reserve(format.size());
    for (std::size_t i = 0; i < format.size(); ++i) {
        host += format[i];
        if (format[i] != '%') continue;
        std::size_t next = i + 1;
        if (next < format.size() && format[next] == '%') {
            host += '%';
            i = next;
            continue;
        }
        while (next < format.size() && kConversionPrefix.find(format[next]) != std::string_view::npos) {
            host += format[next++];
        }
        if (format.substr(next, 3) == "I64") {
            host += "ll";
            next += 3;
        } else if (format.substr(next, 2) == "ll") {
            host += "ll";
            next += 2;
        } else if (next < format.size() && format[next] == 'l') {
            ++next;
        }
        i = next - 1;
    }
    return host;
}

std::string Format(PCCH format, va_list arguments) {
    const std::string host = HostFormat(format);
    va_list measure;
    va_copy(measure, arguments);
    const int length = std::vsnprintf(nullptr, 0, host.c_str(), measure);
    va_end(measure);
    if (length <= 0) return {};
    std::string text(static_cast<std::size_t>(length) + 1, '\0');
    std::vsnprintf(text.data(), text.size(), host.c_str(), arguments);
    text.resize(static_cast<std::size_t>(length));
    return text;
}

} // namespace

} // namespace qv

using namespace qv;

extern "C" {

ULONG NTAPI vDbgPrintExWithPrefix(PCCH Prefix, ULONG ComponentId, ULONG Level, PCCH Format, va_list Arguments) {
    QV_CHECK_CALLER();
    UNREFERENCED_PARAMETER(ComponentId);
    UNREFERENCED_PARAMETER(Level);
    const Trace& trace = K().Events();
    // As the kernel filters before it formats, nothing is formatted for a
    // run that nobody listens to.
    if (!trace.Listening()) return STATUS_SUCCESS;
    std::string text = Prefix != nullptr ? Prefix : "";
    text += qv::Format(Format, Arguments);
    while (!text.empty() && text.back() == '\n') text.pop_back();
    trace.Show(K().Now(), K().Sched().CurrentName(), kDebugPrintCategory, text);
    return STATUS_SUCCESS;
}

void NTAPI QvAssertionFailed(PCSTR Expression, PCSTR File, int Line) {
    K().Fatal("driver-assertion", bugcode::KMODE_EXCEPTION_NOT_HANDLED, static_cast<ULONG>(STATUS_ASSERTION_FAILURE),
              reinterpret_cast<ULONG_PTR>(__builtin_return_address(0)), 0, 0,
              std::string("NT_ASSERT(") + Expression + ") failed at " + File + ":" + std::to_string(Line));
}

} // extern "C"
