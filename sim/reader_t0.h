// The reader's side of a T=0 transmission (ISO/IEC 7816-3, 10.3): it sends
// the 5-byte header, reads procedure bytes (NULL 0x60 restarts the waiting
// time, INS or its complement asks for all or one of the data bytes or
// announces all or one of the card's), and ends at SW1 SW2. It does not
// fetch 61xx answers nor repeat a command after 6Cxx: those are the
// application's.
#pragma once

#include <cstdint>
#include <span>

#include "card_interface.h"
#include "sim_time.h"

namespace qv::sim {

struct T0Outcome {
    std::uint8_t status = 0; // the reader status byte
    Bytes response;          // what the card sent: data and SW1 SW2
    usb::Time duration = 0;  // the card line's time
};

// tpdu: CLA INS P1 P2 P3 and the data (5 + P3 bytes when data go to the
// card). waitingTime: the work waiting time at the current rate.
T0Outcome RunT0(Card& card, std::span<const std::uint8_t> tpdu, usb::Time waitingTime);

} // namespace qv::sim
