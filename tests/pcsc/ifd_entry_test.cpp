// The IFD handler's entry points, called in process as pcscd calls them:
// the channel's life, capabilities, power, protocol and exchanges under T=0
// and T=1, presence and the card-event wait, and the error codes when the
// card is pulled during an exchange or the reader is pulled out. The
// machine runs in real time, so the driver's once-a-second card poll is
// waited for with a bounded wait.
#include <gtest/gtest.h>

extern "C" {
#include <ifdhandler.h>
#include <reader.h>
}

#include <chrono>
#include <cstdio>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "pcsc/control_server.h"
#include "pcsc/ifd_handler.h"

namespace qv::test {
namespace {

using namespace std::chrono_literals;

constexpr DWORD kLun = 0x10000;
constexpr DWORD kOtherLun = 0x20000;
constexpr DWORD kProtocolNumberT0 = 0;
constexpr DWORD kProtocolNumberT1 = 1;
// Longer than two of the driver's card polls.
constexpr auto kPollPatience = 5s;

using Bytes = std::vector<UCHAR>;

std::string DeviceName(const std::string& card) { return "qvscr:QV-38N:" + card; }

RESPONSECODE Open(DWORD lun, const std::string& card) {
    std::string name = DeviceName(card);
    return IFDHCreateChannelByName(lun, name.data());
}

std::shared_ptr<pcsc::Bridge> BridgeOf(DWORD lun) {
    return pcsc::IfdHandler::Instance().For(static_cast<std::uint32_t>(lun));
}

Bytes PowerUp(DWORD lun, RESPONSECODE& rv) {
    UCHAR atr[MAX_ATR_SIZE] = {};
    DWORD length = sizeof atr;
    rv = IFDHPowerICC(lun, IFD_POWER_UP, atr, &length);
    return Bytes(atr, atr + length);
}

struct Answer {
    RESPONSECODE rv = IFD_COMMUNICATION_ERROR;
    Bytes data;
    std::string Sw() const {
        if (data.size() < 2) return "none";
        char text[8];
        std::snprintf(text, sizeof text, "%02X%02X", data[data.size() - 2], data[data.size() - 1]);
        return text;
    }
};

Answer Send(DWORD lun, DWORD protocolNumber, Bytes apdu, DWORD room = MAX_BUFFER_SIZE_EXTENDED) {
    Answer answer;
    SCARD_IO_HEADER send{protocolNumber, 0};
    SCARD_IO_HEADER receive{};
    answer.data.resize(room);
    DWORD length = room;
    answer.rv = IFDHTransmitToICC(lun, send, apdu.data(), apdu.size(), answer.data.data(), &length, &receive);
    EXPECT_LE(length, room);
    answer.data.resize(length);
    return answer;
}

// Presence as pcscd polls it, until it reads `wanted` or patience runs out.
bool PresenceBecomes(DWORD lun, RESPONSECODE wanted) {
    const auto end = std::chrono::steady_clock::now() + kPollPatience;
    while (std::chrono::steady_clock::now() < end) {
        if (IFDHICCPresence(lun) == wanted) return true;
        std::this_thread::sleep_for(50ms);
    }
    return false;
}

const Bytes kSelectApplication{0x00, 0xA4, 0x04, 0x0C, 0x07, 0xF0, 0x51, 0x56, 0x53, 0x43, 0x52, 0x01};
const Bytes kSelectData{0x00, 0xA4, 0x00, 0x0C, 0x02, 0x01, 0x01};
const Bytes kReadFour{0x00, 0xB0, 0x00, 0x00, 0x04};
const Bytes kEcho{0x80, 0xEE, 0x00, 0x00, 0x03, 0x11, 0x22, 0x33, 0x00};

class IfdEntry : public ::testing::Test {
  protected:
    void TearDown() override {
        IFDHCloseChannel(kLun);
        IFDHCloseChannel(kOtherLun);
    }
};

TEST_F(IfdEntry, CapabilitiesOfTheHandlerAndTheReader) {
    ASSERT_EQ(Open(kLun, "dual"), IFD_SUCCESS);
    UCHAR value[256] = {};
    DWORD length = sizeof value;
    ASSERT_EQ(IFDHGetCapabilities(kLun, TAG_IFD_SLOTS_NUMBER, &length, value), IFD_SUCCESS);
    EXPECT_EQ(length, 1u);
    EXPECT_EQ(value[0], 1);
    length = sizeof value;
    ASSERT_EQ(IFDHGetCapabilities(kLun, TAG_IFD_SIMULTANEOUS_ACCESS, &length, value), IFD_SUCCESS);
    EXPECT_GE(value[0], 2);
    // The polling thread and its stop are functions of the handler.
    length = sizeof value;
    ASSERT_EQ(IFDHGetCapabilities(kLun, TAG_IFD_POLLING_THREAD_WITH_TIMEOUT, &length, value), IFD_SUCCESS);
    EXPECT_EQ(length, sizeof(void*));
    length = sizeof value;
    ASSERT_EQ(IFDHGetCapabilities(kLun, TAG_IFD_POLLING_THREAD_KILLABLE, &length, value), IFD_SUCCESS);
    EXPECT_EQ(value[0], 0);
    length = sizeof value;
    ASSERT_EQ(IFDHGetCapabilities(kLun, TAG_IFD_STOP_POLLING_THREAD, &length, value), IFD_SUCCESS);
    // The vendor name comes from the driver's attribute.
    length = sizeof value;
    ASSERT_EQ(IFDHGetCapabilities(kLun, SCARD_ATTR_VENDOR_IFD_TYPE, &length, value), IFD_SUCCESS);
    EXPECT_NE(std::string(reinterpret_cast<char*>(value), length).find("QV-38N"), std::string::npos);
    // Too small a buffer, and a tag nobody knows.
    length = 1;
    EXPECT_EQ(IFDHGetCapabilities(kLun, SCARD_ATTR_VENDOR_IFD_TYPE, &length, value), IFD_ERROR_INSUFFICIENT_BUFFER);
    EXPECT_EQ(length, 0u);
    length = sizeof value;
    EXPECT_EQ(IFDHGetCapabilities(kLun, 0x0FFF, &length, value), IFD_ERROR_TAG);
    // The ATR before and after power-up.
    length = sizeof value;
    ASSERT_EQ(IFDHGetCapabilities(kLun, TAG_IFD_ATR, &length, value), IFD_SUCCESS);
    EXPECT_EQ(length, 0u);
    RESPONSECODE rv = IFD_COMMUNICATION_ERROR;
    const Bytes atr = PowerUp(kLun, rv);
    ASSERT_EQ(rv, IFD_SUCCESS);
    length = sizeof value;
    ASSERT_EQ(IFDHGetCapabilities(kLun, TAG_IFD_ATR, &length, value), IFD_SUCCESS);
    EXPECT_EQ(Bytes(value, value + length), atr);
    // The last channel closed with the card powered: the machine goes, the
    // driver's unload audit finds nothing left behind.
    auto bridge = BridgeOf(kLun);
    EXPECT_EQ(IFDHCloseChannel(kLun), IFD_SUCCESS);
    EXPECT_EQ(bridge->Shutdown(), "");
}

TEST_F(IfdEntry, ExchangesUnderT0AndT1) {
    ASSERT_EQ(Open(kLun, "t0"), IFD_SUCCESS);
    ASSERT_EQ(Open(kOtherLun, "t1"), IFD_SUCCESS);
    RESPONSECODE rv = IFD_COMMUNICATION_ERROR;
    ASSERT_FALSE(PowerUp(kLun, rv).empty());
    ASSERT_EQ(rv, IFD_SUCCESS);
    ASSERT_FALSE(PowerUp(kOtherLun, rv).empty());
    ASSERT_EQ(rv, IFD_SUCCESS);
    // Each card refuses the protocol it does not run.
    EXPECT_NE(IFDHSetProtocolParameters(kLun, SCARD_PROTOCOL_T1, 0, 0, 0, 0), IFD_SUCCESS);
    PowerUp(kLun, rv);
    ASSERT_EQ(IFDHSetProtocolParameters(kLun, SCARD_PROTOCOL_T0, 0, 0, 0, 0), IFD_SUCCESS);
    ASSERT_EQ(IFDHSetProtocolParameters(kOtherLun, SCARD_PROTOCOL_T1, 0, 0, 0, 0), IFD_SUCCESS);

    for (auto [lun, protocol] : {std::pair{kLun, kProtocolNumberT0}, std::pair{kOtherLun, kProtocolNumberT1}}) {
        SCOPED_TRACE(protocol == kProtocolNumberT0 ? "T=0" : "T=1");
        EXPECT_EQ(Send(lun, protocol, kSelectApplication).Sw(), "9000");
        EXPECT_EQ(Send(lun, protocol, kSelectData).Sw(), "9000");
        // Byte i of the file is 7i + 3.
        const Answer read = Send(lun, protocol, kReadFour);
        ASSERT_EQ(read.rv, IFD_SUCCESS);
        EXPECT_EQ(read.data, (Bytes{3, 10, 17, 24, 0x90, 0x00}));
    }
    // A case 4 command under T=0 leaves GET RESPONSE to the application.
    EXPECT_EQ(Send(kLun, kProtocolNumberT0, kEcho).Sw().substr(0, 2), "61");
    const Answer echoed = Send(kOtherLun, kProtocolNumberT1, kEcho);
    EXPECT_EQ(echoed.data, (Bytes{0x11, 0x22, 0x33, 0x90, 0x00}));
    // An answer that does not fit the caller's buffer.
    const Answer cramped = Send(kOtherLun, kProtocolNumberT1, kReadFour, 3);
    EXPECT_NE(cramped.rv, IFD_SUCCESS);
    EXPECT_TRUE(cramped.data.empty());
    // The power goes; an exchange then fails without an answer.
    UCHAR atr[MAX_ATR_SIZE];
    DWORD atrLength = sizeof atr;
    EXPECT_EQ(IFDHPowerICC(kLun, IFD_POWER_DOWN, atr, &atrLength), IFD_SUCCESS);
    EXPECT_EQ(atrLength, 0u);
    EXPECT_EQ(IFDHPowerICC(kOtherLun, IFD_POWER_DOWN, nullptr, nullptr), IFD_SUCCESS);
    const Answer unpowered = Send(kLun, kProtocolNumberT0, kSelectData);
    EXPECT_NE(unpowered.rv, IFD_SUCCESS);
    EXPECT_TRUE(unpowered.data.empty());
}

// pcscd serves each reader from threads of its own: two readers on one
// driver, each exchanging APDUs while its card-event wait is pending, and
// every answer is the right one for its reader.
TEST_F(IfdEntry, TwoReadersServedAtOnce) {
    ASSERT_EQ(Open(kLun, "t1"), IFD_SUCCESS);
    ASSERT_EQ(Open(kOtherLun, "dual"), IFD_SUCCESS);
    UCHAR value[sizeof(void*)] = {};
    DWORD length = sizeof value;
    ASSERT_EQ(IFDHGetCapabilities(kLun, TAG_IFD_POLLING_THREAD_WITH_TIMEOUT, &length, value), IFD_SUCCESS);
    RESPONSECODE (*wait)(DWORD, int) = nullptr;
    std::memcpy(&wait, value, sizeof wait);
    length = sizeof value;
    ASSERT_EQ(IFDHGetCapabilities(kLun, TAG_IFD_STOP_POLLING_THREAD, &length, value), IFD_SUCCESS);
    RESPONSECODE (*stop)(DWORD) = nullptr;
    std::memcpy(&stop, value, sizeof stop);

    std::vector<std::thread> threads;
    for (DWORD lun : {kLun, kOtherLun}) {
        threads.emplace_back([lun, wait] { EXPECT_EQ(wait(lun, 60'000), IFD_SUCCESS); });
        threads.emplace_back([lun] {
            RESPONSECODE rv = IFD_COMMUNICATION_ERROR;
            PowerUp(lun, rv);
            ASSERT_EQ(rv, IFD_SUCCESS);
            ASSERT_EQ(IFDHSetProtocolParameters(lun, SCARD_PROTOCOL_T1, 0, 0, 0, 0), IFD_SUCCESS);
            ASSERT_EQ(Send(lun, kProtocolNumberT1, kSelectApplication).Sw(), "9000");
            ASSERT_EQ(Send(lun, kProtocolNumberT1, kSelectData).Sw(), "9000");
            for (int round = 0; round < 10; ++round) {
                const Answer read = Send(lun, kProtocolNumberT1, kReadFour);
                ASSERT_EQ(read.rv, IFD_SUCCESS);
                EXPECT_EQ(read.data, (Bytes{3, 10, 17, 24, 0x90, 0x00}));
            }
        });
    }
    // The exchanges end; then the waits are stopped, as pcscd does before
    // it closes a channel.
    threads[1].join();
    threads[3].join();
    stop(kLun);
    stop(kOtherLun);
    threads[0].join();
    threads[2].join();
}

// pcscd's polling thread: the wait returns once the driver's poll sees the
// card go or come, and a stop ends it at once.
TEST_F(IfdEntry, PresenceAndTheCardEventWait) {
    ASSERT_EQ(Open(kLun, "dual"), IFD_SUCCESS);
    EXPECT_EQ(IFDHICCPresence(kLun), IFD_ICC_PRESENT);
    UCHAR value[sizeof(void*)] = {};
    DWORD length = sizeof value;
    ASSERT_EQ(IFDHGetCapabilities(kLun, TAG_IFD_POLLING_THREAD_WITH_TIMEOUT, &length, value), IFD_SUCCESS);
    RESPONSECODE (*wait)(DWORD, int) = nullptr;
    std::memcpy(&wait, value, sizeof wait);
    length = sizeof value;
    ASSERT_EQ(IFDHGetCapabilities(kLun, TAG_IFD_STOP_POLLING_THREAD, &length, value), IFD_SUCCESS);
    RESPONSECODE (*stop)(DWORD) = nullptr;
    std::memcpy(&stop, value, sizeof stop);

    // A wait with nothing happening ends with its time-out.
    const auto before = std::chrono::steady_clock::now();
    EXPECT_EQ(wait(kLun, 300), IFD_SUCCESS);
    EXPECT_GE(std::chrono::steady_clock::now() - before, 300ms);

    auto bridge = BridgeOf(kLun);
    ASSERT_NE(bridge, nullptr);
    std::thread remover([&] {
        std::this_thread::sleep_for(200ms);
        bridge->RemoveCard(kLun);
    });
    EXPECT_EQ(wait(kLun, 10'000), IFD_SUCCESS);
    remover.join();
    EXPECT_EQ(IFDHICCPresence(kLun), IFD_ICC_NOT_PRESENT);
    std::string error;
    ASSERT_EQ(bridge->InsertCard(kLun, "t1", error), pcsc::Outcome::Ok) << error;
    EXPECT_TRUE(PresenceBecomes(kLun, IFD_ICC_PRESENT));

    std::thread stopper([&] {
        std::this_thread::sleep_for(200ms);
        stop(kLun);
    });
    const auto waited = std::chrono::steady_clock::now();
    EXPECT_EQ(wait(kLun, 60'000), IFD_SUCCESS);
    EXPECT_LT(std::chrono::steady_clock::now() - waited, 10s);
    stopper.join();
    // pcscd stops its polling thread around a reset and starts it again: a
    // stop ends one wait (the pending one, or the next when it came between
    // two), so the waits after it wait again.
    bool waitedAgain = false;
    for (int attempt = 0; attempt < 3 && !waitedAgain; ++attempt) {
        const auto again = std::chrono::steady_clock::now();
        EXPECT_EQ(wait(kLun, 300), IFD_SUCCESS);
        waitedAgain = std::chrono::steady_clock::now() - again >= 300ms;
    }
    EXPECT_TRUE(waitedAgain);
    // A stop with no wait pending ends the next wait at once.
    stop(kLun);
    const auto early = std::chrono::steady_clock::now();
    EXPECT_EQ(wait(kLun, 60'000), IFD_SUCCESS);
    EXPECT_LT(std::chrono::steady_clock::now() - early, 10s);
}

// The card is pulled in the middle of its answer: the exchange fails with
// the card-absent code and no answer bytes, the daemon's next presence
// poll sees the slot empty, and a card put back works again.
TEST_F(IfdEntry, CardPulledDuringAnExchange) {
    for (auto [card, protocolMask, protocolNumber] :
         {std::tuple{"t0", SCARD_PROTOCOL_T0, kProtocolNumberT0}, std::tuple{"t1", SCARD_PROTOCOL_T1, kProtocolNumberT1}}) {
        SCOPED_TRACE(card);
        ASSERT_EQ(Open(kLun, card), IFD_SUCCESS);
        RESPONSECODE rv = IFD_COMMUNICATION_ERROR;
        PowerUp(kLun, rv);
        ASSERT_EQ(rv, IFD_SUCCESS);
        ASSERT_EQ(IFDHSetProtocolParameters(kLun, protocolMask, 0, 0, 0, 0), IFD_SUCCESS);
        ASSERT_EQ(Send(kLun, protocolNumber, kSelectApplication).Sw(), "9000");
        auto bridge = BridgeOf(kLun);
        std::string error;
        ASSERT_EQ(bridge->ArmFault(kLun, "card-pulled-mid", 1, error), pcsc::Outcome::Ok) << error;
        const Answer pulled = Send(kLun, protocolNumber, kSelectData);
        EXPECT_TRUE(pulled.data.empty());
        // The reader cannot tell a card pulled mid-answer from one fallen
        // silent: the exchange fails as a time-out (or, under T=1, as a
        // broken block exchange), never as a success.
        EXPECT_TRUE(pulled.rv == IFD_ICC_NOT_PRESENT || pulled.rv == IFD_RESPONSE_TIMEOUT ||
                    pulled.rv == IFD_COMMUNICATION_ERROR)
            << pulled.rv;
        EXPECT_TRUE(PresenceBecomes(kLun, IFD_ICC_NOT_PRESENT));
        // Once the poll has seen the slot empty the driver says so.
        const Answer absent = Send(kLun, protocolNumber, kSelectData);
        EXPECT_EQ(absent.rv, IFD_ICC_NOT_PRESENT);
        EXPECT_TRUE(absent.data.empty());
        UCHAR atr[MAX_ATR_SIZE];
        DWORD atrLength = sizeof atr;
        EXPECT_EQ(IFDHPowerICC(kLun, IFD_POWER_UP, atr, &atrLength), IFD_ERROR_POWER_ACTION);
        EXPECT_EQ(atrLength, 0u);
        ASSERT_EQ(bridge->InsertCard(kLun, card, error), pcsc::Outcome::Ok) << error;
        ASSERT_TRUE(PresenceBecomes(kLun, IFD_ICC_PRESENT));
        PowerUp(kLun, rv);
        EXPECT_EQ(rv, IFD_SUCCESS);
        ASSERT_EQ(IFDHSetProtocolParameters(kLun, protocolMask, 0, 0, 0, 0), IFD_SUCCESS);
        EXPECT_EQ(Send(kLun, protocolNumber, kSelectApplication).Sw(), "9000");
        EXPECT_EQ(IFDHCloseChannel(kLun), IFD_SUCCESS);
    }
}

// A card pulled and put back between two of the driver's polls: the
// driver reports the card it had powered as gone, and the presence check
// says absent once, so that pcscd drops the old card and powers the one in
// the slot up afresh, whose exchanges then work.
TEST_F(IfdEntry, CardPulledAndPutBackBetweenTwoPolls) {
    ASSERT_EQ(Open(kLun, "t1"), IFD_SUCCESS);
    RESPONSECODE rv = IFD_COMMUNICATION_ERROR;
    PowerUp(kLun, rv);
    ASSERT_EQ(rv, IFD_SUCCESS);
    ASSERT_EQ(IFDHSetProtocolParameters(kLun, SCARD_PROTOCOL_T1, 0, 0, 0, 0), IFD_SUCCESS);
    ASSERT_EQ(Send(kLun, kProtocolNumberT1, kSelectApplication).Sw(), "9000");
    UCHAR value[sizeof(void*)] = {};
    DWORD length = sizeof value;
    ASSERT_EQ(IFDHGetCapabilities(kLun, TAG_IFD_POLLING_THREAD_WITH_TIMEOUT, &length, value), IFD_SUCCESS);
    RESPONSECODE (*wait)(DWORD, int) = nullptr;
    std::memcpy(&wait, value, sizeof wait);
    auto bridge = BridgeOf(kLun);
    std::string error;
    std::thread swapper([&] {
        std::this_thread::sleep_for(200ms);
        bridge->RemoveCard(kLun);
        ASSERT_EQ(bridge->InsertCard(kLun, "", error), pcsc::Outcome::Ok) << error;
    });
    EXPECT_EQ(wait(kLun, 10'000), IFD_SUCCESS);
    swapper.join();
    EXPECT_EQ(IFDHICCPresence(kLun), IFD_ICC_NOT_PRESENT) << "the card pcscd powered is gone";
    EXPECT_EQ(IFDHICCPresence(kLun), IFD_ICC_PRESENT) << "once; the card in the slot is there";
    PowerUp(kLun, rv);
    EXPECT_EQ(rv, IFD_SUCCESS);
    ASSERT_EQ(IFDHSetProtocolParameters(kLun, SCARD_PROTOCOL_T1, 0, 0, 0, 0), IFD_SUCCESS);
    EXPECT_EQ(Send(kLun, kProtocolNumberT1, kSelectApplication).Sw(), "9000");
}

// The reader is pulled out: every call says the device is gone, which is
// pcscd's sign to drop the reader, and the channel still closes cleanly.
TEST_F(IfdEntry, ReaderPulledOut) {
    ASSERT_EQ(Open(kLun, "dual"), IFD_SUCCESS);
    auto bridge = BridgeOf(kLun);
    ASSERT_EQ(bridge->Unplug(kLun), pcsc::Outcome::Ok);
    RESPONSECODE rv = IFD_SUCCESS;
    PowerUp(kLun, rv);
    EXPECT_EQ(rv, IFD_NO_SUCH_DEVICE);
    EXPECT_EQ(IFDHICCPresence(kLun), IFD_NO_SUCH_DEVICE);
    EXPECT_EQ(Send(kLun, kProtocolNumberT1, kSelectData).rv, IFD_NO_SUCH_DEVICE);
    EXPECT_EQ(IFDHCloseChannel(kLun), IFD_SUCCESS);
    EXPECT_EQ(bridge->Shutdown(), "");
}

TEST_F(IfdEntry, CallsThatCannotBeServed) {
    // No channel.
    EXPECT_EQ(IFDHICCPresence(kLun), IFD_NO_SUCH_DEVICE);
    RESPONSECODE rv = IFD_SUCCESS;
    PowerUp(kLun, rv);
    EXPECT_EQ(rv, IFD_NO_SUCH_DEVICE);
    // A device name the handler does not understand, a card not in the
    // catalogue, a second open of one Lun.
    char badField[] = "qvscr:dual:t0";
    EXPECT_EQ(IFDHCreateChannelByName(kLun, badField), IFD_COMMUNICATION_ERROR);
    EXPECT_EQ(Open(kLun, "no-such-card"), IFD_COMMUNICATION_ERROR);
    ASSERT_EQ(Open(kLun, "dual"), IFD_SUCCESS);
    EXPECT_EQ(Open(kLun, "dual"), IFD_COMMUNICATION_ERROR);
    // Buffers that are missing.
    SCARD_IO_HEADER header{kProtocolNumberT1, 0};
    UCHAR apdu[] = {0x00, 0xB0, 0x00, 0x00, 0x04};
    DWORD length = 10;
    EXPECT_EQ(IFDHTransmitToICC(kLun, header, apdu, sizeof apdu, nullptr, &length, nullptr), IFD_COMMUNICATION_ERROR);
    EXPECT_EQ(IFDHGetCapabilities(kLun, TAG_IFD_ATR, nullptr, nullptr), IFD_COMMUNICATION_ERROR);
    // A protocol the transmit header cannot name, and a power action.
    SCARD_IO_HEADER odd{7, 0};
    UCHAR answer[16];
    length = sizeof answer;
    EXPECT_EQ(IFDHTransmitToICC(kLun, odd, apdu, sizeof apdu, answer, &length, nullptr), IFD_PROTOCOL_NOT_SUPPORTED);
    EXPECT_EQ(length, 0u);
    EXPECT_EQ(IFDHPowerICC(kLun, 12345, nullptr, nullptr), IFD_NOT_SUPPORTED);
    // pcsc-lite's feature request reaches the driver as its Windows control
    // code; the driver refuses the parameter, and nothing comes back.
    UCHAR features[64];
    DWORD returned = 99;
    EXPECT_EQ(IFDHControl(kLun, SCARD_CTL_CODE(3400), nullptr, 0, features, sizeof features, &returned),
              IFD_COMMUNICATION_ERROR);
    EXPECT_EQ(returned, 0u);
}

TEST(IfdControlChannel, CommandsOfTheControlSocket) {
    pcsc::Bridge bridge;
    ASSERT_EQ(bridge.Open(7, {.model = "QV-39N", .card = "none"}), pcsc::Outcome::Ok);
    std::size_t current = 0;
    EXPECT_EQ(pcsc::ControlCommand(bridge, "readers", current), "reader 0: QV-39N, no card\nok\n");
    EXPECT_EQ(pcsc::ControlCommand(bridge, "card insert t0", current), "ok\n");
    EXPECT_EQ(pcsc::ControlCommand(bridge, "readers", current), "reader 0: QV-39N, card t0\nok\n");
    EXPECT_EQ(pcsc::ControlCommand(bridge, "card insert atr 3B021450", current), "ok\n");
    EXPECT_EQ(pcsc::ControlCommand(bridge, "card insert atr 3B0", current).substr(0, 6), "error:");
    EXPECT_EQ(pcsc::ControlCommand(bridge, "card insert nonsense", current).substr(0, 6), "error:");
    EXPECT_EQ(pcsc::ControlCommand(bridge, "fault card-mute 2", current), "ok\n");
    EXPECT_EQ(pcsc::ControlCommand(bridge, "fault card-mute 0", current).substr(0, 6), "error:");
    EXPECT_EQ(pcsc::ControlCommand(bridge, "reader 1", current).substr(0, 6), "error:");
    EXPECT_EQ(pcsc::ControlCommand(bridge, "frobnicate", current).substr(0, 6), "error:");
    EXPECT_NE(pcsc::ControlCommand(bridge, "card list", current).find("t1: "), std::string::npos);
    EXPECT_EQ(pcsc::ControlCommand(bridge, "card stats", current), "card busy 0.000 ms, commands 0, chained 0, get-response 0, extended 0\nok\n")
        << "a card never powered has done nothing";
    EXPECT_EQ(pcsc::ControlCommand(bridge, "card remove", current), "ok\n");
    EXPECT_EQ(pcsc::ControlCommand(bridge, "unplug", current), "ok\n");
    EXPECT_EQ(pcsc::ControlCommand(bridge, "readers", current), "reader 0: QV-39N, gone\nok\n");
    EXPECT_EQ(bridge.Close(7), pcsc::Outcome::NoDevice);
    // The driver unloads with nothing left behind.
    EXPECT_EQ(bridge.Shutdown(), "");
}

} // namespace
} // namespace qv::test
