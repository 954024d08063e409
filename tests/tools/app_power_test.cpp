// The console's sleep and wake: result lines, the power requests in order
// under --trace, and a card powered before the sleep unpowered after it.
#include <gtest/gtest.h>

#include <sstream>
#include <string>

#include "qvsim/console/app_console.h"
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

std::size_t Occurrences(const std::string& out, const std::string& text) {
    std::size_t count = 0;
    for (auto at = out.find(text); at != std::string::npos; at = out.find(text, at + 1)) ++count;
    return count;
}

// Each sleeping state and shutdown: one D3 request on the way down, one D0
// request on the way up, and the poll after power-up (its transfers) inside
// the D0 request, before the wake's result line.
TEST(AppPower, EachSleepingStateAsksForD3OnceAndThePollRunsInsideThePowerUp) {
    for (const char* state : {"S1", "S2", "S3", "S4", "S5"}) {
        SCOPED_TRACE(state);
        AppConsoleOptions options;
        options.trace = true;
        const std::string sleep = std::string("sleep ") + state;
        const std::string out = test::AppSession({sleep.c_str(), "wake"}, options);
        EXPECT_EQ(Occurrences(out, "power query " + std::string(state) + " -> "), 1u) << out;
        EXPECT_EQ(Occurrences(out, "power request set D3 -> "), 1u) << out;
        EXPECT_EQ(Occurrences(out, "power request set D0 -> "), 1u) << out;
        const auto d3 = out.find("power request set D3 -> ");
        const auto slept = out.find("sleep: STATUS_SUCCESS (0x00000000)\n");
        const auto d0 = out.find("power request set D0 -> ");
        const auto poll = out.find("usb> ", d0);
        const auto d0Done = out.find("power request set D0 <- STATUS_SUCCESS");
        const auto woke = out.find("wake: STATUS_SUCCESS (0x00000000)\n");
        ASSERT_NE(woke, std::string::npos) << out;
        EXPECT_LT(d3, slept);
        EXPECT_LT(slept, d0);
        EXPECT_LT(d0, poll);
        EXPECT_LT(poll, d0Done) << "the poll after power-up runs before the D0 request completes";
        EXPECT_LT(d0Done, woke);
        EXPECT_EQ(out.find("usb> ", slept), poll) << "nothing reaches the reader while the system sleeps";
    }
}

struct ConsoleWakeCase {
    const char* name;
    bool card;               // a card in the slot before the sleep
    const char* wait;        // the tracking request pending across the sleep
    const char* duringSleep; // what happens to the slot (or nullptr)
    bool reported;           // the wait completes with the wake
    const char* stateAfter;  // the state line after the wake
};

// The wait an application left pending is answered by the wake as the card
// is found after the sleep: a card that stayed is reported (it lost its
// power), one pulled or inserted during the sleep is reported, and with no
// card before or after the wait stays pending until cancelled.
TEST(AppPower, WakeReportsTheCardAsTheReaderFindsIt) {
    const ConsoleWakeCase cases[] = {
        {"stayed", true, "wait absent", nullptr, true, "state: STATUS_SUCCESS (0x00000000) state 2 SCARD_PRESENT\n"},
        {"pulled", true, "wait absent", "card remove", true,
         "state: STATUS_SUCCESS (0x00000000) state 1 SCARD_ABSENT\n"},
        {"inserted", false, "wait present", "card insert", true,
         "state: STATUS_SUCCESS (0x00000000) state 2 SCARD_PRESENT\n"},
        {"none", false, "wait present", nullptr, false, "state: STATUS_SUCCESS (0x00000000) state 1 SCARD_ABSENT\n"},
    };
    for (const ConsoleWakeCase& wake : cases) {
        SCOPED_TRACE(wake.name);
        AppConsoleOptions options;
        options.noCard = !wake.card;
        std::ostringstream out;
        AppConsole console(options, out);
        ASSERT_TRUE(console.Start()) << out.str();
        for (const char* line : {wake.wait, "sleep S3"}) console.Execute(line);
        if (wake.duringSleep != nullptr) console.Execute(wake.duringSleep);
        console.Execute("advance 3000");
        const std::size_t beforeWake = out.str().size();
        for (const char* line : {"wake", "state", "cancel"}) console.Execute(line);
        EXPECT_EQ(console.Finish(), 0) << out.str();
        const std::string text = out.str();
        const std::string asleep = text.substr(0, beforeWake);
        const std::string awake = text.substr(beforeWake);
        EXPECT_EQ(Occurrences(asleep, "wait: STATUS_SUCCESS"), 0u) << "nothing is reported while asleep\n" << text;
        const auto reported = awake.find("wait: STATUS_SUCCESS (0x00000000)\n");
        const auto woke = awake.find("wake: STATUS_SUCCESS (0x00000000)\n");
        EXPECT_EQ(reported != std::string::npos, wake.reported) << text;
        if (wake.reported) {
            EXPECT_LT(reported, woke) << "reported by the poll after power-up\n" << text;
        }
        EXPECT_TRUE(Has(awake, wake.stateAfter)) << text;
        EXPECT_EQ(Has(awake, "wait: STATUS_CANCELLED"), !wake.reported) << text;
    }
}

} // namespace
} // namespace qv::harness
