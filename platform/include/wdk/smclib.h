// The smart card driver library (SMCLIB) as a reader driver sees it: the
// per-reader SMARTCARD_EXTENSION that the driver and the library share, the
// reader callback slots, the card and reader states, the smart-card I/O
// controls and attributes (winsmcrd.h on Windows), the reader device
// interface class, and the library's calls. Names and values are the WDK's;
// the library itself is implemented by the emulation.
#pragma once

#if defined(_WIN32)
// Built for Windows, the toolchain's kernel headers are already in and its
// winsmcrd.h has the I/O controls, states, protocols and attributes below.
#include <winsmcrd.h>
#else
#include "ntdef.h"
#include "ntstatus.h"
#include "wdm.h"

// ---------------------------------------------------------------------------
// Smart-card I/O controls, states, protocols and attributes

#define SCARD_CTL_CODE(code) CTL_CODE(FILE_DEVICE_SMARTCARD, (code), METHOD_BUFFERED, FILE_ANY_ACCESS)

#define IOCTL_SMARTCARD_POWER SCARD_CTL_CODE(1)
#define IOCTL_SMARTCARD_GET_ATTRIBUTE SCARD_CTL_CODE(2)
#define IOCTL_SMARTCARD_SET_ATTRIBUTE SCARD_CTL_CODE(3)
#define IOCTL_SMARTCARD_CONFISCATE SCARD_CTL_CODE(4)
#define IOCTL_SMARTCARD_TRANSMIT SCARD_CTL_CODE(5)
#define IOCTL_SMARTCARD_EJECT SCARD_CTL_CODE(6)
#define IOCTL_SMARTCARD_SWALLOW SCARD_CTL_CODE(7)
#define IOCTL_SMARTCARD_IS_PRESENT SCARD_CTL_CODE(10)
#define IOCTL_SMARTCARD_IS_ABSENT SCARD_CTL_CODE(11)
#define IOCTL_SMARTCARD_SET_PROTOCOL SCARD_CTL_CODE(12)
#define IOCTL_SMARTCARD_GET_STATE SCARD_CTL_CODE(14)
#define IOCTL_SMARTCARD_GET_LAST_ERROR SCARD_CTL_CODE(15)
#define IOCTL_SMARTCARD_GET_PERF_CNTR SCARD_CTL_CODE(16)

// Card states, kept in ReaderCapabilities.CurrentState.
#define SCARD_UNKNOWN 0
#define SCARD_ABSENT 1
#define SCARD_PRESENT 2
#define SCARD_SWALLOWED 3
#define SCARD_POWERED 4
#define SCARD_NEGOTIABLE 5
#define SCARD_SPECIFIC 6

// Protocol masks.
#define SCARD_PROTOCOL_UNDEFINED 0x00000000
#define SCARD_PROTOCOL_T0 0x00000001
#define SCARD_PROTOCOL_T1 0x00000002
#define SCARD_PROTOCOL_RAW 0x00010000
#define SCARD_PROTOCOL_Tx (SCARD_PROTOCOL_T0 | SCARD_PROTOCOL_T1)
#define SCARD_PROTOCOL_DEFAULT 0x80000000
#define SCARD_PROTOCOL_OPTIMAL 0x00000000

// Power actions, the minor code of IOCTL_SMARTCARD_POWER.
#define SCARD_POWER_DOWN 0
#define SCARD_COLD_RESET 1
#define SCARD_WARM_RESET 2

// Reader types (ReaderCapabilities.ReaderType).
#define SCARD_READER_TYPE_SERIAL 0x01
#define SCARD_READER_TYPE_PARALELL 0x02
#define SCARD_READER_TYPE_KEYBOARD 0x04
#define SCARD_READER_TYPE_SCSI 0x08
#define SCARD_READER_TYPE_IDE 0x10
#define SCARD_READER_TYPE_USB 0x20
#define SCARD_READER_TYPE_PCMCIA 0x40
#define SCARD_READER_TYPE_VENDOR 0xF0

