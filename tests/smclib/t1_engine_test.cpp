// The library's T=1 engine against a card that runs T=1 by ISO/IEC 7816-3:
// the loop a reader driver runs (SmartcardT1Request, send, SmartcardT1Reply)
// with the card's block in between, over exact-size pool buffers whose guard
// bytes catch any write past them.
#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <optional>

#include "kernel/pool.h"
#include "smclib/fake_reader.h"
#include "smclib/library_state.h"
#include "smclib/t1_card_peer.h"

namespace qv::test {
namespace {

constexpr ULONG kTestTag = QV_POOL_TAG('T', '1', 't', 's');
constexpr ULONG kHeaderLength = sizeof(SCARD_IO_REQUEST);
// A driver loop that has not ended after this many blocks never will.
constexpr int kRunaway = 5000;

// An ATR offering T=1 with the given IFSC and EDC: TD1 names T=1 and TD2,
// whose group carries IFSC, BWI/CWI and (for CRC) TC3.
std::vector<UCHAR> T1Atr(UCHAR ifsc, bool crc) {
    std::vector<UCHAR> atr = {0x3B, 0x80, 0x81, static_cast<UCHAR>(crc ? 0x71 : 0x31), ifsc, 0x45};
    if (crc) atr.push_back(0x01);
    UCHAR tck = 0;
    for (std::size_t i = 1; i < atr.size(); ++i) tck ^= atr[i];
    atr.push_back(tck);
    return atr;
}

// A reset as the library sees it: the card's new ATR parsed into the
// extension, and T=1 selected.
void ResetCard(SMARTCARD_EXTENSION& ext, const std::vector<UCHAR>& atr) {
    std::memcpy(ext.CardCapabilities.ATR.Buffer, atr.data(), atr.size());
    ext.CardCapabilities.ATR.Length = static_cast<UCHAR>(atr.size());
    ASSERT_EQ(SmartcardUpdateCardCapabilities(&ext), STATUS_SUCCESS);
    ext.CardCapabilities.Protocol.Selected = SCARD_PROTOCOL_T1;
    ext.ReaderCapabilities.CurrentState = SCARD_SPECIFIC;
}

std::vector<UCHAR> Apdu(std::size_t responseLength, std::size_t dataLength = 0) {
    std::vector<UCHAR> apdu = {0x80, 0xCA, static_cast<UCHAR>(responseLength >> 8),
                               static_cast<UCHAR>(responseLength & 0xFF)};
    if (dataLength != 0) {
        apdu.push_back(static_cast<UCHAR>(dataLength > 255 ? 0 : dataLength));
        for (std::size_t i = 0; i < dataLength; ++i) apdu.push_back(static_cast<UCHAR>(0xA0 + i));
        apdu.resize(4 + dataLength); // the card takes the bytes behind P1 P2 as they come
    }
    return apdu;
}

std::vector<UCHAR> ExpectedResponse(std::size_t length) {
    std::vector<UCHAR> response;
    for (std::size_t i = 0; i < length; ++i) response.push_back(static_cast<UCHAR>(i));
    response.push_back(0x90);
    response.push_back(0x00);
    return response;
}

struct Exchange {
    NTSTATUS status = STATUS_PENDING;
    ULONG information = 0;
    std::vector<UCHAR> reply;                 // the reply buffer's first `information` bytes
    std::vector<std::vector<UCHAR>> sent;      // every block handed to the card
    std::vector<UCHAR> wtxPerBlock;            // T1.Wtx while each block was out
};

// The reader driver's T=1 road: one request buffer holding header and APDU,
// the reply in the same buffer (as in a buffered control request), each
// block carried to the card and its answer handed back. `onLine` may damage
// a block on its way to the card.
struct Transmit {
    ULONG replyCapacity = 300;
    std::optional<ULONG> pciLength;   // another cbPciLength in the header
    std::optional<ULONG> protocol;
    std::optional<ULONG> requestLength; // fewer request bytes than header and APDU
    UCHAR nad = 0;
    std::function<void(std::vector<UCHAR>&, std::size_t)> onLine;
    // What the driver hands back in place of the card's answer, if anything else.
    std::function<void(std::vector<UCHAR>&, std::size_t)> onAnswer;

