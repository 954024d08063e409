// The device's life: driver entry, add-device and removal, Plug and Play
// and request dispatch. Every routine here runs at PASSIVE_LEVEL unless its
// comment says otherwise.
#pragma once

#include "card.h"
#include "qvscr.h"

// The error code written to the event log when a reader cannot be added.
constexpr NTSTATUS READER_ADD_FAILED_LOG_CODE = static_cast<NTSTATUS>(0xC0100003);

// WDM 1.10: a platform without it takes the legacy paths (no wait for the
// poller's end, a symbolic link of the library's beside the interface).
constexpr UCHAR WDM_MAJOR_VERSION_CHECKED = 1;
constexpr UCHAR WDM_MINOR_VERSION_CHECKED = 0x10;

// The vendor attribute the driver answers itself: the reader's firmware
// version as read at start.
constexpr ULONG ATTR_READER_VERSION = SCARD_ATTR_VALUE(SCARD_CLASS_VENDOR_DEFINED, 0x01F0);

// Bytes of the reader-information reply that hold the firmware version.
constexpr ULONG READER_INFO_VERSION_MAJOR = 11;
constexpr ULONG READER_INFO_VERSION_MINOR_TENS = 13;
constexpr ULONG READER_INFO_VERSION_MINOR_UNITS = 14;
constexpr ULONG READER_INFO_VERSION_BUILD = 15;

// How many data bytes of the reader-information reply start keeps.
constexpr ULONG READER_INFO_KEPT = 20;

// The pause at the end of StopReader, for a reader command that has just
// ended to settle.
constexpr ULONG STOP_READER_PAUSE_MS = 100;


// ---------------------------------------------------------------------------
// Add-device and removal (device/add_device.cpp, device/remove_device.cpp)

NTSTATUS NTAPI AddDevice(PDRIVER_OBJECT DriverObject, PDEVICE_OBJECT PhysicalDeviceObject);

// Undoes AddDevice; a null device object is ignored.
VOID RemoveReaderDevice(PDEVICE_OBJECT DeviceObject);

// ---------------------------------------------------------------------------
// Plug and Play (device/pnp.cpp, device/start_stop.cpp)

NTSTATUS NTAPI DispatchPnp(PDEVICE_OBJECT DeviceObject, PIRP Irp);

// Sends the IRP to the lower device and waits for it; the IRP comes back
// uncompleted.
NTSTATUS CallLowerDriverSync(PDEVICE_OBJECT LowerDevice, PIRP Irp);

// IRQL: <= DISPATCH_LEVEL.
NTSTATUS NTAPI SyncCompletion(PDEVICE_OBJECT DeviceObject, PIRP Irp, PVOID Context);

NTSTATUS StartReader(PDEVICE_OBJECT DeviceObject);
VOID StopReader(PDEVICE_OBJECT DeviceObject);

// ---------------------------------------------------------------------------
// The request gate and count (device/request_gate.cpp). Every routine takes
// SpinLock; IRQL: <= DISPATCH_LEVEL, except EnterRequest (PASSIVE_LEVEL: it
// may wait).

// The two conditions of the gate: Plug and Play's and power's.
enum GATE_CONDITION { GatePnp, GatePower };

VOID SetPnpReady(PDEVICE_EXTENSION DeviceExtension, BOOLEAN Ready);
VOID SetPowerReady(PDEVICE_EXTENSION DeviceExtension, BOOLEAN Ready);
// A stop or sleep query: clears the condition, and so closes the gate, only
// when no request is inside; returns whether it did.
BOOLEAN CloseGateWhenIdle(PDEVICE_EXTENSION DeviceExtension, GATE_CONDITION Condition);
// Counts a request in, waiting while the gate is closed; FALSE (nothing
// counted) when removal began meanwhile.
BOOLEAN EnterRequest(PDEVICE_EXTENSION DeviceExtension);
// Counts a request out; RequestsIdle is set when the last one leaves.
VOID LeaveRequest(PDEVICE_EXTENSION DeviceExtension);
BOOLEAN ReaderRemovalBegun(PDEVICE_EXTENSION DeviceExtension);

// ---------------------------------------------------------------------------
// Request dispatch (device/dispatch.cpp)

NTSTATUS NTAPI DispatchCreateClose(PDEVICE_OBJECT DeviceObject, PIRP Irp);
NTSTATUS NTAPI DispatchDeviceControl(PDEVICE_OBJECT DeviceObject, PIRP Irp);
NTSTATUS NTAPI DispatchSystemControl(PDEVICE_OBJECT DeviceObject, PIRP Irp);
NTSTATUS NTAPI VendorIoctl(PSMARTCARD_EXTENSION SmartcardExtension);

// The version word of ATTR_READER_VERSION built from ReaderInfo.
ULONG ReaderVersionWord(const UCHAR* ReaderInfo);

// ---------------------------------------------------------------------------
// Power (device/power.cpp)

NTSTATUS NTAPI DispatchPower(PDEVICE_OBJECT DeviceObject, PIRP Irp);
