// Insertion and removal: the card waits the resource manager keeps pending,
// on an empty and on an occupied reader; random insertion and removal; the
// card pulled during each phase of an exchange; a quick out-and-in. After
// each, the next insertion must work.
#include <memory>
#include <random>

#include "conformance/cases.h"
#include "harness/link_trace.h"
#include "usb/usb_bus.h"

namespace qv::conformance {

namespace {

constexpr std::uint64_t kLongWaitMs = 3000;
const Bytes kSelectMf = FromHex("00A4000C023F00");
const Bytes kSelectApplication = FromHex("00A4000C025100");

// Powers the card, selects protocol (T=0 when the card offers it) and runs
// one command: what every "the next insertion works" check does.
bool CardWorks(CaseContext& context, ULONG protocol, const std::string& when) {
    ConformanceBed& bed = context.Bed();
    if (!context.ExpectStatus(bed.Power(SCARD_COLD_RESET), STATUS_SUCCESS, when + ": a cold reset")) return false;
    if (!context.ExpectStatus(bed.Protocol(protocol), STATUS_SUCCESS, when + ": the protocol")) return false;
    const TransmitOutcome sent = bed.Transmit(kSelectApplication);
    if (!context.ExpectStatus(sent.status, STATUS_SUCCESS, when + ": SELECT")) return false;
    return context.Expect(sent.sw == sim::kSwOk, when + ": SELECT answered " + Hex(sent.response));
}

bool Attach(CaseContext& context, std::unique_ptr<sim::Card> card) {
    ConformanceBed& bed = context.Bed();
    const std::size_t model = bed.AddModel(std::move(card));
    if (!context.ExpectStatus(bed.Attach(model), STATUS_SUCCESS, "the reader plugged, started and opened")) return false;
    bed.Advance(kPollSettleMs);
    return true;
}

// The state after the poll has had time to see the slot.
bool SettlesTo(CaseContext& context, ULONG wanted, const std::string& when) {
    context.Bed().Advance(kPollAfterTransmitMs);
    const ULONG state = context.Bed().State();
    return context.Expect(state == wanted, when + ": state " + std::to_string(state) + ", expected " +
                                               std::to_string(wanted));
}

void PresentWaitOnEmptyReader(CaseContext& context) {
    ConformanceBed& bed = context.Bed();
    if (!Attach(context, nullptr)) return;
    harness::AsyncRequest* wait = WaitFor(bed, IOCTL_SMARTCARD_IS_PRESENT, kLongWaitMs);
    if (!context.Expect(!wait->done, "the insertion wait stays pending while the reader is empty, it ended " +
                                         StatusText(wait->status)))
        return;
    const std::uint64_t inserted = bed.NowMs();
    bed.Model(0).InsertCard(CatalogueCard("dual", context.Seed()));
    while (!wait->done && bed.NowMs() < inserted + kPollSettleMs) bed.Advance(10);
    if (!context.Expect(wait->done, "the insertion wait ends within a poll period of the insertion")) return;
    context.ExpectStatus(wait->status, STATUS_SUCCESS, "the insertion wait");
    context.Expect(wait->completions == 1, "the insertion wait completed once");
    bed.Machine().Reap();
    context.Expect(bed.State() == SCARD_PRESENT, "the state is SCARD_PRESENT after the insertion");
    CardWorks(context, SCARD_PROTOCOL_T0, "after the insertion");
}

void PresentWaitOnOccupiedReader(CaseContext& context) {
    ConformanceBed& bed = context.Bed();
    if (!Attach(context, CatalogueCard("dual", context.Seed()))) return;
    harness::AsyncRequest* wait = WaitFor(bed, IOCTL_SMARTCARD_IS_PRESENT, 0);
    if (!context.Expect(wait->done, "the insertion wait ends at once with a card in")) return;
    context.ExpectStatus(wait->status, STATUS_SUCCESS, "the insertion wait");
    bed.Machine().Reap();
}

void AbsentWaitOnOccupiedReader(CaseContext& context) {
    ConformanceBed& bed = context.Bed();
    if (!Attach(context, CatalogueCard("dual", context.Seed()))) return;
    if (!CardWorks(context, SCARD_PROTOCOL_T0, "before the removal")) return;
    harness::AsyncRequest* wait = WaitFor(bed, IOCTL_SMARTCARD_IS_ABSENT, kLongWaitMs);
    if (!context.Expect(!wait->done, "the removal wait stays pending while the card is in")) return;
    const std::uint64_t removed = bed.NowMs();
    bed.Model(0).RemoveCard();
    while (!wait->done && bed.NowMs() < removed + kPollAfterTransmitMs) bed.Advance(10);
    if (!context.Expect(wait->done, "the removal wait ends within a poll period of the removal")) return;
    context.ExpectStatus(wait->status, STATUS_SUCCESS, "the removal wait");
    bed.Machine().Reap();
    context.Expect(bed.State() == SCARD_ABSENT, "the state is SCARD_ABSENT after the removal");
    bed.Model(0).InsertCard();
    bed.Advance(kPollSettleMs);
    CardWorks(context, SCARD_PROTOCOL_T0, "after the card went back in");
}

void AbsentWaitOnEmptyReader(CaseContext& context) {
    ConformanceBed& bed = context.Bed();
    if (!Attach(context, nullptr)) return;
    harness::AsyncRequest* wait = WaitFor(bed, IOCTL_SMARTCARD_IS_ABSENT, 0);
    if (!context.Expect(wait->done, "the removal wait ends at once on an empty reader")) return;
    context.ExpectStatus(wait->status, STATUS_SUCCESS, "the removal wait");
    bed.Machine().Reap();
}

// The platform asks readers to report insertion and removal as they happen
// (by interrupt); this reader has no such signal and is asked once a second.
void InsertionReportedAtOnce(CaseContext& context) {
    ConformanceBed& bed = context.Bed();
    if (!Attach(context, nullptr)) return;
    std::mt19937_64 random(context.Seed());
    bed.Advance(std::uniform_int_distribution<std::uint64_t>(0, kPollPeriodMs)(random));
    harness::AsyncRequest& wait = bed.Machine().SendAsync(bed.Current(), IOCTL_SMARTCARD_IS_PRESENT);
    const std::uint64_t inserted = bed.NowMs();
    bed.Model(0).InsertCard(CatalogueCard("dual", context.Seed()));
    while (!wait.done && bed.NowMs() < inserted + kPollSettleMs) bed.Advance(5);
    if (!context.Expect(wait.done, "the insertion is reported within a poll period")) return;
    const std::uint64_t latency = wait.completedAt / kTicksPerMillisecond - inserted;
    bed.Machine().Reap();
    context.KnownDeviation("insertion is found by the card-status poll once a second, not reported by an interrupt "
                           "(the reader has no interrupt endpoint): reported after up to one poll period, two after a transmit, "
                           "which makes the poll skip its next tick (" +
                           std::to_string(latency) + " ms with the last seed)");
}

// Ten cycles, each 15 s of virtual time in which the card goes in and out at
// random instants (held from 50 ms to 2.5 s), with the resource manager's
// wait always pending. Every wait that ends must match a state the slot had
// within the poll period before; when the slot rests, the state must follow
// it, and a card in must work.
void RandomInsertionRemoval(CaseContext& context) {
    constexpr int kCycles = 10;
    constexpr std::uint64_t kCycleMs = 15'000;
    constexpr std::uint64_t kStepMs = 50;
    ConformanceBed& bed = context.Bed();
    if (!Attach(context, nullptr)) return;
    sim::UsbReader& reader = bed.Model(0);
    std::mt19937_64 random(context.Seed());
    std::uniform_int_distribution<std::uint64_t> hold(50, 2500);
    // When the slot last changed, and to what: enough to tell what it held
    // during the last poll period.
    struct Change {
        std::uint64_t at;
        bool occupied;
    };
    std::vector<Change> history{{bed.NowMs(), false}};
    auto heldWithin = [&](bool occupied, std::uint64_t from, std::uint64_t to) {
        for (std::size_t i = 0; i < history.size(); ++i) {
            const std::uint64_t start = history[i].at;
            const std::uint64_t end = i + 1 < history.size() ? history[i + 1].at : to;
            if (history[i].occupied == occupied && end >= from && start <= to) return true;
        }
        return false;
    };
    bool believedIn = false;
    harness::AsyncRequest* wait = &bed.Machine().SendAsync(bed.Current(), IOCTL_SMARTCARD_IS_PRESENT);
    unsigned reports = 0;
    for (int cycle = 1; cycle <= kCycles && !context.Failed(); ++cycle) {
        const std::uint64_t cycleEnd = bed.NowMs() + kCycleMs;
        std::uint64_t nextToggle = bed.NowMs() + hold(random);
        while (bed.NowMs() < cycleEnd + kPollSettleMs && !context.Failed()) {
            if (bed.NowMs() >= nextToggle && bed.NowMs() < cycleEnd) {
                if (reader.CardInserted()) {
                    reader.RemoveCard();
                } else {
                    reader.InsertCard(CatalogueCard(random() % 2 ? "dual" : "t1", context.Seed()));
                }
                history.push_back({bed.NowMs(), reader.CardInserted()});
                nextToggle = bed.NowMs() + hold(random);
            }
            bed.Advance(kStepMs);
            if (!wait->done) continue;
            const std::uint64_t at = wait->completedAt / kTicksPerMillisecond;
            const bool presentWait = wait->code == IOCTL_SMARTCARD_IS_PRESENT;
            context.ExpectStatus(wait->status, STATUS_SUCCESS, "cycle " + std::to_string(cycle) + ": a card wait");
            context.Expect(heldWithin(presentWait, at - std::min(at, kPollSettleMs), at),
                           "cycle " + std::to_string(cycle) + ": a " + (presentWait ? "card-in" : "card-out") +
                               " report at " + std::to_string(at) + " ms matches no state of the slot in the poll "
                               "period before");
            context.Expect(wait->completions == 1, "a wait completed more than once");
            bed.Machine().Reap();
            ++reports;
            believedIn = presentWait;
            wait = &bed.Machine().SendAsync(bed.Current(), believedIn ? IOCTL_SMARTCARD_IS_ABSENT
                                                                      : IOCTL_SMARTCARD_IS_PRESENT);
        }
        if (context.Failed()) break;
        // The slot has rested for longer than a poll period.
        const ULONG state = bed.State();
        const bool in = reader.CardInserted();
        if (!context.Expect(in ? state >= SCARD_PRESENT : state == SCARD_ABSENT,
                            "cycle " + std::to_string(cycle) + ": state " + std::to_string(state) + " with the slot " +
                                (in ? "occupied" : "empty")))
            break;
        if (in) {
            const std::string when = "cycle " + std::to_string(cycle);
            if (!context.ExpectStatus(bed.Power(SCARD_COLD_RESET), STATUS_SUCCESS, when + ": a cold reset")) break;
        }
    }
    if (!wait->done) bed.Machine().Cancel(wait->irp);
    bed.Advance(kStepMs);
    bed.Machine().Reap();
    context.Expect(reports >= static_cast<unsigned>(kCycles), "at least one report per cycle, got " +
                                                                  std::to_string(reports));
}

// An application that keeps the card busy, a command twice a second, as
// GnuPG's scdaemon does while it retries: a card pulled meanwhile must
// still be reported within two poll periods, although every transmit makes
// the poll skip its next tick.
void RemovalSeenWhileTransmitting(CaseContext& context) {
    constexpr std::uint64_t kBetweenCommandsMs = 500;
    constexpr std::uint64_t kLimitMs = 2 * kPollPeriodMs + kBetweenCommandsMs;
    ConformanceBed& bed = context.Bed();
    if (!Attach(context, CatalogueCard("dual", context.Seed()))) return;
    if (!CardWorks(context, SCARD_PROTOCOL_T1, "before the removal")) return;
    harness::AsyncRequest& wait = bed.Machine().SendAsync(bed.Current(), IOCTL_SMARTCARD_IS_ABSENT);
    for (int i = 0; i < 3; ++i) {
        bed.Transmit(kSelectApplication);
        bed.Advance(kBetweenCommandsMs);
    }
    const std::uint64_t removed = bed.NowMs();
    bed.Model(0).RemoveCard();
    while (!wait.done && bed.NowMs() < removed + kLimitMs) {
        bed.Transmit(kSelectApplication);
        bed.Advance(kBetweenCommandsMs);
    }
    if (!context.Expect(wait.done, "the removal is reported within two poll periods while commands keep coming"))
        return;
    context.ExpectStatus(wait.status, STATUS_SUCCESS, "the removal wait");
    bed.Machine().Reap();
    context.Expect(bed.State() == SCARD_ABSENT, "the state is SCARD_ABSENT after the removal");
}

// The card pulled out in the middle of something: the request fails (never
// a success with made-up data), the next poll reports the card gone, and a
// card put back in works.
void AfterPull(CaseContext& context, NTSTATUS status, const std::string& what, ULONG protocol) {
    context.Expect(!NT_SUCCESS(status), what + " with the card pulled out fails, got " + StatusText(status));
    ConformanceBed& bed = context.Bed();
    if (!SettlesTo(context, SCARD_ABSENT, what)) return;
    harness::AsyncRequest* wait = WaitFor(bed, IOCTL_SMARTCARD_IS_ABSENT, 0);
    context.Expect(wait->done && wait->status == STATUS_SUCCESS, what + ": the removal wait ends at once");
    bed.Machine().Reap();
    bed.Model(0).InsertCard();
    bed.Advance(kPollSettleMs);
    CardWorks(context, protocol, what + ", the card back in");
}

void PulledDuringReset(CaseContext& context) {
    if (!Attach(context, CatalogueCard("dual", context.Seed()))) return;
    context.Bed().Model(0).Arm(sim::Fault::CardPulled);
    AfterPull(context, context.Bed().Power(SCARD_COLD_RESET), "a cold reset", SCARD_PROTOCOL_T0);
}

void PulledAfterPps(CaseContext& context) {
    ConformanceBed& bed = context.Bed();
    if (!Attach(context, CatalogueCard("dual", context.Seed()))) return;
    if (!context.ExpectStatus(bed.Power(SCARD_COLD_RESET), STATUS_SUCCESS, "a cold reset")) return;
    if (!context.ExpectStatus(bed.Protocol(SCARD_PROTOCOL_T1), STATUS_SUCCESS, "T=1 selected")) return;
    bed.Model(0).RemoveCard();
    AfterPull(context, bed.Transmit(kSelectMf).status, "the first APDU after the PPS", SCARD_PROTOCOL_T1);
}

void PulledBetweenChainedBlocks(CaseContext& context) {
    ConformanceBed& bed = context.Bed();
    // IFSC 32: a 100-byte command goes out in four chained blocks.
    if (!Attach(context, CatalogueCard("t1-crc", context.Seed()))) return;
    if (!context.ExpectStatus(bed.Power(SCARD_COLD_RESET), STATUS_SUCCESS, "a cold reset")) return;
    if (!context.ExpectStatus(bed.Protocol(SCARD_PROTOCOL_T1), STATUS_SUCCESS, "T=1 selected")) return;
    Bytes echo = FromHex("80EE000064");
    for (std::uint8_t i = 0; i < 100; ++i) echo.push_back(i);
    echo.push_back(0x00);
    // The card goes while it acknowledges the first chained block.
    bed.Model(0).Arm(sim::Fault::CardPulledMid);
    AfterPull(context, bed.Transmit(echo).status, "a chained command", SCARD_PROTOCOL_T1);
}

void PulledDuringWtx(CaseContext& context) {
    ConformanceBed& bed = context.Bed();
    if (!Attach(context, CatalogueCard("t1", context.Seed()))) return;
    if (!context.ExpectStatus(bed.Power(SCARD_COLD_RESET), STATUS_SUCCESS, "a cold reset")) return;
    if (!context.ExpectStatus(bed.Protocol(SCARD_PROTOCOL_T1), STATUS_SUCCESS, "T=1")) return;
    // Five seconds of key generation: the card asks for more time, and is
    // pulled out as its S(WTX request) reaches the host.
    constexpr std::size_t kPcbOffset = 1;
    constexpr std::uint8_t kPcbWtxRequest = 0xC3;
    sim::UsbReader& reader = bed.Model(0);
    auto joiner = std::make_shared<harness::PacketJoiner>();
    bool pulled = false;
    bed.Machine().Bus().SetObserver([&reader, &pulled, joiner](const usb::TransferEvent& event) {
        if (pulled || event.kind != usb::TransferKind::In || event.status != USBD_STATUS_SUCCESS) return;
        const auto block = joiner->Add(event.data);
        if (block && block->size() > kPcbOffset && (*block)[kPcbOffset] == kPcbWtxRequest) {
            reader.RemoveCard();
            pulled = true;
        }
    });
    const NTSTATUS status = bed.Transmit(FromHex("80E2050040")).status;
    bed.Machine().Bus().SetObserver({});
    if (!context.Expect(pulled, "the card asked for more time")) return;
    AfterPull(context, status, "a key generation", SCARD_PROTOCOL_T1);
}

// The card is pulled out while it works on a two-second key generation,
// after the reader or the card asked for the time and got it: the answer
// the card never finished must not arrive, so the transmit fails.
void PulledWhileWorking(CaseContext& context, ULONG protocol) {
    ConformanceBed& bed = context.Bed();
    if (!Attach(context, CatalogueCard("dual", context.Seed()))) return;
    if (!context.ExpectStatus(bed.Power(SCARD_COLD_RESET), STATUS_SUCCESS, "a cold reset")) return;
    if (!context.ExpectStatus(bed.Protocol(protocol), STATUS_SUCCESS, "the protocol")) return;
    // The host's S(WTX response) grants the time: under T=1 the card's own
    // block (NAD 0), under T=0 the reader's (NAD 0x12).
    constexpr std::size_t kNadOffset = 1;
    constexpr std::uint8_t kPcbWtxResponse = 0xE3;
    const std::uint8_t nad = protocol == SCARD_PROTOCOL_T1 ? 0x00 : 0x12;
    sim::UsbReader& reader = bed.Model(0);
    bool pulled = false;
    bed.Machine().Bus().SetObserver([&](const usb::TransferEvent& event) {
        if (pulled || event.kind != usb::TransferKind::Out || event.data.size() <= kNadOffset + 1) return;
        if (event.data[kNadOffset] == nad && event.data[kNadOffset + 1] == kPcbWtxResponse) {
            reader.RemoveCard();
            pulled = true;
        }
    });
    const NTSTATUS status = bed.Transmit(FromHex("80E2020040")).status;
    bed.Machine().Bus().SetObserver({});
    if (!context.Expect(pulled, "the card or the reader asked for more time")) return;
    AfterPull(context, status, "a key generation", protocol);
}

void PulledWhileWorkingT0(CaseContext& context) { PulledWhileWorking(context, SCARD_PROTOCOL_T0); }
void PulledWhileWorkingT1(CaseContext& context) { PulledWhileWorking(context, SCARD_PROTOCOL_T1); }

void QuickOutAndIn(CaseContext& context) {
    ConformanceBed& bed = context.Bed();
    if (!Attach(context, CatalogueCard("dual", context.Seed()))) return;
    if (!CardWorks(context, SCARD_PROTOCOL_T1, "before")) return;
    harness::AsyncRequest& wait = bed.Machine().SendAsync(bed.Current(), IOCTL_SMARTCARD_IS_ABSENT);
    // Out and in again within 100 ms, between two polls.
    bed.Model(0).RemoveCard();
    bed.Advance(100);
    bed.Model(0).InsertCard(CatalogueCard("t0", context.Seed()));
    bed.Advance(kPollAfterTransmitMs);
    // The card lost its power: its protocol must not survive.
    const ULONG state = bed.State();
    context.Expect(state == SCARD_PRESENT, "the card back in counts as present and unpowered, state " +
                                               std::to_string(state));
    const TransmitOutcome stale = bed.Transmit(kSelectMf);
    context.Expect(!NT_SUCCESS(stale.status), "a transmit under the old card's protocol fails, got " +
                                                  StatusText(stale.status));
    CardWorks(context, SCARD_PROTOCOL_T0, "the new card");
    // The card the application knew is gone, although the slot never
    // looked empty to a poll: the removal wait ends.
    if (!context.Expect(wait.done, "the removal wait ends when the card is found without its power")) {
        bed.Machine().Cancel(wait.irp);
        bed.Advance(10);
        return;
    }
    context.ExpectStatus(wait.status, STATUS_SUCCESS, "the removal wait");
    bed.Machine().Reap();
}

} // namespace

void AddInsertionRemovalCases(std::vector<ConformanceCase>& cases) {
    constexpr std::string_view kPart = "insertion and removal";
    cases.push_back({kPart, "insertion wait on an empty reader ends on insertion", &PresentWaitOnEmptyReader});
    cases.push_back({kPart, "insertion wait on an occupied reader ends at once", &PresentWaitOnOccupiedReader});
    cases.push_back({kPart, "removal wait on an occupied reader ends on removal", &AbsentWaitOnOccupiedReader});
    cases.push_back({kPart, "removal wait on an empty reader ends at once", &AbsentWaitOnEmptyReader});
    cases.push_back({kPart, "insertion reported at once (by interrupt)", &InsertionReportedAtOnce});
    cases.push_back({kPart, "random insertion and removal, ten 15 s cycles", &RandomInsertionRemoval});
    cases.push_back({kPart, "card pulled during a reset", &PulledDuringReset});
    cases.push_back({kPart, "card pulled between the PPS and the first APDU", &PulledAfterPps});
    cases.push_back({kPart, "card pulled between two chained blocks", &PulledBetweenChainedBlocks});
    cases.push_back({kPart, "card pulled during a waiting-time extension", &PulledDuringWtx});
    cases.push_back({kPart, "card pulled while it works, T=0", &PulledWhileWorkingT0});
    cases.push_back({kPart, "card pulled while it works, T=1", &PulledWhileWorkingT1});
    cases.push_back({kPart, "removal seen while an application transmits", &RemovalSeenWhileTransmitting});
    cases.push_back({kPart, "quick out-and-in between two polls", &QuickOutAndIn});
}

} // namespace qv::conformance
