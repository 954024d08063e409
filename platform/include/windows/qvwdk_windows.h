// The driver's view of the platform when it is built into a real Windows
// kernel image: the toolchain's kernel and USB headers, plus what they lack.
// The smart card library has neither header nor import library in the
// toolchain; its records and routines come from wdk/smclib.h, written from
// the library's documentation and shared with the emulated build.
#pragma once

// The toolchain's wdm.h defines these two itself, after intrin.h has defined
// them already; the second definition is an error in C++. Keep wdm.h's.
#define __INTRINSIC_DEFINED_InterlockedBitTestAndSet
#define __INTRINSIC_DEFINED_InterlockedBitTestAndReset

#include <ntddk.h>
#include <usb.h>
// The toolchain's usbdlib.h declares USBD's routines without C linkage.
extern "C" {
#include <usbdlib.h>
}
#include <usbioctl.h>
#include <winsmcrd.h>

// Pool tags are written as multi-character literals in reverse byte order on
// Windows ('4SCS' is "SCS4" in memory). This builds the same value without
// relying on multi-character literals, as the emulated build does.
#define QV_POOL_TAG(a, b, c, d) \
    ((ULONG)(UCHAR)(a) | ((ULONG)(UCHAR)(b) << 8) | ((ULONG)(UCHAR)(c) << 16) | ((ULONG)(UCHAR)(d) << 24))

#include "../wdk/smclib.h"
