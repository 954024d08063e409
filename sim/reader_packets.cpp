#include "reader_packets.h"

#include <algorithm>
#include <cassert>

namespace qv::sim {

namespace {
// Payload of the packets that an endless stream sends after the real ones.
constexpr std::uint8_t kFillerByte = 0xFF;
} // namespace

std::optional<Bytes> PacketAssembler::Take(std::span<const std::uint8_t> packet) {
    if (packet.empty()) return std::nullopt; // a zero-length packet carries nothing
    auto payload = packet.subspan(kPacketHeaderSize);
    std::size_t room = kMaxAssembledBlock - std::min(block_.size(), kMaxAssembledBlock);
    auto kept = payload.first(std::min(room, payload.size()));
    block_.insert(block_.end(), kept.begin(), kept.end());
    if (packet[0] == kPacketMore) return std::nullopt;
    Bytes block = std::move(block_);
    block_.clear();
    return block;
}

void PacketStream::Load(std::span<const std::uint8_t> block, usb::Time readyAt, bool endless) {
    Clear();
    readyAt_ = readyAt;
    endless_ = endless;
    std::size_t offset = 0;
    do {
        std::size_t chunk = std::min(kPacketPayloadSize, block.size() - offset);
        bool last = offset + chunk == block.size();
        Bytes packet{last && !endless ? kPacketLast : kPacketMore};
        packet.insert(packet.end(), block.begin() + offset, block.begin() + offset + chunk);
        packets_.push_back(std::move(packet));
        offset += chunk;
    } while (offset < block.size());
    if (endless) {
        filler_.assign(kMaxPacketSize, kFillerByte);
        filler_[0] = kPacketMore;
    }
}

void PacketStream::Clear() {
    packets_.clear();
    endless_ = false;
    readyAt_ = 0;
}

std::optional<usb::Time> PacketStream::ReadyAt() const {
    if (!Pending()) return std::nullopt;
    return readyAt_;
}

const Bytes& PacketStream::Front() const {
    assert(Pending());
    return packets_.empty() ? filler_ : packets_.front();
}

void PacketStream::Pop() {
    if (!packets_.empty()) packets_.pop_front();
}

} // namespace qv::sim
