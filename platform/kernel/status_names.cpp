#include "kernel/status_names.h"

#include <cstdio>

namespace qv {

namespace {
std::string Hex(NTSTATUS status) {
    char text[16];
    std::snprintf(text, sizeof text, "0x%08X", static_cast<unsigned>(status));
    return text;
}
} // namespace

std::string NtStatusName(NTSTATUS status) {
    // STATUS_WAIT_0 shares its value with STATUS_SUCCESS; the first name in
    // the list wins.
#define QV_STATUS_CASE(name, value) \
    if (status == name) return #name;
    QV_NTSTATUS_LIST(QV_STATUS_CASE)
#undef QV_STATUS_CASE
    return Hex(status);
}

std::string NtStatusText(NTSTATUS status) { return NtStatusName(status) + " (" + Hex(status) + ")"; }

} // namespace qv
