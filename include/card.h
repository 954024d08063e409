// Card services: the reader callbacks that the smart card library calls.
// Each runs at PASSIVE_LEVEL in the requester's thread, with the reader's
// I/O timer stopped and its ReaderMutex held for the whole operation.
#pragma once

#include "qvscr.h"

// ---------------------------------------------------------------------------
// The card-service bracket (card/card_service.cpp)

// Stops the reader's I/O timer and takes ReaderMutex.
VOID BeginCardService(PSMARTCARD_EXTENSION SmartcardExtension);
// Starts the timer again, unless the reader was stopped or powered down
// meanwhile, wakes the poller when the last poll is a second or more old,
// and releases ReaderMutex.
VOID EndCardService(PSMARTCARD_EXTENSION SmartcardExtension);
// The interrupt time in milliseconds; it wraps, so only differences count.
ULONG InterruptTimeMs();
// Traces the card state's change from Previous to CurrentState, if it
// changed. IRQL: <= DISPATCH_LEVEL.
VOID TraceCardState(const SMARTCARD_EXTENSION* SmartcardExtension, ULONG Previous);

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
// Protocol selection (card/protocol_selection.cpp)

// The PPS request (ISO/IEC 7816-3): PPSS, PPS0, PPS1 and the check byte PCK.
constexpr ULONG PPS_REQUEST_LENGTH = 4;
constexpr UCHAR PPS_PPSS = 0xFF;
constexpr UCHAR PPS0_PPS1_FOLLOWS = 0x10; // PPS0 bit: PPS1 is present
constexpr UCHAR PPS1_DEFAULT = 0x11;      // Fl 1, Dl 1: the rate every card starts at
constexpr ULONG PPS1_FL_SHIFT = 4;

// The reader's verdicts on a PPS (reader command 8).
constexpr UCHAR READER_STATUS_SUCCESS = 0x00;
constexpr UCHAR READER_STATUS_RATE_REFUSED = 0xE9;

// The one card that needs reader command 9 after its PPS, recognised by its
// whole ATR.
constexpr ULONG SETUP_CARD_ATR_LENGTH = 20;
extern const UCHAR SetupCardAtr[SETUP_CARD_ATR_LENGTH];

// RDF_SET_PROTOCOL: selects T=0 or T=1 from the caller's mask in
// MinorIoControlCode and the card's protocols, negotiates it with the card
// by a PPS the reader carries out, and answers the selected protocol as a
// 32-bit value in the reply buffer.
NTSTATUS NTAPI SetProtocol(PSMARTCARD_EXTENSION SmartcardExtension);

// The four PPS bytes for PPS0 and PPS1 into Request, PCK computed.
VOID BuildPpsRequest(UCHAR Pps0, UCHAR Pps1, PUCHAR Request);

// ---------------------------------------------------------------------------
// Data exchange (card/data_exchange.cpp)

// The reader's verdicts on an APDU (reader command 0). 0xAD is also its
// answer to a reset that found no card.
constexpr UCHAR READER_STATUS_NO_CARD = 0xAB;
constexpr UCHAR READER_STATUS_CARD_UNPOWERED = 0xAD;
constexpr UCHAR READER_STATUS_STATUS_ONLY = 0xD3;
constexpr UCHAR READER_STATUS_CARD_MUTE = 0xD4;

// A command-0 reply that carries the status byte and at least one byte of
// the card's response; 0xD3 is accepted only with exactly two (SW1 SW2).
constexpr ULONG APDU_REPLY_MIN_LENGTH = 6;
constexpr ULONG APDU_REPLY_STATUS_ONLY_LENGTH = 6;

// Command APDU layout: CLA INS P1 P2, then P3 (Lc or Le) for a T=0 header.
constexpr ULONG APDU_HEADER_LENGTH = 4;
constexpr ULONG APDU_T0_HEADER_LENGTH = 5;
constexpr ULONG APDU_LC_OFFSET = 4;

// The most response bytes a command-0 reply can carry: the reply buffer
// less the reader's four leading bytes.
constexpr ULONG APDU_MAX_RESPONSE = READER_BUFFER_SIZE - 4;

// Blocks one T=1 exchange may send before the driver gives up on it, on
// top of the library's own bounds: a request chained at the smallest IFSC
// takes one block per byte, and retransmissions and waiting-time
// extensions come on top.
constexpr ULONG T1_MAX_BLOCKS_PER_EXCHANGE = 1024;

// RDF_TRANSMIT: sends the command APDU behind the SCARD_IO_REQUEST header
// of the request buffer under the selected protocol, and puts the header
// and the card's response in the reply buffer.
NTSTATUS NTAPI Transmit(PSMARTCARD_EXTENSION SmartcardExtension);

// The T=0 road: shapes the APDU into a T=0 command, runs ExchangeApdu, and
// leaves the response in SmartcardReply whatever the status.
NTSTATUS TransmitT0(PSMARTCARD_EXTENSION SmartcardExtension);

// The T=1 road: the library's blocks straight over the USB packet transport
// until the library has the whole answer.
NTSTATUS TransmitT1(PSMARTCARD_EXTENSION SmartcardExtension);

// Sends the first *Length bytes of Buffer as the payload of reader command 0
// and hands the card's response back in Buffer (at most BufferSize bytes)
// with *Length set to its size, 0 when there is none.
NTSTATUS ExchangeApdu(PSMARTCARD_EXTENSION SmartcardExtension, PULONG Length, PUCHAR Buffer, ULONG BufferSize);

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

// PollThreadRun and PollEnabled are written by other threads (start and
// stop, data exchange, power) while the polling thread reads them, so both
// are read and written interlocked.
inline ULONG ReadPollFlag(ULONG* Flag) {
    return static_cast<ULONG>(InterlockedCompareExchange(reinterpret_cast<LONG volatile*>(Flag), 0, 0));
}
inline VOID WritePollFlag(ULONG* Flag, ULONG Value) {
    InterlockedExchange(reinterpret_cast<LONG volatile*>(Flag), static_cast<LONG>(Value));
}

// Card-status bits in the first data byte of the card-status reply.
constexpr UCHAR CARD_STATUS_PRESENT = 0x08;
constexpr UCHAR CARD_STATUS_ACTIVE = 0x10;

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
// timer afterwards. When the thread cannot be referenced it is ended again
// and that failure returned, with PollThread left null. IRQL: PASSIVE_LEVEL.
NTSTATUS StartPollThread(PDEVICE_EXTENSION DeviceExtension);

// Ends the polling thread StartPollThread made: PollThreadRun to 0, the
// thread woken, waited for (its object, or PollThreadEnded when LegacyOs),
// its reference dropped and PollThread cleared. A tick of the I/O timer
// after this only sets PollEvent. Does nothing when no thread was started.
// IRQL: PASSIVE_LEVEL.
VOID StopPollThread(PDEVICE_EXTENSION DeviceExtension);
