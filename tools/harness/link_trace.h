// Readable traces of the reader link: USB transfers as hex, and the link
// blocks they carry decoded field by field.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

// HexBytes: "04 12 00 02 D0 31 F1", upper-case hex, single spaces.
#include "harness/console_requests.h"

namespace qv::harness {

// Joins the reader packets of one direction back into blocks: every packet
// begins with a header byte (0x00: more of the block follows; anything else
// ends it).
class PacketJoiner {
  public:
    // Adds one transfer; returns the block when this transfer ended it.
    std::optional<std::vector<std::uint8_t>> Add(std::span<const std::uint8_t> transfer);
    void Reset() { pending_.clear(); }

  private:
    std::vector<std::uint8_t> pending_;
};

// One line describing a link block: node address, PCB and what it means,
// length and check byte, e.g.
// "NAD 12 PCB 00 I-block N(S)=0 LEN 2 LRC F1 ok".
std::string DecodeBlock(std::span<const std::uint8_t> block);

} // namespace qv::harness
