// The application's console selecting a protocol and exchanging APDUs: the
// result lines in the fixed format, caps after a PPS, the header for the
// selected protocol, and bad input that leaves the session going.
#include <gtest/gtest.h>

#include <sstream>
#include <string>

#include "cards/atr.h"
#include "qvsim/console/app_console.h"
#include "support/app_session.h"

namespace qv::harness {
namespace {

using test::Has;

std::string Session(std::initializer_list<const char*> lines, AppConsoleOptions options = {}) {
    return test::AppSession(lines, options);
}

TEST(AppConsoleExchange, ProtocolThenApdusUnderT0) {
    const std::string out = Session({"power cold", "protocol any", "caps", "state", "apdu 00A4000C023F00",
                                     "apdu 00A40000023F00", "apdu 00C0000009", "apdu 00 84 00 00 04",
                                     "apdu 00120000", "protocol t0"});
    EXPECT_TRUE(Has(out, "protocol: STATUS_SUCCESS (0x00000000) protocol T0\n")) << out;
    EXPECT_TRUE(Has(out, "caps: Fl 1 Dl 3 N 0 protocols T0,T1 IFSC 254 IFSD 252")) << out;
    EXPECT_TRUE(Has(out, "state: STATUS_SUCCESS (0x00000000) state 6 SCARD_SPECIFIC\n")) << out;
    EXPECT_TRUE(Has(out, "apdu: STATUS_SUCCESS (0x00000000) 90 00 SW 9000\n")) << out;
    EXPECT_TRUE(Has(out, "apdu: STATUS_SUCCESS (0x00000000) 61 09 SW 6109\n"))
        << "the FCI waits for GET RESPONSE under T=0, which the driver leaves to the application\n" << out;
    EXPECT_TRUE(Has(out, " 90 00 SW 9000\n")) << out;
    EXPECT_TRUE(Has(out, "apdu: STATUS_SUCCESS (0x00000000) 6D 00 SW 6D00\n")) << out;
}

// A T=1 card whose ATR announces IFSC 0xFF in TA3, as some real cards do,
// although ISO/IEC 7816-3 reserves that value. Its ATR is taken with IFSC
// 254, the largest valid size, and a command of 261 bytes reaches it in a
// chained block of 254 bytes and one of 7. IFSC 0 offers no information
// field at all, and that ATR stays refused.
TEST(AppConsoleExchange, ACardAnnouncingIfscFfGetsBlocksOf254) {
    const sim::Bytes atr = sim::BuildAtr({.t0 = false, .t1 = true, .ifsc = 0xFF, .bwi = 4, .cwi = 5});
    const std::string data(2 * 255, 'A');
    const std::string echo = "apdu 80EE0000FF" + data + "00";
    const std::string out =
        Session({"power cold", "caps", "protocol t1", echo.c_str()}, {.atr = atr, .trace = true});
    EXPECT_TRUE(Has(out, "caps: Fl 1 Dl 1 N 0 protocols T1 IFSC 254 ")) << out;
    EXPECT_TRUE(Has(out, "protocol: STATUS_SUCCESS (0x00000000) protocol T1\n")) << out;
    EXPECT_TRUE(Has(out, "blk> NAD 00 PCB 20 I-block N(S)=0 more LEN 254 ")) << out;
    EXPECT_TRUE(Has(out, "blk> NAD 00 PCB 40 I-block N(S)=1 LEN 7 ")) << out;
    std::string response;
    for (int i = 0; i < 255; ++i) response += "AA ";
    EXPECT_TRUE(Has(out, "apdu: STATUS_SUCCESS (0x00000000) " + response + "90 00 SW 9000\n")) << out;

    const sim::Bytes zero = sim::BuildAtr({.t0 = false, .t1 = true, .ifsc = 0x00, .bwi = 4, .cwi = 5});
    const std::string refused = Session({"power cold"}, {.atr = zero});
    EXPECT_TRUE(Has(refused, "power cold: STATUS_UNRECOGNIZED_MEDIA (0xC0000014)\n")) << refused;
}

TEST(AppConsoleExchange, RefusedRequestsPrintTheirStatus) {
    const std::string out = Session({"apdu 00A40000", "power cold", "apdu 00A40000", "protocol 0x4", "protocol t1",
                                     "apdu 00A4"},
                                    {.card = "t0"});
    EXPECT_TRUE(Has(out, "apdu: STATUS_INVALID_DEVICE_STATE (0xC0000184)\n")) << "no protocol yet\n" << out;
    EXPECT_TRUE(Has(out, "protocol: STATUS_INVALID_DEVICE_REQUEST (0xC0000010)\n")) << out;
}

TEST(AppConsoleExchange, BadProtocolAndApduArgumentsAreErrors) {
    const std::string out = Session({"protocol", "protocol t2", "protocol 0xZZ", "apdu", "apdu 00A", "apdu GG"});
    EXPECT_TRUE(Has(out, "error: protocol t0, t1, any or 0xMASK")) << out;
    EXPECT_TRUE(Has(out, "error: apdu takes the command APDU as hex digits in pairs")) << out;
}

TEST(AppConsoleExchange, TimeStampsShowWhatAnExchangeCost) {
    const std::string out =
        Session({"power cold", "protocol t0", "apdu 0084000000"}, {.seed = 2, .time = true});
    const auto protocol = out.find("] protocol: STATUS_SUCCESS");
    const auto apdu = out.find("] apdu: STATUS_SUCCESS");
    ASSERT_NE(protocol, std::string::npos) << out;
    ASSERT_NE(apdu, std::string::npos) << out;
    const auto stamp = [&](std::size_t end) {
        const std::string text = out.substr(end - 8, 8); // SSSS.mmm
        return std::stoi(text.substr(0, 4)) * 1000 + std::stoi(text.substr(5, 3));
    };
    // 258 card bytes at 12 etu each, after the 5-byte header, take well
    // over 50 ms even at the fastest rate the reader offers.
    EXPECT_GT(stamp(apdu) - stamp(protocol), 50) << out;
}

} // namespace
} // namespace qv::harness
