// The image checks' reading of a PE32 image: the checksum the Windows loader
// expects, INIT marked discardable, and images that are not PE refused.
#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

#include "pe/pe_image.h"

namespace qv::pe {
namespace {

constexpr std::size_t kPeOffset = 0x40;
constexpr std::size_t kOptionalHeaderSize = 0xE0; // PE32
constexpr std::size_t kImageSize = 0x200;

void Put16(std::vector<std::uint8_t>& image, std::size_t at, std::uint16_t value) {
    image[at] = static_cast<std::uint8_t>(value);
    image[at + 1] = static_cast<std::uint8_t>(value >> 8);
}

// The smallest image the tools accept: DOS stub signature and e_lfanew, the
// PE signature, a file header with one section, a PE32 optional header, and
// one section header named Name with characteristics 0x60000020 (code,
// execute, read). Everything else is zero.
std::vector<std::uint8_t> MinimalImage(const char* name = "INIT") {
    std::vector<std::uint8_t> image(kImageSize, 0);
    Put16(image, 0, 0x5A4D);                  // "MZ"
    Put16(image, 0x3C, kPeOffset);            // e_lfanew
    Put16(image, kPeOffset, 0x4550);          // "PE\0\0"
    Put16(image, kPeOffset + 4, 0x014C);      // i386
    Put16(image, kPeOffset + 6, 1);           // one section
    Put16(image, kPeOffset + 20, kOptionalHeaderSize);
    Put16(image, kPeOffset + 24, 0x010B);     // PE32
    const std::size_t section = kPeOffset + 24 + kOptionalHeaderSize;
    for (std::size_t i = 0; name[i] != '\0'; ++i) image[section + i] = static_cast<std::uint8_t>(name[i]);
    Put16(image, section + 36, 0x0020);
    Put16(image, section + 38, 0x6000);
    return image;
}

TEST(PeImage, ChecksumIsTheFoldedWordSumPlusTheLength) {
    std::vector<std::uint8_t> image = MinimalImage();
    const std::optional<PeLayout> layout = Parse(image);
    ASSERT_TRUE(layout.has_value());
    EXPECT_EQ(layout->checksumAt, kPeOffset + 24 + 64);
    // Words: 5A4D + 0040 + 4550 + 014C + 0001 + 00E0 + 010B + "IN" 4E49 +
    // "IT" 5449 + 0020 + 6000 = 0x1A5C7, folded 0xA5C7 + 1 = 0xA5C8; plus
    // the length 0x200.
    EXPECT_EQ(ImageChecksum(image, layout->checksumAt), 0xA5C8u + kImageSize);

    // The stored checksum itself does not count.
    Write32(image, layout->checksumAt, 0xFFFFFFFF);
    EXPECT_EQ(ImageChecksum(image, layout->checksumAt), 0xA5C8u + kImageSize);
}

TEST(PeImage, ChecksumFoldsEveryCarryAndCountsAnOddLastByte) {
    std::vector<std::uint8_t> image = MinimalImage();
    const std::size_t checksumAt = Parse(image)->checksumAt;
    const std::uint32_t before = ImageChecksum(image, checksumAt);
    // 0xFFFF is zero in one's-complement arithmetic: adding it changes nothing.
    Put16(image, kImageSize - 2, 0xFFFF);
    EXPECT_EQ(ImageChecksum(image, checksumAt), before);
    // An odd trailing byte counts as the low byte of one more word.
    image.push_back(0x01);
    EXPECT_EQ(ImageChecksum(image, checksumAt), before + 1 + 1);
}

TEST(PeImage, FinishingMarksOnlyInitDiscardable) {
    std::vector<std::uint8_t> image = MinimalImage();
    const PeLayout layout = *Parse(image);
    ASSERT_TRUE(MarkInitDiscardable(image, layout));
    EXPECT_EQ(Read32(image, layout.sectionsAt + 36), 0x62000020u);

    std::vector<std::uint8_t> paged = MinimalImage("INITDATA");
    EXPECT_FALSE(MarkInitDiscardable(paged, *Parse(paged))) << "a longer name is another section";
    std::vector<std::uint8_t> none = MinimalImage("PAGE");
    EXPECT_FALSE(MarkInitDiscardable(none, *Parse(none)));
    EXPECT_EQ(Read32(none, layout.sectionsAt + 36), 0x60000020u);
}

TEST(PeImage, RefusesWhatIsNotAWholePeImage) {
    std::vector<std::uint8_t> image = MinimalImage();
    image[0] = 'X';
    EXPECT_FALSE(Parse(image).has_value());

    image = MinimalImage();
    image[kPeOffset] = 'N';
    EXPECT_FALSE(Parse(image).has_value());

    image = MinimalImage();
    Put16(image, 0x3C, 0xFFF0); // PE header beyond the file
    EXPECT_FALSE(Parse(image).has_value());

    image = MinimalImage();
    Put16(image, kPeOffset + 6, 60); // more section headers than the file holds
    EXPECT_FALSE(Parse(image).has_value());

    EXPECT_FALSE(Parse(std::vector<std::uint8_t>(16, 0)).has_value());
}

} // namespace
} // namespace qv::pe