    Exchange Run(SMARTCARD_EXTENSION& ext, T1CardPeer& card, const std::vector<UCHAR>& apdu) const {
        std::vector<UCHAR> request(kHeaderLength + apdu.size());
        const ULONG proto = protocol.value_or(SCARD_PROTOCOL_T1);
        const ULONG pci = pciLength.value_or(kHeaderLength);
        std::memcpy(request.data(), &proto, 4);
        std::memcpy(request.data() + 4, &pci, 4);
        std::copy(apdu.begin(), apdu.end(), request.begin() + kHeaderLength);
        const ULONG inLength = requestLength.value_or(static_cast<ULONG>(request.size()));
        const ULONG size = std::max<ULONG>(inLength, replyCapacity);
        auto* buffer = static_cast<PUCHAR>(ExAllocatePoolWithTag(NonPagedPool, size, kTestTag));
        std::memset(buffer, 0xEE, size);
        std::memcpy(buffer, request.data(), std::min<std::size_t>(inLength, request.size()));

        Exchange result;
        ext.IoRequest.RequestBuffer = buffer;
        ext.IoRequest.RequestBufferLength = inLength;
        ext.IoRequest.ReplyBuffer = buffer;
        ext.IoRequest.ReplyBufferLength = replyCapacity;
        ext.IoRequest.Information = &result.information;

        ext.T1.NAD = nad;
        ext.SmartcardRequest.BufferLength = 0;
        NTSTATUS status = SmartcardT1Request(&ext);
        for (int round = 0; status == STATUS_SUCCESS && round < kRunaway; ++round) {
            std::vector<UCHAR> block(ext.SmartcardRequest.Buffer,
                                     ext.SmartcardRequest.Buffer + ext.SmartcardRequest.BufferLength);
            result.sent.push_back(block);
            result.wtxPerBlock.push_back(ext.T1.Wtx);
            if (onLine) onLine(block, result.sent.size() - 1);
            std::vector<UCHAR> answer = card.Answer(block);
            if (onAnswer) onAnswer(answer, result.sent.size() - 1);
            EXPECT_LE(answer.size(), ext.SmartcardReply.BufferSize);
            // A mute card answers nothing, and memcpy takes no null source.
            if (!answer.empty()) std::memcpy(ext.SmartcardReply.Buffer, answer.data(), answer.size());
            ext.SmartcardReply.BufferLength = static_cast<ULONG>(answer.size());
            status = SmartcardT1Reply(&ext);
            if (status != STATUS_MORE_PROCESSING_REQUIRED) break;
            ext.T1.NAD = nad;
            ext.SmartcardRequest.BufferLength = 0;
            status = SmartcardT1Request(&ext);
        }
        result.status = status;
        const ULONG shown = status == STATUS_SUCCESS ? std::min(result.information, replyCapacity) : 0;
        result.reply.assign(buffer, buffer + shown);
        // Freeing checks the pool block's guard bytes: nothing was written past it.
        ExFreePoolWithTag(buffer, kTestTag);
        ext.IoRequest = {};
        return result;
    }
};

Transmit ReplyRoom(ULONG bytes) {
    Transmit how;
    how.replyCapacity = bytes;
    return how;
}
Transmit PciLength(ULONG bytes) {
    Transmit how;
    how.pciLength = bytes;
    return how;
}
Transmit RequestLength(ULONG bytes) {
    Transmit how;
    how.requestLength = bytes;
    return how;
}

std::vector<UCHAR> Response(const Exchange& exchange) {
    if (exchange.reply.size() < kHeaderLength) return {};
    return {exchange.reply.begin() + kHeaderLength, exchange.reply.end()};
}

UCHAR Pcb(const std::vector<UCHAR>& block) { return block.size() > 1 ? block[1] : 0xFF; }
bool IsIfsRequest(const std::vector<UCHAR>& block) { return Pcb(block) == (t1::kPcbSBlock | t1::kSIfs); }
bool IsResynchRequest(const std::vector<UCHAR>& block) { return Pcb(block) == (t1::kPcbSBlock | t1::kSResynch); }
bool IsIBlock(const std::vector<UCHAR>& block) { return (Pcb(block) & t1::kPcbNotIBlock) == 0; }

// A fake reader device with a T=1 card of the given IFSC and EDC just reset.
struct T1Bed {
    FakeReaderDevice reader;
    T1CardPeer card;
    T1Bed(UCHAR ifsc, bool crc, ULONG maxIfsd = 254) : card(ifsc, crc ? t1::Edc::Crc : t1::Edc::Lrc) {
        reader.Extension().ReaderCapabilities.MaxIFSD = maxIfsd;
        Reset(ifsc, crc);
    }
    void Reset(UCHAR ifsc, bool crc) {
        ResetCard(reader.Extension(), T1Atr(ifsc, crc));
        card.Reset();
    }
    SMARTCARD_EXTENSION& Ext() { return reader.Extension(); }
    Exchange Run(const std::vector<UCHAR>& apdu, const Transmit& how = {}) { return how.Run(Ext(), card, apdu); }
};

TEST(SmclibT1Block, LrcAndTheCrcOfIso13239) {
    const UCHAR digits[] = {'1', '2', '3', '4', '5', '6', '7', '8', '9'};
    EXPECT_EQ(t1::Crc(digits), 0x906E); // the check value of this CRC
    const UCHAR block[] = {0x00, 0xC1, 0x01, 0xFE};
    EXPECT_EQ(t1::Lrc(block), 0x3E);
    std::vector<UCHAR> out(t1::kMaximumBlock);
    const std::size_t length = t1::BuildBlock(out, 0x00, 0xC1, std::span<const UCHAR>(block + 3, 1), t1::Edc::Crc);
    ASSERT_EQ(length, 6u);
    EXPECT_EQ(t1::ParseBlock(std::span<const UCHAR>(out.data(), length), t1::Edc::Crc).damage, t1::Damage::None);
    out[3] ^= 1;
    EXPECT_EQ(t1::ParseBlock(std::span<const UCHAR>(out.data(), length), t1::Edc::Crc).damage, t1::Damage::Frame);
    // LEN 255 is reserved, and a block one byte short is damaged.
    const UCHAR reserved[] = {0x00, 0x00, 0xFF, 0xFF};
    EXPECT_EQ(t1::ParseBlock(reserved, t1::Edc::Lrc).damage, t1::Damage::Frame);
    const UCHAR shortBlock[] = {0x00, 0x00, 0x01, 0x01};
    EXPECT_EQ(t1::ParseBlock(shortBlock, t1::Edc::Lrc).damage, t1::Damage::Frame);
    EXPECT_EQ(t1::AnswerNad(0x12), 0x21);
    EXPECT_EQ(t1::AnswerNad(0x80 | 0x05), 0x80 | 0x50);
}

TEST(SmclibT1Engine, AnnouncesIfsdFirstAfterEveryResetThenAlternatesSequenceNumbers) {
    Machine machine;
    RunOk(machine, [&] {
        T1Bed bed(32, false);
        const Exchange first = bed.Run(Apdu(3));
        ASSERT_EQ(first.status, STATUS_SUCCESS);
        ASSERT_EQ(first.sent.size(), 2u);
        EXPECT_EQ(first.sent[0], (std::vector<UCHAR>{0x00, 0xC1, 0x01, 0xFE, 0x3E}));
        EXPECT_EQ(Pcb(first.sent[1]), 0x00); // I(0, no more)
        EXPECT_EQ(bed.card.ifsd, 254);
        EXPECT_EQ(first.information, kHeaderLength + 5);
        EXPECT_EQ(Response(first), ExpectedResponse(3));
        ULONG protocol = 0;
        std::memcpy(&protocol, first.reply.data(), 4);
        EXPECT_EQ(protocol, SCARD_PROTOCOL_T1);

        const Exchange second = bed.Run(Apdu(1));
        ASSERT_EQ(second.status, STATUS_SUCCESS);
        ASSERT_EQ(second.sent.size(), 1u);
        EXPECT_EQ(Pcb(second.sent[0]), t1::kPcbISequence); // I(1): no second announcement
        EXPECT_EQ(bed.Ext().T1.SSN, 0);
        EXPECT_EQ(bed.Ext().T1.RSN, 0);

        // A reset: IFSD again first, sequence numbers from 0.
        bed.Reset(32, false);
        const Exchange third = bed.Run(Apdu(1));
        ASSERT_EQ(third.status, STATUS_SUCCESS);
        ASSERT_EQ(third.sent.size(), 2u);
        EXPECT_TRUE(IsIfsRequest(third.sent[0]));
        EXPECT_EQ(Pcb(third.sent[1]), 0x00);
        EXPECT_EQ(bed.card.ifsRequests, 2);
    });
}

// Commands and answers around the frame sizes, both ways chained: IFSC,
// IFSC + 1, 2 x IFSC and 258 bytes, at LRC and CRC.
TEST(SmclibT1Engine, ChainsCommandsAndResponsesAroundTheFrameSizes) {
    struct SizeCase {
        UCHAR ifsc;
        ULONG maxIfsd;
        bool crc;
    };
    for (const SizeCase c : {SizeCase{32, 32, false}, SizeCase{32, 254, true}, SizeCase{254, 254, true},
                             SizeCase{20, 16, false}}) {
        for (std::size_t length : {std::size_t{c.ifsc}, std::size_t{c.ifsc} + 1u, std::size_t{2u * c.ifsc}, std::size_t{258}}) {
            SCOPED_TRACE("IFSC " + std::to_string(c.ifsc) + " IFSD " + std::to_string(c.maxIfsd) + " length " +
                         std::to_string(length) + (c.crc ? " CRC" : " LRC"));
            Machine machine;
            RunOk(machine, [&] {
                T1Bed bed(c.ifsc, c.crc, c.maxIfsd);
                // A command of `length` bytes (header and data) asking for a
                // response of `length` bytes before the status word.
                std::vector<UCHAR> apdu = Apdu(length, length - 4);
                const Exchange exchange = bed.Run(apdu, ReplyRoom(static_cast<ULONG>(8 + length + 2)));
                ASSERT_EQ(exchange.status, STATUS_SUCCESS);
                ASSERT_EQ(bed.card.commands.size(), 1u);
                EXPECT_EQ(bed.card.commands[0], apdu);
                EXPECT_EQ(Response(exchange), ExpectedResponse(length));
                const std::size_t commandBlocks = (length + c.ifsc - 1) / c.ifsc;
                const std::size_t responseBlocks = (length + 2 + c.maxIfsd - 1) / c.maxIfsd;
                // IFS request, the command's I-blocks, one R-block per chained response block.
                EXPECT_EQ(exchange.sent.size(), 1 + commandBlocks + responseBlocks - 1);
                for (const auto& block : exchange.sent) {
                    EXPECT_LE(block.size(), 3u + c.ifsc + (c.crc ? 2u : 1u));
                    if (IsIBlock(block)) {
                        EXPECT_LE(block[2], c.ifsc);
                    }
                }
            });
        }
    }
}

TEST(SmclibT1Engine, BlocksCarryTheNodeAddressOfT1Nad) {
    Machine machine;
    RunOk(machine, [&] {
        T1Bed bed(16, false);
        Transmit addressed;
        addressed.nad = 0x12;
        const Exchange exchange = bed.Run(Apdu(40, 20), addressed);
        ASSERT_EQ(exchange.status, STATUS_SUCCESS);
        for (const auto& block : exchange.sent) EXPECT_EQ(block[0], 0x12);
        EXPECT_EQ(Response(exchange), ExpectedResponse(40));
        // Answers from another node are not taken for the card's.
        bed.card.answerNadZero = true;
        EXPECT_EQ(bed.Run(Apdu(1), addressed).status, STATUS_DEVICE_PROTOCOL_ERROR);
    });
}

TEST(SmclibT1Engine, CarriesBlocksOf259BytesBothWays) {
    Machine machine;
    RunOk(machine, [&] {
        T1Bed bed(254, true, 254);
        const Exchange exchange = bed.Run(Apdu(252, 250), ReplyRoom(8 + 254));
        ASSERT_EQ(exchange.status, STATUS_SUCCESS);
        ASSERT_EQ(exchange.sent.size(), 2u);
        EXPECT_EQ(exchange.sent[1].size(), 259u);
        EXPECT_EQ(Response(exchange), ExpectedResponse(252)); // one 254-byte block back: 259 bytes on the line
        EXPECT_EQ(exchange.information, 8u + 254u);
    });
}

TEST(SmclibT1Engine, DamagedBlocksEitherWayAreRepeated) {
    for (bool crc : {false, true}) {
        SCOPED_TRACE(crc ? "CRC" : "LRC");
        Machine machine;
        RunOk(machine, [&] {
            T1Bed bed(32, crc, 32);
            ASSERT_EQ(bed.Run(Apdu(1)).status, STATUS_SUCCESS);
            // Answers damaged twice: R-blocks with the EDC error, then the good answer.
            bed.card.damageAnswers = 2;
            Exchange exchange = bed.Run(Apdu(100, 70));
            ASSERT_EQ(exchange.status, STATUS_SUCCESS);
            EXPECT_EQ(Response(exchange), ExpectedResponse(100));
            EXPECT_EQ(bed.card.resynchRequests, 0);
            ASSERT_GE(exchange.sent.size(), 3u);
            EXPECT_EQ(Pcb(exchange.sent[1]) & ~t1::kPcbRSequence, t1::kPcbRBlock | t1::kErrorEdc);

            // Blocks damaged on their way to the card, in the middle of both chains.
            Transmit damaging;
            damaging.onLine = [](std::vector<UCHAR>& block, std::size_t index) {
                if (index == 1 || index == 4) block.back() ^= 0x01;
            };
            exchange = bed.Run(Apdu(100, 70), damaging);
            ASSERT_EQ(exchange.status, STATUS_SUCCESS);
            EXPECT_EQ(Response(exchange), ExpectedResponse(100));
            EXPECT_EQ(bed.card.commands.size(), 3u);
            EXPECT_EQ(bed.card.commands[2], Apdu(100, 70));
            EXPECT_EQ(bed.card.resynchRequests, 0);
        });
    }
}

TEST(SmclibT1Engine, WtxStretchesTheNextBlockOnlyWithTheCardsMultiplier) {
    for (UCHAR multiplier : {UCHAR{1}, UCHAR{2}, UCHAR{255}}) {
        SCOPED_TRACE("multiplier " + std::to_string(multiplier));
        Machine machine;
        RunOk(machine, [&] {
            T1Bed bed(32, false, 32);
            // One WTX before the response and one inside its chain.
            bed.card.wtxBeforeEachResponseBlock = {multiplier, multiplier};
            const Exchange exchange = bed.Run(Apdu(40));
            ASSERT_EQ(exchange.status, STATUS_SUCCESS);
            EXPECT_EQ(Response(exchange), ExpectedResponse(40));
            EXPECT_EQ(bed.card.wtxResponses, 2);
            int stretched = 0;
            for (std::size_t i = 0; i < exchange.sent.size(); ++i) {
                const bool wtxResponse = Pcb(exchange.sent[i]) == (t1::kPcbSBlock | t1::kPcbSResponse | t1::kSWtx);
                EXPECT_EQ(exchange.wtxPerBlock[i], wtxResponse ? multiplier : 0) << "block " << i;
                if (wtxResponse) {
                    ++stretched;
                    EXPECT_EQ(exchange.sent[i][3], multiplier);
                }
            }
            EXPECT_EQ(stretched, 2);
            EXPECT_EQ(bed.Ext().T1.Wtx, 0);
        });
    }
}

TEST(SmclibT1Engine, ACardThatKeepsAskingForTimeIsGivenUp) {
    Machine machine;
    RunOk(machine, [&] {
        T1Bed bed(32, false);
        bed.card.wtxForever = true;
        const Exchange exchange = bed.Run(Apdu(4));
        EXPECT_EQ(exchange.status, STATUS_IO_TIMEOUT);
        EXPECT_LT(exchange.sent.size(), 200u);
        EXPECT_EQ(bed.Ext().T1.Wtx, 0);
        // The next exchange starts with a RESYNCH and goes through.
        bed.card.wtxForever = false;
        const Exchange next = bed.Run(Apdu(4));
        ASSERT_EQ(next.status, STATUS_SUCCESS);
        EXPECT_TRUE(IsResynchRequest(next.sent[0]));
        EXPECT_EQ(Response(next), ExpectedResponse(4));
    });
}

TEST(SmclibT1Engine, CardsIfsRequestIsAnsweredAndApplied) {
    Machine machine;
    RunOk(machine, [&] {
        T1Bed bed(32, false);
        bed.card.ifsRequestBeforeResponse = 10;
        Exchange exchange = bed.Run(Apdu(2));
        ASSERT_EQ(exchange.status, STATUS_SUCCESS);
        EXPECT_EQ(exchange.sent.back(), (std::vector<UCHAR>{0x00, 0xE1, 0x01, 10, 0xE1 ^ 0x01 ^ 10}));
        EXPECT_EQ(bed.Ext().T1.IFSC, 10);
        exchange = bed.Run(Apdu(2, 25));
        ASSERT_EQ(exchange.status, STATUS_SUCCESS);
        EXPECT_EQ(exchange.sent.size(), 3u); // 29 bytes in blocks of 10
        for (const auto& block : exchange.sent) EXPECT_LE(block[2], 10);
    });
}

TEST(SmclibT1Engine, EndlessIfsRequestsAndResponseChainsAreGivenUp) {
    Machine machine;
    RunOk(machine, [&] {
        T1Bed bed(32, false, 254);
        bed.card.ifsRequestBeforeResponse = 20;
        bed.card.ifsRequestsForever = true;
        Exchange exchange = bed.Run(Apdu(2));
        EXPECT_EQ(exchange.status, STATUS_DEVICE_PROTOCOL_ERROR);
        EXPECT_LT(exchange.sent.size(), 40u);

        // A response longer than any ISO/IEC 7816-4 response, into a small buffer.
        bed.card.ifsRequestsForever = false;
        bed.card.extraResponseBytes = 70000;
        exchange = bed.Run(Apdu(0));
        EXPECT_EQ(exchange.status, STATUS_DEVICE_PROTOCOL_ERROR);
        EXPECT_LT(exchange.sent.size(), 300u);
        // The largest one still keeps the engine in step: too small, then the next goes through.
        bed.card.extraResponseBytes = 0;
        exchange = bed.Run(Apdu(0xFFFF));
        EXPECT_EQ(exchange.status, STATUS_BUFFER_TOO_SMALL);
        exchange = bed.Run(Apdu(3));
        ASSERT_EQ(exchange.status, STATUS_SUCCESS);
        EXPECT_EQ(Response(exchange), ExpectedResponse(3));
    });
}

TEST(SmclibT1Engine, ACardRefusingTheIfsdIsServedAtTheDefault) {
    Machine machine;
    RunOk(machine, [&] {
        T1Bed bed(32, false, 254);
        bed.card.refuseIfsd = true;
        const Exchange exchange = bed.Run(Apdu(70));
        ASSERT_EQ(exchange.status, STATUS_SUCCESS);
        EXPECT_EQ(bed.card.ifsRequests, 3);
        EXPECT_EQ(bed.Ext().T1.IFSD, 32);
        EXPECT_EQ(Response(exchange), ExpectedResponse(70));
        EXPECT_EQ(bed.card.resynchRequests, 0);
    });
}

TEST(SmclibT1Engine, WrongSequenceBitsForEverEndInAProtocolErrorAfterBoundedTries) {
    Machine machine;
    RunOk(machine, [&] {
        T1Bed bed(32, false);
        bed.card.wrongSequenceForever = true;
        const Exchange exchange = bed.Run(Apdu(8));
        EXPECT_EQ(exchange.status, STATUS_DEVICE_PROTOCOL_ERROR);
        EXPECT_LT(exchange.sent.size(), 60u);
        EXPECT_EQ(bed.card.resynchRequests, 3);
        bed.card.wrongSequenceForever = false;
        const Exchange next = bed.Run(Apdu(8));
        ASSERT_EQ(next.status, STATUS_SUCCESS);
        EXPECT_TRUE(IsResynchRequest(next.sent[0]));
        EXPECT_EQ(Response(next), ExpectedResponse(8));
    });
}

TEST(SmclibT1Engine, ResynchRestartsTheExchangeFromItsFirstBlock) {
    Machine machine;
    RunOk(machine, [&] {
        T1Bed bed(16, true, 32);
        ASSERT_EQ(bed.Run(Apdu(1)).status, STATUS_SUCCESS); // sequence numbers away from 0
        // Every block of the second command chain's third block reaches the
        // card damaged three times: the engine resynchronises.
        int damaged = 0;
        const std::vector<UCHAR> apdu = Apdu(30, 60);
        Transmit damaging;
        damaging.onLine = [&](std::vector<UCHAR>& block, std::size_t) {
            if (IsIBlock(block) && block.size() > 3 && block[3] == apdu[32] && damaged < 3) {
                ++damaged;
                block.back() ^= 0xFF;
            }
        };
        const Exchange exchange = bed.Run(apdu, damaging);
        ASSERT_EQ(exchange.status, STATUS_SUCCESS);
        EXPECT_EQ(bed.card.resynchRequests, 1);
        EXPECT_EQ(Response(exchange), ExpectedResponse(30));
        ASSERT_EQ(bed.card.commands.size(), 2u);
        EXPECT_EQ(bed.card.commands[1], apdu);
        // After the RESYNCH: the IFSD again, then the command from its first byte with N(S) 0.
        std::size_t at = 0;
        while (at < exchange.sent.size() && !IsResynchRequest(exchange.sent[at])) ++at;
        ASSERT_LT(at + 2, exchange.sent.size());
        EXPECT_TRUE(IsIfsRequest(exchange.sent[at + 1]));
        EXPECT_EQ(Pcb(exchange.sent[at + 2]), t1::kPcbIMore);
        EXPECT_EQ(exchange.sent[at + 2][3], apdu[0]);
    });
}

TEST(SmclibT1Engine, AMuteCardIsGivenUpAfterBoundedTries) {
    Machine machine;
    RunOk(machine, [&] {
        T1Bed bed(32, false);
        ASSERT_EQ(bed.Run(Apdu(1)).status, STATUS_SUCCESS);
        bed.card.mute = true;
        const Exchange exchange = bed.Run(Apdu(1));
        EXPECT_EQ(exchange.status, STATUS_DEVICE_PROTOCOL_ERROR);
        EXPECT_EQ(exchange.sent.size(), 6u); // the I-block, two R-blocks, three RESYNCH requests
    });
}

TEST(SmclibT1Engine, AnAbortedChainIsAnsweredAndTheCardsAnswerTaken) {
    Machine machine;
    RunOk(machine, [&] {
        T1Bed bed(16, false);
        bed.card.abortFirstCommandChain = true;
        const Exchange exchange = bed.Run(Apdu(0, 40));
        ASSERT_EQ(exchange.status, STATUS_SUCCESS);
        EXPECT_EQ(Pcb(exchange.sent.back()), t1::kPcbSBlock | t1::kPcbSResponse | t1::kSAbort);
        EXPECT_EQ(Response(exchange), (std::vector<UCHAR>{0x6F, 0x00}));
        EXPECT_EQ(bed.Run(Apdu(2)).status, STATUS_SUCCESS);
    });
}

TEST(SmclibT1Engine, AResetDuringAnExchangeStartsTheNextOneAfresh) {
    Machine machine;
    RunOk(machine, [&] {
        T1Bed bed(32, false);
        ASSERT_EQ(bed.Run(Apdu(1)).status, STATUS_SUCCESS);
        // A driver that leaves an exchange half-way, then the card is reset.
        SMARTCARD_EXTENSION& ext = bed.Ext();
        std::vector<UCHAR> request = {0x02, 0, 0, 0, 8, 0, 0, 0, 0x80, 0xCA, 0x00, 0x01};
        ULONG information = 0;
        ext.IoRequest = {&information, request.data(), static_cast<ULONG>(request.size()), request.data(),
                         static_cast<ULONG>(request.size())};
        ext.SmartcardRequest.BufferLength = 0;
        ASSERT_EQ(SmartcardT1Request(&ext), STATUS_SUCCESS);
        ext.IoRequest = {};
        bed.Reset(32, false);
        const Exchange exchange = bed.Run(Apdu(3));
        ASSERT_EQ(exchange.status, STATUS_SUCCESS);
        EXPECT_TRUE(IsIfsRequest(exchange.sent[0]));
        EXPECT_EQ(Pcb(exchange.sent[1]), 0x00);
        EXPECT_EQ(Response(exchange), ExpectedResponse(3));
    });
}

// A driver whose transfer failed may hand back the previous answer again, or
// nothing: neither is taken for the card's answer to the new block.
TEST(SmclibT1Engine, AStaleOrMissingAnswerIsNotTakenForTheCardsAnswer) {
    Machine machine;
    RunOk(machine, [&] {
        T1Bed bed(32, false);
        std::vector<UCHAR> previous;
        Transmit stale;
        stale.onAnswer = [&](std::vector<UCHAR>& answer, std::size_t index) {
            if (index == 0 && !previous.empty()) {
                answer = previous; // the card's answer is lost; the last one is still in the buffer
            } else {
                previous = answer;
            }
        };
        ASSERT_EQ(bed.Run(Apdu(3), stale).status, STATUS_SUCCESS);
        const Exchange exchange = bed.Run(Apdu(5), stale);
        ASSERT_EQ(exchange.status, STATUS_SUCCESS);
        EXPECT_EQ(Response(exchange), ExpectedResponse(5));
        EXPECT_EQ(bed.card.commands.size(), 2u);

        Transmit missing;
        missing.onAnswer = [](std::vector<UCHAR>& answer, std::size_t index) {
            if (index == 0) answer.clear();
        };
        const Exchange lost = bed.Run(Apdu(6), missing);
        ASSERT_EQ(lost.status, STATUS_SUCCESS);
        EXPECT_EQ(Response(lost), ExpectedResponse(6));
        EXPECT_EQ(Pcb(lost.sent[1]) & ~t1::kPcbRSequence, t1::kPcbRBlock | t1::kErrorOther);
        EXPECT_EQ(bed.card.commands.size(), 3u);
    });
}

TEST(SmclibT1Engine, APoolShortageRefusesTheExchangeBeforeAnythingIsSent) {
    Machine machine;
    RunOk(machine, [&] {
        T1Bed bed(32, false);
        ASSERT_EQ(bed.Run(Apdu(1)).status, STATUS_SUCCESS);
        PoolFaultConfig faults;
        faults.failPerMillion = 1'000'000;
        faults.onlyTag = smclib::kLibraryTag;
        K().PoolAllocator().SetFaults(faults);
        const Exchange refused = bed.Run(Apdu(1));
        K().PoolAllocator().SetFaults(PoolFaultConfig{});
        EXPECT_EQ(refused.status, STATUS_INSUFFICIENT_RESOURCES);
        EXPECT_TRUE(refused.sent.empty());
        const Exchange next = bed.Run(Apdu(1));
        ASSERT_EQ(next.status, STATUS_SUCCESS);
        EXPECT_EQ(next.sent.size(), 1u); // no RESYNCH: nothing had gone out
        EXPECT_EQ(bed.card.commands.size(), 2u);
    });
}

TEST(SmclibT1Engine, BadRequestsGetAClearStatusAndNothingIsWrittenPastABuffer) {
    Machine machine;
    RunOk(machine, [&] {
        T1Bed bed(32, false);
        EXPECT_EQ(bed.Run(Apdu(1), RequestLength(7)).status, STATUS_INVALID_PARAMETER);
        EXPECT_EQ(bed.Run(Apdu(1), PciLength(4)).status, STATUS_INVALID_PARAMETER);
        EXPECT_EQ(bed.Run(Apdu(1), PciLength(13)).status, STATUS_INVALID_PARAMETER);
        EXPECT_EQ(bed.Run({0x00, 0xA4, 0x04}).status, STATUS_INVALID_PARAMETER);
        EXPECT_EQ(bed.Run(Apdu(1), ReplyRoom(7)).status, STATUS_BUFFER_TOO_SMALL);
        EXPECT_TRUE(bed.card.commands.empty());

        // A response one byte longer than the reply buffer: the chain is
        // taken to its end, the caller learns the buffer is too small, and
        // the next exchange is in step.
        const Exchange tooLong = bed.Run(Apdu(100), ReplyRoom(8 + 101));
        EXPECT_EQ(tooLong.status, STATUS_BUFFER_TOO_SMALL);
        EXPECT_EQ(tooLong.information, 0u);
        const Exchange fits = bed.Run(Apdu(100), ReplyRoom(8 + 102));
        ASSERT_EQ(fits.status, STATUS_SUCCESS);
        EXPECT_EQ(Response(fits), ExpectedResponse(100));
        EXPECT_EQ(bed.card.resynchRequests, 0);

        // A driver header in front of the block stays there.
        SMARTCARD_EXTENSION& ext = bed.Ext();
        std::vector<UCHAR> request = {0x02, 0, 0, 0, 8, 0, 0, 0, 0x80, 0xCA, 0x00, 0x01};
        ULONG information = 0;
        ext.IoRequest = {&information, request.data(), static_cast<ULONG>(request.size()), request.data(),
                         static_cast<ULONG>(request.size())};
        ext.SmartcardRequest.BufferLength = 2;
        ASSERT_EQ(SmartcardT1Request(&ext), STATUS_SUCCESS);
        EXPECT_EQ(ext.SmartcardRequest.BufferLength, 2u + 3u + 4u + 1u);
        // An answer before a block was asked for is refused.
        ext.SmartcardReply.BufferLength = 0;
        ASSERT_EQ(SmartcardT1Reply(&ext), STATUS_MORE_PROCESSING_REQUIRED);
        ASSERT_EQ(SmartcardT1Reply(&ext), STATUS_INVALID_DEVICE_STATE);
        ext.IoRequest = {};
    });
}

} // namespace
} // namespace qv::test
