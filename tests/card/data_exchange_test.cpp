// Transmit: every APDU shape under T=0 and the command it becomes, every
// reader verdict on it, bad requests from the application, and whole APDU
// sequences against the simulated reader's cards under T=0 and T=1.
#include <gtest/gtest.h>

#include "card/card_service_bed.h"
#include "cards/iso_application.h"

namespace qv::test {
namespace {

const Bytes kApduHeader = {0xD0, 0x23};

Bytes ApduCommand(const Bytes& apdu) { return Concat(kApduHeader, apdu); }

// A scripted bed with a card in T=0 specific mode.
void StartT0(ScriptedBed& t) {
    t.PrepareCard();
    t.Card().CardCapabilities.Protocol.Selected = SCARD_PROTOCOL_T0;
    t.Card().ReaderCapabilities.CurrentState = SCARD_SPECIFIC;
}

TEST(TransmitT0, EveryApduShapeBecomesItsT0Command) {
    struct Case {
        Bytes apdu;
        Bytes sent; // empty: refused, nothing sent
    };
    const Case cases[] = {
        {{0x00, 0xA4, 0x04, 0x00}, {0x00, 0xA4, 0x04, 0x00, 0x00}},                      // case 1: P3 = 0
        {{0x00, 0xB0, 0x00, 0x00, 0x00}, {0x00, 0xB0, 0x00, 0x00, 0x00}},                // case 2, Le 256
        {{0x00, 0xA4, 0x00, 0x00, 0x02, 0x3F}, {}},                                      // Lc 2, one data byte
        {{0x00, 0xA4, 0x00, 0x00, 0x02, 0x3F, 0x00}, {0x00, 0xA4, 0x00, 0x00, 0x02, 0x3F, 0x00}}, // case 3
        {{0x00, 0xA4, 0x00, 0x00, 0x02, 0x3F, 0x00, 0x10}, {0x00, 0xA4, 0x00, 0x00, 0x02, 0x3F, 0x00}}, // case 4: Le dropped
        {{0x00, 0xA4, 0x00, 0x00, 0x02, 0x3F, 0x00, 0x10, 0x11}, {}}, // a tail the header does not announce
        {{0x00, 0xA4, 0x04}, {}},
        {{}, {}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(harness::HexBytes(c.apdu));
        ScriptedBed t(1);
        t.peer.replies = {ReplyInf(0x00, {0x90, 0x00})};
        t.Run([&] {
            StartT0(t);
            const TransmitResult r = SendApdu(t.Card(), c.apdu);
            if (c.sent.empty()) {
                EXPECT_EQ(r.status, STATUS_PORT_ALREADY_SET);
                EXPECT_TRUE(t.reader.Blocks().empty());
                EXPECT_EQ(r.information, 0xDEADu);
                return;
            }
            EXPECT_EQ(r.status, STATUS_SUCCESS);
            ASSERT_EQ(t.Commands().size(), 1u);
            EXPECT_EQ(t.Commands()[0], ApduCommand(c.sent));
            EXPECT_EQ(r.response, (Bytes{0x90, 0x00}));
            EXPECT_EQ(r.information, kHeaderLength + 2);
            EXPECT_EQ(Bytes(r.reply.begin(), r.reply.begin() + kHeaderLength),
                      Bytes(TransmitRequest(SCARD_PROTOCOL_T0, {}))) << "the header in front of the response";
            EXPECT_EQ(t.Reader().PollEnabled, 0u);
        });
    }
}

TEST(TransmitT0, EveryReaderVerdictIsJudged) {
    struct Case {
        Bytes inf;
        NTSTATUS status;
        std::size_t kept; // response bytes left in SmartcardReply
    };
    const Case cases[] = {
        {ReplyInf(0x00, {0x61, 0x10}), STATUS_SUCCESS, 2},
        {ReplyInf(0xAB, {0x00, 0x00}), STATUS_NO_MEDIA, 2},
        {ReplyInf(0xAD, {0x00, 0x00}), STATUS_NO_MEDIA, 2},
        {ReplyInf(0xD3, {0x6A, 0x82}), STATUS_SUCCESS, 2},
        {ReplyInf(0xD3, {0x6A, 0x82, 0x00}), STATUS_INVALID_DEVICE_STATE, 3},
        {ReplyInf(0xD4, {0x00, 0x00}), STATUS_IO_TIMEOUT, 2},
        {ReplyInf(0x42, {0x90, 0x00}), STATUS_INVALID_DEVICE_STATE, 2},
        {ReplyInf(0x00, {0x90}), STATUS_IO_TIMEOUT, 0}, // five bytes: no verdict read
        {ReplyInf(0xAB, {0x00}), STATUS_IO_TIMEOUT, 0},
        {ReplyInf(0x00), STATUS_IO_TIMEOUT, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(harness::HexBytes(c.inf));
        ScriptedBed t(2);
        t.peer.replies = {c.inf};
        t.Run([&] {
            StartT0(t);
            t.Card().SmartcardReply.BufferLength = 0xBEEF;
            const TransmitResult r = SendApdu(t.Card(), {0x00, 0xC0, 0x00, 0x00, 0x02});
            EXPECT_EQ(r.status, c.status);
            EXPECT_EQ(t.Card().SmartcardReply.BufferLength, c.kept) << "the response is kept whatever the verdict";
            if (NT_SUCCESS(c.status)) {
                EXPECT_EQ(r.response, Bytes(c.inf.begin() + 4, c.inf.end()));
            } else {
                EXPECT_EQ(r.information, 0xDEADu) << "the caller gets only the header";
                EXPECT_EQ(r.reply[kHeaderLength], 0xEE);
            }
        });
    }
}

TEST(TransmitT0, AFailedCommandHandsBackNoStaleResponse) {
    ScriptedBed t(3);
    // The reply before lies in ReplyData; the command itself gets three bytes.
    t.peer.replies = {ReplyInf(0x00, {0x90, 0x00}), {0x00, 0x00, 0x00}};
    t.Run([&] {
        StartT0(t);
        ASSERT_EQ(SendApdu(t.Card(), {0x00, 0xA4, 0x00, 0x00}).status, STATUS_SUCCESS);
        const TransmitResult r = SendApdu(t.Card(), {0x00, 0xA4, 0x00, 0x00});
        EXPECT_EQ(r.status, STATUS_IO_TIMEOUT);
        EXPECT_EQ(t.Card().SmartcardReply.BufferLength, 0u);
    });
}

TEST(TransmitT0, TheLongestResponseFitsAndAShortReplyBufferLosesIt) {
    ScriptedBed t(4);
    const Bytes response = Concat(Sequence(256), {0x90, 0x00});
    t.peer.replies = {ReplyInf(0x00, response), ReplyInf(0x00, response)};
    t.Run([&] {
        StartT0(t);
        const TransmitResult r = SendApdu(t.Card(), {0x00, 0xB0, 0x00, 0x00, 0x00});
        EXPECT_EQ(r.status, STATUS_SUCCESS);
        EXPECT_EQ(r.response, response);
        const ULONG tooShort = kHeaderLength + static_cast<ULONG>(response.size()) - 1;
        const TransmitResult lost = SendApdu(t.Card(), {0x00, 0xB0, 0x00, 0x00, 0x00}, tooShort);
        EXPECT_EQ(lost.status, STATUS_BUFFER_TOO_SMALL);
        EXPECT_EQ(lost.information, 0xDEADu);
        EXPECT_EQ(Bytes(lost.reply.begin() + kHeaderLength, lost.reply.end()), Bytes(tooShort - kHeaderLength, 0xEE))
            << "nothing copied behind the header";
    });
}

TEST(TransmitT0, TheLongestCommandGoesOutAndLongerOnesNever) {
    ScriptedBed t(5);
    t.peer.replies = {ReplyInf(0x00, {0x90, 0x00})};
    t.Run([&] {
        StartT0(t);
        Bytes longest = {0x80, 0xEE, 0x00, 0x00, 0xFF};
        longest = Concat(longest, Sequence(255));
        EXPECT_EQ(SendApdu(t.Card(), Concat(longest, {0x00})).status, STATUS_SUCCESS);
        ASSERT_EQ(t.Commands().size(), 1u);
        EXPECT_EQ(t.Commands()[0], ApduCommand(longest)) << "Le dropped, 260 bytes sent";
        // A request far longer than any command buffer is refused from its
        // header, before a byte of it is copied.
        const TransmitResult huge = SendApdu(t.Card(), Concat(longest, Sequence(4000)));
        EXPECT_EQ(huge.status, STATUS_PORT_ALREADY_SET);
        EXPECT_EQ(t.Commands().size(), 1u);
    });
}

TEST(Transmit, BadRequestsGetAClearStatusAndNoCopyPastABuffer) {
    ScriptedBed t(6);
    t.Run([&] {
        StartT0(t);
        SMARTCARD_EXTENSION& card = t.Card();
        // A header cut short: nothing copied, nothing sent.
        const TransmitResult cut = SendRequest(card, Bytes(kHeaderLength - 1, 0x00));
        EXPECT_EQ(cut.status, STATUS_INVALID_PARAMETER);
        EXPECT_EQ(cut.reply, Bytes(cut.reply.size(), 0xEE));
        // A header claiming more protocol data than the request holds.
        Bytes claims = TransmitRequest(SCARD_PROTOCOL_T0, {0x00, 0xA4, 0x00, 0x00});
        claims[4] = 200;
        const TransmitResult past = SendRequest(card, claims);
        EXPECT_EQ(past.status, STATUS_INVALID_PARAMETER);
        EXPECT_EQ(past.reply, Bytes(past.reply.size(), 0xEE));
        // A reply buffer shorter than the header.
        const TransmitResult small =
            SendRequest(card, TransmitRequest(SCARD_PROTOCOL_T0, {0x00, 0xA4, 0x00, 0x00}), kHeaderLength - 1);
        EXPECT_EQ(small.status, STATUS_BUFFER_TOO_SMALL);
        EXPECT_EQ(small.reply, Bytes(kHeaderLength - 1, 0xEE));
        // No request buffer at all.
        card.IoRequest.RequestBuffer = nullptr;
        card.IoRequest.RequestBufferLength = 16;
        EXPECT_EQ(Transmit(&card), STATUS_BUFFER_TOO_SMALL);
        EXPECT_TRUE(t.reader.Blocks().empty());
        EXPECT_EQ(t.Reader().PollEnabled, 0u) << "as the bed left it";
    });
}

TEST(Transmit, BeforeAnyResetTheHeaderIsCopiedAndNothingSent) {
    ScriptedBed t(7);
    t.Run([&] {
        StartT0(t);
        t.Reader().CardReady = 0;
        t.Reader().PollEnabled = 1;
        const TransmitResult r = SendApdu(t.Card(), {0x00, 0xA4, 0x00, 0x00});
        EXPECT_EQ(r.status, STATUS_INVALID_DEVICE_STATE);
        EXPECT_EQ(Bytes(r.reply.begin(), r.reply.begin() + kHeaderLength), TransmitRequest(SCARD_PROTOCOL_T0, {}));
        EXPECT_TRUE(t.reader.Blocks().empty());
        EXPECT_EQ(t.Reader().PollEnabled, 1u);
    });
}

TEST(Transmit, WithoutANegotiatedProtocolNothingIsExchangedAndNothingClaimed) {
    ScriptedBed t(8);
    t.Run([&] {
        t.PrepareCard();
        const TransmitResult r = SendRequest(t.Card(), TransmitRequest(SCARD_PROTOCOL_T0, {0x00, 0xA4, 0x00, 0x00}));
        EXPECT_EQ(r.status, STATUS_INVALID_DEVICE_STATE);
        EXPECT_EQ(r.information, 0xDEADu);
        EXPECT_TRUE(t.reader.Blocks().empty());
    });
}

TEST(Transmit, TheTimerRunsAgainAndTheMutexIsFreeOnEveryPath) {
    ScriptedBed t(9);
    t.Run([&] {
        StartT0(t);
        for (const Bytes& apdu : {Bytes{0x00}, Bytes{0x00, 0xA4, 0x00, 0x00}}) {
            SendApdu(t.Card(), apdu);
            EXPECT_EQ(KeReadStateMutex(t.Reader().ReaderMutex), 1);
        }
        t.Reader().CardReady = 0;
        SendApdu(t.Card(), {0x00, 0xA4, 0x00, 0x00});
        EXPECT_EQ(KeReadStateMutex(t.Reader().ReaderMutex), 1);
    });
}

// ---------------------------------------------------------------------------
// Whole APDU sequences against the simulated cards

struct Exchange {
    Bytes apdu;
    std::uint16_t sw;            // the status word expected at the end
    std::size_t responseLength;  // data and status word
};

// SELECT by file id, no FCI wanted.
Bytes SelectFile(std::uint16_t fid) {
    return {0x00, 0xA4, 0x00, 0x0C, 0x02, static_cast<std::uint8_t>(fid >> 8), static_cast<std::uint8_t>(fid)};
}

std::uint16_t StatusWord(const Bytes& response) {
    return static_cast<std::uint16_t>(response[response.size() - 2] << 8 | response[response.size() - 1]);
}

// A card's session as an application runs it: select the application's
// data file, read it in the largest pieces, a challenge, errors.
void RunSequence(std::string_view cardName, ULONG protocol, std::uint64_t seed) {
    SimBed t(cardName, seed);
    t.Run([&] {
        ASSERT_EQ(t.ColdReset(), STATUS_SUCCESS);
        const ProtocolResult selected = SelectProtocol(t.Card(), protocol);
        ASSERT_EQ(selected.status, STATUS_SUCCESS);
        ASSERT_EQ(ProtocolOf(selected), protocol);
        const Exchange sequence[] = {
            {SelectFile(sim::kFidMf), 0x9000, 2},
            {SelectFile(sim::kFidApplication), 0x9000, 2},
            {SelectFile(sim::kFidData), 0x9000, 2},
            {{0x00, 0xB0, 0x00, 0x00, 0xFF}, 0x9000, 257},
            {{0x00, 0xB0, 0x01, 0x00, 0x00}, 0x9000, 258},
            {{0x00, 0x84, 0x00, 0x00, 0x08}, 0x9000, 10},
            {SelectFile(0x7777), 0x6A82, 2},
            {{0x00, 0x12, 0x00, 0x00}, 0x6D00, 2},
        };
        for (const Exchange& e : sequence) {
            SCOPED_TRACE(harness::HexBytes(e.apdu));
            const TransmitResult r = SendApdu(t.Card(), e.apdu);
            ASSERT_EQ(r.status, STATUS_SUCCESS);
            ASSERT_EQ(r.response.size(), e.responseLength);
            EXPECT_EQ(StatusWord(r.response), e.sw);
            if (e.apdu[1] == 0xB0) {
                const std::size_t offset = static_cast<std::size_t>(e.apdu[2]) << 8 | e.apdu[3];
                for (std::size_t i = 0; i + 2 < r.response.size(); ++i) {
                    ASSERT_EQ(r.response[i], sim::DataFileByte(offset + i)) << "byte " << i;
                }
            }
        }
    });
}

// The catalogue cards with the ISO file system that power up and offer the
// protocol.
std::vector<std::string> CardsOffering(ULONG protocol) {
    std::vector<std::string> names;
    for (const sim::CatalogueEntry& entry : sim::CardCatalogue()) {
        if (entry.options().application) continue;
        SimBed probe(entry.name, 1);
        bool offered = false;
        probe.Run([&] {
            offered = NT_SUCCESS(probe.ColdReset()) &&
                      (probe.Card().CardCapabilities.Protocol.Supported & protocol) != 0;
        });
        if (offered) names.emplace_back(entry.name);
    }
    return names;
}

TEST(TransmitSequence, T0OnEveryCatalogueCardThatOffersIt) {
    const auto cards = CardsOffering(SCARD_PROTOCOL_T0);
    EXPECT_GE(cards.size(), 3u);
    for (const std::string& name : cards) {
        SCOPED_TRACE(name);
        for (std::uint64_t seed : {1, 2}) RunSequence(name, SCARD_PROTOCOL_T0, seed);
    }
}

TEST(TransmitSequence, T1OnEveryCatalogueCardThatOffersIt) {
    const auto cards = CardsOffering(SCARD_PROTOCOL_T1);
    EXPECT_GE(cards.size(), 3u);
    for (const std::string& name : cards) {
        SCOPED_TRACE(name);
        for (std::uint64_t seed : {1, 2}) RunSequence(name, SCARD_PROTOCOL_T1, seed);
    }
}

TEST(TransmitT1, CardBlocksGoStraightOverUsbWithNad0AndAStalledAnswerIsAskedForAgain) {
    SimBed t("t1", 3);
    t.Run([&] {
        ASSERT_EQ(t.ColdReset(), STATUS_SUCCESS);
        ASSERT_EQ(SelectProtocol(t.Card(), SCARD_PROTOCOL_T1).status, STATUS_SUCCESS);
        const UCHAR sendBefore = t.Reader().SendSequence;
        const UCHAR receiveBefore = t.Reader().ReceiveSequence;
        t.Card().T1.NAD = 0x21;
        const TransmitResult first = SendApdu(t.Card(), SelectFile(sim::kFidMf));
        ASSERT_EQ(first.status, STATUS_SUCCESS);
        EXPECT_EQ(first.response, (Bytes{0x90, 0x00}));
        EXPECT_EQ(t.Card().T1.NAD, 0) << "cleared before every block";
        EXPECT_EQ(t.Reader().SendSequence, sendBefore) << "the reader's link is not used";
        EXPECT_EQ(t.Reader().ReceiveSequence, receiveBefore);
        EXPECT_TRUE(KeReadStateEvent(&t.Reader().LinkIdle));

        // The card's answer is lost on the bus: ReplyData still holds the
        // answer before. The library is given no block, asks again, and the
        // card repeats its answer.
        t.reader.Arm(sim::Fault::InStall, 1);
        const TransmitResult again = SendApdu(t.Card(), {0x00, 0x84, 0x00, 0x00, 0x08});
        EXPECT_EQ(again.status, STATUS_SUCCESS);
        ASSERT_EQ(again.response.size(), 10u);
        EXPECT_EQ(StatusWord(again.response), 0x9000);
        EXPECT_EQ(t.reader.Faults().Fired(sim::Fault::InStall), 1u);
    });
}

TEST(TransmitT1, AnAnswerLongerThanTheIfsdComesInSeveralBlocksInOneTransmit) {
    SimBed t("t1", 4);
    t.Run([&] {
        ASSERT_EQ(t.ColdReset(), STATUS_SUCCESS);
        ASSERT_EQ(SelectProtocol(t.Card(), SCARD_PROTOCOL_T1).status, STATUS_SUCCESS);
        ASSERT_EQ(SendApdu(t.Card(), SelectFile(sim::kFidApplication)).status, STATUS_SUCCESS);
        ASSERT_EQ(SendApdu(t.Card(), SelectFile(sim::kFidData)).status, STATUS_SUCCESS);
        const std::size_t before = t.bed.Bus().Counters().completedAtOnce + t.bed.Bus().Counters().completedLater;
        const TransmitResult r = SendApdu(t.Card(), {0x00, 0xB0, 0x00, 0x00, 0x00});
        EXPECT_EQ(r.status, STATUS_SUCCESS);
        ASSERT_EQ(r.response.size(), 258u);
        EXPECT_EQ(StatusWord(r.response), 0x9000);
        const std::size_t after = t.bed.Bus().Counters().completedAtOnce + t.bed.Bus().Counters().completedLater;
        EXPECT_GE(after - before, 8u) << "two answer blocks and the acknowledgement between them, one request";
        EXPECT_EQ(KeReadStateMutex(t.Reader().ReaderMutex), 1);
    });
}

} // namespace
} // namespace qv::test
