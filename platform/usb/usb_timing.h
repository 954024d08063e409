// What a request costs on a full-speed USB wire, in the kernel's 100 ns
// units (see the timing model in usb_bus.h).
#pragma once

#include <algorithm>
#include <cstdint>

#include "kernel/kernel.h"

namespace qv::usb::timing {

inline constexpr VirtualTime kFrame = kTicksPerMillisecond;
inline constexpr std::uint64_t kBitsPerSecond = 12'000'000;
inline constexpr std::uint64_t kBitsPerByte = 8;
// Token, data and handshake packets' sync, PID, CRC and end-of-packet
// fields plus the gaps between them: USB 2.0, table 5-10, full speed.
inline constexpr std::uint64_t kTransactionOverhead = 13;
inline constexpr std::uint64_t kSetupPacketBytes = 8;

// Time of this many bytes on the wire, rounded up to whole ticks.
constexpr VirtualTime WireTime(std::uint64_t bytes) {
    return (bytes * kBitsPerByte * kTicksPerSecond + kBitsPerSecond - 1) / kBitsPerSecond;
}

constexpr std::uint64_t Packets(std::uint64_t bytes, std::uint64_t maxPacket) {
    if (maxPacket == 0) return 1;
    return std::max<std::uint64_t>(1, (bytes + maxPacket - 1) / maxPacket);
}

constexpr VirtualTime BulkTime(std::uint64_t bytes, std::uint64_t maxPacket) {
    return WireTime(bytes + Packets(bytes, maxPacket) * kTransactionOverhead);
}

// Setup stage, data stage (none when dataBytes is 0) and status stage.
constexpr VirtualTime ControlTime(std::uint64_t dataBytes, std::uint64_t maxPacket0) {
    const std::uint64_t dataPackets = dataBytes == 0 ? 0 : Packets(dataBytes, maxPacket0);
    return WireTime(kSetupPacketBytes + kTransactionOverhead + dataBytes + dataPackets * kTransactionOverhead +
                    kTransactionOverhead);
}

// The first frame boundary after now: a request that arrives during a frame
// waits for the next start of frame.
constexpr VirtualTime NextFrame(VirtualTime now) { return (now / kFrame + 1) * kFrame; }

// The first frame boundary at or after time.
constexpr VirtualTime FrameAtOrAfter(VirtualTime time) { return (time + kFrame - 1) / kFrame * kFrame; }

} // namespace qv::usb::timing
