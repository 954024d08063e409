// An ISO/IEC 7816-3 answer-to-reset parser: the character structure (TS, T0,
// the interface-byte groups, the historical bytes, TCK) and what the
// interface bytes say (rates, guard time, specific mode, T=0 waiting
// integer, T=1 frame size, waiting times and error detection), plus the
// times that follow from them at a given clock.
//
// The parser never reads past the bytes it is given and refuses every ATR
// whose structure does not add up to exactly its length.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <span>
#include <string_view>

namespace qv::smclib {

// Why an ATR was refused.
enum class AtrFault {
    None,
    Empty,            // no bytes at all
    TooLong,          // more than 33 bytes, or bytes left after the last one the structure announces
    BadConvention,    // TS is neither 0x3B (direct) nor 0x3F (inverse)
    Truncated,        // presence bits or the historical count point past the last byte
    MissingTck,       // a protocol other than T=0 is offered but no TCK follows
    BadTck,           // the exclusive-or of T0 .. TCK is not zero
    ReservedFi,       // TA1 names a reserved clock rate conversion factor
    ReservedDi,       // TA1 names a reserved baud rate adjustment factor
    ReservedWi,       // TC2 is 0
    ReservedIfsc,     // the first T=1 TA is 0x00 or 0xFF
    ReservedBwi,      // the first T=1 TB has a BWI above 9
    UnsupportedProtocol, // neither T=0 nor T=1 offered, or specific mode in another protocol
};

std::string_view AtrFaultName(AtrFault fault);

inline constexpr std::size_t kMaximumAtrLength = 33;
inline constexpr std::uint8_t kDirectConvention = 0x3B;
inline constexpr std::uint8_t kInverseConvention = 0x3F;
inline constexpr std::size_t kMaximumHistoricalBytes = 15;

// One group of interface bytes, TA(i) .. TD(i).
struct AtrGroup {
    std::optional<std::uint8_t> ta, tb, tc, td;
};

struct ParsedAtr {
    AtrFault fault = AtrFault::None;
    bool inverse = false;
    std::uint8_t t0 = 0;
    std::array<AtrGroup, kMaximumAtrLength> groups{}; // groups[0] is group 1
    std::size_t groupCount = 0;
    std::size_t historicalOffset = 0;
    std::size_t historicalLength = 0;
    bool tckPresent = false;
    std::uint8_t tck = 0;

    // Meaning of the interface bytes; ISO defaults where a byte is absent.
    std::uint32_t offered = 0;        // bit T set for every protocol T named by a TD byte (T=0 without TD1)
    std::uint8_t firstProtocol = 0;   // the protocol of TD1, 0 without TD1
    std::uint8_t fi = 1, di = 1;      // TA1 indices (Fl, Dl)
    std::uint8_t ii = 0, pi = 0;      // TB1 (and TB2) programming values
    std::uint8_t n = 0;               // TC1, extra guard time
    bool specific = false;            // TA2 present: specific mode
    std::uint8_t specificProtocol = 0;
    bool implicitRates = false;       // TA2 bit 5: rates implicit, not from TA1
    std::uint8_t wi = 10;             // TC2
    std::uint8_t ifsc = 32, cwi = 13, bwi = 4, edc = 0; // first T=1 group
    // The first TA for T=15: clock stop indicator XI (0 not supported, 1 state
    // L, 2 state H, 3 no preference) and class indicator UI; 0 when absent.
    std::uint8_t clockStop = 0, classIndicator = 0;

    bool Ok() const { return fault == AtrFault::None; }
};

ParsedAtr ParseAtr(std::span<const std::uint8_t> atr);

// Clock rate conversion factor F and its maximum clock for an Fi index; 0
// for reserved indices.
std::uint32_t FiValue(std::uint8_t fi);
std::uint32_t FiMaximumClockKHz(std::uint8_t fi);
// Baud rate adjustment factor D for a Di index; 0 for reserved indices.
std::uint32_t DiValue(std::uint8_t di);

// Times derived from an ATR at a clock of clockKHz, for transmission at F
// and D (given as indices), in microseconds.
struct AtrTimes {
    std::uint32_t etu = 0;      // F / (D f), rounded to the nearest microsecond
    std::uint32_t guard = 0;    // GT: 12 etu + N etu; with N = 255, 12 etu (11 under T=1 only)
    std::uint32_t t0Wait = 0;   // WT = WI x 960 x Fi / f, rounded up
    std::uint32_t t1Char = 0;   // CWT = (11 + 2^CWI) etu, rounded up
    std::uint32_t t1Block = 0;  // BWT = 11 etu + 2^BWI x 960 x 372 / f, rounded up
    std::uint32_t t1BlockGuard = 0; // BGT = 22 etu
    std::uint32_t dataRate = 0; // bit/s = f D / F
};

AtrTimes DeriveTimes(const ParsedAtr& atr, std::uint32_t clockKHz, std::uint8_t fl, std::uint8_t dl);

} // namespace qv::smclib
