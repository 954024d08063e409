// CardPower and FindIfsc: resets and power down against the simulated
// reader and its cards, the ATR cache with the reader's short 0xAA answer,
// replies no honest reader gives (from a scripted reader), and every walk
// of FindIfsc over the interface bytes.
#include <gtest/gtest.h>


#include "card.h"
#include "card/card_service_bed.h"
#include "cards/card_catalogue.h"
#include "device.h"
#include "harness/reader_machine.h"
#include "link.h"
#include "link/link_fixture.h"
#include "support/kernel_run.h"
#include "usb_reader.h"

namespace qv::test {
namespace {

constexpr std::uint64_t kCardSeeds[] = {1, 2, 3, 4};
constexpr ULONG kLargeReply = 64;

struct PowerResult {
    NTSTATUS status = STATUS_UNSUCCESSFUL;
    ULONG information = 0;
    Bytes reply;
    VirtualTime took = 0;
};

// Calls CardPower as the library does for IOCTL_SMARTCARD_POWER: the action
// in MinorIoControlCode, the caller's output buffer in IoRequest.
PowerResult Power(harness::ReaderMachine& bed, ULONG action, ULONG replyLength = kLargeReply) {
    SMARTCARD_EXTENSION& card = bed.Smartcard(0);
    PowerResult result;
    Bytes buffer(replyLength, 0xEE);
    ULONG information = 0xDEAD;
    card.MinorIoControlCode = action;
    card.IoRequest.ReplyBuffer = buffer.empty() ? nullptr : buffer.data();
    card.IoRequest.ReplyBufferLength = replyLength;
    card.IoRequest.Information = &information;
    const VirtualTime start = bed.Machine().Now();
    result.status = CardPower(&card);
    result.took = bed.Machine().Now() - start;
    result.information = information;
    if (NT_SUCCESS(result.status) && information <= buffer.size()) {
        result.reply.assign(buffer.begin(), buffer.begin() + information);
    }
    return result;
}

Bytes AtrOf(const SMARTCARD_EXTENSION& card) {
    return Bytes(card.CardCapabilities.ATR.Buffer, card.CardCapabilities.ATR.Buffer + card.CardCapabilities.ATR.Length);
}

TEST(CardPower, ColdResetReturnsTheAtrAndPausesWarmResetDoesNot) {
    for (std::uint64_t seed : kCardSeeds) {
        SimBed t("dual", seed);
        const Bytes atr = sim::CardOptions("dual")->atr;
        t.Run([&] {
            t.Card().T1.IFSC = 0x20;
            const PowerResult cold = Power(t.bed, SCARD_COLD_RESET);
            EXPECT_EQ(cold.status, STATUS_SUCCESS);
            EXPECT_EQ(cold.information, atr.size());
            EXPECT_EQ(cold.reply, atr);
            EXPECT_EQ(AtrOf(t.Card()), atr);
            // Powered, then moved on by the library: two protocols, no specific mode.
            EXPECT_EQ(t.Card().ReaderCapabilities.CurrentState, static_cast<ULONG>(SCARD_NEGOTIABLE));
            EXPECT_EQ(t.Reader().CardReady, 1u);
            EXPECT_EQ(t.Card().T1.IFSD, 252) << "the driver's, not the reader's 254";
            EXPECT_EQ(t.Card().T1.IFSC, 0xFE) << "the library's from TA3; TD1 names T=0, so the walk adds nothing";
            EXPECT_EQ(Bytes(t.Reader().AtrCache, t.Reader().AtrCache + t.Reader().AtrCacheLength), atr);
            EXPECT_GE(cold.took, 20 * kTicksPerMillisecond);

            const PowerResult warm = Power(t.bed, SCARD_WARM_RESET);
            EXPECT_EQ(warm.status, STATUS_SUCCESS);
            EXPECT_EQ(warm.reply, atr);
            // The warm reset costs the card's answer and the link, not the pause.
            EXPECT_LT(warm.took + 15 * kTicksPerMillisecond, cold.took);
            EXPECT_TRUE(KeReadStateEvent(&t.Reader().LinkIdle));
        });
        EXPECT_TRUE(t.reader.CurrentCard().Powered());
    }
}

TEST(CardPower, InverseConventionAndT1CardsAreTakenAndTheirIfscFound) {
    SimBed inverse("inverse", 1);
    inverse.Run([&] {
        const PowerResult r = Power(inverse.bed, SCARD_COLD_RESET);
        EXPECT_EQ(r.status, STATUS_SUCCESS);
        ASSERT_FALSE(r.reply.empty());
        EXPECT_EQ(r.reply[0], 0x3F);
        EXPECT_EQ(inverse.Reader().AtrCache[0], 0x3F);
        EXPECT_EQ(inverse.Reader().AtrCacheLength, r.reply.size());
    });
    SimBed atr20("atr20", 2);
    atr20.Run([&] {
        EXPECT_EQ(Power(atr20.bed, SCARD_COLD_RESET).status, STATUS_SUCCESS);
        EXPECT_EQ(atr20.Card().T1.IFSC, 0xFB);
        EXPECT_EQ(atr20.Card().CardCapabilities.ATR.Length, 20);
    });
    SimBed atr33("atr33", 3);
    atr33.Run([&] {
        const PowerResult r = Power(atr33.bed, SCARD_COLD_RESET);
        EXPECT_EQ(r.status, STATUS_SUCCESS);
        EXPECT_EQ(r.information, 33u) << "the longest ATR fits the cache and the buffer";
        EXPECT_EQ(atr33.Reader().AtrCacheLength, 33u);
    });
}

TEST(CardPower, AWarmResetMayBringAnotherAtr) {
    SimBed t("two-mode", 4);
    t.Run([&] {
        const PowerResult cold = Power(t.bed, SCARD_COLD_RESET);
        const PowerResult warm = Power(t.bed, SCARD_WARM_RESET);
        EXPECT_EQ(cold.status, STATUS_SUCCESS);
        EXPECT_EQ(warm.status, STATUS_SUCCESS);
        EXPECT_NE(cold.reply, warm.reply);
        EXPECT_EQ(Bytes(t.Reader().AtrCache, t.Reader().AtrCache + t.Reader().AtrCacheLength), warm.reply);
    });
}

TEST(CardPower, TheShortAnswerHandsOutThisReadersCachedAtr) {
    for (std::uint64_t seed : kCardSeeds) {
        SimBed t("t1", seed);
        const Bytes atr = sim::CardOptions("t1")->atr;
        t.Run([&] {
            // Nothing cached yet: no ATR at all, so the card is not powered.
            t.reader.Arm(sim::Fault::ResetNoAtr, 1);
            const PowerResult empty = Power(t.bed, SCARD_COLD_RESET);
            EXPECT_EQ(empty.status, STATUS_UNRECOGNIZED_MEDIA);
            EXPECT_EQ(t.Card().CardCapabilities.ATR.Length, 0);
            EXPECT_EQ(t.Card().ReaderCapabilities.CurrentState, static_cast<ULONG>(SCARD_PRESENT));
            EXPECT_EQ(t.Reader().CardReady, 0u);

            ASSERT_EQ(Power(t.bed, SCARD_COLD_RESET).status, STATUS_SUCCESS);
            t.reader.Arm(sim::Fault::ResetNoAtr, 2);
            for (ULONG action : {SCARD_WARM_RESET, SCARD_COLD_RESET}) {
                const PowerResult cached = Power(t.bed, action);
                EXPECT_EQ(cached.status, STATUS_SUCCESS);
                EXPECT_EQ(cached.reply, atr);
                EXPECT_EQ(t.Card().ReaderCapabilities.CurrentState, static_cast<ULONG>(SCARD_NEGOTIABLE));
            }
            EXPECT_EQ(t.reader.Faults().Fired(sim::Fault::ResetNoAtr), 3u);
        });
    }
}

TEST(CardPower, AReplyBufferOneByteShortLeavesTheCardPoweredAndTheLibraryUncalled) {
    SimBed t("dual", 5);
    const Bytes atr = sim::CardOptions("dual")->atr;
    t.Run([&] {
        t.Card().T1.IFSD = 0x11;
        const PowerResult r = Power(t.bed, SCARD_COLD_RESET, static_cast<ULONG>(atr.size() - 1));
        EXPECT_EQ(r.status, STATUS_BUFFER_TOO_SMALL);
        EXPECT_EQ(r.information, 0xDEADu) << "Information untouched";
        EXPECT_EQ(t.Card().ReaderCapabilities.CurrentState, static_cast<ULONG>(SCARD_POWERED));
        EXPECT_EQ(AtrOf(t.Card()), atr);
        EXPECT_EQ(t.Reader().AtrCacheLength, atr.size());
        EXPECT_EQ(t.Reader().CardReady, 0u);
        EXPECT_EQ(t.Card().T1.IFSD, 0x11);
        const PowerResult fits = Power(t.bed, SCARD_COLD_RESET, static_cast<ULONG>(atr.size()));
        EXPECT_EQ(fits.status, STATUS_SUCCESS);
        EXPECT_LT(r.took + 15 * kTicksPerMillisecond, fits.took) << "no pause after the refused one";
    });
}

TEST(CardPower, AnAtrTheLibraryRejectsIsStillHandedOutWithTheLibrarysStatus) {
    SimBed t("bad-tck", 9);
    const Bytes atr = sim::CardOptions("bad-tck")->atr;
    t.Run([&] {
        const PowerResult r = Power(t.bed, SCARD_COLD_RESET);
        EXPECT_FALSE(NT_SUCCESS(r.status)) << "the library's status for a wrong TCK";
        EXPECT_EQ(r.information, atr.size());
        EXPECT_EQ(t.Reader().CardReady, 1u);
        EXPECT_EQ(t.Card().T1.IFSD, 252);
        EXPECT_EQ(t.Reader().AtrCacheLength, atr.size());
        EXPECT_GE(r.took, 20 * kTicksPerMillisecond) << "the pause after a cold reset";
    });
}

TEST(CardPower, PowerDownAndUnknownActions) {
    SimBed t("dual", 6);
    t.Run([&] {
        ASSERT_EQ(Power(t.bed, SCARD_COLD_RESET).status, STATUS_SUCCESS);
        t.Card().CardCapabilities.Protocol.Selected = SCARD_PROTOCOL_T1;
        const PowerResult down = Power(t.bed, SCARD_POWER_DOWN);
        EXPECT_EQ(down.status, STATUS_SUCCESS);
        EXPECT_EQ(down.information, 0xDEADu);
        EXPECT_EQ(t.Card().CardCapabilities.ATR.Length, 0);
        EXPECT_EQ(t.Card().CardCapabilities.Protocol.Selected, 0u);
        EXPECT_EQ(t.Card().ReaderCapabilities.CurrentState, static_cast<ULONG>(SCARD_PRESENT));
        EXPECT_EQ(t.Reader().CardReady, 1u) << "not cleared by a power down";
        EXPECT_FALSE(t.reader.CurrentCard().Powered());

        ASSERT_EQ(Power(t.bed, SCARD_COLD_RESET).status, STATUS_SUCCESS);
        const std::uint8_t sequence = t.reader.Link().HostSequence();
        const PowerResult odd = Power(t.bed, 3);
        EXPECT_EQ(odd.status, STATUS_INVALID_DEVICE_REQUEST);
        EXPECT_EQ(t.Card().CardCapabilities.ATR.Length, 0);
        EXPECT_EQ(t.Card().ReaderCapabilities.CurrentState, static_cast<ULONG>(SCARD_PRESENT));
        EXPECT_EQ(t.reader.Link().HostSequence(), sequence) << "nothing sent";
    });
}

TEST(CardPower, MuteAndMissingCardsAndALostLinkGiveNoAtr) {
    SimBed mute("mute", 7);
    mute.Run([&] {
        EXPECT_EQ(Power(mute.bed, SCARD_COLD_RESET).status, STATUS_UNRECOGNIZED_MEDIA) << "status 0xD4, no ATR";
        mute.reader.RemoveCard();
        EXPECT_EQ(Power(mute.bed, SCARD_WARM_RESET).status, STATUS_UNRECOGNIZED_MEDIA) << "status 0xAD";
        EXPECT_EQ(mute.Card().ReaderCapabilities.CurrentState, static_cast<ULONG>(SCARD_PRESENT));
        EXPECT_EQ(mute.Reader().CardReady, 0u);
    });
    SimBed lost("dual", 8);
    lost.Run([&] {
        lost.reader.Arm(sim::Fault::InFail, 3);
        EXPECT_EQ(Power(lost.bed, SCARD_COLD_RESET).status, STATUS_IO_TIMEOUT);
        EXPECT_EQ(lost.Card().CardCapabilities.ATR.Length, 0);
        EXPECT_EQ(lost.Card().ReaderCapabilities.CurrentState, static_cast<ULONG>(SCARD_PRESENT));
        lost.reader.Faults().Clear();
        EXPECT_EQ(Power(lost.bed, SCARD_COLD_RESET).status, STATUS_SUCCESS) << "the next reset gets through";
    });
}

// ---------------------------------------------------------------------------
// Replies no honest reader gives, from a scripted reader

const Bytes kAtr = {0x3B, 0x02, 0x14, 0x50};

TEST(CardPower, LongRepliesAreTakenWhateverTheirStatusByteShortOnesOnlyWithAa) {
    ScriptedBed t(1);
    t.peer.replies = {ReplyInf(0xAA, kAtr), ReplyInf(0xAA), {0x00, 0x00, 0x00}, ReplyInf(0x00), ReplyInf(0xAA, {0x3B})};
    t.Run([&] {
        SMARTCARD_EXTENSION& card = t.bed.Smartcard(0);
        const PowerResult longAa = Power(t.bed, SCARD_WARM_RESET);
        EXPECT_EQ(longAa.status, STATUS_SUCCESS);
        EXPECT_EQ(longAa.reply, kAtr) << "a reply of 6 bytes or more with status 0xAA is an ATR like any other";

        const PowerResult shortAa = Power(t.bed, SCARD_WARM_RESET);
        EXPECT_EQ(shortAa.status, STATUS_SUCCESS);
        EXPECT_EQ(shortAa.reply, kAtr) << "from the cache";

        EXPECT_EQ(Power(t.bed, SCARD_WARM_RESET).status, STATUS_IO_TIMEOUT)
            << "3 bytes: no status byte, so the link reports no verdict, though the 0xAA before still lies in "
               "ReplyData";
        EXPECT_EQ(Power(t.bed, SCARD_WARM_RESET).status, STATUS_UNRECOGNIZED_MEDIA) << "4 bytes, status 0x00";
        EXPECT_EQ(card.CardCapabilities.ATR.Length, 0);
        const PowerResult five = Power(t.bed, SCARD_WARM_RESET);
        EXPECT_EQ(five.status, STATUS_SUCCESS) << "5 bytes with 0xAA: the cache again";
        EXPECT_EQ(five.reply, kAtr);
    });
}

TEST(CardPower, AtrsWithAWrongTsOrLongerThanIsoAllowsAreRefusedAndNotCached) {
    ScriptedBed t(2);
    Bytes tooLong(34, 0x00);
    tooLong[0] = 0x3B;
    Bytes longest = sim::CardOptions("atr33")->atr;
    longest[0] = 0x3F; // TCK does not cover TS
    Bytes huge(250, 0x11);
    huge[0] = 0x3B; // far more than an ATR, and more than the cache holds
    t.peer.replies = {ReplyInf(0x00, kAtr), ReplyInf(0x00, {0x3C, 0x02, 0x14, 0x50}), ReplyInf(0x00, tooLong),
                 ReplyInf(0x00, huge), ReplyInf(0x00, longest)};
    t.Run([&] {
        READER_EXTENSION& reader = t.bed.Reader(0);
        ASSERT_EQ(Power(t.bed, SCARD_COLD_RESET).status, STATUS_SUCCESS);
        for (int i = 0; i < 3; ++i) {
            SCOPED_TRACE(i);
            EXPECT_EQ(Power(t.bed, SCARD_COLD_RESET).status, STATUS_UNRECOGNIZED_MEDIA);
            EXPECT_EQ(t.bed.Smartcard(0).CardCapabilities.ATR.Length, 0);
            EXPECT_EQ(t.bed.Smartcard(0).ReaderCapabilities.CurrentState, static_cast<ULONG>(SCARD_PRESENT));
            EXPECT_EQ(Bytes(reader.AtrCache, reader.AtrCache + reader.AtrCacheLength), kAtr) << "cache unchanged";
        }
        const PowerResult r = Power(t.bed, SCARD_COLD_RESET);
        EXPECT_EQ(r.status, STATUS_SUCCESS);
        EXPECT_EQ(r.reply, longest);
    });
}

// ---------------------------------------------------------------------------
// FindIfsc on ATRs laid out by hand

UCHAR IfscAfter(const Bytes& atr, UCHAR before = 0x20) {
    SMARTCARD_EXTENSION card{};
    // The walk may read only ATR.Length bytes: poison what lies behind.
    std::fill(std::begin(card.CardCapabilities.ATR.Buffer), std::end(card.CardCapabilities.ATR.Buffer), 0xF1);
    std::copy(atr.begin(), atr.end(), card.CardCapabilities.ATR.Buffer);
    card.CardCapabilities.ATR.Length = static_cast<UCHAR>(atr.size());
    card.T1.IFSC = before;
    FindIfsc(&card);
    return card.T1.IFSC;
}

TEST(FindIfsc, TakesTheFirstTaFromGroupThreeOnAlongAChainOfT0AndT1) {
    Machine machine(MachineConfig{});
    RunOk(machine, [] {
    // The example: TD1 81, TD2 31, TA3 FB.
    EXPECT_EQ(IfscAfter(sim::CardOptions("atr20")->atr), 0xFB);
    // TD1 names T=0, TD2 T=1 with TA3: TD1 decides, nothing taken.
    EXPECT_EQ(IfscAfter({0x3B, 0x80, 0x80, 0x11, 0x80}), 0x20);
    // TD1 T=1, TD2 T=1, TA3.
    EXPECT_EQ(IfscAfter({0x3B, 0x80, 0x81, 0x11, 0x80}), 0x80);
    // TD1 T=1 with TA2, TD2 T=1 without TA3, TD3 T=1 with TA4: TA4; TA2 passed over.
    EXPECT_EQ(IfscAfter({0x3B, 0x80, 0x91, 0x44, 0xA1, 0x45, 0x11, 0x60}), 0x60);
    // TD1 T=1, TD2 names T=15: TA3 not taken.
    EXPECT_EQ(IfscAfter({0x3B, 0x80, 0x81, 0x1F, 0x80}), 0x20);
    // A later TA never replaces the first: TA3 then TA4.
    EXPECT_EQ(IfscAfter({0x3B, 0x80, 0x81, 0x91, 0x40, 0x11, 0x50}), 0x40);
    // No TD1, or TD1 without a TD2: nothing.
    EXPECT_EQ(IfscAfter({0x3B, 0x10, 0x13}), 0x20);
    EXPECT_EQ(IfscAfter({0x3B, 0x80, 0x01}), 0x20);
    // TB and TC bytes are stepped over in every group.
    EXPECT_EQ(IfscAfter({0x3B, 0xF0, 0x13, 0x00, 0x00, 0xE1, 0x00, 0x00, 0xF1, 0x77, 0x45, 0x00, 0x01}), 0x77);
    });
}

TEST(FindIfsc, StopsAtTheAtrsEndRefusesIfscZeroAndReadsFfAs254) {
    Machine machine(MachineConfig{});
    RunOk(machine, [] {
    // Presence bits point past the last byte: nothing beyond ATR.Length is read.
    EXPECT_EQ(IfscAfter({0x3B, 0x80, 0x81, 0x11}), 0x20) << "TA3 announced, not there";
    EXPECT_EQ(IfscAfter({0x3B, 0x80}), 0x20) << "TD1 announced, not there";
    EXPECT_EQ(IfscAfter({0x3B, 0xF0, 0x13, 0x00}), 0x20);
    EXPECT_EQ(IfscAfter({0x3B}), 0x20);
    EXPECT_EQ(IfscAfter({}), 0x20);
    // Taken before the walk ran out: kept.
    EXPECT_EQ(IfscAfter({0x3B, 0x80, 0x81, 0x91, 0x40, 0x11}), 0x40);
    // IFSC 0 is reserved: the value set before stays, and no later TA
    // takes its place. 255, reserved too but announced by real cards,
    // counts as 254, and no later TA replaces that either.
    EXPECT_EQ(IfscAfter({0x3B, 0x80, 0x81, 0x11, 0x00}), 0x20);
    EXPECT_EQ(IfscAfter({0x3B, 0x80, 0x81, 0x91, 0x00, 0x11, 0x50}), 0x20);
    EXPECT_EQ(IfscAfter({0x3B, 0x80, 0x81, 0x91, 0xFF, 0x11, 0x50}), 0xFE);
    EXPECT_EQ(IfscAfter({0x3B, 0x80, 0x81, 0x11, 0xFE}), 0xFE);
    });
}

} // namespace
} // namespace qv::test

