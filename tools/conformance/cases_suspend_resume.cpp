// Suspend and resume: the card state across the system's sleep and wake, a
// card swapped or taken out while the system sleeps, and the reader pulled
// out during the sleep and plugged back.
#include "conformance/cases.h"
#include "power/power_manager.h"

namespace qv::conformance {

namespace {

const Bytes kSelectApplication = FromHex("00A4000C025100");

bool Ready(CaseContext& context, std::unique_ptr<sim::Card> card, bool powered) {
    ConformanceBed& bed = context.Bed();
    const std::size_t model = bed.AddModel(std::move(card));
    if (!context.ExpectStatus(bed.Attach(model), STATUS_SUCCESS, "the reader plugged, started and opened")) return false;
    bed.Advance(kPollSettleMs);
    if (!powered) return true;
    if (!context.ExpectStatus(bed.Power(SCARD_COLD_RESET), STATUS_SUCCESS, "a cold reset")) return false;
    return context.ExpectStatus(bed.Protocol(SCARD_PROTOCOL_T1), STATUS_SUCCESS, "T=1");
}

bool SleepAndWake(CaseContext& context, const std::function<void()>& whileAsleep = {}) {
    if (!context.ExpectStatus(power::Sleep(PowerSystemSleeping3), STATUS_SUCCESS, "the sleep")) return false;
    context.Bed().Advance(2000);
    if (whileAsleep) whileAsleep();
    return context.ExpectStatus(power::Wake(), STATUS_SUCCESS, "the wake");
}

bool CardWorks(CaseContext& context, const std::string& when, Bytes* atr = nullptr) {
    ConformanceBed& bed = context.Bed();
    if (!context.ExpectStatus(bed.Power(SCARD_COLD_RESET, atr), STATUS_SUCCESS, when + ": a cold reset")) return false;
    if (!context.ExpectStatus(bed.Protocol(SCARD_PROTOCOL_T1), STATUS_SUCCESS, when + ": T=1")) return false;
    const TransmitOutcome sent = bed.Transmit(kSelectApplication);
    return context.ExpectStatus(sent.status, STATUS_SUCCESS, when + ": a transmit") &&
           context.Expect(sent.sw == sim::kSwOk, when + ": SELECT answered " + Hex(sent.response));
}

void StatesAcrossSleep(CaseContext& context) {
    ConformanceBed& bed = context.Bed();
    if (!Ready(context, CatalogueCard("dual", context.Seed()), true)) return;
    harness::AsyncRequest& absent = bed.Machine().SendAsync(bed.Current(), IOCTL_SMARTCARD_IS_ABSENT);
    if (!SleepAndWake(context)) return;
    bed.Advance(kPollSettleMs);
    // The card lost its power in the sleep: the resource manager must learn
    // of it, so the removal wait ends, and the card counts as unpowered.
    context.Expect(absent.done && absent.status == STATUS_SUCCESS,
                   "the removal wait pending over the sleep ended at the wake");
    bed.Machine().Reap();
    const ULONG state = bed.State();
    context.Expect(state == SCARD_PRESENT, "after the wake the card is SCARD_PRESENT, got " + std::to_string(state));
    const TransmitOutcome stale = bed.Transmit(kSelectApplication);
    context.Expect(!NT_SUCCESS(stale.status), "a transmit under the protocol from before the sleep fails, got " +
                                                  StatusText(stale.status));
    if (!CardWorks(context, "after the wake")) return;
    // An empty reader sleeps and wakes empty, its insertion wait untouched.
    bed.Model(0).RemoveCard();
    bed.Advance(kPollAfterTransmitMs);
    harness::AsyncRequest& present = bed.Machine().SendAsync(bed.Current(), IOCTL_SMARTCARD_IS_PRESENT);
    if (!SleepAndWake(context)) return;
    bed.Advance(kPollSettleMs);
    context.Expect(!present.done, "an insertion wait on an empty reader stays pending across the sleep, it ended " +
                                      StatusText(present.status));
    context.Expect(bed.State() == SCARD_ABSENT, "the empty reader is SCARD_ABSENT after the wake");
    bed.Model(0).InsertCard();
    bed.Advance(kPollSettleMs);
    context.Expect(present.done && present.status == STATUS_SUCCESS, "the insertion after the wake is reported");
    bed.Machine().Reap();
}

void CardSwappedInSleep(CaseContext& context) {
    ConformanceBed& bed = context.Bed();
    if (!Ready(context, CatalogueCard("dual", context.Seed()), true)) return;
    harness::AsyncRequest& absent = bed.Machine().SendAsync(bed.Current(), IOCTL_SMARTCARD_IS_ABSENT);
    auto other = CatalogueCard("t1-crc", context.Seed());
    const Bytes otherAtr = static_cast<sim::SimpleCard&>(*other).Options().atr;
    if (!SleepAndWake(context, [&] {
            bed.Model(0).RemoveCard();
            bed.Model(0).InsertCard(std::move(other));
        }))
        return;
    bed.Advance(kPollSettleMs);
    context.Expect(absent.done && absent.status == STATUS_SUCCESS, "the removal wait ended at the wake");
    bed.Machine().Reap();
    Bytes atr;
    if (!CardWorks(context, "the new card", &atr)) return;
    context.Expect(atr == otherAtr, "the reset returned the new card's ATR, got " + Hex(atr));
}

void CardRemovedInSleep(CaseContext& context) {
    ConformanceBed& bed = context.Bed();
    if (!Ready(context, CatalogueCard("dual", context.Seed()), true)) return;
    harness::AsyncRequest& absent = bed.Machine().SendAsync(bed.Current(), IOCTL_SMARTCARD_IS_ABSENT);
    if (!SleepAndWake(context, [&] { bed.Model(0).RemoveCard(); })) return;
    bed.Advance(kPollSettleMs);
    context.Expect(absent.done && absent.status == STATUS_SUCCESS, "the removal wait ended at the wake");
    bed.Machine().Reap();
    context.Expect(bed.State() == SCARD_ABSENT, "the reader is SCARD_ABSENT after the wake");
}

// The reader is pulled out while the system sleeps. At the wake it is gone:
// the application's handle sees requests fail, its close lets the device go,
// and the reader plugged back (the same one, then another) works.
void ReaderPulledInSleep(CaseContext& context) {
    ConformanceBed& bed = context.Bed();
    if (!Ready(context, CatalogueCard("dual", context.Seed()), true)) return;
    harness::AsyncRequest& absent = bed.Machine().SendAsync(bed.Current(), IOCTL_SMARTCARD_IS_ABSENT);
    const std::size_t first = bed.Current();
    if (!context.ExpectStatus(power::Sleep(PowerSystemSleeping3), STATUS_SUCCESS, "the sleep")) return;
    bed.Advance(1000);
    bed.Model(0).Vanish();
    if (!context.ExpectStatus(power::Wake(), STATUS_SUCCESS, "the wake")) return;
    // The bus finds the port empty at the wake.
    context.ExpectStatus(bed.Machine().Unplug(first), STATUS_SUCCESS, "the surprise removal");
    bed.Advance(kPollSettleMs);
    const TransmitOutcome gone = bed.Transmit(kSelectApplication);
    context.Expect(!NT_SUCCESS(gone.status), "a request to the pulled reader fails, got " + StatusText(gone.status));
    // The resource manager closes its handle on the removal notice; the
    // wait it left pending ends with the close at the latest.
    bed.Machine().Close(first);
    context.Expect(absent.done, "the removal wait ended when the reader went");
    bed.Machine().Reap();
    // The same reader plugged back.
    bed.Model(0).Reattach();
    bed.Model(0).InsertCard();
    std::size_t again = 0;
    if (!context.ExpectStatus(bed.Attach(0, &again), STATUS_SUCCESS, "the same reader plugged back")) return;
    context.Expect(bed.Machine().Readers().at(again).unit == 0, "the reader plugged back gets unit 0 again");
    bed.Advance(kPollSettleMs);
    if (!CardWorks(context, "the reader plugged back")) return;
    // And another reader in its place.
    bed.Machine().Close(again);
    bed.Machine().Unplug(again);
    const std::size_t other = bed.AddModel(CatalogueCard("t1", context.Seed()), sim::ReaderModel::Qv39N);
    if (!context.ExpectStatus(bed.Attach(other), STATUS_SUCCESS, "another reader plugged in")) return;
    bed.Advance(kPollSettleMs);
    CardWorks(context, "the other reader");
}

} // namespace

void AddSuspendResumeCases(std::vector<ConformanceCase>& cases) {
    constexpr std::string_view kPart = "suspend and resume";
    cases.push_back({kPart, "card states right across sleep and wake", &StatesAcrossSleep});
    cases.push_back({kPart, "card swapped during the sleep", &CardSwappedInSleep});
    cases.push_back({kPart, "card taken out during the sleep", &CardRemovedInSleep});
    cases.push_back({kPart, "reader pulled during the sleep, plugged back", &ReaderPulledInSleep});
}

} // namespace qv::conformance
