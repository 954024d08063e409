// NTSTATUS values by name, for tools and reports.
#pragma once

#include <string>

#include "qvwdk.h"

namespace qv {

// "STATUS_IO_TIMEOUT" for 0xC00000B5; an unknown value gives its hex form.
std::string NtStatusName(NTSTATUS status);
// "STATUS_IO_TIMEOUT (0xC00000B5)".
std::string NtStatusText(NTSTATUS status);

} // namespace qv
