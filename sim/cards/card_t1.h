// The card's side of ISO/IEC 7816-3 T=1 (clause 11): it takes the blocks
// the reader passes on, runs the block rules and hands whole APDUs to the
// application. IFSC from the ATR (and its own S(IFS request) when a fault
// asks for one), chaining in both directions within IFSC and the host's
// IFSD, S(WTX request) when a command outlasts the block waiting time,
// R-blocks for damaged or unexpected blocks, the repeat of its last block on
// request, RESYNCH, ABORT, and LRC or CRC as its ATR announced.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <span>

#include "card_interface.h"
#include "cards/iso_application.h"
#include "reader_faults.h"
#include "sim_time.h"

namespace qv::sim {

// The error detection code of T=1 blocks: LRC (one byte) or CRC (two).
// The CRC is ISO/IEC 13239's 16-bit frame check sequence: the polynomial
// x^16 + x^12 + x^5 + 1 processed low bit first (0x8408), starting from
// 0xFFFF, the result inverted, sent low byte first.
std::uint16_t T1Crc(std::span<const std::uint8_t> bytes);
// Adds the check bytes to a prologue and information field.
Bytes SealT1Block(Bytes block, bool crc);
// True when the block's length fits its LEN and its check bytes are right.
bool T1BlockIntact(std::span<const std::uint8_t> block, bool crc);

struct T1Settings {
    std::uint8_t ifsc = 32;
    bool crc = false;
    // Block waiting time: a command whose work takes longer is preceded by
    // S(WTX request).
    usb::Time bwt = 1600 * kMillisecond;
};

// One block of the card, and how long the card worked before it could go
// out (its characters on the line are counted by the caller).
struct T1Answer {
    Bytes block;
    usb::Time work = 0;
};

class CardT1 {
  public:
    using Runner = std::function<ApduAnswer(std::span<const std::uint8_t> apdu)>;

    explicit CardT1(T1Settings settings) : settings_(settings) { Reset(); }

    // Takes one block from the reader. faults may be null.
    T1Answer Receive(std::span<const std::uint8_t> block, FaultPlan* faults, const Runner& run);
    // Activation state: sequence numbers 0, IFSD 32, IFSC from the ATR.
    void Reset();

    std::size_t Ifsd() const { return ifsd_; }
    std::size_t Ifsc() const { return ifsc_; }
    const T1Settings& Settings() const { return settings_; }

  private:
    T1Answer OnIBlock(std::uint8_t pcb, std::span<const std::uint8_t> inf, const Runner& run);
    T1Answer OnRBlock(std::uint8_t pcb);
    T1Answer OnSBlock(std::uint8_t pcb, std::span<const std::uint8_t> inf);
    // The answer to a command: at once, or after an S(WTX request) when it
    // takes longer than the block waiting time.
    T1Answer StartAnswer(ApduAnswer answer);
    T1Answer NextPiece(usb::Time work);
    T1Answer AskForTime(std::uint8_t multiplier);
    T1Answer RBlock(std::uint8_t error);
    Bytes Build(std::uint8_t pcb, std::span<const std::uint8_t> inf = {}) const;
    std::uint8_t NR() const;
    // Keeps the block for a repeat and applies the armed card faults.
    T1Answer Emit(Bytes block, usb::Time work);

    T1Settings settings_;
    FaultPlan* faults_ = nullptr;
    std::size_t ifsc_ = 32;
    std::size_t ifsd_ = 32;
    std::uint8_t hostSequence_ = 0; // N(S) expected in the host's next I-block
    std::uint8_t cardSequence_ = 0; // N(S) of the card's next I-block
    Bytes command_;                  // chained command being collected
    Bytes response_;                 // response (data and SW) still to go out
    std::size_t sent_ = 0;
    bool answering_ = false;         // response_ is being sent in pieces
    usb::Time workLeft_ = 0;         // work not yet covered by a WTX request
    usb::Time pendingGrant_ = 0;     // work done while the host answers a WTX request
    bool awaitingWtx_ = false;
    bool oneWaitAtATime_ = false;    // the answer asked for its extensions one by one
    std::optional<Bytes> afterWtx_;  // a block held back behind a fault's WTX request
    bool wrongSequence_ = false;     // the card-wrong-sequence fault, until reset
    Bytes last_;
};

} // namespace qv::sim
