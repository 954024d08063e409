// A 32-bit Windows kernel image (PE32) as the image tools see it: where its
// checksum field and section headers lie, the checksum the Windows loader
// expects, and marking the INIT section discardable. Used by qvpe.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string_view>

namespace qv::pe {


constexpr std::size_t kDosPeOffsetField = 0x3C;  // e_lfanew
constexpr std::uint32_t kPeSignature = 0x00004550; // "PE\0\0"
constexpr std::size_t kFileHeaderSize = 20;
constexpr std::size_t kOptionalChecksumOffset = 64; // same place in PE32 and PE32+
constexpr std::size_t kSectionHeaderSize = 40;
constexpr std::size_t kSectionCharacteristicsOffset = 36;
constexpr std::uint32_t kSectionDiscardable = 0x02000000;
constexpr std::string_view kInitSection = "INIT";

inline std::uint32_t Read32(std::span<const std::uint8_t> image, std::size_t at) {
    return static_cast<std::uint32_t>(image[at]) | static_cast<std::uint32_t>(image[at + 1]) << 8 |
           static_cast<std::uint32_t>(image[at + 2]) << 16 | static_cast<std::uint32_t>(image[at + 3]) << 24;
}

inline std::uint16_t Read16(std::span<const std::uint8_t> image, std::size_t at) {
    return static_cast<std::uint16_t>(image[at] | image[at + 1] << 8);
}

inline void Write32(std::span<std::uint8_t> image, std::size_t at, std::uint32_t value) {
    for (int i = 0; i < 4; ++i) image[at + i] = static_cast<std::uint8_t>(value >> (8 * i));
}

// Where the headers that matter lie in one image.
struct PeLayout {
    std::size_t checksumAt;
    std::size_t sectionsAt;
    std::size_t sectionCount;
};

inline std::optional<PeLayout> Parse(std::span<const std::uint8_t> image) {
    if (image.size() < kDosPeOffsetField + 4 || image[0] != 'M' || image[1] != 'Z') return std::nullopt;
    const std::size_t pe = Read32(image, kDosPeOffsetField);
    if (pe + 4 + kFileHeaderSize > image.size() || Read32(image, pe) != kPeSignature) return std::nullopt;
    const std::size_t fileHeader = pe + 4;
    const std::size_t sectionCount = Read16(image, fileHeader + 2);
    const std::size_t optionalSize = Read16(image, fileHeader + 16);
    const std::size_t optional = fileHeader + kFileHeaderSize;
    const std::size_t sections = optional + optionalSize;
    if (optionalSize < kOptionalChecksumOffset + 4 || sections + sectionCount * kSectionHeaderSize > image.size())
        return std::nullopt;
    return PeLayout{optional + kOptionalChecksumOffset, sections, sectionCount};
}

// The image checksum as the Windows loader computes it: the image summed as
// 16-bit words with the carries folded back in, the checksum field itself
// counted as zero, plus the file's length.
inline std::uint32_t ImageChecksum(std::span<const std::uint8_t> image, std::size_t checksumAt) {
    std::uint64_t sum = 0;
    for (std::size_t i = 0; i < image.size(); i += 2) {
        if (i >= checksumAt && i < checksumAt + 4) continue;
        std::uint32_t word = image[i];
        if (i + 1 < image.size()) word |= static_cast<std::uint32_t>(image[i + 1]) << 8;
        sum += word;
        sum = (sum & 0xFFFF) + (sum >> 16);
    }
    sum = (sum & 0xFFFF) + (sum >> 16);
    return static_cast<std::uint32_t>(sum + image.size());
}

inline bool MarkInitDiscardable(std::span<std::uint8_t> image, const PeLayout& layout) {
    for (std::size_t i = 0; i < layout.sectionCount; ++i) {
        const std::size_t header = layout.sectionsAt + i * kSectionHeaderSize;
        const std::string_view name(reinterpret_cast<const char*>(&image[header]), kInitSection.size() + 1);
        if (name.substr(0, kInitSection.size()) == kInitSection && name.back() == '\0') {
            const std::size_t at = header + kSectionCharacteristicsOffset;
            Write32(image, at, Read32(image, at) | kSectionDiscardable);
            return true;
        }
    }
    return false;
}

} // namespace qv::pe
