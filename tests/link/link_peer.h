// The reader's side of the link, scripted, for the tests that need replies
// no honest reader gives: it answers RESYNCH as the reader does, keeps its
// sequence bit in step with the driver's, acknowledges the driver's chained
// pieces, and answers each command with the next queued information field
// (or the default one), sent as a chain when it is longer than one block,
// each piece after the driver's R-block. Hand it to a ScriptedReader as its
// responder; the reader's own queued answers still go first.
#pragma once

#include <algorithm>
#include <cstdint>
#include <deque>
#include <optional>
#include <utility>

#include "link/link_fixture.h"
#include "link/scripted_reader.h"

namespace qv::test {

inline constexpr std::uint8_t kPcbResynchRequest = 0xC0;

class LinkPeer {
  public:
    explicit LinkPeer(Bytes defaultReply = ReplyInf(0x00)) : defaultReply_(std::move(defaultReply)) {}

    // The responder a ScriptedReader calls with each block the driver sent.
    std::optional<Transfers> Respond(const Bytes& block) {
        constexpr std::uint8_t kPcbMore = 0x20;
        constexpr std::uint8_t kPcbRBlock = 0x80;
        constexpr std::uint8_t kPcbSequence = 0x40;
        constexpr std::size_t kMaxInf = 254;
        if (block.size() < 4) return std::nullopt;
        const std::uint8_t pcb = block[1];
        if (pcb == kPcbResynchRequest) {
            sequence_ = 0;
            expected_ = 0;
            pending_.clear();
            return Packets(kResynchAnswer);
        }
        if ((pcb & kPcbRBlock) == 0) {
            expected_ = static_cast<std::uint8_t>((pcb & kPcbSequence) ^ kPcbSequence);
            if ((pcb & kPcbMore) != 0) return Packets(ReaderBlock(kPcbRBlock | (expected_ >> 2)));
            if (!rawAnswers.empty()) {
                Transfers raw = rawAnswers.front();
                rawAnswers.pop_front();
                return raw;
            }
            pending_ = replies.empty() ? defaultReply_ : replies.front();
            if (!replies.empty()) replies.pop_front();
        } else if (pending_.empty()) {
            return std::nullopt;
        }
        const std::size_t take = std::min(kMaxInf, pending_.size());
        const Bytes piece(pending_.begin(), pending_.begin() + static_cast<std::ptrdiff_t>(take));
        pending_.erase(pending_.begin(), pending_.begin() + static_cast<std::ptrdiff_t>(take));
        const Bytes answer = ReaderBlock(static_cast<std::uint8_t>(sequence_ | (pending_.empty() ? 0 : kPcbMore)), piece);
        sequence_ ^= kPcbSequence;
        return Packets(answer);
    }

    std::deque<Bytes> replies;        // information fields, one per command
    std::deque<Transfers> rawAnswers; // whole answers, taken before replies

  private:
    Bytes defaultReply_;
    std::uint8_t sequence_ = 0; // N(S) of the reader's next I-block
    std::uint8_t expected_ = 0; // N(S) expected from the driver
    Bytes pending_;             // the rest of a chained reply
};

// A ScriptedReader answered by a LinkPeer the test can reach.
inline ScriptedReader::Responder AnsweredBy(LinkPeer& peer) {
    return [&peer](const Bytes& block) { return peer.Respond(block); };
}

} // namespace qv::test
