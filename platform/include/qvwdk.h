// The one header through which the driver reaches its platform: the Windows
// kernel, the smart card driver library and the USB stack. On Linux it brings
// in the emulation's declarations of those interfaces; the driver sources use
// only the names and semantics that the Windows Driver Kit gives them.
#pragma once

#include "wdk/ntdef.h"
#include "wdk/ntstatus.h"
#include "wdk/wdm.h"
#include "wdk/usb.h"
#include "wdk/smclib.h"
