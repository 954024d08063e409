// Answers to reset as ISO/IEC 7816-3 lays them out: built from the
// parameters a card announces, and read back into those parameters, so that
// a simulated card can be made from any real card's ATR and behave as that
// ATR says.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "card_interface.h"

namespace qv::sim {

inline constexpr std::uint8_t kTsDirect = 0x3B;
inline constexpr std::uint8_t kTsInverse = 0x3F;
inline constexpr std::size_t kMaxAtrLength = 33;
inline constexpr std::size_t kMaxHistoricalBytes = 15;
// The default rate, Fi 372 and Di 1 (TA1 and PPS1 coding).
inline constexpr std::uint8_t kDefaultRate = 0x11;
inline constexpr std::uint8_t kDefaultIfsc = 32;

enum class TckMode {
    Auto, // present and right whenever a protocol other than T=0 is offered
    Bad,  // present (also for T=0 only) and wrong
    Omit, // left out even where it is required
};

// What a card announces in its ATR. The builder writes the interface bytes
// in ISO order: TA1 and TC1 in group 1; TA2 (specific mode) and TC2 (T=0's
// waiting integer) in group 2; the T=1 values (IFSC, BWI/CWI, EDC) in the
// first group after a TD byte that names T=1.
struct AtrParameters {
    bool inverse = false;
    std::optional<std::uint8_t> ta1{};  // Fi and Di indexes
    std::optional<std::uint8_t> tc1{};  // extra guard time N
    std::optional<std::uint8_t> ta2{};  // specific mode: bit 0x80 unable to change, low nibble T
    std::optional<std::uint8_t> tc2{};  // T=0 waiting integer WI
    bool t0 = true;
    bool t1 = false;
    std::uint8_t ifsc = kDefaultIfsc;
    std::uint8_t bwi = 4;
    std::uint8_t cwi = 13;
    bool crc = false;
    Bytes historical{};
    TckMode tck = TckMode::Auto;
};

// Builds the ATR; historical bytes past 15 are not taken.
Bytes BuildAtr(const AtrParameters& parameters);

// What a card reads out of an ATR to know how to behave. Reading never goes
// past the ATR's end: an ATR cut short yields what its bytes do say.
struct AtrProfile {
    bool inverse = false;
    std::uint8_t protocols = 0;           // bit 0x01 T=0, 0x02 T=1 (T=0 when no TD says otherwise)
    std::uint8_t rate = kDefaultRate;     // TA1, or the default
    std::uint8_t extraGuard = 0;          // TC1: N
    std::uint8_t wi = 10;                 // TC2: T=0's waiting integer
    std::optional<std::uint8_t> specific; // TA2
    std::uint8_t ifsc = kDefaultIfsc;
    std::uint8_t bwi = 4;
    std::uint8_t cwi = 13;
    bool crc = false;
    std::size_t historicalCount = 0;
    bool tckPresent = false;
    bool tckGood = false;
    bool complete = false; // every announced byte is there
};

AtrProfile ReadAtr(std::span<const std::uint8_t> atr);

} // namespace qv::sim
