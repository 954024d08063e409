// The one header through which the driver reaches its platform: the Windows
// kernel, the smart card driver library and the USB stack. Built for Windows
// it brings in the toolchain's kernel headers and our declarations of what
// they lack; on Linux it brings in the emulation's declarations of the same
// interfaces. The driver sources use only the names and semantics that the
// Windows Driver Kit gives them, and where the two views could differ the
// Windows one is right.
#pragma once

#if defined(_WIN32)
#include "windows/qvwdk_windows.h"
#else
#include "wdk/ntdef.h"
#include "wdk/ntstatus.h"
#include "wdk/wdm.h"
#include "wdk/wdmpower.h"
#include "wdk/usb.h"
#include "wdk/smclib.h"
#endif
