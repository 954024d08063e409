#pragma once
#include <string>
// "STATUS_IO_TIMEOUT (0xC00000B5)", as qvsim app prints a status.
std::string StatusText(long status);
