// SetProtocol: the PPS bytes and the fallback to the default rate, reader
// command 9 for the one 20-byte ATR, the repeated request that sends
// nothing, and what is left after each failure; first against a scripted
// reader, then against the simulated reader and its cards.
#include <gtest/gtest.h>

#include "card/card_service_bed.h"

namespace qv::test {
namespace {

const Bytes kPpsHeader = {0xD0, 0xE7};
const Bytes kSetupCommand = {0xD0, 0xE4, 0x00, 0x08};

Bytes PpsCommand(const Bytes& pps) { return Concat(kPpsHeader, pps); }

TEST(SetProtocol, BothAllowedChoosesT0AndSendsTheCardsRate) {
    ScriptedBed t(1);
    t.Run([&] {
        t.PrepareCard(SCARD_PROTOCOL_T0 | SCARD_PROTOCOL_T1, 1, 3);
        const ProtocolResult r = SelectProtocol(t.Card(), SCARD_PROTOCOL_T0 | SCARD_PROTOCOL_T1);
        EXPECT_EQ(r.status, STATUS_SUCCESS);
        EXPECT_EQ(ProtocolOf(r), static_cast<ULONG>(SCARD_PROTOCOL_T0));
        EXPECT_EQ(r.information, 4u);
        EXPECT_EQ(t.Card().ReaderCapabilities.CurrentState, static_cast<ULONG>(SCARD_SPECIFIC));
        ASSERT_EQ(t.Commands().size(), 1u);
        EXPECT_EQ(t.Commands()[0], PpsCommand({0xFF, 0x10, 0x13, 0xFC}));
        EXPECT_TRUE(KeReadStateEvent(&t.Reader().LinkIdle));
    });
}

TEST(SetProtocol, T1WithFl1Dl3SendsFf1113Fd) {
    ScriptedBed t(2);
    t.Run([&] {
        t.PrepareCard(SCARD_PROTOCOL_T1, 1, 3);
        const ProtocolResult r = SelectProtocol(t.Card(), SCARD_PROTOCOL_T0 | SCARD_PROTOCOL_T1);
        EXPECT_EQ(r.status, STATUS_SUCCESS);
        EXPECT_EQ(ProtocolOf(r), static_cast<ULONG>(SCARD_PROTOCOL_T1));
        ASSERT_EQ(t.Commands().size(), 1u);
        EXPECT_EQ(t.Commands()[0], PpsCommand({0xFF, 0x11, 0x13, 0xFD}));
    });
}

TEST(SetProtocol, ARepeatedRequestSendsNothingTheOtherProtocolRunsANewPps) {
    ScriptedBed t(3);
    t.Run([&] {
        t.PrepareCard();
        ASSERT_EQ(SelectProtocol(t.Card(), SCARD_PROTOCOL_T0).status, STATUS_SUCCESS);
        const std::size_t sent = t.reader.Blocks().size();
        const ProtocolResult again = SelectProtocol(t.Card(), SCARD_PROTOCOL_T0 | SCARD_PROTOCOL_T1);
        EXPECT_EQ(again.status, STATUS_SUCCESS);
        EXPECT_EQ(ProtocolOf(again), static_cast<ULONG>(SCARD_PROTOCOL_T0));
        EXPECT_EQ(again.information, 4u);
        EXPECT_EQ(t.reader.Blocks().size(), sent) << "nothing on the link";

        const ProtocolResult other = SelectProtocol(t.Card(), SCARD_PROTOCOL_T1);
        EXPECT_EQ(other.status, STATUS_SUCCESS);
        EXPECT_EQ(ProtocolOf(other), static_cast<ULONG>(SCARD_PROTOCOL_T1));
        ASSERT_EQ(t.Commands().size(), 2u);
        EXPECT_EQ(t.Commands()[1], PpsCommand({0xFF, 0x11, 0x13, 0xFD}));
    });
}

TEST(SetProtocol, ARefusedRateFallsBackOnceToTheDefault) {
    ScriptedBed t(4);
    t.peer.replies = {ReplyInf(0xE9), ReplyInf(0x00)};
    t.Run([&] {
        t.PrepareCard(SCARD_PROTOCOL_T1, 9, 6);
        t.Card().CardCapabilities.PtsData.Type = PTS_TYPE_OPTIMAL;
        const ProtocolResult r = SelectProtocol(t.Card(), SCARD_PROTOCOL_T1);
        EXPECT_EQ(r.status, STATUS_SUCCESS);
        const auto& pts = t.Card().CardCapabilities.PtsData;
        EXPECT_EQ(pts.Type, PTS_TYPE_DEFAULT);
        EXPECT_EQ(pts.Fl, 1);
        EXPECT_EQ(pts.Dl, 1);
        ASSERT_EQ(t.Commands().size(), 2u);
        EXPECT_EQ(t.Commands()[0], PpsCommand({0xFF, 0x11, 0x96, 0x78}));
        EXPECT_EQ(t.Commands()[1], PpsCommand({0xFF, 0x11, 0x11, 0xFF}));
    });

    ScriptedBed twice(5);
    twice.peer.replies = {ReplyInf(0xE9), ReplyInf(0xE9)};
    twice.Run([&] {
        twice.PrepareCard(SCARD_PROTOCOL_T0, 1, 3);
        const ProtocolResult r = SelectProtocol(twice.Card(), SCARD_PROTOCOL_T0);
        EXPECT_EQ(r.status, STATUS_NOT_SUPPORTED);
        EXPECT_EQ(r.information, 0xDEADu) << "no answer written";
        EXPECT_EQ(r.reply, Bytes(4, 0xEE));
        ASSERT_EQ(twice.Commands().size(), 2u) << "no third attempt";
        EXPECT_EQ(twice.Commands()[1], PpsCommand({0xFF, 0x10, 0x11, 0xFE}));
        EXPECT_EQ(twice.Card().CardCapabilities.Protocol.Selected, static_cast<ULONG>(SCARD_PROTOCOL_T0))
            << "the protocol tried";
        EXPECT_EQ(twice.Card().ReaderCapabilities.CurrentState, static_cast<ULONG>(SCARD_NEGOTIABLE));
        EXPECT_EQ(twice.Card().CardCapabilities.PtsData.Type, PTS_TYPE_DEFAULT);
    });
}

TEST(SetProtocol, AProtocolTheCardRefusesIsNotSupportedWithoutAFallback) {
    ScriptedBed t(6);
    t.peer.replies = {ReplyInf(0xE8)};
    t.Run([&] {
        t.PrepareCard();
        t.Card().CardCapabilities.PtsData.Type = PTS_TYPE_OPTIMAL;
        EXPECT_EQ(SelectProtocol(t.Card(), SCARD_PROTOCOL_T0).status, STATUS_NOT_SUPPORTED);
        EXPECT_EQ(t.Commands().size(), 1u);
        EXPECT_EQ(t.Card().CardCapabilities.PtsData.Type, PTS_TYPE_OPTIMAL) << "PtsData changes only on the fallback";
    });
}

TEST(SetProtocol, AFailedPpsInSpecificModeKeepsTheNegotiatedProtocol) {
    ScriptedBed t(7);
    t.peer.replies = {ReplyInf(0x00), ReplyInf(0xE8)};
    t.Run([&] {
        t.PrepareCard();
        ASSERT_EQ(SelectProtocol(t.Card(), SCARD_PROTOCOL_T0).status, STATUS_SUCCESS);
        EXPECT_EQ(SelectProtocol(t.Card(), SCARD_PROTOCOL_T1).status, STATUS_NOT_SUPPORTED);
        EXPECT_EQ(t.Card().ReaderCapabilities.CurrentState, static_cast<ULONG>(SCARD_SPECIFIC));
        EXPECT_EQ(t.Card().CardCapabilities.Protocol.Selected, static_cast<ULONG>(SCARD_PROTOCOL_T0))
            << "the card still runs T=0; transmits must not take the T=1 road";
    });
}

TEST(SetProtocol, APpsWithoutAFreshReplyReportsATimeOutAndNoFallback) {
    ScriptedBed t(8);
    // An E9 verdict still lies in ReplyData from the command before; the PPS
    // itself is answered with three bytes, which the link refuses.
    t.peer.replies = {ReplyInf(0xE9), {0x00, 0x00, 0x00}};
    t.Run([&] {
        t.PrepareCard();
        ASSERT_EQ(SendReaderCommand(READER_COMMAND_CARD_STATUS, &t.Card()), STATUS_SUCCESS);
        const std::size_t before = t.Commands().size();
        const ProtocolResult r = SelectProtocol(t.Card(), SCARD_PROTOCOL_T0);
        EXPECT_EQ(r.status, STATUS_IO_TIMEOUT);
        EXPECT_EQ(t.Commands().size(), before + 1) << "the stale 0xE9 starts no fallback";
        EXPECT_EQ(t.Card().ReaderCapabilities.CurrentState, static_cast<ULONG>(SCARD_NEGOTIABLE));
    });
}

TEST(SetProtocol, MasksWithoutAnOfferedProtocolAreRefusedBeforeAnythingIsSent) {
    ScriptedBed t(9);
    t.Run([&] {
        t.PrepareCard(SCARD_PROTOCOL_T1);
        for (ULONG mask : {0u, 4u, 0x80000000u, static_cast<ULONG>(SCARD_PROTOCOL_T0)}) {
            SCOPED_TRACE(mask);
            const ProtocolResult r = SelectProtocol(t.Card(), mask);
            EXPECT_EQ(r.status, STATUS_INVALID_DEVICE_REQUEST);
            EXPECT_EQ(t.Card().CardCapabilities.Protocol.Selected, 0u);
            EXPECT_EQ(t.Card().ReaderCapabilities.CurrentState, static_cast<ULONG>(SCARD_NEGOTIABLE));
        }
        EXPECT_TRUE(t.reader.Blocks().empty());
    });
}

TEST(SetProtocol, AReplyBufferUnderFourBytesIsRefusedBeforeAnythingIsSentOrWritten) {
    ScriptedBed t(10);
    t.Run([&] {
        t.PrepareCard();
        for (ULONG length : {0u, 3u}) {
            const ProtocolResult r = SelectProtocol(t.Card(), SCARD_PROTOCOL_T0, length);
            EXPECT_EQ(r.status, STATUS_BUFFER_TOO_SMALL);
            EXPECT_EQ(r.reply, Bytes(length, 0xEE));
            EXPECT_EQ(r.information, 0xDEADu);
        }
        EXPECT_TRUE(t.reader.Blocks().empty());
        EXPECT_EQ(t.Card().CardCapabilities.Protocol.Selected, 0u);
    });
}

TEST(SetProtocol, OnlyTheWhole20ByteAtrGetsCommand9) {
    const Bytes atr20(SetupCardAtr, SetupCardAtr + SETUP_CARD_ATR_LENGTH);
    Bytes differs = atr20;
    differs[19] ^= 0x01;
    Bytes longer = atr20;
    longer.push_back(0x00);
    struct Case {
        Bytes atr;
        bool command9;
    };
    for (const Case& c : {Case{atr20, true}, Case{differs, false}, Case{longer, false}}) {
        ScriptedBed t(11);
        // Command 9 answered with an error status: the selection stands.
        t.peer.replies = {ReplyInf(0x00), ReplyInf(0xF0)};
        t.Run([&] {
            t.PrepareCard(SCARD_PROTOCOL_T1);
            auto& atr = t.Card().CardCapabilities.ATR;
            std::copy(c.atr.begin(), c.atr.end(), atr.Buffer);
            atr.Length = static_cast<UCHAR>(c.atr.size());
            EXPECT_EQ(SelectProtocol(t.Card(), SCARD_PROTOCOL_T1).status, STATUS_SUCCESS);
            const auto commands = t.Commands();
            ASSERT_EQ(commands.size(), c.command9 ? 2u : 1u);
            if (c.command9) {
                EXPECT_EQ(commands[1], kSetupCommand);
            }
        });
    }
}

TEST(SetProtocol, Command9ThatFailsOnTheLinkLeavesTheSelectionStanding) {
    ScriptedBed t(12);
    t.peer.replies = {ReplyInf(0x00), {0x00}};
    t.Run([&] {
        t.PrepareCard(SCARD_PROTOCOL_T1);
        auto& atr = t.Card().CardCapabilities.ATR;
        std::copy(SetupCardAtr, SetupCardAtr + SETUP_CARD_ATR_LENGTH, atr.Buffer);
        atr.Length = SETUP_CARD_ATR_LENGTH;
        const ProtocolResult r = SelectProtocol(t.Card(), SCARD_PROTOCOL_T1);
        EXPECT_EQ(r.status, STATUS_SUCCESS);
        EXPECT_EQ(ProtocolOf(r), static_cast<ULONG>(SCARD_PROTOCOL_T1));
        EXPECT_EQ(t.Card().ReaderCapabilities.CurrentState, static_cast<ULONG>(SCARD_SPECIFIC));
    });
}

// ---------------------------------------------------------------------------
// Against the simulated reader and its cards

TEST(SetProtocol, EveryCatalogueCardNegotiatesEachProtocolItOffers) {
    for (const sim::CatalogueEntry& entry : sim::CardCatalogue()) {
        const sim::SimpleCardOptions options = entry.options();
        for (ULONG protocol : {static_cast<ULONG>(SCARD_PROTOCOL_T0), static_cast<ULONG>(SCARD_PROTOCOL_T1)}) {
            SCOPED_TRACE(std::string(entry.name) + " T=" + std::to_string(protocol - 1));
            SimBed t(entry.name, 1);
            t.Run([&] {
                const NTSTATUS reset = t.ColdReset();
                if (!NT_SUCCESS(reset)) return; // the mute card, the bad TCK
                const bool offered = (t.Card().CardCapabilities.Protocol.Supported & protocol) != 0;
                // A card in its specific mode from the ATR on (TA2) runs its
                // one protocol without a PPS.
                const bool specific = t.Card().ReaderCapabilities.CurrentState == SCARD_SPECIFIC;
                const ProtocolResult r = SelectProtocol(t.Card(), protocol);
                if (specific) {
                    EXPECT_EQ(r.status, (t.Card().CardCapabilities.Protocol.Selected & protocol) != 0
                                            ? STATUS_SUCCESS
                                            : STATUS_INVALID_DEVICE_REQUEST);
                    return;
                }
                if (!offered) {
                    EXPECT_EQ(r.status, STATUS_INVALID_DEVICE_REQUEST);
                    return;
                }
                EXPECT_EQ(r.status, STATUS_SUCCESS);
                EXPECT_EQ(ProtocolOf(r), protocol);
                EXPECT_EQ(static_cast<ULONG>(t.reader.CardAs<sim::SimpleCard>()->SelectedProtocol()), protocol) << "the card agreed";
            });
        }
    }
}

TEST(SetProtocol, ACardFasterThanTheReaderIsCarriedOnAtTheDefaultRate) {
    SimBed t("fast", 2);
    t.Run([&] {
        ASSERT_EQ(t.ColdReset(), STATUS_SUCCESS);
        const ProtocolResult r = SelectProtocol(t.Card(), SCARD_PROTOCOL_T0 | SCARD_PROTOCOL_T1);
        EXPECT_EQ(r.status, STATUS_SUCCESS);
        EXPECT_EQ(t.Card().CardCapabilities.PtsData.Type, PTS_TYPE_DEFAULT);
        EXPECT_EQ(static_cast<int>(t.reader.CardAs<sim::SimpleCard>()->RateIndex()), 0x11);
    });
}

} // namespace
} // namespace qv::test
