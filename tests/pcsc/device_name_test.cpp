// The reader settings a reader.conf DEVICENAME carries, in the characters
// pcscd's configuration reader accepts.
#include <gtest/gtest.h>

#include "pcsc/device_name.h"

namespace qv::test {
namespace {

TEST(PcscDeviceName, ModelAndCardInAnyOrder) {
    std::string error;
    auto plain = pcsc::ParseDeviceName("qvscr", error);
    ASSERT_TRUE(plain);
    EXPECT_EQ(plain->model, "QV-38N");
    EXPECT_EQ(plain->card, "dual");
    auto both = pcsc::ParseDeviceName("qvscr:t1:QV-39N", error);
    ASSERT_TRUE(both) << error;
    EXPECT_EQ(both->model, "QV-39N");
    EXPECT_EQ(both->card, "t1");
    auto atr = pcsc::ParseDeviceName("qvscr:QV-38N:atr@3B021450", error);
    ASSERT_TRUE(atr) << error;
    EXPECT_EQ(atr->card, "atr:3B021450");
    auto empty = pcsc::ParseDeviceName("anything:none", error);
    ASSERT_TRUE(empty) << error;
    EXPECT_EQ(empty->card, "none");
}

TEST(PcscDeviceName, RefusesWhatItCannotTake) {
    std::string error;
    EXPECT_FALSE(pcsc::ParseDeviceName("qvscr::t1", error));
    EXPECT_FALSE(pcsc::ParseDeviceName("qvscr:t0:t1", error));
    EXPECT_FALSE(pcsc::ParseDeviceName("qvscr:QV-38N:QV-39N", error));
    EXPECT_FALSE(error.empty());
}

} // namespace
} // namespace qv::test
