// The library's private T=1 state for one reader: what it knows of the card
// session (sequence numbers, the agreed frame sizes, whether the reader's
// frame size has been announced) and of the exchange in progress (the
// command, how far it has gone, the block to send next, the error counters).
// T1_DATA in the extension mirrors the public part for the driver; this
// record is what the engine trusts.
#pragma once

#include "qvwdk.h"
#include "smclib/t1_block.h"

namespace qv::smclib {

enum class T1Phase {
    Idle,     // no exchange in progress
    Resynch,  // S(RESYNCH request) sent, waiting for its response
    Ifs,      // S(IFS request) announcing IFSD sent, waiting for its response
    Transfer, // I-blocks of the command out, the response in
};

struct T1Session {
    // The card session: begins afresh after every reset of the card.
    bool open = false;
    ULONG generation = 0; // LibraryOsData::cardResets when the session began
    UCHAR ssn = 0;        // N(S) of our next new I-block
    UCHAR rsn = 0;        // N(S) expected of the card's next I-block
    UCHAR ifsc = t1::kDefaultInformationSize;
    UCHAR ifsd = t1::kDefaultInformationSize;
    UCHAR ifsdWanted = t1::kDefaultInformationSize; // the reader's, announced after each reset and RESYNCH
    bool ifsdAnnounced = false;
    bool resynchFirst = false; // the last exchange gave up: start the next with a RESYNCH

    // The exchange in progress.
    T1Phase phase = T1Phase::Idle;
    bool blockOut = false;         // a block was handed out; SmartcardT1Reply takes the card's answer
    PUCHAR command = nullptr;      // private copy of the APDU, from pool
    ULONG commandLength = 0;
    ULONG pciLength = 0;           // cbPciLength of the request header
    ULONG sent = 0;                // command bytes the card has acknowledged
    ULONG chunk = 0;               // command bytes in our I-block in flight
    UCHAR iBlockNs = 0;            // N(S) of that I-block
    bool iBlockPending = false;    // our I-block is not acknowledged yet
    ULONG received = 0;            // response bytes taken so far
    bool overflow = false;         // a response byte did not fit the caller's buffer

    // The block to send next, without its NAD and EDC (added when handed out).
    UCHAR outPcb = 0;
    UCHAR outInformation[t1::kMaximumInformation] = {};
    ULONG outLength = 0;
    UCHAR sentNad = 0; // the NAD the last block went out with

    // Error counters.
    ULONG tries = 0;        // failed attempts at the current step
    ULONG resynchTries = 0; // RESYNCH requests without a response
    ULONG resynchs = 0;     // successful RESYNCHs during this exchange
    ULONG ifsTries = 0;     // IFS requests without a matching response
    ULONG wtxInARow = 0;    // WTX requests without any other block between
    ULONG requestsInARow = 0; // IFS and ABORT requests of the card without progress between
    ULONG discarded = 0;    // response bytes past the caller's buffer
};

} // namespace qv::smclib
