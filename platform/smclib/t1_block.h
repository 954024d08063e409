// ISO/IEC 7816-3 T=1 blocks as the library builds and checks them: the
// prologue (NAD, PCB, LEN), the information field and the epilogue (LRC or
// CRC). Pure functions over byte spans; nothing here keeps state.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

namespace qv::smclib::t1 {

inline constexpr std::size_t kPrologueLength = 3; // NAD, PCB, LEN
inline constexpr std::size_t kLrcLength = 1;
inline constexpr std::size_t kCrcLength = 2;
inline constexpr std::size_t kMaximumInformation = 254; // LEN 255 is reserved
inline constexpr std::size_t kMaximumBlock = kPrologueLength + kMaximumInformation + kCrcLength; // 259
inline constexpr std::uint8_t kDefaultInformationSize = 32; // IFSC and IFSD before anything else is agreed

// PCB coding.
inline constexpr std::uint8_t kPcbNotIBlock = 0x80;   // clear in every I-block
inline constexpr std::uint8_t kPcbKindMask = 0xC0;
inline constexpr std::uint8_t kPcbRBlock = 0x80;
inline constexpr std::uint8_t kPcbSBlock = 0xC0;
inline constexpr std::uint8_t kPcbISequence = 0x40;  // N(S) of an I-block
inline constexpr std::uint8_t kPcbIMore = 0x20;      // M: more data follows in a chain
inline constexpr std::uint8_t kPcbRSequence = 0x10;  // N(R) of an R-block
inline constexpr std::uint8_t kPcbRErrorMask = 0x0F;
inline constexpr std::uint8_t kPcbRReservedMask = 0x20;
inline constexpr std::uint8_t kPcbSResponse = 0x20;
inline constexpr std::uint8_t kPcbSTypeMask = 0x1F;

// R-block error codes.
inline constexpr std::uint8_t kErrorNone = 0;
inline constexpr std::uint8_t kErrorEdc = 1;   // EDC or parity error
inline constexpr std::uint8_t kErrorOther = 2; // any other error

// S-block types.
inline constexpr std::uint8_t kSResynch = 0x00;
inline constexpr std::uint8_t kSIfs = 0x01;
inline constexpr std::uint8_t kSAbort = 0x02;
inline constexpr std::uint8_t kSWtx = 0x03;

enum class Edc { Lrc, Crc };

inline constexpr std::size_t EdcLength(Edc edc) { return edc == Edc::Crc ? kCrcLength : kLrcLength; }

// The exclusive-or of the bytes.
std::uint8_t Lrc(std::span<const std::uint8_t> bytes);
// The CRC of ISO/IEC 13239 (HDLC frame check sequence): x^16 + x^12 + x^5 + 1,
// register preset to FFFF, bits taken least significant first, the result
// complemented; sent least significant byte first.
std::uint16_t Crc(std::span<const std::uint8_t> bytes);

// Builds NAD PCB LEN INF EDC into `out`; returns the block's length, or 0
// when the information field is too long or `out` cannot take the block.
std::size_t BuildBlock(std::span<std::uint8_t> out, std::uint8_t nad, std::uint8_t pcb,
                       std::span<const std::uint8_t> information, Edc edc);

enum class Kind { I, R, S };

// What a received block says, after its frame has been checked.
enum class Damage {
    None,
    Frame, // too short, LEN 255, length other than LEN announces, or a wrong EDC
};

struct Block {
    Damage damage = Damage::Frame;
    std::uint8_t nad = 0;
    std::uint8_t pcb = 0;
    Kind kind = Kind::I;
    std::span<const std::uint8_t> information; // inside the received bytes
};

// Checks a received block's frame and EDC; the information field is only
// looked at when the whole frame is there.
Block ParseBlock(std::span<const std::uint8_t> bytes, Edc edc);

// The NAD a peer answers with: source and destination addresses swapped,
// the Vpp bits kept.
std::uint8_t AnswerNad(std::uint8_t nad);

} // namespace qv::smclib::t1