namespace qv::test {
namespace {

TEST(ReaderFunctions, CardPowerAndTrackingAreInstalledAndEveryOtherSlotCleared) {
    Machine machine(MachineConfig{});
    RunOk(machine, [] {
        SMARTCARD_EXTENSION card{};
        for (auto& slot : card.ReaderFunction) slot = &CardPower; // stale values to be cleared
        SetReaderFunctions(&card);
        EXPECT_EQ(card.ReaderFunction[RDF_CARD_POWER], &CardPower);
        EXPECT_EQ(card.ReaderFunction[RDF_SET_PROTOCOL], &SetProtocol);
        EXPECT_EQ(card.ReaderFunction[RDF_TRANSMIT], &Transmit);
        EXPECT_EQ(card.ReaderFunction[RDF_CARD_TRACKING], &CardTracking);
        EXPECT_EQ(card.ReaderFunction[RDF_IOCTL_VENDOR], &VendorIoctl);
        for (ULONG slot = 0; slot < RDF_MAX_FUNCTIONS; ++slot) {
            if (slot == RDF_CARD_POWER || slot == RDF_SET_PROTOCOL || slot == RDF_TRANSMIT ||
                slot == RDF_CARD_TRACKING || slot == RDF_IOCTL_VENDOR) {
                continue;
            }
            EXPECT_EQ(card.ReaderFunction[slot], nullptr) << "slot " << slot;
        }
    });
}

} // namespace
} // namespace qv::test
