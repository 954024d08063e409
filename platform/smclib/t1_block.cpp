// T=1 block framing and error detection codes.
#include "smclib/t1_block.h"

namespace qv::smclib::t1 {

namespace {

constexpr std::uint16_t kCrcPreset = 0xFFFF;
constexpr std::uint16_t kCrcReflectedPolynomial = 0x8408; // x^16 + x^12 + x^5 + 1, bits reversed
constexpr unsigned kBitsPerByte = 8;
constexpr std::uint8_t kReservedLength = 0xFF;
constexpr std::uint8_t kDestinationMask = 0x07;
constexpr std::uint8_t kSourceMask = 0x70;
constexpr unsigned kSourceShift = 4;
constexpr std::uint8_t kVppMask = 0x88;

} // namespace

std::uint8_t Lrc(std::span<const std::uint8_t> bytes) {
    std::uint8_t lrc = 0;
    for (std::uint8_t byte : bytes) lrc ^= byte;
    return lrc;
}

std::uint16_t Crc(std::span<const std::uint8_t> bytes) {
    std::uint16_t crc = kCrcPreset;
    for (std::uint8_t byte : bytes) {
        crc ^= byte;
        for (unsigned bit = 0; bit < kBitsPerByte; ++bit) {
            crc = (crc & 1) ? static_cast<std::uint16_t>((crc >> 1) ^ kCrcReflectedPolynomial)
                            : static_cast<std::uint16_t>(crc >> 1);
        }
    }
    return static_cast<std::uint16_t>(~crc);
}

std::size_t BuildBlock(std::span<std::uint8_t> out, std::uint8_t nad, std::uint8_t pcb,
                       std::span<const std::uint8_t> information, Edc edc) {
    if (information.size() > kMaximumInformation) return 0;
    const std::size_t length = kPrologueLength + information.size() + EdcLength(edc);
    if (out.size() < length) return 0;
    out[0] = nad;
    out[1] = pcb;
    out[2] = static_cast<std::uint8_t>(information.size());
    for (std::size_t i = 0; i < information.size(); ++i) out[kPrologueLength + i] = information[i];
    const std::size_t covered = kPrologueLength + information.size();
    if (edc == Edc::Crc) {
        const std::uint16_t crc = Crc(out.first(covered));
        out[covered] = static_cast<std::uint8_t>(crc & 0xFF);
        out[covered + 1] = static_cast<std::uint8_t>(crc >> kBitsPerByte);
    } else {
        out[covered] = Lrc(out.first(covered));
    }
    return length;
}

Block ParseBlock(std::span<const std::uint8_t> bytes, Edc edc) {
    Block block;
    const std::size_t edcLength = EdcLength(edc);
    if (bytes.size() < kPrologueLength + edcLength) return block;
    const std::uint8_t len = bytes[2];
    if (len == kReservedLength || bytes.size() != kPrologueLength + len + edcLength) return block;
    const std::size_t covered = kPrologueLength + len;
    if (edc == Edc::Crc) {
        const std::uint16_t crc = Crc(bytes.first(covered));
        if (bytes[covered] != (crc & 0xFF) || bytes[covered + 1] != (crc >> kBitsPerByte)) return block;
    } else if (Lrc(bytes.first(covered)) != bytes[covered]) {
        return block;
    }
    block.damage = Damage::None;
    block.nad = bytes[0];
    block.pcb = bytes[1];
    if ((block.pcb & kPcbNotIBlock) == 0) {
        block.kind = Kind::I;
    } else {
        block.kind = (block.pcb & kPcbKindMask) == kPcbSBlock ? Kind::S : Kind::R;
    }
    block.information = bytes.subspan(kPrologueLength, len);
    return block;
}

std::uint8_t AnswerNad(std::uint8_t nad) {
    const auto destination = static_cast<std::uint8_t>(nad & kDestinationMask);
    const auto source = static_cast<std::uint8_t>((nad & kSourceMask) >> kSourceShift);
    return static_cast<std::uint8_t>((nad & kVppMask) | (destination << kSourceShift) | source);
}

} // namespace qv::smclib::t1
