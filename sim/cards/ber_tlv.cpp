#include "cards/ber_tlv.h"

namespace qv::sim {

namespace {

constexpr std::uint8_t kTagNumberMask = 0x1F;   // all set: a second tag byte follows
constexpr std::uint8_t kTagMoreBytes = 0x80;    // in the second byte: a third follows
constexpr std::size_t kShortLengthMax = 0x7F;
constexpr std::uint8_t kLengthOneByte = 0x81;
constexpr std::uint8_t kLengthTwoBytes = 0x82;
constexpr std::size_t kOneByteMax = 0xFF;
constexpr unsigned kByteBits = 8;

} // namespace

void PutTlv(Bytes& out, std::uint16_t tag, std::span<const std::uint8_t> value) {
    if (tag > kOneByteMax) out.push_back(static_cast<std::uint8_t>(tag >> kByteBits));
    out.push_back(static_cast<std::uint8_t>(tag));
    const std::size_t length = value.size();
    if (length > kOneByteMax) {
        out.push_back(kLengthTwoBytes);
        out.push_back(static_cast<std::uint8_t>(length >> kByteBits));
    } else if (length > kShortLengthMax) {
        out.push_back(kLengthOneByte);
    }
    out.push_back(static_cast<std::uint8_t>(length));
    out.insert(out.end(), value.begin(), value.end());
}

std::optional<TlvHeader> ReadTlvHeader(std::span<const std::uint8_t>& in) {
    std::size_t at = 0;
    if (in.empty()) return std::nullopt;
    std::uint16_t tag = in[at++];
    if ((tag & kTagNumberMask) == kTagNumberMask) {
        // Tags of three bytes and more do not occur here.
        if (at >= in.size() || (in[at] & kTagMoreBytes) != 0) return std::nullopt;
        tag = static_cast<std::uint16_t>((tag << kByteBits) | in[at++]);
    }
    if (at >= in.size()) return std::nullopt;
    std::size_t length = in[at++];
    if (length == kLengthOneByte || length == kLengthTwoBytes) {
        const std::size_t count = length == kLengthOneByte ? 1 : 2;
        if (in.size() - at < count) return std::nullopt;
        length = 0;
        for (std::size_t i = 0; i < count; ++i) length = (length << kByteBits) | in[at++];
    } else if (length > kShortLengthMax) {
        return std::nullopt;
    }
    in = in.subspan(at);
    return TlvHeader{tag, length};
}

std::optional<Tlv> ReadTlv(std::span<const std::uint8_t>& in) {
    std::span<const std::uint8_t> rest = in;
    const auto header = ReadTlvHeader(rest);
    if (!header || rest.size() < header->length) return std::nullopt;
    Tlv tlv{header->tag, rest.first(header->length)};
    in = rest.subspan(header->length);
    return tlv;
}

std::optional<Tlv> FindTlv(std::span<const std::uint8_t> bytes, std::uint16_t tag) {
    while (!bytes.empty()) {
        const auto tlv = ReadTlv(bytes);
        if (!tlv) return std::nullopt;
        if (tlv->tag == tag) return tlv;
    }
    return std::nullopt;
}

} // namespace qv::sim
