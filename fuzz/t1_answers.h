// The card's side of T=1 for the fuzz targets: a T=1 ATR of a given IFSC
// and EDC, and the card's answer to a block decoded from the input.
#pragma once

#include <vector>

#include "fuzz_input.h"
#include "smclib/t1_block.h"

namespace qv::fuzz {

// A T=1 ATR: TD1 names T=1, TD2 T=1 with TA3 (IFSC), TB3 (BWI/CWI) and,
// for CRC, TC3.
inline std::vector<std::uint8_t> T1Atr(std::uint8_t ifsc, bool crc) {
    std::vector<std::uint8_t> atr = {0x3B, 0x80, 0x81, static_cast<std::uint8_t>(crc ? 0x71 : 0x31), ifsc, 0x45};
    if (crc) atr.push_back(0x01);
    std::uint8_t tck = 0;
    for (std::size_t i = 1; i < atr.size(); ++i) tck ^= atr[i];
    atr.push_back(tck);
    return atr;
}

enum class T1AnswerKind : std::uint8_t { Raw, WellFormed, Mute, WrongEdc, Count };

// The card's answer to the block it was sent: raw bytes as they came off
// the line, or a block made well-formed (right NAD, LEN and EDC) around a
// PCB and an information field from the input, possibly with its EDC
// spoiled. An input that has run out leaves the card mute.
inline std::vector<std::uint8_t> T1CardAnswer(FuzzInput& in, std::span<const std::uint8_t> sent,
                                              smclib::t1::Edc edc) {
    if (in.Empty()) return {};
    const auto kind = static_cast<T1AnswerKind>(in.Below(static_cast<std::size_t>(T1AnswerKind::Count)));
    if (kind == T1AnswerKind::Mute) return {};
    if (kind == T1AnswerKind::Raw) return in.Chunk(smclib::t1::kMaximumBlock + 1);
    const std::uint8_t pcb = in.Byte();
    const std::vector<std::uint8_t> information = in.Chunk(smclib::t1::kMaximumInformation);
    const std::uint8_t nad = smclib::t1::AnswerNad(sent.empty() ? 0 : sent[0]);
    std::vector<std::uint8_t> block(smclib::t1::kMaximumBlock);
    block.resize(smclib::t1::BuildBlock(block, nad, pcb, information, edc));
    if (kind == T1AnswerKind::WrongEdc && !block.empty()) block.back() ^= 0x01;
    return block;
}

} // namespace qv::fuzz