// Mechanical properties (ReaderCapabilities.MechProperties).
#define SCARD_READER_SWALLOWS 0x00000001
#define SCARD_READER_EJECTS 0x00000002
#define SCARD_READER_CONFISCATES 0x00000004

// Attribute ids of IOCTL_SMARTCARD_GET_ATTRIBUTE / SET_ATTRIBUTE: a class in
// the high word, a tag in the low word.
#define SCARD_CLASS_VENDOR_INFO 1
#define SCARD_CLASS_COMMUNICATIONS 2
#define SCARD_CLASS_PROTOCOL 3
#define SCARD_CLASS_POWER_MGMT 4
#define SCARD_CLASS_SECURITY 5
#define SCARD_CLASS_MECHANICAL 6
#define SCARD_CLASS_VENDOR_DEFINED 7
#define SCARD_CLASS_IFD_PROTOCOL 8
#define SCARD_CLASS_ICC_STATE 9
#define SCARD_CLASS_PERF 0x7FFE
#define SCARD_CLASS_SYSTEM 0x7FFF

#define SCARD_ATTR_VALUE(Class, Tag) ((((ULONG)(Class)) << 16) | ((ULONG)(Tag)))

#define SCARD_ATTR_VENDOR_NAME SCARD_ATTR_VALUE(SCARD_CLASS_VENDOR_INFO, 0x0100)
#define SCARD_ATTR_VENDOR_IFD_TYPE SCARD_ATTR_VALUE(SCARD_CLASS_VENDOR_INFO, 0x0101)
#define SCARD_ATTR_VENDOR_IFD_VERSION SCARD_ATTR_VALUE(SCARD_CLASS_VENDOR_INFO, 0x0102)
#define SCARD_ATTR_VENDOR_IFD_SERIAL_NO SCARD_ATTR_VALUE(SCARD_CLASS_VENDOR_INFO, 0x0103)
#define SCARD_ATTR_CHANNEL_ID SCARD_ATTR_VALUE(SCARD_CLASS_COMMUNICATIONS, 0x0110)
#define SCARD_ATTR_PROTOCOL_TYPES SCARD_ATTR_VALUE(SCARD_CLASS_PROTOCOL, 0x0120)
#define SCARD_ATTR_DEFAULT_CLK SCARD_ATTR_VALUE(SCARD_CLASS_PROTOCOL, 0x0121)
#define SCARD_ATTR_MAX_CLK SCARD_ATTR_VALUE(SCARD_CLASS_PROTOCOL, 0x0122)
#define SCARD_ATTR_DEFAULT_DATA_RATE SCARD_ATTR_VALUE(SCARD_CLASS_PROTOCOL, 0x0123)
#define SCARD_ATTR_MAX_DATA_RATE SCARD_ATTR_VALUE(SCARD_CLASS_PROTOCOL, 0x0124)
#define SCARD_ATTR_MAX_IFSD SCARD_ATTR_VALUE(SCARD_CLASS_PROTOCOL, 0x0125)
#define SCARD_ATTR_POWER_MGMT_SUPPORT SCARD_ATTR_VALUE(SCARD_CLASS_POWER_MGMT, 0x0131)
#define SCARD_ATTR_CHARACTERISTICS SCARD_ATTR_VALUE(SCARD_CLASS_MECHANICAL, 0x0150)
#define SCARD_ATTR_CURRENT_PROTOCOL_TYPE SCARD_ATTR_VALUE(SCARD_CLASS_IFD_PROTOCOL, 0x0201)
#define SCARD_ATTR_CURRENT_CLK SCARD_ATTR_VALUE(SCARD_CLASS_IFD_PROTOCOL, 0x0202)
#define SCARD_ATTR_CURRENT_F SCARD_ATTR_VALUE(SCARD_CLASS_IFD_PROTOCOL, 0x0203)
#define SCARD_ATTR_CURRENT_D SCARD_ATTR_VALUE(SCARD_CLASS_IFD_PROTOCOL, 0x0204)
#define SCARD_ATTR_CURRENT_N SCARD_ATTR_VALUE(SCARD_CLASS_IFD_PROTOCOL, 0x0205)
#define SCARD_ATTR_CURRENT_W SCARD_ATTR_VALUE(SCARD_CLASS_IFD_PROTOCOL, 0x0206)
#define SCARD_ATTR_CURRENT_IFSC SCARD_ATTR_VALUE(SCARD_CLASS_IFD_PROTOCOL, 0x0207)
#define SCARD_ATTR_CURRENT_IFSD SCARD_ATTR_VALUE(SCARD_CLASS_IFD_PROTOCOL, 0x0208)
#define SCARD_ATTR_CURRENT_BWT SCARD_ATTR_VALUE(SCARD_CLASS_IFD_PROTOCOL, 0x0209)
#define SCARD_ATTR_CURRENT_CWT SCARD_ATTR_VALUE(SCARD_CLASS_IFD_PROTOCOL, 0x020A)
#define SCARD_ATTR_CURRENT_EBC_ENCODING SCARD_ATTR_VALUE(SCARD_CLASS_IFD_PROTOCOL, 0x020B)
#define SCARD_ATTR_ICC_PRESENCE SCARD_ATTR_VALUE(SCARD_CLASS_ICC_STATE, 0x0300)
#define SCARD_ATTR_ICC_INTERFACE_STATUS SCARD_ATTR_VALUE(SCARD_CLASS_ICC_STATE, 0x0301)
#define SCARD_ATTR_ATR_STRING SCARD_ATTR_VALUE(SCARD_CLASS_ICC_STATE, 0x0303)
#define SCARD_ATTR_ICC_TYPE_PER_ATR SCARD_ATTR_VALUE(SCARD_CLASS_ICC_STATE, 0x0304)
#define SCARD_ATTR_DEVICE_UNIT SCARD_ATTR_VALUE(SCARD_CLASS_SYSTEM, 0x0001)
#define SCARD_ATTR_DEVICE_IN_USE SCARD_ATTR_VALUE(SCARD_CLASS_SYSTEM, 0x0002)

