// Transmits under T=0 and T=1 while another thread uses the reader link the
// way the poller does: ReaderMutex keeps every chained T=1 exchange and every
// reader command whole, so no status poll falls between two blocks of a
// chain, and every answer is the card's. Runs on QV_SEEDS.
#include <gtest/gtest.h>

#include <array>
#include <cstring>

#include "card/card_service_bed.h"
#include "cards/iso_application.h"
#include "harness/seeds.h"

namespace qv::test {
namespace {

constexpr int kRounds = 4;

Bytes Ioctl(ULONG value) {
    Bytes bytes(sizeof value);
    std::memcpy(bytes.data(), &value, sizeof value);
    return bytes;
}

void RaceUnder(ULONG protocol) {
    const Bytes selectDf = {0x00, 0xA4, 0x00, 0x0C, 0x02, 0x51, 0x00};
    const Bytes selectData = {0x00, 0xA4, 0x00, 0x0C, 0x02, 0x01, 0x01};
    const Bytes read256 = {0x00, 0xB0, 0x00, 0x00, 0x00};
    for (std::uint64_t seed : harness::RunSeeds(8)) {
        SimBed t("dual", seed);
        int good = 0;
        int polls = 0;
        bool wrong = false;
        t.Run([&] {
            ASSERT_EQ(t.bed.DeviceControl(0, IOCTL_SMARTCARD_POWER, Ioctl(SCARD_COLD_RESET), 64).status, STATUS_SUCCESS);
            ASSERT_EQ(t.bed.DeviceControl(0, IOCTL_SMARTCARD_SET_PROTOCOL, Ioctl(protocol), 4).status, STATUS_SUCCESS);
            for (const Bytes& apdu : {selectDf, selectData}) {
                ASSERT_EQ(t.bed.DeviceControl(0, IOCTL_SMARTCARD_TRANSMIT, TransmitRequest(protocol, apdu), 300).status,
                          STATUS_SUCCESS);
            }
            std::array<KEVENT, 2> done;
            for (KEVENT& event : done) KeInitializeEvent(&event, NotificationEvent, FALSE);
            t.bed.Machine().Spawn("app", [&] {
                for (int round = 0; round < kRounds; ++round) {
                    const harness::IoctlResult r =
                        t.bed.DeviceControl(0, IOCTL_SMARTCARD_TRANSMIT, TransmitRequest(protocol, read256), 300);
                    bool ok = r.status == STATUS_SUCCESS && r.output.size() == kHeaderLength + 258;
                    for (std::size_t i = 0; ok && i < 256; ++i) ok = r.output[kHeaderLength + i] == sim::DataFileByte(i);
                    if (ok) {
                        ++good;
                    } else {
                        wrong = true;
                    }
                }
                KeSetEvent(&done[0], IO_NO_INCREMENT, FALSE);
            });
            t.bed.Machine().Spawn("poll", [&] {
                for (int round = 0; round < kRounds * 2; ++round) {
                    const harness::CommandResult status = t.bed.SendCommand(0, READER_COMMAND_CARD_STATUS);
                    if (status.Ok() && status.reply.size() >= 5) {
                        ++polls;
                    } else {
                        wrong = true;
                    }
                }
                KeSetEvent(&done[1], IO_NO_INCREMENT, FALSE);
            });
            for (KEVENT& event : done) KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr);
        });
        EXPECT_FALSE(wrong) << "seed " << seed;
        EXPECT_EQ(good, kRounds) << "seed " << seed;
        EXPECT_EQ(polls, kRounds * 2) << "seed " << seed;
    }
}

TEST(DataExchangeRace, ChainedT1ExchangesAndStatusPollsStayWhole) { RaceUnder(SCARD_PROTOCOL_T1); }

TEST(DataExchangeRace, T0ExchangesAndStatusPollsStayWhole) { RaceUnder(SCARD_PROTOCOL_T0); }

} // namespace
} // namespace qv::test
