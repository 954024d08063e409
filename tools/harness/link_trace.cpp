#include "harness/link_trace.h"

#include <cstdio>

namespace qv::harness {

namespace {

constexpr std::uint8_t kPacketMore = 0x00;
constexpr std::size_t kBlockOverhead = 4; // NAD, PCB, LEN, LRC
constexpr std::size_t kNadOffset = 0;
constexpr std::size_t kPcbOffset = 1;
constexpr std::size_t kLenOffset = 2;

constexpr std::uint8_t kBlockTypeMask = 0xC0;
constexpr std::uint8_t kRBlock = 0x80;
constexpr std::uint8_t kIBlockTypeBit = 0x80;
constexpr std::uint8_t kSequenceBitI = 0x40;
constexpr std::uint8_t kMoreBit = 0x20;
constexpr std::uint8_t kSequenceBitR = 0x10;
constexpr std::uint8_t kRErrorMask = 0x0F;
constexpr std::uint8_t kSResponseBit = 0x20;
constexpr std::uint8_t kSTypeMask = 0x1F;

std::string Byte(std::uint8_t value) {
    char text[4];
    std::snprintf(text, sizeof text, "%02X", value);
    return text;
}

std::string PcbMeaning(std::uint8_t pcb) {
    if ((pcb & kIBlockTypeBit) == 0) {
        std::string text = std::string("I-block N(S)=") + ((pcb & kSequenceBitI) ? "1" : "0");
        if (pcb & kMoreBit) text += " more";
        return text;
    }
    if ((pcb & kBlockTypeMask) == kRBlock) {
        std::string text = std::string("R-block N(R)=") + ((pcb & kSequenceBitR) ? "1" : "0");
        switch (pcb & kRErrorMask) {
        case 0:
            return text;
        case 1:
            return text + " error (check byte)";
        case 2:
            return text + " error (other)";
        default:
            return text + " error (" + Byte(pcb & kRErrorMask) + ")";
        }
    }
    const char* direction = (pcb & kSResponseBit) ? " response" : " request";
    switch (pcb & kSTypeMask) {
    case 0x00:
        return std::string("S(RESYNCH") + direction + ")";
    case 0x01:
        return std::string("S(IFS") + direction + ")";
    case 0x02:
        return std::string("S(ABORT") + direction + ")";
    case 0x03:
        return std::string("S(WTX") + direction + ")";
    default:
        return "S-block " + Byte(pcb);
    }
}

} // namespace

std::optional<std::vector<std::uint8_t>> PacketJoiner::Add(std::span<const std::uint8_t> transfer) {
    if (transfer.empty()) return std::nullopt; // a zero-length packet carries nothing
    pending_.insert(pending_.end(), transfer.begin() + 1, transfer.end());
    if (transfer[0] == kPacketMore) return std::nullopt;
    std::vector<std::uint8_t> block;
    block.swap(pending_);
    return block;
}

std::string DecodeBlock(std::span<const std::uint8_t> block) {
    if (block.size() < kBlockOverhead) return "short block (" + std::to_string(block.size()) + " bytes)";
    const std::uint8_t pcb = block[kPcbOffset];
    const std::size_t len = block[kLenOffset];
    std::string text = "NAD " + Byte(block[kNadOffset]) + " PCB " + Byte(pcb) + " " + PcbMeaning(pcb) + " LEN " +
                       std::to_string(len);
    if (block.size() != len + kBlockOverhead) {
        return text + " (block is " + std::to_string(block.size()) + " bytes, LEN says " +
               std::to_string(len + kBlockOverhead) + ")";
    }
    std::uint8_t lrc = 0;
    for (std::size_t i = 0; i + 1 < block.size(); ++i) lrc ^= block[i];
    const std::uint8_t sent = block.back();
    return text + " LRC " + Byte(sent) + (sent == lrc ? " ok" : " bad, expected " + Byte(lrc));
}

} // namespace qv::harness
