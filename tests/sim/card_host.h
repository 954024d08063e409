// The host side of card exchanges through the simulated reader's USB
// interface: T=0 commands as reader command 0, and T=1 blocks with NAD 0
// sent straight as reader packets, built with LRC or CRC as the card's ATR
// chose. Deliberately small: the tests script the block rules themselves.
#pragma once

#include "cards/atr.h"
#include "cards/card_catalogue.h"
#include "cards/card_t1.h"
#include "reader_host.h"

namespace qv::sim::test {

inline Bytes CardBlock(std::uint8_t pcb, std::span<const std::uint8_t> inf, bool crc) {
    Bytes block{kCardNad, pcb, static_cast<std::uint8_t>(inf.size())};
    block.reserve(inf.size() + kPrologueSize + 2);
    block.insert(block.end(), inf.begin(), inf.end());
    return SealT1Block(std::move(block), crc);
}

inline std::span<const std::uint8_t> CardInf(const Bytes& block, bool crc) {
    const std::size_t edc = crc ? 2 : 1;
    return std::span(block).subspan(kInfOffset, block.size() - kPrologueSize - edc);
}

// A reader with a named card, powered, and the protocol chosen by PPS.
struct CardBench {
    CardBench(std::string_view card, std::uint8_t protocol, std::uint8_t pps1 = 0x13)
        : CardBench(MakeCard(card), protocol, pps1) {}
    CardBench(std::unique_ptr<SimpleCard> card, std::uint8_t protocol, std::uint8_t pps1 = 0x13)
        : reader({}, std::move(card)), host(reader) {
        crc = ReadAtr(Host::Data(host.Command("D0 E6 00 0F"))).crc;
        const std::uint8_t pps0 = static_cast<std::uint8_t>(0x10 | (protocol == kProtocolT1 ? 1 : 0));
        Bytes pps{0xD0, 0xE7, 0xFF, pps0, pps1, static_cast<std::uint8_t>(0xFF ^ pps0 ^ pps1)};
        status = Host::Status(host.Command(pps));
    }

    // A T=0 command: the reader's status and the card's bytes.
    std::pair<std::uint8_t, Bytes> T0(std::span<const std::uint8_t> tpdu) {
        Bytes command{kCommandClass, kInsApdu};
        command.insert(command.end(), tpdu.begin(), tpdu.end());
        Bytes reply = host.Command(command);
        if (reply.size() < kReplyDataOffset) return {0xFF, {}};
        return {Host::Status(reply), Host::Data(reply)};
    }
    std::pair<std::uint8_t, Bytes> T0(std::string_view hex) { return T0(Hex(hex)); }

    // One T=1 block to the card and its answer (empty when it stayed silent).
    Bytes Block(std::uint8_t pcb, std::span<const std::uint8_t> inf = {}) {
        return host.Exchange(CardBlock(pcb, inf, crc));
    }
    Bytes Block(std::uint8_t pcb, std::string_view hex) { return Block(pcb, Hex(hex)); }

    // A whole APDU under T=1 with chaining both ways within ifsc and the
    // card's pieces; WTX requests answered with their own multiplier.
    // Counts the blocks the card sent.
    Bytes T1(std::span<const std::uint8_t> apdu, std::size_t ifsc, std::size_t* blocks = nullptr) {
        std::size_t sent = 0;
        Bytes reply;
        std::size_t count = 0;
        do {
            const std::size_t piece = std::min(ifsc, apdu.size() - sent);
            const bool more = sent + piece < apdu.size();
            reply = Block(static_cast<std::uint8_t>(hostSequence | (more ? kPcbMore : 0)), apdu.subspan(sent, piece));
            ++count;
            while (!reply.empty() && reply[kPcbOffset] == kPcbWtxRequest) {
                reply = Block(kPcbWtxResponse, CardInf(reply, crc));
                ++count;
            }
            sent += piece;
            hostSequence ^= kPcbSequence;
            if (more) {
                EXPECT_TRUE(!reply.empty() && IsRBlock(reply[kPcbOffset]));
            }
        } while (sent < apdu.size());
        Bytes answer;
        for (int guard = 0; guard < 64 && !reply.empty(); ++guard) {
            EXPECT_TRUE(T1BlockIntact(reply, crc));
            const std::uint8_t pcb = reply[kPcbOffset];
            if (pcb == kPcbWtxRequest) {
                reply = Block(kPcbWtxResponse, CardInf(reply, crc));
                ++count;
                continue;
            }
            if (!IsIBlock(pcb)) {
                ADD_FAILURE() << "unexpected card PCB " << int(pcb);
                break;
            }
            EXPECT_EQ(pcb & kPcbSequence, cardSequence);
            cardSequence ^= kPcbSequence;
            auto inf = CardInf(reply, crc);
            answer.insert(answer.end(), inf.begin(), inf.end());
            if ((pcb & kPcbMore) == 0) break;
            reply = Block(static_cast<std::uint8_t>(kPcbRBlockType | (cardSequence >> kSequenceToRShift)));
            ++count;
        }
        if (blocks) *blocks = count;
        return answer;
    }
    Bytes T1(std::string_view hex, std::size_t ifsc = 254) { return T1(Hex(hex), ifsc); }

    UsbReader reader;
    Host host;
    std::uint8_t status = 0xFF;
    bool crc = false;
    std::uint8_t hostSequence = 0;
    std::uint8_t cardSequence = 0;
};

inline Bytes Sw(const Bytes& response) { return Bytes(response.end() - 2, response.end()); }

} // namespace qv::sim::test
