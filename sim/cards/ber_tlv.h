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

struct TlvHeader {
    std::uint16_t tag = 0;
    std::size_t length = 0;
};

// Appends tag, length and value.
void PutTlv(Bytes& out, std::uint16_t tag, std::span<const std::uint8_t> value);

// Reads the tag and the length at the front of in (a data object's start,
// or an entry of a header list, which leaves the values out) and moves in
// past them; nothing when they are cut short.
std::optional<TlvHeader> ReadTlvHeader(std::span<const std::uint8_t>& in);

// Reads the data object at the front of in and moves in past it; nothing
// when the bytes are no whole data object.
std::optional<Tlv> ReadTlv(std::span<const std::uint8_t>& in);

// The first data object with the tag among those in bytes (not inside
// them); nothing when there is none or the bytes are malformed before it.
std::optional<Tlv> FindTlv(std::span<const std::uint8_t> bytes, std::uint16_t tag);

} // namespace qv::sim
