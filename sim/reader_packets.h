// The reader's USB packets: one header byte (0x00 more follows, 0x04 last)
// and up to 63 bytes of a block. The host's packets are joined back into a
// block; the reader's block is cut into packets that the host fetches one
// IN transfer at a time once the answer is ready.
#pragma once

#include <cstdint>
#include <deque>
#include <optional>
#include <span>

#include "card_interface.h"
#include "reader_protocol.h"

namespace qv::sim {

// Host to reader.
class PacketAssembler {
  public:
    // Takes one packet; returns the whole block once its last packet is in.
    // A header other than 0x00 ends the block, as the host's reader does.
    std::optional<Bytes> Take(std::span<const std::uint8_t> packet);
    void Clear() { block_.clear(); }
    bool Partial() const { return !block_.empty(); }

  private:
    Bytes block_;
};

// A host that keeps sending "more follows" cannot make the firmware grow
// without bound: beyond this the bytes are dropped, and the block that
// finally ends fails its length check.
inline constexpr std::size_t kMaxAssembledBlock = 4 * kMaxBlockSize;

// Reader to host.
class PacketStream {
  public:
    // Replaces whatever was still waiting with the packets of block, ready
    // at readyAt. An empty block is one header-only packet. An endless
    // stream marks every packet "more follows" and then never runs dry.
    void Load(std::span<const std::uint8_t> block, usb::Time readyAt, bool endless = false);
    void Clear();

    bool Pending() const { return endless_ || !packets_.empty(); }
    bool Ready(usb::Time now) const { return Pending() && now >= readyAt_; }
    // When the next packet will be ready; nothing when none is pending.
    std::optional<usb::Time> ReadyAt() const;

    // The next packet; only while Ready.
    const Bytes& Front() const;
    void Pop();

  private:
    std::deque<Bytes> packets_;
    usb::Time readyAt_ = 0;
    bool endless_ = false;
    Bytes filler_;
};

} // namespace qv::sim
