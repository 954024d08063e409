#include <gtest/gtest.h>

#include "kernel/status_names.h"

namespace qv {
namespace {

TEST(StatusNames, KnownValuesByNameAndUnknownByValue) {
    EXPECT_EQ(NtStatusText(STATUS_IO_TIMEOUT), "STATUS_IO_TIMEOUT (0xC00000B5)");
    EXPECT_EQ(NtStatusName(STATUS_SUCCESS), "STATUS_SUCCESS");
    EXPECT_EQ(NtStatusName(static_cast<NTSTATUS>(0xC0DEC0DEu)), "0xC0DEC0DE");
}

} // namespace
} // namespace qv
