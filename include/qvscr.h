// The driver's records and driver-wide data for the QV-38N / QV-39N USB
// smart-card readers: the device extension that begins with the smart card
// library's record, the reader's private record with the link buffers, the
// USB configuration holder, and the constants that size them.
#pragma once

#include "qvwdk.h"
#include "placement.h"
#include "trace.h"

// ---------------------------------------------------------------------------
// Constants

// Every block the driver allocates carries this tag ("SCS4" in memory).
constexpr ULONG READER_POOL_TAG = QV_POOL_TAG('S', 'C', 'S', '4');

// Link blocks, reader replies, USB packet streams and built commands all fit
// this many bytes.
constexpr ULONG READER_BUFFER_SIZE = 270;

// The start of the reader-information reply kept at start.
constexpr ULONG READER_INFO_SIZE = 32;

// The last good ATR kept for a reader that answers a reset without one.
constexpr ULONG ATR_CACHE_SIZE = 36;

// Size of each of the library's T=1 request and reply buffers.
constexpr ULONG SMARTCARD_BUFFER_SIZE = 288;

// Largest transfer given to every pipe when the configuration is selected.
constexpr ULONG READER_MAX_TRANSFER_SIZE = 4096;

// Unit numbers 0..3: at most four readers are served at a time.
constexpr ULONG MAXIMUM_READER_UNITS = 4;

// Reader command headers: eight entries of four bytes.
constexpr ULONG READER_COMMAND_ENTRIES = 8;
constexpr ULONG READER_COMMAND_ENTRY_SIZE = 4;

// READER_EXTENSION.PowerState.
constexpr ULONG READER_POWERED = 1;
constexpr ULONG READER_POWERED_DOWN = 2;

// ---------------------------------------------------------------------------
// USB configuration holder

// One per pipe of the selected interface, in the interface's pipe order.
typedef struct _USB_PIPE_SLOT {
    PUSBD_PIPE_INFORMATION PipeInfo; // points into USB_CONFIG.Interface
} USB_PIPE_SLOT, *PUSB_PIPE_SLOT;

// The link receives on the pipe of this slot and sends on the other.
constexpr ULONG USB_INPUT_PIPE_SLOT = 0;
constexpr ULONG USB_OUTPUT_PIPE_SLOT = 1;

// Lives from the reading of the USB configuration until it is dropped; a
// member stays null until the step that fills it has succeeded.
typedef struct _USB_CONFIG {
    PUSB_DEVICE_DESCRIPTOR DeviceDescriptor;               // the 18-byte device descriptor
    PUSB_CONFIGURATION_DESCRIPTOR ConfigurationDescriptor; // with its interface and endpoint descriptors
    PUSBD_INTERFACE_INFORMATION Interface;                 // copy of the selected interface, pipes included
    PUSB_PIPE_SLOT PipeSlots;                              // Interface->NumberOfPipes slots
    USBD_CONFIGURATION_HANDLE ConfigurationHandle;
} USB_CONFIG, *PUSB_CONFIG;

// ---------------------------------------------------------------------------
// Per-reader records

// The reader's private record, reached only through
// SmartcardExtension.ReaderExtension. Allocated zero-filled from non-paged
// pool when the device is added and freed when it is removed. The link
// members (buffers, lengths, sequence bits, CardReady) are used only while
// ReaderMutex is held, except by the start sequence, which runs before the
// poller and the timer exist.
typedef struct _READER_EXTENSION {
    PIRP PendingSystemPowerIrp;  // system set-power held while our device set-power runs
    ULONG PowerState;            // READER_POWERED or READER_POWERED_DOWN
    PDEVICE_OBJECT LowerDevice;  // every request sent down goes here
    ULONG MaxTransferSize;       // given to every pipe when the configuration is selected
    PKMUTEX ReaderMutex;         // separate non-paged block; serialises all reader work
    PUSB_CONFIG UsbConfig;       // null until the USB configuration has been read
    ULONG PreviousCardState;     // CurrentState as the previous status poll saw it

    UCHAR CommandBlock[READER_BUFFER_SIZE]; // outgoing link block, or a command's payload before it is sent
    UCHAR ReplyData[READER_BUFFER_SIZE];    // reassembled reply of the last reader command
    ULONG CommandLength;
    ULONG ReplyLength;
    UCHAR UsbOutBuffer[READER_BUFFER_SIZE]; // CommandBlock cut into USB packets
    UCHAR UsbInBuffer[READER_BUFFER_SIZE];  // USB packets as received
    ULONG UsbOutLength;
    ULONG UsbInLength;
    UCHAR SendSequence;    // 0x00 or 0x40
    UCHAR ReceiveSequence; // 0x00 or 0x40, the one expected next
    ULONG CardReady;       // 1 once a reset has returned a good ATR
    ULONG PollEnabled;     // 1: poll on the next tick; 0: skip one tick

    PDEVICE_OBJECT DeviceObject;        // this reader's device object, for its I/O timer
    UCHAR ReaderInfo[READER_INFO_SIZE]; // reader-information reply: model id, version digits
    KEVENT LinkIdle;                    // notification; cleared while a reader command runs
    ULONG LinkSynchronized;             // 0: resynchronise the link before the next command

    // The command under construction and the cached ATR belong to one reader.
    // Kept driver-wide, two readers working at the same time under their own
    // ReaderMutex would build commands in the same bytes and one could be
    // handed the other's card's ATR; kept here, ReaderMutex alone guards them
    // and no lock is needed across readers.
    UCHAR CommandBuffer[READER_BUFFER_SIZE]; // where a reader command is built before it is sent
    UCHAR AtrCache[ATR_CACHE_SIZE];          // the last good ATR of this reader
    ULONG AtrCacheLength;                    // bytes in AtrCache; 0 until a good ATR was seen

    // 1 from the end of a successful start until the stop: the I/O timer
    // belongs to a started reader, and only then does a card service, a
    // wake or a poll start it again. Written under ReaderMutex (by the start
    // sequence before any other user of the reader exists).
    ULONG ReaderRunning;
    // The interrupt time, in milliseconds (it wraps), of the last card-status
    // poll that got its answer. Under ReaderMutex.
    ULONG LastPollMs;
} READER_EXTENSION;

