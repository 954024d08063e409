// The echo that asks for a chosen number of waiting-time extensions: under
// T=1 that many S(WTX request) blocks with multiplier 1, each sent before the
// time granted by the last runs out; under T=0 that many NULL bytes, which
// the reader swallows while it keeps waiting.
#include <gtest/gtest.h>

#include "card_host.h"

namespace qv::sim {
namespace {

using test::CardBench;
using test::CardBlock;
using test::CardInf;
using test::Hex;

Bytes EchoAfterWaits(std::uint8_t extensions, const Bytes& data, bool withLe) {
    Bytes apdu{kClaProprietary, kInsEchoAfterWaits, extensions, 0x00, static_cast<std::uint8_t>(data.size())};
    apdu.reserve(apdu.size() + data.size() + 1); // also keeps GCC 12 -O3 from a false -Warray-bounds
    apdu.insert(apdu.end(), data.begin(), data.end());
    if (withLe) apdu.push_back(0x00);
    return apdu;
}

TEST(SimWaitingEcho, T1AsksForEachExtensionWithMultiplierOne) {
    const Bytes data = Hex("11 22 33 44");
    std::uint8_t sequence = 0;
    CardBench b("t1-crc", kProtocolT1);
    ASSERT_EQ(b.status, kStatusOk);
    EXPECT_EQ(b.Block(0xC1, "FE"), CardBlock(0xE1, Hex("FE"), true));
    const usb::Time bwt = b.reader.Simple()->BlockWaitingTime();
    for (std::uint8_t extensions : {1, 2, 5, 30}) {
        usb::Time before = b.host.now;
        Bytes reply = b.Block(sequence, EchoAfterWaits(extensions, data, true));
        sequence ^= 0x40;
        unsigned asked = 0;
        while (!reply.empty() && reply[kPcbOffset] == kPcbWtxRequest) {
            ++asked;
            EXPECT_EQ(CardInf(reply, true)[0], 1) << "multiplier of request " << asked;
            EXPECT_LT(b.host.now - before, 2 * bwt) << "request " << asked << " came in time";
            before = b.host.now;
            reply = b.Block(kPcbWtxResponse, "01");
        }
        EXPECT_EQ(asked, extensions);
        ASSERT_FALSE(reply.empty()) << "the reader gave up on the card after " << int{extensions} << " extensions";
        const auto inf = CardInf(reply, true);
        EXPECT_EQ(Bytes(inf.begin(), inf.end()), test::Concat(data, Hex("90 00")));
    }
}

TEST(SimWaitingEcho, T0SendsOneNullBytePerExtension) {
    auto card = MakeCard("t0");
    ASSERT_TRUE(card->Reset(ResetKind::Cold).bytes.has_value());
    // Case 4 under T=0: the header, the INS procedure byte, the data; then
    // the NULL bytes and 61 04 for GET RESPONSE.
    const CardReply header = card->T0Characters(Hex("80 E4 05 00 04"));
    ASSERT_TRUE(header.bytes.has_value());
    EXPECT_EQ(*header.bytes, Hex("E4"));
    const CardReply answer = card->T0Characters(Hex("01 02 03 04"));
    ASSERT_TRUE(answer.bytes.has_value());
    EXPECT_EQ(*answer.bytes, Hex("60 60 60 60 60 61 04"));
    EXPECT_LT(answer.longestSilence, card->WaitingTime()) << "every NULL byte comes within the waiting time";
    const CardReply response = card->T0Characters(Hex("00 C0 00 00 04"));
    ASSERT_TRUE(response.bytes.has_value());
    EXPECT_EQ(*response.bytes, Hex("C0 01 02 03 04 90 00"));
}

TEST(SimWaitingEcho, AWrongLengthIsRefusedAtOnce) {
    CardBench b("t0", kProtocolT0);
    // Le 2 for 4 bytes under T=0: 6C 04 at once, no NULL bytes.
    const usb::Time start = b.host.now;
    EXPECT_EQ(b.T0("80 E4 1E 00 04 01 02 03 04").second, Hex("61 04"));
    EXPECT_GE(b.host.now - start, kSecond) << "thirty extensions take the card's time";
    EXPECT_EQ(b.T0("80 E4 00 00 00").second, Hex("67 00")) << "no data to echo";
}

} // namespace
} // namespace qv::sim