// The header in front of the APDU in a transmit request and in front of the
// response in its reply.
typedef struct _SCARD_IO_REQUEST {
    ULONG dwProtocol;  // SCARD_PROTOCOL_*
    ULONG cbPciLength; // this header and any protocol data behind it
} SCARD_IO_REQUEST, *PSCARD_IO_REQUEST;
#endif // !_WIN32

// The smart-card reader device interface class,
// {50DD5230-BA8A-11D1-BF5D-0000F805F530}.
inline constexpr GUID GUID_DEVINTERFACE_SMARTCARD_READER = {
    0x50DD5230, 0xBA8A, 0x11D1, {0xBF, 0x5D, 0x00, 0x00, 0xF8, 0x05, 0xF5, 0x30}};

// ---------------------------------------------------------------------------
// The library's records

#define SMCLIB_VERSION 0x150
#define MAXIMUM_ATTR_STRING_LENGTH 32
#define MAXIMUM_SMARTCARD_READERS 10
#define MIN_BUFFER_SIZE 288 // smallest request/reply buffer the library allocates

// Slots of SMARTCARD_EXTENSION.ReaderFunction: the reader callbacks the
// library calls for the requests it cannot serve alone. A null slot makes the
// library refuse that request.
#define RDF_CARD_POWER 0
#define RDF_TRANSMIT 1
#define RDF_CARD_EJECT 2
#define RDF_READER_SWALLOW 3
#define RDF_CARD_TRACKING 4
#define RDF_SET_PROTOCOL 5
#define RDF_DEBUG_LEVEL 6
#define RDF_CARD_CONFISCATE 7
#define RDF_IOCTL_VENDOR 8
#define RDF_ATR_PARSE 9
#define RDF_MAX_FUNCTIONS 16

// PtsData.Type: how the PPS parameters are chosen.
#define PTS_TYPE_DEFAULT 0x00
#define PTS_TYPE_OPTIMAL 0x01
#define PTS_TYPE_USER 0x02

// Reserved space given by an expression over pointer sizes: exact where it is
// positive (always on 32-bit Windows), one byte where the host's wider
// pointers leave nothing.
#define QV_SMCLIB_RESERVED(bytes) ((bytes) > 0 ? (bytes) : 1)

