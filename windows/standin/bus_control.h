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
// Out: 1 byte, 1 while qvscr.sys's driver object exists (from its load to
// the end of its unload).
#define IOCTL_QVBUS_DRIVER_LOADED QV_BUS_CONTROL_CODE(0x801)
// Out: the readers the bus reports, one byte each: the reader's number.
#define IOCTL_QVBUS_READERS QV_BUS_CONTROL_CODE(0x802)

#define QV_BUS_CONTROL_NAME L"\\\\.\\QvUsbBus"
