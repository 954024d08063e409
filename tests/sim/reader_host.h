// A minimal host for the simulated reader: it writes blocks as reader
// packets, fetches the answer packet by packet (moving its clock to the
// reader's retry time on a NAK), and for command-level tests runs the host
// side of the link (chaining, acknowledges, WTX responses).
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <sstream>
#include <string_view>
#include <vector>

#include "reader_protocol.h"
#include "usb_reader.h"

namespace qv::sim::test {

inline Bytes Hex(std::string_view text) {
    Bytes bytes;
    std::istringstream in{std::string(text)};
    unsigned value = 0;
    while (in >> std::hex >> value) bytes.push_back(static_cast<std::uint8_t>(value));
    return bytes;
}

inline Bytes Concat(std::span<const std::uint8_t> a, std::span<const std::uint8_t> b) {
    // Sized once and filled in place: GCC 12 at -O3 misreads an insert after
    // a short first part as a copy past it (-Warray-bounds).
    Bytes joined(a.size() + b.size());
    std::copy(b.begin(), b.end(), std::copy(a.begin(), a.end(), joined.begin()));
    return joined;
}

// A link block with the given address (host blocks by default).
inline Bytes LinkBlock(std::uint8_t pcb, std::span<const std::uint8_t> inf = {}, std::uint8_t nad = kHostNad) {
    Bytes block{nad, pcb, static_cast<std::uint8_t>(inf.size())};
    block.reserve(inf.size() + kBlockOverhead); // also keeps GCC 12 -O3 from a false -Warray-bounds
    block.insert(block.end(), inf.begin(), inf.end());
    block.push_back(Lrc(block));
    return block;
}

inline std::span<const std::uint8_t> Inf(const Bytes& block) {
    return std::span(block).subspan(kInfOffset, block.size() - kBlockOverhead);
}

class Host {
  public:
    explicit Host(UsbReader& reader) : reader_(reader) { EXPECT_TRUE(reader.SetConfiguration(kConfigurationValue)); }

    usb::Time now = 0;
    std::uint8_t sendSequence = 0;
    std::uint8_t receiveSequence = 0;

    // Writes block as reader packets, one OUT transfer per packet.
    void Send(std::span<const std::uint8_t> block) {
        for (std::size_t offset = 0; offset < block.size(); offset += kPacketPayloadSize) {
            std::size_t chunk = std::min(kPacketPayloadSize, block.size() - offset);
            Bytes packet{offset + chunk == block.size() ? kPacketLast : kPacketMore};
            packet.insert(packet.end(), block.begin() + offset, block.begin() + offset + chunk);
            usb::OutResult r = reader_.BulkOut(kBulkOutEndpoint, packet, now);
            ASSERT_EQ(r.status, usb::TransferStatus::Ok);
            ASSERT_EQ(r.accepted, packet.size());
        }
    }

    // Reads packets until one does not announce more; waits out NAKs.
    std::vector<Bytes> ReadPackets(std::size_t limit = 16) {
        std::vector<Bytes> packets;
        while (packets.size() < limit) {
            Bytes buffer(kMaxPacketSize);
            usb::InResult r = reader_.BulkIn(kBulkInEndpoint, buffer, now);
            if (r.status != usb::TransferStatus::Ok) {
                ADD_FAILURE() << "IN transfer failed";
                break;
            }
            if (!r.ready) {
                if (!r.retryAt) {
                    ADD_FAILURE() << "the reader has nothing to send";
                    break;
                }
                EXPECT_GT(*r.retryAt, now);
                now = *r.retryAt;
                continue;
            }
            buffer.resize(r.length);
            packets.push_back(buffer);
            if (!buffer.empty() && buffer[0] != kPacketMore) break;
        }
        return packets;
    }

    static Bytes Join(const std::vector<Bytes>& packets) {
        Bytes block;
        for (const Bytes& p : packets)
            if (!p.empty()) block.insert(block.end(), p.begin() + kPacketHeaderSize, p.end());
        return block;
    }

    Bytes Exchange(std::span<const std::uint8_t> block) {
        Send(block);
        return Join(ReadPackets());
    }

    // True when the IN endpoint has nothing pending at all.
    bool Idle() {
        Bytes buffer(kMaxPacketSize);
        usb::InResult r = reader_.BulkIn(kBulkInEndpoint, buffer, now);
        return r.status == usb::TransferStatus::Ok && !r.ready && !r.retryAt;
    }

    // The host side of one reader command: returns the joined answer.
    Bytes Command(std::span<const std::uint8_t> command) {
        Bytes reply;
        std::size_t sent = 0;
        do {
            std::size_t piece = std::min(kMaxInfSize, command.size() - sent);
            bool more = sent + piece < command.size();
            reply = Exchange(LinkBlock(sendSequence | (more ? kPcbMore : 0), command.subspan(sent, piece), kHostNad));
            sent += piece;
            if (more) {
                std::uint8_t expected = kPcbRBlockType | ((sendSequence ^ kPcbSequence) >> kSequenceToRShift);
                EXPECT_EQ(reply.at(kPcbOffset), expected) << "acknowledge of a chained piece";
                sendSequence ^= kPcbSequence;
            }
        } while (sent < command.size());

        Bytes answer;
        for (int blocks = 0; blocks < 64; ++blocks) {
            EXPECT_EQ(reply.at(kNadOffset), kReaderNad);
            EXPECT_EQ(Lrc(reply), 0);
            std::uint8_t pcb = reply.at(kPcbOffset);
            if (pcb == kPcbWtxRequest) {
                reply = Exchange(LinkBlock(kPcbWtxResponse, Hex("01")));
                continue;
            }
            if (!IsIBlock(pcb)) {
                ADD_FAILURE() << "unexpected reader PCB " << int(pcb);
                return answer;
            }
            EXPECT_EQ(pcb & kPcbSequence, receiveSequence);
            receiveSequence ^= kPcbSequence;
            auto inf = Inf(reply);
            answer.insert(answer.end(), inf.begin(), inf.end());
            if ((pcb & kPcbMore) == 0) {
                sendSequence ^= kPcbSequence;
                return answer;
            }
            reply = Exchange(LinkBlock(kPcbRBlockType | (receiveSequence >> kSequenceToRShift)));
        }
        ADD_FAILURE() << "answer never ended";
        return answer;
    }

    Bytes Command(std::string_view hex) { return Command(Hex(hex)); }

    // Status byte and data of a reader reply.
    static std::uint8_t Status(const Bytes& reply) { return reply.at(kReplyStatusOffset); }
    static Bytes Data(const Bytes& reply) { return Bytes(reply.begin() + kReplyDataOffset, reply.end()); }

  private:
    UsbReader& reader_;
};

} // namespace qv::sim::test
