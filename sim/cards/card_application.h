// What runs on a card behind its transmission protocol: an application that
// takes whole command APDUs and gives answers with the card's own working
// time. The card's T=0 and T=1 engines take the APDU off the line and put
// the answer back on it, whichever application the card carries (the shared
// ISO/IEC 7816-4 file system, or an OpenPGP card).
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "card_interface.h"
#include "sim_time.h"

namespace qv::sim {

// What differs between the two protocols for an application: under T=0 the
// card cannot send data back for a command that brought data (case 4), so
// it keeps the answer for GET RESPONSE and says 61xx.
enum class Transport { T0, T1 };

// A command as the application reads it. le is the number of bytes asked
// for (1 to 256, 256 for a Le byte of 00), absent when no Le was sent.
struct Apdu {
    std::uint8_t cla = 0;
    std::uint8_t ins = 0;
    std::uint8_t p1 = 0;
    std::uint8_t p2 = 0;
    std::span<const std::uint8_t> data{};
    std::optional<std::size_t> le{};
};

struct ApduAnswer {
    Bytes data;             // response data, without the status word
    std::uint16_t sw = 0;   // SW1 SW2
    usb::Time work = 0;     // the card's own time for the command
    // Explicit requests for more time before the answer: under T=1 this many
    // S(WTX request) blocks with multiplier 1, under T=0 this many NULL
    // procedure bytes, each after about one waiting time of work.
    std::uint8_t extensions = 0;
};

// Status words (ISO/IEC 7816-4, 5.6).
inline constexpr std::uint16_t kSwOk = 0x9000;
inline constexpr std::uint16_t kSwBytesAvailable = 0x6100;  // | number of bytes (00 = 256)
inline constexpr std::uint16_t kSwEndOfFile = 0x6282;
inline constexpr std::uint16_t kSwTerminated = 0x6285;      // selected file in termination state
inline constexpr std::uint16_t kSwRetriesLeft = 0x63C0;     // | retries
inline constexpr std::uint16_t kSwWrongLength = 0x6700;
inline constexpr std::uint16_t kSwLogicalChannelUnsupported = 0x6881;
inline constexpr std::uint16_t kSwSecureMessagingUnsupported = 0x6882;
inline constexpr std::uint16_t kSwFileTypeMismatch = 0x6981;
inline constexpr std::uint16_t kSwSecurityNotSatisfied = 0x6982;
inline constexpr std::uint16_t kSwAuthenticationBlocked = 0x6983;
inline constexpr std::uint16_t kSwConditionsNotSatisfied = 0x6985;
inline constexpr std::uint16_t kSwNoCurrentEf = 0x6986;
inline constexpr std::uint16_t kSwWrongData = 0x6A80;
inline constexpr std::uint16_t kSwFunctionUnsupported = 0x6A81;
inline constexpr std::uint16_t kSwFileNotFound = 0x6A82;
inline constexpr std::uint16_t kSwRecordNotFound = 0x6A83;
inline constexpr std::uint16_t kSwWrongP1P2 = 0x6A86;
inline constexpr std::uint16_t kSwDataNotFound = 0x6A88;
inline constexpr std::uint16_t kSwWrongOffset = 0x6B00;
inline constexpr std::uint16_t kSwExactLength = 0x6C00;     // | exact length (00 = 256)
inline constexpr std::uint16_t kSwUnknownInstruction = 0x6D00;
inline constexpr std::uint16_t kSwUnknownClass = 0x6E00;

class CardApplication {
  public:
    virtual ~CardApplication() = default;

    // Whether the command brings data to the card (cases 3 and 4): under
    // T=0 this decides whether P3 is Lc or Le.
    virtual bool BringsData(std::uint8_t cla, std::uint8_t ins) const = 0;

    virtual ApduAnswer Run(const Apdu& apdu, Transport transport) = 0;

    // A reset or a loss of power: what the card holds in RAM (security
    // states, an answer kept for GET RESPONSE) is gone; what it wrote to its
    // non-volatile memory stays.
    virtual void Reset() = 0;
};

} // namespace qv::sim
