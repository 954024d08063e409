// Card services: the reader callbacks that the smart card library calls.
// Each runs at PASSIVE_LEVEL in the requester's thread, with the reader's
// I/O timer stopped and its ReaderMutex held for the whole operation.
#pragma once

#include "qvscr.h"

// ---------------------------------------------------------------------------
// Card power and ATR

// The reader status byte of a reset reply that carries no ATR: the reset was
// done and the card's ATR is the one the reader gave last.
constexpr UCHAR READER_STATUS_RESET_NO_ATR = 0xAA;

// Reset replies of this many bytes or fewer carry no ATR.
constexpr ULONG RESET_REPLY_WITHOUT_ATR = 5;

// ISO/IEC 7816-3 bounds an ATR at 33 bytes, TS included; card data beyond
// that in a reset reply is no ATR. Both the library's ATR buffer and the
// per-reader AtrCache hold at least this much.
constexpr ULONG MAXIMUM_ATR_LENGTH = 33;
static_assert(MAXIMUM_ATR_LENGTH <= ATR_CACHE_SIZE, "the cache holds every ATR");

// The two initial characters (TS) that announce direct and inverse convention.
constexpr UCHAR ATR_TS_DIRECT = 0x3B;
constexpr UCHAR ATR_TS_INVERSE = 0x3F;

// The IFSD the driver announces for T=1, below the reader's MaxIFSD of 254.
constexpr UCHAR DRIVER_T1_IFSD = 252;

// Pause after a cold reset, in milliseconds, before the card is used.
constexpr ULONG COLD_RESET_PAUSE_MS = 20;

// RDF_CARD_POWER: powers the card down (SCARD_POWER_DOWN) or resets it
// (SCARD_COLD_RESET, SCARD_WARM_RESET) and returns its ATR in the reply
// buffer, with CardCapabilities filled by the library from it.
NTSTATUS NTAPI CardPower(PSMARTCARD_EXTENSION SmartcardExtension);

// Sets T1.IFSC from the ATR in CardCapabilities.ATR: the first TA(i), i >= 3,
// along a chain of TD bytes naming T=0 or T=1, when TD1 names T=1. Reads no
// byte at or past ATR.Length.
VOID FindIfsc(PSMARTCARD_EXTENSION SmartcardExtension);

// ---------------------------------------------------------------------------
// The reader callback table

// Fills SmartcardExtension->ReaderFunction with the driver's callbacks and
// clears every other slot; add-device calls it before SmartcardInitialize.
VOID SetReaderFunctions(PSMARTCARD_EXTENSION SmartcardExtension);

// ---------------------------------------------------------------------------
// Card presence and tracking (card/card_tracking.cpp, card/poll_thread.cpp)

// The model id at the start of ReaderInfo of the reader whose card-present
// bit is confirmed with a warm reset before a card counts as present.
constexpr ULONG READER_MODEL_ID_LENGTH = 6;
extern const UCHAR ReaderModelQv38n[READER_MODEL_ID_LENGTH];

// Card-status bits in the first data byte of the card-status reply.
constexpr UCHAR CARD_STATUS_PRESENT = 0x08;
constexpr UCHAR CARD_STATUS_ACTIVE = 0x10;

// The reader status byte of a reset that found no card.
constexpr UCHAR READER_STATUS_NO_CARD = 0xAD;

// All access to a thread object, for the polling thread's handle.
constexpr ACCESS_MASK POLL_THREAD_ACCESS = 0x1F03FF;

// RDF_CARD_TRACKING: the library has stored a card-present or card-absent
// wait in OsData->NotificationIrp and marked it pending; makes it
// cancellable, or completes it at once when it was cancelled before this
// ran. Returns STATUS_PENDING. IRQL: PASSIVE_LEVEL.
NTSTATUS NTAPI CardTracking(PSMARTCARD_EXTENSION SmartcardExtension);

// Cancel routine of the tracking IRP; entered with the cancel spin lock
// held, releases it, and completes the IRP with STATUS_CANCELLED.
VOID NTAPI CancelTracking(PDEVICE_OBJECT DeviceObject, PIRP Irp);

// IRP_MJ_CLEANUP: ends a pending tracking IRP with STATUS_CANCELLED, then
// completes the cleanup IRP with STATUS_SUCCESS. IRQL: PASSIVE_LEVEL.
NTSTATUS NTAPI DispatchCleanup(PDEVICE_OBJECT DeviceObject, PIRP Irp);

// One card-status poll: brings CurrentState in step with the reader and
// completes the tracking IRP when a card came or went (or on the first poll
// after power-up with a card known before). Returns the status of the last
// reader command it sent. IRQL: PASSIVE_LEVEL.
NTSTATUS PollCardStatus(PSMARTCARD_EXTENSION SmartcardExtension);

// The device's I/O timer routine; Context is the DEVICE_EXTENSION. Wakes the
// polling thread. IRQL: DISPATCH_LEVEL.
VOID NTAPI PollTimer(PDEVICE_OBJECT DeviceObject, PVOID Context);

// Start routine of the polling thread; Context is the DEVICE_EXTENSION.
VOID NTAPI PollThreadMain(PVOID Context);

// Creates the polling thread and keeps a reference to it in PollThread. The
// caller sets PollThreadRun and PollEnabled to 1 first and starts the I/O
// timer afterwards. IRQL: PASSIVE_LEVEL.
NTSTATUS StartPollThread(PDEVICE_EXTENSION DeviceExtension);

// Ends the polling thread StartPollThread made: PollThreadRun to 0, the
// thread woken, waited for (unless LegacyOs), its reference dropped and
// PollThread cleared. The caller stops the I/O timer first. Does nothing
// when no thread was started. IRQL: PASSIVE_LEVEL.
VOID StopPollThread(PDEVICE_EXTENSION DeviceExtension);
