// The driver's trace, for whoever has to find out why a reader misbehaves on
// a machine of theirs: each request in and out with its status; link
// errors, resynchronisations and retries; card state changes; Plug and Play
// and power transitions; failures of an allocation or of the bus. Every line
// goes to the kernel debugger through the kernel's debug print, under the
// component meant for drivers of no other kind (DPFLTR_IHVDRIVER_ID), with
// "qvscr<unit>: " in front. The kernel looks at the component's filter
// before it formats anything, so a line nobody asked for costs a call.
//
// Every routine here is resident and may be called at any IRQL up to
// DISPATCH_LEVEL.
#pragma once

#include "qvwdk.h"

// The levels, from the one a debugger shows by default to the most verbose:
// a failure (of the bus, an allocation, a start, an exchange given up); the
// link recovering (a block asked for again, a resynchronisation); card state
// changes, Plug and Play and power transitions; each request in and out,
// with its status.
constexpr ULONG TRACE_ERROR = DPFLTR_ERROR_LEVEL;
constexpr ULONG TRACE_WARNING = DPFLTR_WARNING_LEVEL;
constexpr ULONG TRACE_STATE = DPFLTR_TRACE_LEVEL;
constexpr ULONG TRACE_REQUEST = DPFLTR_INFO_LEVEL;

// The Windows image has the compiler check every format against its
// arguments as the kernel reads them; the emulation, whose ULONG is the
// host's 32-bit int, reads the same formats with a long's length dropped.
#if defined(_WIN32)
#define QV_TRACE_FORMAT(FormatIndex, FirstArgument) __attribute__((format(ms_printf, FormatIndex, FirstArgument)))
#else
#define QV_TRACE_FORMAT(FormatIndex, FirstArgument)
#endif

// One line about the reader of unit Unit. Format is a format as the kernel
// reads it (a ULONG is %lu or %lX, an NTSTATUS %08lX) and ends in "\n".
VOID TraceUnit(ULONG Unit, ULONG Level, PCSTR Format, ...) QV_TRACE_FORMAT(3, 4);

// The same for the reader whose library record SmartcardExtension is, and
// for the reader of the device object DeviceObject.
VOID TraceReader(const SMARTCARD_EXTENSION* SmartcardExtension, ULONG Level, PCSTR Format, ...)
    QV_TRACE_FORMAT(3, 4);
VOID TraceDevice(PDEVICE_OBJECT DeviceObject, ULONG Level, PCSTR Format, ...) QV_TRACE_FORMAT(3, 4);

// The line of a request going in (Status NULL) or coming out with *Status,
// at TRACE_REQUEST: under its name Name, or, for a request the driver has no
// name for (Name NULL), under its major function's name Major and its code.
VOID TraceRequest(ULONG Unit, PCSTR Name, PCSTR Major, ULONG Code, const NTSTATUS* Status);

// Names the trace prints: the WDK's name of a smart-card control code and
// of a Plug and Play minor function, NULL for a code the driver does not
// name (the caller prints the number instead); of a card state, "SCARD_?"
// for a value that is none.
PCSTR ControlCodeName(ULONG IoControlCode);
PCSTR PnpMinorName(UCHAR MinorFunction);
PCSTR CardStateName(ULONG State);
