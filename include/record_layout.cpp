// The layout of the records the driver shares with the platform, checked at
// compile time in both builds: the sizes of the records the driver embeds
// or allocates, and the offsets of the members it uses (which also fixes
// their order).
//
// Windows lays a record out differently for 32-bit and 64-bit pointers. The
// driver image is 32-bit; the emulation runs natively on x86-64. So every
// entry gives both of Windows' layouts: the 32-bit one, checked when the
// driver is built for Windows, against the toolchain's own kernel headers;
// and the 64-bit one, that of Windows x64, checked in the emulated build
// (and against the toolchain's x64 headers by scripts/windows-check.sh).
// Both columns come from Windows, neither is read off the emulation: where
// the emulation lays a record out otherwise, the emulation is wrong.
//
// A member the driver starts to use gets its line here, with both numbers
// read from the toolchain (compile offsetof() with i686-w64-mingw32-g++ and
// x86_64-w64-mingw32-g++). The smart card library's records have no header
// in the toolchain; their entries come from the library's documentation.
// This file holds only declarations: it adds no code to either build.
#include "qvscr.h"

#define QV_WINDOWS_LAYOUT(Windows32, Windows64) (sizeof(void*) == 4 ? (Windows32) : (Windows64))
#define QV_SIZE(Record, Windows32, Windows64)                        \
    static_assert(sizeof(Record) == QV_WINDOWS_LAYOUT(Windows32, Windows64), \
                  "sizeof(" #Record ") differs from Windows'")
#define QV_OFFSET(Record, Member, Windows32, Windows64)                        \
    static_assert(offsetof(Record, Member) == QV_WINDOWS_LAYOUT(Windows32, Windows64), \
                  #Record "." #Member " is not where Windows puts it")


// Scalar types: width and signedness, the same in every Windows layout
// except the pointer-sized ones.
#define QV_SCALAR(Type, Windows32, Windows64, Signed)                          \
    QV_SIZE(Type, Windows32, Windows64);                                       \
    static_assert((static_cast<Type>(-1) < static_cast<Type>(0)) == (Signed), \
                  #Type " differs from Windows' in signedness")
QV_SCALAR(CHAR, 1, 1, true);
QV_SCALAR(UCHAR, 1, 1, false);
QV_SCALAR(BOOLEAN, 1, 1, false);
QV_SCALAR(SHORT, 2, 2, true);
QV_SCALAR(USHORT, 2, 2, false);
QV_SCALAR(CSHORT, 2, 2, true);
QV_SCALAR(WCHAR, 2, 2, false);
QV_SCALAR(LONG, 4, 4, true);
QV_SCALAR(ULONG, 4, 4, false);
QV_SCALAR(NTSTATUS, 4, 4, true);
QV_SCALAR(USBD_STATUS, 4, 4, true);
QV_SCALAR(LONGLONG, 8, 8, true);
QV_SCALAR(ULONGLONG, 8, 8, false);
QV_SCALAR(KIRQL, 1, 1, false);
QV_SCALAR(KPROCESSOR_MODE, 1, 1, true);
QV_SCALAR(LONG_PTR, 4, 8, true);
QV_SCALAR(ULONG_PTR, 4, 8, false);
QV_SCALAR(SIZE_T, 4, 8, false);
QV_SIZE(PVOID, 4, 8);
QV_SIZE(HANDLE, 4, 8);

// Basic types and dispatcher objects

QV_SIZE(UNICODE_STRING, 8, 16);
QV_OFFSET(UNICODE_STRING, Buffer, 4, 8);
QV_SIZE(LIST_ENTRY, 8, 16);
QV_SIZE(LARGE_INTEGER, 8, 8);
QV_SIZE(KSPIN_LOCK, 4, 8);
QV_SIZE(KEVENT, 16, 24);
QV_SIZE(KMUTEX, 32, 56);
QV_SIZE(IO_STATUS_BLOCK, 8, 16);
QV_OFFSET(IO_STATUS_BLOCK, Information, 4, 8);

// I/O manager

QV_OFFSET(DRIVER_OBJECT, DeviceObject, 4, 8);
QV_OFFSET(DRIVER_OBJECT, DriverExtension, 24, 48);
QV_OFFSET(DRIVER_OBJECT, DriverStartIo, 48, 96);
QV_OFFSET(DRIVER_OBJECT, DriverUnload, 52, 104);
QV_OFFSET(DRIVER_OBJECT, MajorFunction, 56, 112);
QV_OFFSET(DRIVER_EXTENSION, AddDevice, 4, 8);
QV_OFFSET(DEVICE_OBJECT, DriverObject, 8, 8);
QV_OFFSET(DEVICE_OBJECT, NextDevice, 12, 16);
QV_OFFSET(DEVICE_OBJECT, AttachedDevice, 16, 24);
QV_OFFSET(DEVICE_OBJECT, CurrentIrp, 20, 32);
QV_OFFSET(DEVICE_OBJECT, Flags, 28, 48);
QV_OFFSET(DEVICE_OBJECT, Characteristics, 32, 52);
QV_OFFSET(DEVICE_OBJECT, DeviceExtension, 40, 64);
QV_OFFSET(DEVICE_OBJECT, DeviceType, 44, 72);
QV_OFFSET(DEVICE_OBJECT, StackSize, 48, 76);
QV_OFFSET(IRP, MdlAddress, 4, 8);
QV_OFFSET(IRP, Flags, 8, 16);
QV_OFFSET(IRP, AssociatedIrp.SystemBuffer, 12, 24);
QV_OFFSET(IRP, IoStatus, 24, 48);
QV_OFFSET(IRP, RequestorMode, 32, 64);
QV_OFFSET(IRP, PendingReturned, 33, 65);
QV_OFFSET(IRP, StackCount, 34, 66);
QV_OFFSET(IRP, CurrentLocation, 35, 67);
QV_OFFSET(IRP, Cancel, 36, 68);
QV_OFFSET(IRP, CancelIrql, 37, 69);
QV_OFFSET(IRP, CancelRoutine, 56, 104);
QV_OFFSET(IRP, UserBuffer, 60, 112);
QV_OFFSET(IRP, Tail.Overlay.DriverContext, 64, 120);
QV_OFFSET(IRP, Tail.Overlay.Thread, 80, 152);
QV_OFFSET(IRP, Tail.Overlay.ListEntry, 88, 168);
QV_OFFSET(IRP, Tail.Overlay.CurrentStackLocation, 96, 184);
QV_OFFSET(IO_STACK_LOCATION, MinorFunction, 1, 1);
QV_OFFSET(IO_STACK_LOCATION, Control, 3, 3);
QV_OFFSET(IO_STACK_LOCATION, Parameters, 4, 8);
QV_OFFSET(IO_STACK_LOCATION, Parameters.DeviceIoControl.OutputBufferLength, 4, 8);
QV_OFFSET(IO_STACK_LOCATION, Parameters.DeviceIoControl.InputBufferLength, 8, 16);
QV_OFFSET(IO_STACK_LOCATION, Parameters.DeviceIoControl.IoControlCode, 12, 24);
QV_OFFSET(IO_STACK_LOCATION, Parameters.DeviceIoControl.Type3InputBuffer, 16, 32);
QV_OFFSET(IO_STACK_LOCATION, Parameters.Power.SystemContext, 4, 8);
QV_OFFSET(IO_STACK_LOCATION, Parameters.Power.Type, 8, 16);
QV_OFFSET(IO_STACK_LOCATION, Parameters.Power.State, 12, 24);
QV_OFFSET(IO_STACK_LOCATION, Parameters.Power.ShutdownType, 16, 32);
QV_OFFSET(IO_STACK_LOCATION, Parameters.Others.Argument1, 4, 8);
QV_OFFSET(IO_STACK_LOCATION, DeviceObject, 20, 40);
QV_OFFSET(IO_STACK_LOCATION, FileObject, 24, 48);
QV_OFFSET(IO_STACK_LOCATION, CompletionRoutine, 28, 56);
QV_OFFSET(IO_STACK_LOCATION, Context, 32, 64);

// USB driver interface and request blocks

QV_SIZE(USBD_PIPE_INFORMATION, 20, 24);
QV_OFFSET(USBD_PIPE_INFORMATION, EndpointAddress, 2, 2);
QV_OFFSET(USBD_PIPE_INFORMATION, PipeType, 4, 4);
QV_OFFSET(USBD_PIPE_INFORMATION, PipeHandle, 8, 8);
QV_OFFSET(USBD_PIPE_INFORMATION, MaximumTransferSize, 12, 16);
QV_OFFSET(USBD_PIPE_INFORMATION, PipeFlags, 16, 20);
QV_SIZE(USBD_INTERFACE_INFORMATION, 36, 48);
QV_OFFSET(USBD_INTERFACE_INFORMATION, InterfaceHandle, 8, 8);
QV_OFFSET(USBD_INTERFACE_INFORMATION, NumberOfPipes, 12, 16);
QV_OFFSET(USBD_INTERFACE_INFORMATION, Pipes, 16, 24);
QV_SIZE(struct _URB_HEADER, 16, 24);
QV_OFFSET(struct _URB_HEADER, Status, 4, 4);
QV_OFFSET(struct _URB_HEADER, UsbdDeviceHandle, 8, 8);
QV_SIZE(struct _URB_SELECT_CONFIGURATION, 60, 88);
QV_OFFSET(struct _URB_SELECT_CONFIGURATION, ConfigurationDescriptor, 16, 24);
QV_OFFSET(struct _URB_SELECT_CONFIGURATION, ConfigurationHandle, 20, 32);
QV_OFFSET(struct _URB_SELECT_CONFIGURATION, Interface, 24, 40);
QV_SIZE(struct _URB_PIPE_REQUEST, 24, 40);
QV_OFFSET(struct _URB_PIPE_REQUEST, PipeHandle, 16, 24);
QV_SIZE(struct _URB_BULK_OR_INTERRUPT_TRANSFER, 72, 128);
QV_OFFSET(struct _URB_BULK_OR_INTERRUPT_TRANSFER, PipeHandle, 16, 24);
QV_OFFSET(struct _URB_BULK_OR_INTERRUPT_TRANSFER, TransferFlags, 20, 32);
QV_OFFSET(struct _URB_BULK_OR_INTERRUPT_TRANSFER, TransferBufferLength, 24, 36);
QV_OFFSET(struct _URB_BULK_OR_INTERRUPT_TRANSFER, TransferBuffer, 28, 40);
QV_OFFSET(struct _URB_BULK_OR_INTERRUPT_TRANSFER, TransferBufferMDL, 32, 48);
QV_OFFSET(struct _URB_BULK_OR_INTERRUPT_TRANSFER, UrbLink, 36, 56);
QV_SIZE(struct _URB_CONTROL_DESCRIPTOR_REQUEST, 80, 136);
QV_OFFSET(struct _URB_CONTROL_DESCRIPTOR_REQUEST, TransferBufferLength, 24, 36);
QV_OFFSET(struct _URB_CONTROL_DESCRIPTOR_REQUEST, TransferBuffer, 28, 40);
QV_OFFSET(struct _URB_CONTROL_DESCRIPTOR_REQUEST, UrbLink, 36, 56);
QV_OFFSET(struct _URB_CONTROL_DESCRIPTOR_REQUEST, Index, 74, 130);
QV_OFFSET(struct _URB_CONTROL_DESCRIPTOR_REQUEST, DescriptorType, 75, 131);
QV_OFFSET(struct _URB_CONTROL_DESCRIPTOR_REQUEST, LanguageId, 76, 132);

// USB descriptors (byte-packed wire format)

QV_SIZE(USB_DEVICE_DESCRIPTOR, 18, 18);
QV_SIZE(USB_CONFIGURATION_DESCRIPTOR, 9, 9);
QV_OFFSET(USB_CONFIGURATION_DESCRIPTOR, wTotalLength, 2, 2);
QV_SIZE(USB_INTERFACE_DESCRIPTOR, 9, 9);
QV_SIZE(USB_ENDPOINT_DESCRIPTOR, 7, 7);

// Smart card I/O

QV_SIZE(SCARD_IO_REQUEST, 8, 8);
QV_SIZE(IO_STACK_LOCATION, 36, 72);

// The driver's own records, built from the platform's

QV_SIZE(READER_EXTENSION, 1512, 1552);
QV_OFFSET(READER_EXTENSION, PowerState, 4, 8);
QV_OFFSET(READER_EXTENSION, LowerDevice, 8, 16);
QV_OFFSET(READER_EXTENSION, MaxTransferSize, 12, 24);
QV_OFFSET(READER_EXTENSION, ReaderMutex, 16, 32);
QV_OFFSET(READER_EXTENSION, UsbConfig, 20, 40);
QV_OFFSET(READER_EXTENSION, PreviousCardState, 24, 48);
QV_OFFSET(READER_EXTENSION, CommandBlock, 28, 52);
QV_OFFSET(READER_EXTENSION, ReplyData, 298, 322);
QV_OFFSET(READER_EXTENSION, CommandLength, 568, 592);
QV_OFFSET(READER_EXTENSION, ReplyLength, 572, 596);
QV_OFFSET(READER_EXTENSION, UsbOutBuffer, 576, 600);
QV_OFFSET(READER_EXTENSION, UsbInBuffer, 846, 870);
QV_OFFSET(READER_EXTENSION, UsbOutLength, 1116, 1140);
QV_OFFSET(READER_EXTENSION, UsbInLength, 1120, 1144);
QV_OFFSET(READER_EXTENSION, SendSequence, 1124, 1148);
QV_OFFSET(READER_EXTENSION, ReceiveSequence, 1125, 1149);
QV_OFFSET(READER_EXTENSION, CardReady, 1128, 1152);
QV_OFFSET(READER_EXTENSION, PollEnabled, 1132, 1156);
QV_OFFSET(READER_EXTENSION, DeviceObject, 1136, 1160);
QV_OFFSET(READER_EXTENSION, ReaderInfo, 1140, 1168);
QV_OFFSET(READER_EXTENSION, LinkIdle, 1172, 1200);
QV_OFFSET(READER_EXTENSION, LinkSynchronized, 1188, 1224);
QV_OFFSET(READER_EXTENSION, CommandBuffer, 1192, 1228);
QV_OFFSET(READER_EXTENSION, AtrCache, 1462, 1498);
QV_OFFSET(READER_EXTENSION, AtrCacheLength, 1500, 1536);
QV_OFFSET(READER_EXTENSION, ReaderRunning, 1504, 1540);
QV_OFFSET(READER_EXTENSION, LastPollMs, 1508, 1544);
QV_SIZE(USB_CONFIG, 20, 40);
QV_OFFSET(USB_CONFIG, ConfigurationDescriptor, 4, 8);
QV_OFFSET(USB_CONFIG, Interface, 8, 16);
QV_OFFSET(USB_CONFIG, PipeSlots, 12, 24);
QV_OFFSET(USB_CONFIG, ConfigurationHandle, 16, 32);
QV_SIZE(USB_PIPE_SLOT, 4, 8);
