#include <gtest/gtest.h>

#include <vector>

#include "harness/link_trace.h"

namespace qv::harness {
namespace {

using Bytes = std::vector<std::uint8_t>;

TEST(LinkTrace, DecodesEachKindOfBlock) {
    EXPECT_EQ(DecodeBlock(Bytes{0x12, 0x00, 0x02, 0xD0, 0x31, 0xF1}), "NAD 12 PCB 00 I-block N(S)=0 LEN 2 LRC F1 ok");
    EXPECT_EQ(DecodeBlock(Bytes{0x12, 0x60, 0x00, 0x72}), "NAD 12 PCB 60 I-block N(S)=1 more LEN 0 LRC 72 ok");
    EXPECT_EQ(DecodeBlock(Bytes{0x12, 0x90, 0x00, 0x82}), "NAD 12 PCB 90 R-block N(R)=1 LEN 0 LRC 82 ok");
    EXPECT_EQ(DecodeBlock(Bytes{0x12, 0x82, 0x00, 0x90}),
              "NAD 12 PCB 82 R-block N(R)=0 error (other) LEN 0 LRC 90 ok");
    EXPECT_EQ(DecodeBlock(Bytes{0x12, 0xC0, 0x00, 0xD2}), "NAD 12 PCB C0 S(RESYNCH request) LEN 0 LRC D2 ok");
    EXPECT_EQ(DecodeBlock(Bytes{0x12, 0xE3, 0x01, 0x01, 0xF1}), "NAD 12 PCB E3 S(WTX response) LEN 1 LRC F1 ok");
}

TEST(LinkTrace, NamesDamage) {
    EXPECT_EQ(DecodeBlock(Bytes{0x21, 0x00, 0x00, 0x00}), "NAD 21 PCB 00 I-block N(S)=0 LEN 0 LRC 00 bad, expected 21");
    EXPECT_EQ(DecodeBlock(Bytes{0x21, 0x00, 0x05, 0x00}),
              "NAD 21 PCB 00 I-block N(S)=0 LEN 5 (block is 4 bytes, LEN says 9)");
    EXPECT_EQ(DecodeBlock(Bytes{0x21, 0x00}), "short block (2 bytes)");
}

TEST(LinkTrace, JoinsPacketsIntoBlocks) {
    PacketJoiner joiner;
    Bytes first(64, 0xAB);
    first[0] = 0x00;
    EXPECT_FALSE(joiner.Add(first));
    EXPECT_FALSE(joiner.Add(Bytes{}));
    const auto block = joiner.Add(Bytes{0x04, 0x01, 0x02});
    ASSERT_TRUE(block);
    EXPECT_EQ(block->size(), 65u);
    EXPECT_EQ(block->back(), 0x02);
    EXPECT_EQ(HexBytes(Bytes{0x04, 0x12, 0xC0, 0x00, 0xD2}), "04 12 C0 00 D2");
}

} // namespace
} // namespace qv::harness