typedef struct _SMARTCARD_EXTENSION SMARTCARD_EXTENSION, *PSMARTCARD_EXTENSION;

// The reader driver's own per-reader record; the library only carries the pointer.
typedef struct _READER_EXTENSION* PREADER_EXTENSION;
typedef struct _PERF_INFO* PPERF_INFO;

typedef struct _VENDOR_ATTR {
    struct {
        USHORT Length; // bytes used in Buffer; no terminator needed
        UCHAR Buffer[MAXIMUM_ATTR_STRING_LENGTH];
    } VendorName;
    struct {
        USHORT Length;
        UCHAR Buffer[MAXIMUM_ATTR_STRING_LENGTH];
    } IfdType;
    ULONG UnitNo; // zero-based number among the readers of this driver
    struct {
        USHORT BuildNumber;
        UCHAR VersionMinor;
        UCHAR VersionMajor;
    } IfdVersion;
    struct {
        USHORT Length;
        UCHAR Buffer[MAXIMUM_ATTR_STRING_LENGTH];
    } IfdSerialNo;
    ULONG Reserved[25];
} VENDOR_ATTR, *PVENDOR_ATTR;

typedef struct _CLOCK_RATE_CONVERSION {
    ULONG F;
    ULONG fs; // maximum clock frequency for F, in Hz
} CLOCK_RATE_CONVERSION, *PCLOCK_RATE_CONVERSION;

typedef struct _BIT_RATE_ADJUSTMENT {
    ULONG DNumerator;
    ULONG DDivisor;
} BIT_RATE_ADJUSTMENT, *PBIT_RATE_ADJUSTMENT;

typedef struct _PTS_DATA {
    UCHAR Type; // PTS_TYPE_*
    UCHAR Fl;   // the Fl and Dl indices proposed in PPS1
    UCHAR Dl;
    ULONG CLKFrequency;
    ULONG DataRate;
    UCHAR StopBits;
} PTS_DATA, *PPTS_DATA;

// What the library knows about the card in the reader, mostly from its ATR.
typedef struct _SCARD_CARD_CAPABILITIES {
    BOOLEAN InversConvention;
    ULONG etu;
    struct {
        UCHAR Buffer[64];
        UCHAR Length;
    } ATR;
    struct {
        UCHAR Buffer[16];
        UCHAR Length;
    } HistoricalChars;
    PCLOCK_RATE_CONVERSION ClockRateConversion;
    PBIT_RATE_ADJUSTMENT BitRateAdjustment;
    UCHAR Fl;
    UCHAR Dl;
    UCHAR II;
    UCHAR P;
    UCHAR N;
    ULONG GT;
    struct {
        ULONG Supported; // SCARD_PROTOCOL_* mask the card offers
        ULONG Selected;  // the protocol in use, 0 when none
    } Protocol;
    struct {
        UCHAR WI;
        ULONG WT;
    } T0;
    struct {
        UCHAR IFSC;
        UCHAR CWI;
        UCHAR BWI;
        UCHAR EDC;
        ULONG CWT;
        ULONG BWT; // block waiting time in microseconds
        ULONG BGT;
    } T1;
    PTS_DATA PtsData;
    UCHAR Reserved[100 - sizeof(PTS_DATA)];
} SCARD_CARD_CAPABILITIES, *PSCARD_CARD_CAPABILITIES;

// What the reader offers, filled by the driver; CurrentState is the card state.
typedef struct _SCARD_READER_CAPABILITIES {
    ULONG SupportedProtocols;
    ULONG Reserved;
    ULONG ReaderType;
    ULONG MechProperties;
    ULONG CurrentState; // SCARD_UNKNOWN .. SCARD_SPECIFIC
    ULONG Channel;
    struct {
        ULONG Default; // kHz
        ULONG Max;
    } CLKFrequency;
    struct {
        ULONG Default; // bit/s
        ULONG Max;
    } DataRate;
    ULONG MaxIFSD;
    ULONG PowerMgmtSupport;
    ULONG CardConfiscated;
    struct _DataRatesSupported {
        PULONG List;
        UCHAR Entries;
    } DataRatesSupported;
    struct _CLKFrequenciesSupported {
        PULONG List;
        UCHAR Entries;
    } CLKFrequenciesSupported;
    UCHAR Reserved1[100 - sizeof(ULONG) - sizeof(struct _DataRatesSupported) -
                    sizeof(struct _CLKFrequenciesSupported)];
} SCARD_READER_CAPABILITIES, *PSCARD_READER_CAPABILITIES;

