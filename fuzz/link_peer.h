// The reader's side of the link for fuzz targets that are after what lies
// inside the reader's replies: a peer that keeps to the block protocol
// (RESYNCH, acknowledging the driver's chained pieces, alternating sequence
// bits, sending long replies as chains after the driver's R-blocks) and asks
// a callback for the information field of each reply; and the cutting of a
// block into packets of odd sizes, which the targets share.
#pragma once

#include <algorithm>
#include <functional>
#include <optional>

#include "link.h"
#include "fuzz_input.h"
#include "link/scripted_reader.h"

namespace qv::fuzz {

// A block cut into packets of sizes the input chooses (each with the
// "more" or "last" header), as a reader may send one.
inline test::Transfers OddPackets(FuzzInput& in, const test::Bytes& block) {
    test::Transfers packets;
    for (std::size_t at = 0; at < block.size();) {
        const std::size_t take = std::min<std::size_t>(1 + in.Below(test::kPacketPayload), block.size() - at);
        test::Bytes packet{at + take < block.size() ? test::kPacketMore : test::kPacketLast};
        packet.insert(packet.end(), block.begin() + static_cast<std::ptrdiff_t>(at),
                      block.begin() + static_cast<std::ptrdiff_t>(at + take));
        packets.push_back(std::move(packet));
        at += take;
    }
    return packets;
}

class LinkPeer {
  public:
    // Called with the command's information field (reassembled); returns the
    // reply's information field, or nothing for a reader that stays silent.
    using Replier = std::function<std::optional<test::Bytes>(const test::Bytes& command)>;

    explicit LinkPeer(Replier replier) : replier_(std::move(replier)) {}

    std::optional<test::Transfers> Respond(const test::Bytes& block) {
        if (block.size() < LINK_BLOCK_OVERHEAD) return std::nullopt;
        const std::uint8_t pcb = block[LINK_PCB_OFFSET];
        if (pcb == LINK_PCB_RESYNCH_REQUEST) {
            sequence_ = 0;
            pending_.clear();
            command_.clear();
            return test::Packets(test::ReaderBlock(LINK_PCB_RESYNCH_RESPONSE));
        }
        if ((pcb & LINK_PCB_R_BLOCK) == 0) {
            const std::uint8_t expected = static_cast<std::uint8_t>((pcb & LINK_PCB_SEQUENCE) ^ LINK_PCB_SEQUENCE);
            command_.insert(command_.end(), block.begin() + LINK_INF_OFFSET, block.end() - 1);
            if ((pcb & LINK_PCB_MORE) != 0) {
                return test::Packets(
                    test::ReaderBlock(static_cast<std::uint8_t>(LINK_PCB_R_BLOCK | (expected >> LINK_SEQUENCE_TO_NR_SHIFT))));
            }
            std::optional<test::Bytes> reply = replier_(command_);
            command_.clear();
            if (!reply) return std::nullopt;
            pending_ = std::move(*reply);
            return NextPiece();
        }
        if (pending_.empty()) return std::nullopt;
        return NextPiece();
    }

  private:
    test::Transfers NextPiece() {
        const std::size_t take = std::min<std::size_t>(LINK_MAX_INF, pending_.size());
        const test::Bytes piece(pending_.begin(), pending_.begin() + static_cast<std::ptrdiff_t>(take));
        pending_.erase(pending_.begin(), pending_.begin() + static_cast<std::ptrdiff_t>(take));
        const std::uint8_t pcb = static_cast<std::uint8_t>(sequence_ | (pending_.empty() ? 0 : LINK_PCB_MORE));
        sequence_ ^= LINK_PCB_SEQUENCE;
        return test::Packets(test::ReaderBlock(pcb, piece));
    }

    Replier replier_;
    std::uint8_t sequence_ = 0;
    test::Bytes pending_;
    test::Bytes command_;
};

} // namespace qv::fuzz
