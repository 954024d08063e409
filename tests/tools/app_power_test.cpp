// The console's sleep and wake: result lines, the power requests in order
// under --trace, and a card powered before the sleep unpowered after it.
#include <gtest/gtest.h>

#include <sstream>
#include <string>

#include "harness/app_console.h"
#include "support/app_session.h"

namespace qv::harness {
namespace {

using test::Has;

std::string Session(std::initializer_list<const char*> lines, AppConsoleOptions options = {}) {
    return test::AppSession(lines, options);
}

TEST(AppPower, SleepAndWakeWithTheirRequestsInOrder) {
    AppConsoleOptions options;
    options.trace = true;
    const std::string out = Session({"power cold", "sleep S4", "wake", "state", "sleep S7", "wake now"}, options);
    const auto query = out.find("power query S4 -> ");
    const auto d3 = out.find("power request set D3 -> ");
    const auto slept = out.find("sleep: STATUS_SUCCESS (0x00000000)\n");
    const auto d0 = out.find("power request set D0 -> ");
    const auto woke = out.find("wake: STATUS_SUCCESS (0x00000000)\n");
    ASSERT_NE(query, std::string::npos) << out;
    ASSERT_NE(d3, std::string::npos) << out;
    ASSERT_NE(slept, std::string::npos) << out;
    ASSERT_NE(d0, std::string::npos) << out;
    ASSERT_NE(woke, std::string::npos) << out;
    EXPECT_LT(query, d3);
    EXPECT_LT(d3, slept);
    EXPECT_LT(slept, d0);
    EXPECT_LT(d0, woke);
    // The card lost its power with the reader: it is back to present.
    EXPECT_TRUE(Has(out.substr(woke), "state: STATUS_SUCCESS (0x00000000) state 2 SCARD_PRESENT\n")) << out;
    EXPECT_TRUE(Has(out, "error: sleep takes S1, S2, S3, S4 or S5\n")) << out;
    EXPECT_TRUE(Has(out, "error: wake takes no arguments\n")) << out;
}

} // namespace
} // namespace qv::harness