typedef struct _SMARTCARD_REQUEST {
    PUCHAR Buffer;
    ULONG BufferSize;   // allocated by SmartcardInitialize at this size
    ULONG BufferLength; // bytes to send
} SMARTCARD_REQUEST, *PSMARTCARD_REQUEST;

typedef struct _SMARTCARD_REPLY {
    PUCHAR Buffer;
    ULONG BufferSize;
    ULONG BufferLength; // bytes received
} SMARTCARD_REPLY, *PSMARTCARD_REPLY;

typedef struct _T0_DATA {
    ULONG Lc;
    ULONG Le;
} T0_DATA, *PT0_DATA;

// The library's T=1 protocol state towards the card.
typedef struct _T1_DATA {
    UCHAR IFSC; // information field size of the card
    UCHAR IFSD; // information field size of the reader
    ULONG BytesReceived;
    ULONG BytesSent;
    ULONG BytesToSend;
    UCHAR LastError;
    BOOLEAN MoreData;
    UCHAR NAD; // node address of the next block to the card
    ULONG OriginalState;
    UCHAR Resend;
    UCHAR Resynch;
    UCHAR RSN;
    UCHAR SSN;
    ULONG State;
    UCHAR Wtx; // waiting-time multiplier of BWT the card asked for, 0 when none
    PUCHAR ReplyData;
    BOOLEAN WaitForReply;
    UCHAR InfBytesSent;
    // Pads the record to the platform's size: 4 bytes on 32-bit Windows.
    // Where pointers take 8 bytes the platform's expression comes to 0, which
    // is no array size, so the host keeps one byte there instead.
    UCHAR Reserved[QV_SMCLIB_RESERVED(10 - sizeof(PUCHAR) - sizeof(BOOLEAN) - sizeof(UCHAR))];
} T1_DATA, *PT1_DATA;

// Allocated by SmartcardInitialize. The members below are the head of the
// platform's record, in its order (the driver reaches SpinLock by its offset,
// so Mutex must stay in front of it); the library allocates this head as the
// start of a larger record of its own, whose remaining state (remove lock,
// request bookkeeping) the driver never sees. The driver uses DeviceObject,
// CurrentIrp, NotificationIrp and SpinLock only.
typedef struct _OS_DEP_DATA {
    PDEVICE_OBJECT DeviceObject; // set by the driver right after SmartcardInitialize
    PIRP CurrentIrp;             // the request the library is serving
    PIRP NotificationIrp;        // the pending card-tracking request, guarded by SpinLock
    KMUTEX Mutex;                // the library's: one request at a time through the reader functions
    KSPIN_LOCK SpinLock;
} OS_DEP_DATA, *POS_DEP_DATA;

struct _SMARTCARD_EXTENSION {
    ULONG Version; // SMCLIB_VERSION, set before SmartcardInitialize
    VENDOR_ATTR VendorAttr;
    NTSTATUS(NTAPI* ReaderFunction[RDF_MAX_FUNCTIONS])(PSMARTCARD_EXTENSION SmartcardExtension);
    SCARD_CARD_CAPABILITIES CardCapabilities;
    ULONG LastError;
    // The request being served, as the library hands it to a callback.
    struct {
        PULONG Information; // bytes of the reply, written by the callback
        PUCHAR RequestBuffer;
        ULONG RequestBufferLength;
        PUCHAR ReplyBuffer;
        ULONG ReplyBufferLength;
    } IoRequest;
    ULONG MajorIoControlCode;
    ULONG MinorIoControlCode;
    POS_DEP_DATA OsData;
    SCARD_READER_CAPABILITIES ReaderCapabilities;
    PREADER_EXTENSION ReaderExtension;
    SMARTCARD_REPLY SmartcardReply;
    SMARTCARD_REQUEST SmartcardRequest;
    T0_DATA T0;
    T1_DATA T1;
    PPERF_INFO PerfInfo;
    ULONG Reserved[25 - sizeof(PPERF_INFO)];
};

