// BER-TLV data objects as ISO/IEC 7816-4 (5.2) writes them: tags of one or
// two bytes (a first byte with its five low bits set announces a second),
// lengths in one byte up to 127, else 81 xx or 82 xx xx.
#pragma once

#include <cstdint>
#include <optional>
#include <span>

#include "card_interface.h"

namespace qv::sim {

struct Tlv {
    std::uint16_t tag = 0;
    std::span<const std::uint8_t> value{};
};

// Appends tag, length and value.
void PutTlv(Bytes& out, std::uint16_t tag, std::span<const std::uint8_t> value);

// Reads the data object at the front of in and moves in past it; nothing
// when the bytes are no whole data object.
std::optional<Tlv> ReadTlv(std::span<const std::uint8_t>& in);

// The first data object with the tag among those in bytes (not inside
// them); nothing when there is none or the bytes are malformed before it.
std::optional<Tlv> FindTlv(std::span<const std::uint8_t> bytes, std::uint16_t tag);

} // namespace qv::sim
