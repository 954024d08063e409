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
