#include "reader_packets.h"

#include <algorithm>
#include <cassert>

namespace qv::sim {

namespace {
// Payload of the packets that an endless stream sends after the real ones.
constexpr std::uint8_t kFillerByte = 0xFF;
// The payload of a first packet cut short on purpose.
constexpr std::size_t kShortPacketPayload = kPacketPayloadSize / 2;
} // namespace

std::optional<HostBlock> PacketAssembler::Take(std::span<const std::uint8_t> packet) {
    if (packet.empty()) return std::nullopt; // a zero-length packet carries nothing
    const std::uint8_t header = packet[0];
    auto payload = packet.subspan(kPacketHeaderSize);
    std::size_t room = kMaxAssembledBlock - std::min(block_.size(), kMaxAssembledBlock);
    auto kept = payload.first(std::min(room, payload.size()));
    block_.insert(block_.end(), kept.begin(), kept.end());
    if (header == kPacketMore) {
        // Only the last packet of a block may be shorter than the endpoint's.
        if (packet.size() != kMaxPacketSize) damaged_ = true;
        return std::nullopt;
    }
    HostBlock block{std::move(block_), damaged_ || header != kPacketLast};
    Clear();
    return block;
}

void PacketStream::Push(std::span<const std::uint8_t> block, usb::Time readyAt, PacketShape shape,
                        std::optional<Bytes> withoutCard) {
    Block queued;
    queued.readyAt = readyAt;
    queued.withoutCard = std::move(withoutCard);
    queued.held = shape.held;
    queued.endless = shape.endless;
    std::size_t offset = 0;
    bool first = true;
    do {
        std::size_t chunk = std::min(kPacketPayloadSize, block.size() - offset);
        // A short first packet needs something behind it to announce.
        if (first && shape.shortFirstPacket && block.size() > 1)
            chunk = std::min({chunk, kShortPacketPayload, block.size() / 2});
        first = false;
        bool last = offset + chunk == block.size();
        Bytes packet{last && !shape.endless ? kPacketLast : kPacketMore};
        packet.insert(packet.end(), block.begin() + offset, block.begin() + offset + chunk);
        queued.packets.push_back(std::move(packet));
        offset += chunk;
    } while (offset < block.size());
    if (shape.endless) {
        filler_.assign(kMaxPacketSize, kFillerByte);
        filler_[0] = kPacketMore;
    }
    blocks_.push_back(std::move(queued));
}

void PacketStream::Release(usb::Time now) {
    for (Block& block : blocks_) {
        if (!block.held) continue;
        block.held = false;
        block.readyAt = std::max(block.readyAt, now);
    }
}

void PacketStream::Clear() { blocks_.clear(); }

bool PacketStream::CardGone() {
    bool replaced = false;
    for (Block& block : blocks_) {
        if (block.started || !block.withoutCard) continue;
        const Bytes instead = std::move(*block.withoutCard);
        block.withoutCard.reset();
        block.packets.clear();
        std::size_t offset = 0;
        do {
            const std::size_t chunk = std::min(kPacketPayloadSize, instead.size() - offset);
            Bytes packet{offset + chunk == instead.size() ? kPacketLast : kPacketMore};
            packet.insert(packet.end(), instead.begin() + static_cast<std::ptrdiff_t>(offset),
                          instead.begin() + static_cast<std::ptrdiff_t>(offset + chunk));
            block.packets.push_back(std::move(packet));
            offset += chunk;
        } while (offset < instead.size());
        block.endless = false;
        replaced = true;
    }
    return replaced;
}

void PacketStream::DropStarted() {
    if (!blocks_.empty() && (blocks_.front().started || blocks_.front().endless)) blocks_.pop_front();
}

bool PacketStream::Ready(usb::Time now) const {
    return !blocks_.empty() && !blocks_.front().held && now >= blocks_.front().readyAt;
}

std::optional<usb::Time> PacketStream::ReadyAt() const {
    if (blocks_.empty() || blocks_.front().held) return std::nullopt;
    return blocks_.front().readyAt;
}

const Bytes& PacketStream::Front() const {
    assert(!blocks_.empty());
    const Block& block = blocks_.front();
    return block.packets.empty() ? filler_ : block.packets.front();
}

void PacketStream::Pop() {
    assert(!blocks_.empty());
    Block& block = blocks_.front();
    block.started = true;
    if (!block.packets.empty()) block.packets.pop_front();
    if (block.packets.empty() && !block.endless) blocks_.pop_front();
}

} // namespace qv::sim
