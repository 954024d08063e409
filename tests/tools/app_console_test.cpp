// The application's console as a script sees it: result lines in the fixed
// format, the cards of the catalogue and from ATRs, faults, errors that
// leave the session going, and time stamps.
#include <gtest/gtest.h>

#include <sstream>
#include <string>

#include "qvsim/console/app_console.h"
#include "support/app_session.h"

namespace qv::harness {
namespace {

using test::Has;

std::string Transcript(std::initializer_list<const char*> lines, AppConsoleOptions options = {}) {
    return test::AppSession(lines, options);
}

TEST(AppConsole, PowerStateAndCapsOfTheDefaultCard) {
    const std::string out = Transcript({"state", "power cold", "state", "caps", "power down", "state"});
    EXPECT_TRUE(Has(out, "state: STATUS_SUCCESS (0x00000000) state 2 SCARD_PRESENT\n")) << out;
    EXPECT_TRUE(Has(out, "power cold: STATUS_SUCCESS (0x00000000) ATR 3B 98 13 80 31 FE 45 80 51 56 20 44 55 41 4C 3A\n"))
        << out;
    EXPECT_TRUE(Has(out, "state: STATUS_SUCCESS (0x00000000) state 5 SCARD_NEGOTIABLE\n")) << out;
    EXPECT_TRUE(Has(out, "caps: Fl 1 Dl 3 N 0 protocols T0,T1 IFSC 254 IFSD 252 CWI 5 BWI 4 EDC LRC ClockStop 0 TCK ok\n"))
        << out;
    EXPECT_TRUE(Has(out, "power down: STATUS_SUCCESS (0x00000000)\n")) << out;
    EXPECT_TRUE(Has(out, "qvsim app: clean, virtual time ")) << out;
    EXPECT_TRUE(Has(out, "qvsim: digest ")) << out;
}

TEST(AppConsole, CardsFromTheCatalogueAndFromAnAtr) {
    const std::string out = Transcript({"card list", "card insert atr20", "power cold", "caps",
                                        "card insert atr 3F020102", "power cold", "card remove", "advance 1100", "state",
                                        "power cold", "card insert inverse", "advance 1100", "power warm"});
    EXPECT_TRUE(Has(out, "card dual: T0,T1 ATR 3B 98 13")) << out;
    EXPECT_TRUE(Has(out, "card mute: ")) << out;
    EXPECT_TRUE(Has(out, "power cold: STATUS_SUCCESS (0x00000000) ATR 3B FA 13 00 FF 81 31 FB 45 80 12 39 2F 31 C0 73 C7 01 49 91\n"))
        << out;
    EXPECT_TRUE(Has(out, "caps: Fl 1 Dl 3 N 255 protocols T1 IFSC 251 IFSD 252")) << out;
    EXPECT_TRUE(Has(out, "power cold: STATUS_SUCCESS (0x00000000) ATR 3F 02 01 02\n")) << out;
    EXPECT_TRUE(Has(out, "state: STATUS_SUCCESS (0x00000000) state 1 SCARD_ABSENT\n")) << out;
    EXPECT_TRUE(Has(out, "power cold: STATUS_NO_MEDIA")) << "the library refuses power without a card\n" << out;
    EXPECT_TRUE(Has(out, "power warm: STATUS_SUCCESS (0x00000000) ATR 3F ")) << out;
}

TEST(AppConsole, TheShortResetAnswerGivesTheCachedAtr) {
    const std::string out = Transcript({"fault reset-no-atr", "power cold", "power cold", "fault reset-no-atr 1",
                                        "power warm", "fault list"});
    EXPECT_TRUE(Has(out, "power cold: STATUS_UNRECOGNIZED_MEDIA (0xC0000014)\n")) << "nothing cached yet\n" << out;
    EXPECT_TRUE(Has(out, "power warm: STATUS_SUCCESS (0x00000000) ATR 3B 98 13")) << out;
    EXPECT_TRUE(Has(out, "  reset-no-atr: ")) << out;
}

TEST(AppConsole, MuteAndBadTckCardsAndBufferSizes) {
    const std::string mute = Transcript({"power cold"}, {.card = "mute"});
    EXPECT_TRUE(Has(mute, "power cold: STATUS_UNRECOGNIZED_MEDIA (0xC0000014)\n")) << mute;
    const std::string bad = Transcript({"power cold", "caps"}, {.card = "bad-tck"});
    EXPECT_TRUE(Has(bad, "power cold: STATUS_UNRECOGNIZED_MEDIA (0xC0000014)\n")) << bad;
    EXPECT_TRUE(Has(bad, "TCK bad\n")) << bad;
    // IOCTL_SMARTCARD_POWER (0x00310004) with a cold reset and a 3-byte output buffer.
    const std::string small = Transcript({"ioctl 0x00310004 01000000 3", "attr vendor_name 4", "attr atr",
                                          "ioctl 0x00310004 01000000", "ioctl 0x00310038 4"});
    EXPECT_TRUE(Has(small, "ioctl: STATUS_BUFFER_TOO_SMALL (0xC0000023)\n")) << small;
    EXPECT_TRUE(Has(small, "attr: STATUS_BUFFER_TOO_SMALL (0xC0000023)\n")) << small;
    // One argument: eight hex digits are the input (no room for the ATR), "4" the output size.
    EXPECT_FALSE(Has(small, "error:")) << small;
    EXPECT_TRUE(Has(small, "ioctl: STATUS_SUCCESS (0x00000000) 04 00 00 00\n"))
        << "GET_STATE: SCARD_POWERED, as a reset whose ATR did not fit the buffer leaves it\n" << small;
}

TEST(AppConsole, BadInputGetsAnErrorAndTheSessionGoesOn) {
    const std::string out = Transcript({"power sideways", "card insert nosuch", "card insert atr 3B0", "attr nosuch",
                                        "ioctl 12", "advance soon", "fault nosuch", "frobnicate", "apdu 00A4040",
                                        "caps now", "   # a comment", "", "state"});
    for (const char* error : {"error: power down, power cold or power warm", "error: no card named 'nosuch'",
                              "error: card insert atr needs the ATR as hex digits in pairs",
                              "error: no attribute named 'nosuch'", "error: ioctl takes 0xCODE [HEX] [OUTLEN]",
                              "error: advance takes milliseconds", "error: no fault named 'nosuch'",
                              "error: unknown command 'frobnicate'", "error: apdu takes the command APDU as hex digits in pairs",
                              "error: caps takes no arguments"}) {
        EXPECT_TRUE(Has(out, error)) << error << "\n" << out;
    }
    EXPECT_TRUE(Has(out, "state: STATUS_SUCCESS")) << out;
}

// A request the driver would hold until a wake or a start, which only a
// later line could bring, is refused instead of blocking the session, card
// waits included; after the start a wait is answered as usual.
TEST(AppConsole, RequestsTheDriverWouldHoldAreRefusedWhileAsleepOrStopped) {
    const std::string out = Transcript({"sleep S3", "apdu 00B0000010", "state", "wait absent", "wake", "query-stop",
                                        "state", "stop", "power cold", "start", "state", "wait absent", "card remove",
                                        "advance 2000"});
    const std::string refused = "error: the driver holds requests now";
    std::size_t refusals = 0;
    for (auto at = out.find(refused); at != std::string::npos; at = out.find(refused, at + 1)) ++refusals;
    EXPECT_EQ(refusals, 5u) << out;
    EXPECT_TRUE(Has(out, "wake: STATUS_SUCCESS")) << out;
    EXPECT_TRUE(Has(out, "start: STATUS_SUCCESS")) << out;
    EXPECT_TRUE(Has(out, "state: STATUS_SUCCESS")) << out;
    EXPECT_TRUE(Has(out, "wait: STATUS_SUCCESS")) << out;
    EXPECT_TRUE(Has(out, "qvsim app: clean")) << out;
}

TEST(AppConsole, TimeStampsFollowVirtualTimeAndTraceShowsTheReset) {
    const std::string out = Transcript({"advance 1500", "state", "power cold"}, {.seed = 3, .trace = true, .time = true});
    EXPECT_TRUE(Has(out, "] state: STATUS_SUCCESS")) << out;
    const auto state = out.find("state: STATUS_SUCCESS");
    ASSERT_NE(state, std::string::npos);
    EXPECT_EQ(out.substr(state - 11, 4), "[000") << out;
    // The console begins once the driver's first poll has seen the card, a
    // second in; the state is asked 1.5 s after that.
    EXPECT_EQ(out[state - 7], '2') << "past 2.5 s: " << out;
    EXPECT_TRUE(Has(out, "usb> 04 12 40 04 D0 E6 00 0F 6F\n")) << out;
    EXPECT_TRUE(Has(out, "blk< NAD 21 PCB 40 I-block N(S)=1 LEN 20 LRC")) << out;
    EXPECT_TRUE(Has(out, "lib  IOCTL_SMARTCARD_POWER in 4 out 64 -> STATUS_SUCCESS")) << out;
}

// A fifth reader finds every unit number taken and add-device refuses it.
// It never had a unit, so `readers` lists it as failed with add-device's
// status, not as a reader that was there and is gone; the others keep their
// lines, and a reader pulled out is still listed as gone with its unit.
TEST(AppConsole, ReadersListsAReaderThatAddDeviceRefusedAsFailed) {
    const std::string out =
        Transcript({"plug", "plug QV-39N", "plug", "plug", "reader 3", "unplug", "reader 0", "readers"});
    EXPECT_TRUE(Has(out, "plug: STATUS_SUCCESS (0x00000000) unit 3\n")) << out;
    EXPECT_TRUE(Has(out, "plug: STATUS_INSUFFICIENT_RESOURCES (0xC000009A)\n")) << out;
    EXPECT_TRUE(Has(out, "reader 0: unit 0 QV-38N started\n"
                         "reader 1: unit 1 QV-38N started\n"
                         "reader 2: unit 2 QV-39N started\n"
                         "reader 3: unit 3 QV-38N gone\n"
                         "reader 4: QV-38N failed STATUS_INSUFFICIENT_RESOURCES (0xC000009A)\n"))
        << out;
    EXPECT_TRUE(Has(out, "qvsim app: clean")) << out;
}

TEST(AppConsole, NoCardAtStart) {
    const std::string out = Transcript({"state", "card insert", "state", "advance 1100", "state"}, {.noCard = true});
    EXPECT_TRUE(Has(out, "state 1 SCARD_ABSENT")) << out;
    EXPECT_TRUE(Has(out, "state 2 SCARD_PRESENT")) << out;
}

// The card wait: pending at once, completed by the poll that finds the card
// (its line stamped with the poll's time, not the command's), ended by
// cancel and by cleanup, answered at once when the card is already there.
TEST(AppConsole, CardWaitsCompleteAsynchronously) {
    const std::string out =
        Transcript({"wait absent", "card remove", "advance 3000", "wait present", "cancel", "cancel", "wait present",
                    "cleanup", "wait absent", "card insert", "wait present", "advance 2000", "wait present"},
                   {.time = true});
    EXPECT_TRUE(Has(out, "] wait: STATUS_PENDING (0x00000103)\n")) << out;
    // The removal is found by a poll within the three seconds, a second or
    // less after the removal.
    const auto first = out.find("] wait: STATUS_SUCCESS (0x00000000)\n");
    ASSERT_NE(first, std::string::npos) << out;
    EXPECT_EQ(out.substr(first - 9, 3), "[00") << out;
    EXPECT_TRUE(Has(out, "] wait: STATUS_CANCELLED (0xC0000120)\n")) << out;
    EXPECT_TRUE(Has(out, "error: no wait is pending")) << out;
    EXPECT_TRUE(Has(out, "wait: STATUS_CANCELLED (0xC0000120)\n")) << out;
    const auto cleanup = out.find("cleanup: STATUS_SUCCESS (0x00000000)");
    ASSERT_NE(cleanup, std::string::npos) << out;
    EXPECT_LT(out.rfind("wait: STATUS_CANCELLED", cleanup), cleanup) << "the wait ends before the cleanup\n" << out;
    // "wait absent" with no card is answered at once; the last "wait present"
    // too, once the card was found.
    std::size_t successes = 0;
    for (auto at = out.find("wait: STATUS_SUCCESS"); at != std::string::npos; at = out.find("wait: STATUS_SUCCESS", at + 1))
        ++successes;
    EXPECT_EQ(successes, 4u) << out;
}

} // namespace
} // namespace qv::harness
