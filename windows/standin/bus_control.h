// The stand-in USB bus's control device, \\.\QvUsbBus, as the Win32
// console program uses it. Shared by the bus (kernel) and the program.
#pragma once

// CTL_CODE(FILE_DEVICE_UNKNOWN, function, METHOD_BUFFERED, FILE_ANY_ACCESS)
#define QV_BUS_CONTROL_CODE(function) ((0x22UL << 16) | ((function) << 2))

// In: the reader's number (1 byte), then a console command for the
// simulator as text (card, fault, plug, unplug). Out: the host's status
// (1 byte, 0 for done) and its answer as text. A plug or unplug that the
// host carried out is reported to Plug and Play before the request ends.
#define IOCTL_QVBUS_COMMAND QV_BUS_CONTROL_CODE(0x800)
// Out: the readers the bus reports, one byte each: the reader's number.
#define IOCTL_QVBUS_READERS QV_BUS_CONTROL_CODE(0x802)

// Sent on a reader's handle, not on the control device: the NTSTATUS
// (4 bytes) the driver completed the handle's create with, which Wine does
// not pass on to CreateFile (wine_gaps.cpp). It never reaches the driver.
#define IOCTL_QVBUS_CREATE_STATUS QV_BUS_CONTROL_CODE(0x803)

#define QV_BUS_CONTROL_NAME L"\\\\.\\QvUsbBus"