// ---------------------------------------------------------------------------
// The library's calls

#ifdef __cplusplus
extern "C" {
#endif

// Allocates OsData and the SmartcardRequest / SmartcardReply buffers at the
// sizes given in their BufferSize (at least MIN_BUFFER_SIZE).
NTSTATUS NTAPI SmartcardInitialize(PSMARTCARD_EXTENSION SmartcardExtension);

// Frees what SmartcardInitialize allocated.
VOID NTAPI SmartcardExit(PSMARTCARD_EXTENSION SmartcardExtension);

// Serves a smart-card I/O control, calling the reader callbacks as needed;
// completes the IRP or leaves it pending, and returns its status.
NTSTATUS NTAPI SmartcardDeviceControl(PSMARTCARD_EXTENSION SmartcardExtension, PIRP Irp);

// Makes a symbolic link to DeviceName for the resource manager of older
// Windows; the link's name is returned in LinkName.
NTSTATUS NTAPI SmartcardCreateLink(PUNICODE_STRING LinkName, PUNICODE_STRING DeviceName);

// Writes an entry to the system event log on behalf of a device or driver object.
VOID NTAPI SmartcardLogError(PVOID Object, NTSTATUS ErrorCode, PUNICODE_STRING Insertion, ULONG DumpData);

// The library's remove lock on the reader: acquisition fails with
// STATUS_DELETE_PENDING once removal has begun; each success is released once.
NTSTATUS NTAPI SmartcardAcquireRemoveLock(PSMARTCARD_EXTENSION SmartcardExtension);
VOID NTAPI SmartcardReleaseRemoveLock(PSMARTCARD_EXTENSION SmartcardExtension);
// Releases the caller's hold and returns when every other holder has released.
VOID NTAPI SmartcardReleaseRemoveLockAndWait(PSMARTCARD_EXTENSION SmartcardExtension);

// Fills CardCapabilities from the ATR in CardCapabilities.ATR.
NTSTATUS NTAPI SmartcardUpdateCardCapabilities(PSMARTCARD_EXTENSION SmartcardExtension);

// T=1 towards the card: the next block to send, in SmartcardRequest; then the
// card's answer block, in SmartcardReply. STATUS_MORE_PROCESSING_REQUIRED
// from SmartcardT1Reply asks for another block.
NTSTATUS NTAPI SmartcardT1Request(PSMARTCARD_EXTENSION SmartcardExtension);
NTSTATUS NTAPI SmartcardT1Reply(PSMARTCARD_EXTENSION SmartcardExtension);

// The rest of the library's documented routines. The Windows image may
// import any of them (the import checks allow exactly this list); the
// emulation implements those the driver calls.
NTSTATUS NTAPI SmartcardDeleteLink(PUNICODE_STRING LinkName);
NTSTATUS NTAPI SmartcardAcquireRemoveLockWithTag(PSMARTCARD_EXTENSION SmartcardExtension);
VOID NTAPI SmartcardReleaseRemoveLockWithTag(PSMARTCARD_EXTENSION SmartcardExtension);
NTSTATUS NTAPI SmartcardT0Request(PSMARTCARD_EXTENSION SmartcardExtension);
NTSTATUS NTAPI SmartcardT0Reply(PSMARTCARD_EXTENSION SmartcardExtension);
NTSTATUS NTAPI SmartcardRawRequest(PSMARTCARD_EXTENSION SmartcardExtension);
NTSTATUS NTAPI SmartcardRawReply(PSMARTCARD_EXTENSION SmartcardExtension);
VOID NTAPI SmartcardInvertData(PUCHAR Buffer, ULONG Length);
ULONG NTAPI SmartcardGetDebugLevel(void);
VOID NTAPI SmartcardSetDebugLevel(ULONG Level);

#ifdef __cplusplus
}
#endif
