// NTSTATUS names for the console program, from the same list the emulation
// names them by (platform/include/wdk/ntstatus.h), so that both builds
// print a status alike. A translation unit of its own: the list defines
// the STATUS_ names, which Windows' user-mode headers define too.
#include <cstdio>
#include <string>

#include "wdk/ntdef.h"
#include "wdk/ntstatus.h"

#include "status_text.h"

std::string StatusText(long value) {
    const auto status = static_cast<NTSTATUS>(value);
    char hex[16];
    std::snprintf(hex, sizeof hex, "0x%08X", static_cast<unsigned>(status));
    std::string name = hex;
#define QV_STATUS_CASE(symbol, number)     \
    if (name == hex && status == symbol) { \
        name = #symbol;                    \
    }
    QV_NTSTATUS_LIST(QV_STATUS_CASE)
#undef QV_STATUS_CASE
    return name + " (" + hex + ")";
}
