// The reader's USB packets: one header byte (0x00 more follows, 0x04 last)
// and up to 63 bytes of a block. The host's packets are joined back into a
// block; the reader's blocks wait in the reader's own answer queue and are
// cut into packets that the host fetches one IN transfer at a time, in the
// order the reader produced them, each once it is ready.
#pragma once

#include <cstdint>
#include <deque>
#include <optional>
#include <span>

#include "card_interface.h"
#include "reader_protocol.h"

namespace qv::sim {

// One block from the host, joined from its packets. A block is damaged
// when one of its packets broke the packet rules: a packet announcing more
// that does not fill the endpoint's 64 bytes, or a header that is neither
// 0x00 nor 0x04.
struct HostBlock {
    Bytes bytes;
    bool damaged = false;
};

// Host to reader.
class PacketAssembler {
  public:
    // Takes one packet; returns the whole block once a packet ends it.
    std::optional<HostBlock> Take(std::span<const std::uint8_t> packet);
    void Clear() {
        block_.clear();
        damaged_ = false;
    }
    bool Partial() const { return !block_.empty(); }

  private:
    Bytes block_;
    bool damaged_ = false;
};

// A host that keeps sending "more follows" cannot make the firmware grow
// without bound: beyond this the bytes are dropped, and the block that
// finally ends fails its length check.
inline constexpr std::size_t kMaxAssembledBlock = 4 * kMaxBlockSize;

// How a block goes on the wire, beyond its bytes: misbehaviours the reader
// can be made to show, and a block held back until the host's next block.
struct PacketShape {
    // Every packet says "more follows" and, after the block, packets of
    // filler follow for ever.
    bool endless = false;
    // The first packet is cut short but still says "more follows".
    bool shortFirstPacket = false;
    // Not ready until Release: the reader holds it back.
    bool held = false;
};

// Reader to host: the reader's answer queue. Blocks go out one after the
// other in the order they were pushed; a block behind another waits for it
// even when it is ready sooner.
class PacketStream {
  public:
    // withoutCard: for a block the card's answer is part of, the block the
    // reader sends instead when the card is pulled out before it falls due.
    void Push(std::span<const std::uint8_t> block, usb::Time readyAt, PacketShape shape = {},
              std::optional<Bytes> withoutCard = std::nullopt);
    // The card is pulled out: every queued block whose answer the card had
    // not finished (not begun to go out) becomes its withoutCard block.
    // True when one did.
    bool CardGone();
    // Held blocks become ready at now (or when they were due, if later).
    void Release(usb::Time now);
    // Everything goes (power-on, configuration change).
    void Clear();
    // An IN pipe reset: the block whose packets had begun to go out is of
    // no use any more and goes, as does an endless one; whole blocks not
    // yet begun stay in the queue.
    void DropStarted();

    bool Pending() const { return !blocks_.empty(); }
    bool Ready(usb::Time now) const;
    // When the next packet will be ready; nothing when none is pending or
    // the next block is held back.
    std::optional<usb::Time> ReadyAt() const;

    // The next packet; only while Ready.
    const Bytes& Front() const;
    void Pop();

    std::size_t QueuedBlocks() const { return blocks_.size(); }

  private:
    struct Block {
        std::deque<Bytes> packets;
        std::optional<Bytes> withoutCard;
        usb::Time readyAt = 0;
        bool held = false;
        bool endless = false;
        bool started = false;
    };
    std::deque<Block> blocks_;
    Bytes filler_;
};

} // namespace qv::sim
