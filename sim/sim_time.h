// Virtual time as the simulated hardware counts it: the bus's 100 ns units.
#pragma once

#include "usb/usb_device_model.h"

namespace qv::sim {

inline constexpr usb::Time kMicrosecond = 10;
inline constexpr usb::Time kMillisecond = 1'000 * kMicrosecond;
inline constexpr usb::Time kSecond = 1'000 * kMillisecond;

} // namespace qv::sim