// The device extension of each reader's device object. Its first member is
// the library's record, so the one address serves as both: the library's
// callbacks receive it as PSMARTCARD_EXTENSION and the dispatch routines as
// the device extension.
typedef struct _DEVICE_EXTENSION {
    SMARTCARD_EXTENSION SmartcardExtension;
    UNICODE_STRING PnPDeviceName; // link of the registered device interface; non-null Buffer = registered
    LONG IoCount;                 // device-control requests inside the driver, under SpinLock
    KSPIN_LOCK SpinLock;
    KEVENT ReaderRemoved; // notification; set once the remove request arrived, never cleared
    KEVENT ReaderStarted; // notification; set while the reader may take requests
    KEVENT ReaderClosed;  // notification; set while no handle is open
    PETHREAD PollThread;  // referenced polling thread object, null when none was started
    KEVENT PollEvent;     // notification; wakes the polling thread
    ULONG PollThreadRun;  // 1 while the polling thread is to go on
    BOOLEAN LegacyOs;     // the platform lacks WDM 1.10
    UNICODE_STRING DosLinkName; // link made by SmartcardCreateLink, LegacyOs only
    KEVENT PollThreadEnded;     // notification; set by the polling thread as its last act

    // ReaderStarted, the gate of device-control requests, is open while both
    // hold; both are written under SpinLock, where the gate follows them
    // (UpdateRequestGate). PnpReady: the reader is started and no stop is
    // asked for. PowerReady: the system is working, or at least not on its
    // way to sleep. Kept apart so that a wake does not open a gate that a
    // stop closed, nor a restart one that a sleep closed.
    BOOLEAN PnpReady;
    BOOLEAN PowerReady;
    KEVENT RequestsIdle; // notification; set while IoCount is 0, under SpinLock
    // 1 while a handle is open. The open that turns it from 0 to 1 (one
    // interlocked step) is the one that succeeds and clears ReaderClosed; a
    // close sets ReaderClosed first and only then gives HandleOpen back.
    LONG HandleOpen;
} DEVICE_EXTENSION, *PDEVICE_EXTENSION;

static_assert(offsetof(DEVICE_EXTENSION, SmartcardExtension) == 0,
              "the device extension and the library's record share one address");

// ---------------------------------------------------------------------------
// Driver-wide data

// Reader command headers; entry bytes in the order they go out.
extern const UCHAR ReaderCommandTable[READER_COMMAND_ENTRIES][READER_COMMAND_ENTRY_SIZE];

// Entry i is 1 while a reader holds unit number i.
extern UCHAR UnitInUse[MAXIMUM_READER_UNITS];

// Default vendor and reader-type names, with their terminating zero bytes;
// the device's hardware key may replace them ("VendorName", "IfdType").
constexpr ULONG DEFAULT_VENDOR_NAME_LENGTH = 15;
constexpr ULONG DEFAULT_IFD_TYPE_LENGTH = 14;
extern const UCHAR DefaultVendorName[DEFAULT_VENDOR_NAME_LENGTH];
extern const UCHAR DefaultIfdType[DEFAULT_IFD_TYPE_LENGTH];

// ---------------------------------------------------------------------------
// Driver entry and unload (device/driver_entry.cpp)

// The driver's entry point, called once by the I/O manager when the image
// is loaded. IRQL: PASSIVE_LEVEL.
extern "C" NTSTATUS NTAPI DriverEntry(PDRIVER_OBJECT DriverObject, PUNICODE_STRING RegistryPath);

// Called before the image is unloaded, after every device object is gone.
// IRQL: PASSIVE_LEVEL.
VOID NTAPI DriverUnload(PDRIVER_OBJECT DriverObject);
