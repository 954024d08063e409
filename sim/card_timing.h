// Character and waiting times on the card line (ISO/IEC 7816-3, 7.1, 10.2
// and 11.4.3) at the reader's card clock, as both the reader and the card
// count them.
#pragma once

#include <array>
#include <cstdint>

#include "sim_time.h"

namespace qv::sim {

// The reader clocks the card at 3.5712 MHz: 9600 bit/s at Fi 372, Di 1.
inline constexpr std::uint64_t kReaderCardClockHz = 3'571'200;

// Fi and Di by their TA1/PPS1 indexes; 0 marks a reserved value.
inline constexpr std::array<std::uint64_t, 16> kFiTable{372, 372, 558, 744, 1116, 1488, 1860, 0,
                                                         0,   512, 768, 1024, 1536, 2048, 0,  0};
inline constexpr std::array<std::uint64_t, 16> kDiTable{0, 1, 2, 4, 8, 16, 32, 64, 12, 20, 0, 0, 0, 0, 0, 0};
inline constexpr unsigned kRateFiShift = 4;
inline constexpr std::uint8_t kRateDiMask = 0x0F;

inline constexpr std::uint64_t RateFi(std::uint8_t rate) { return kFiTable[rate >> kRateFiShift]; }
inline constexpr std::uint64_t RateDi(std::uint8_t rate) { return kDiTable[rate & kRateDiMask]; }

// T=0's work waiting time: 960 x WI x Fi clock cycles.
inline constexpr usb::Time T0WorkWaitingTime(std::uint8_t wi, std::uint8_t rate) {
    constexpr std::uint64_t kClocksPerWi = 960;
    return kClocksPerWi * wi * RateFi(rate) * kSecond / kReaderCardClockHz;
}

// T=1's block waiting time: 11 etu + 2^BWI x 960 x 372 clock cycles.
inline constexpr usb::Time T1BlockWaitingTime(std::uint8_t bwi, std::uint8_t rate) {
    constexpr std::uint64_t kExtraEtu = 11;
    constexpr std::uint64_t kClocksPerUnit = 960 * 372;
    const std::uint64_t etu = RateFi(rate) * kSecond / (RateDi(rate) * kReaderCardClockHz);
    return kExtraEtu * etu + (std::uint64_t{1} << bwi) * kClocksPerUnit * kSecond / kReaderCardClockHz;
}

} // namespace qv::sim
