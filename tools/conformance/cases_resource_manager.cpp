// The resource manager's state changes: the sequence the smart card service
// runs on a new card, and its reset and reconnect patterns, warm and cold
// resets interleaved with transmits, T=1 starting afresh after each reset.
#include <utility>

#include "conformance/cases.h"
#include "harness/link_trace.h"
#include "usb/usb_bus.h"

namespace qv::conformance {

namespace {

const Bytes kSelectApplication = FromHex("00A4000C025100");
const Bytes kSelectMf = FromHex("00A4000C023F00");

std::string StateName(ULONG state) {
    constexpr std::string_view kNames[] = {"SCARD_UNKNOWN",  "SCARD_ABSENT",     "SCARD_PRESENT", "SCARD_SWALLOWED",
                                           "SCARD_POWERED", "SCARD_NEGOTIABLE", "SCARD_SPECIFIC"};
    return state < std::size(kNames) ? std::string(kNames[state]) : std::to_string(state);
}

bool StateIs(CaseContext& context, ULONG wanted, const std::string& when) {
    const ULONG state = context.Bed().State();
    return context.Expect(state == wanted, when + ": " + StateName(state) + ", expected " + StateName(wanted));
}

void NewCardSequence(CaseContext& context) {
    ConformanceBed& bed = context.Bed();
    const std::size_t model = bed.AddModel(nullptr);
    if (!context.ExpectStatus(bed.Attach(model), STATUS_SUCCESS, "the reader plugged, started and opened")) return;
    bed.Advance(kPollSettleMs);
    if (!StateIs(context, SCARD_ABSENT, "the empty reader")) return;
    harness::AsyncRequest& present = bed.Machine().SendAsync(bed.Current(), IOCTL_SMARTCARD_IS_PRESENT);
    bed.Advance(500);
    auto card = CatalogueCard("dual", context.Seed());
    const Bytes atr = static_cast<sim::SimpleCard&>(*card).Options().atr;
    bed.Model(model).InsertCard(std::move(card));
    bed.Advance(kPollSettleMs);
    if (!context.Expect(present.done && present.status == STATUS_SUCCESS, "the insertion wait ended with success")) return;
    bed.Machine().Reap();
    if (!StateIs(context, SCARD_PRESENT, "the new card")) return;
    Bytes answer;
    if (!context.ExpectStatus(bed.Power(SCARD_COLD_RESET, &answer), STATUS_SUCCESS, "the cold reset")) return;
    context.Expect(answer == atr, "the reset returned the card's ATR, got " + Hex(answer));
    NTSTATUS status = STATUS_UNSUCCESSFUL;
    const Bytes attribute = bed.Attribute(SCARD_ATTR_ATR_STRING, &status);
    context.Expect(NT_SUCCESS(status) && attribute == atr, "SCARD_ATTR_ATR_STRING is the ATR, got " + Hex(attribute));
    if (!StateIs(context, SCARD_NEGOTIABLE, "after the reset")) return;
    ULONG chosen = 0;
    if (!context.ExpectStatus(bed.Protocol(SCARD_PROTOCOL_T0 | SCARD_PROTOCOL_T1, &chosen), STATUS_SUCCESS,
                              "the protocol"))
        return;
    if (!StateIs(context, SCARD_SPECIFIC, "after the protocol")) return;
    const Bytes current = bed.Attribute(SCARD_ATTR_CURRENT_PROTOCOL_TYPE, &status);
    context.Expect(NT_SUCCESS(status) && current.size() == sizeof(ULONG) && current[0] == chosen,
                   "SCARD_ATTR_CURRENT_PROTOCOL_TYPE is the protocol chosen, got " + Hex(current));
    const TransmitOutcome sent = bed.Transmit(kSelectApplication);
    if (!context.ExpectStatus(sent.status, STATUS_SUCCESS, "the transmit")) return;
    context.Expect(sent.sw == sim::kSwOk, "SELECT answered " + Hex(sent.response));
    harness::AsyncRequest& absent = bed.Machine().SendAsync(bed.Current(), IOCTL_SMARTCARD_IS_ABSENT);
    bed.Advance(500);
    if (!context.Expect(!absent.done, "the removal wait is pending while the card is in")) return;
    bed.Model(model).RemoveCard();
    bed.Advance(kPollAfterTransmitMs);
    context.Expect(absent.done && absent.status == STATUS_SUCCESS, "the removal wait ended with success");
    bed.Machine().Reap();
    StateIs(context, SCARD_ABSENT, "after the removal");
    bed.Attribute(SCARD_ATTR_ATR_STRING, &status);
    context.Expect(!NT_SUCCESS(status), "the ATR is forgotten with the card");
}

// Counts the blocks the host sends during one call, so that a transmit that
// needed error recovery (a T=1 sequence that did not start afresh) shows.
class BlockCounter {
  public:
    explicit BlockCounter(ConformanceBed& bed) : bed_(bed) {
        bed.Machine().Bus().SetObserver([this](const usb::TransferEvent& event) {
            if (event.kind == usb::TransferKind::Out && event.status == USBD_STATUS_SUCCESS && joiner_.Add(event.data))
                ++blocks_;
        });
    }
    ~BlockCounter() { bed_.Machine().Bus().SetObserver({}); }
    unsigned Take() { return std::exchange(blocks_, 0); }

  private:
    ConformanceBed& bed_;
    harness::PacketJoiner joiner_;
    unsigned blocks_ = 0;
};

void ResetPatterns(CaseContext& context) {
    ConformanceBed& bed = context.Bed();
    const std::size_t model = bed.AddModel(CatalogueCard("dual", context.Seed()));
    if (!context.ExpectStatus(bed.Attach(model), STATUS_SUCCESS, "the reader plugged, started and opened")) return;
    bed.Advance(kPollSettleMs);
    BlockCounter counter(bed);
    struct Step {
        ULONG reset;   // SCARD_COLD_RESET or SCARD_WARM_RESET
        ULONG protocol;
        int transmits; // odd counts leave the T=1 sequence bit at 1
    };
    constexpr Step kSteps[] = {
        {SCARD_COLD_RESET, SCARD_PROTOCOL_T1, 3}, {SCARD_WARM_RESET, SCARD_PROTOCOL_T1, 1},
        {SCARD_WARM_RESET, SCARD_PROTOCOL_T1, 2}, {SCARD_COLD_RESET, SCARD_PROTOCOL_T0, 3},
        {SCARD_WARM_RESET, SCARD_PROTOCOL_T1, 3}, {SCARD_COLD_RESET, SCARD_PROTOCOL_T1, 1},
        {SCARD_WARM_RESET, SCARD_PROTOCOL_T0, 1},
    };
    constexpr unsigned kFirstExchangeBlocks = 2;
    int index = 0;
    for (const Step& step : kSteps) {
        ++index;
        const std::string when = "step " + std::to_string(index) + " (" +
                                 (step.reset == SCARD_COLD_RESET ? "cold" : "warm") + " reset, " +
                                 (step.protocol == SCARD_PROTOCOL_T1 ? "T=1" : "T=0") + ")";
        if (!context.ExpectStatus(bed.Power(step.reset), STATUS_SUCCESS, when + ": the reset")) return;
        if (!StateIs(context, SCARD_NEGOTIABLE, when + ": after the reset")) return;
        // Before a protocol is chosen again, no transmit reaches the card.
        const TransmitOutcome early = bed.Transmit(kSelectApplication);
        context.Expect(!NT_SUCCESS(early.status), when + ": a transmit before the protocol is refused, got " +
                                                      StatusText(early.status));
        if (!context.ExpectStatus(bed.Protocol(step.protocol), STATUS_SUCCESS, when + ": the protocol")) return;
        counter.Take();
        for (int i = 0; i < step.transmits; ++i) {
            const TransmitOutcome sent = bed.Transmit(kSelectMf);
            if (!context.ExpectStatus(sent.status, STATUS_SUCCESS, when + ": transmit " + std::to_string(i + 1)))
                return;
            if (!context.Expect(sent.sw == sim::kSwOk, when + ": SELECT answered " + Hex(sent.response))) return;
            const unsigned blocks = counter.Take();
            if (step.protocol != SCARD_PROTOCOL_T1) continue;
            // A T=1 SELECT is one block when nothing needs repair; the first
            // after a reset also carries the host's S(IFS request). More
            // means error recovery: a sequence that did not start afresh.
            const unsigned allowed = i == 0 ? kFirstExchangeBlocks : 1;
            if (!context.Expect(blocks <= allowed, when + ": transmit " + std::to_string(i + 1) + " took " +
                                                       std::to_string(blocks) + " blocks, at most " +
                                                       std::to_string(allowed) + " without error recovery"))
                return;
        }
    }
    if (!context.ExpectStatus(bed.Power(SCARD_POWER_DOWN), STATUS_SUCCESS, "the power down")) return;
    const ULONG state = bed.State();
    context.Expect(state == SCARD_SWALLOWED || state == SCARD_PRESENT,
                   "after the power down the card is present and unpowered, " + StateName(state));
    const TransmitOutcome after = bed.Transmit(kSelectApplication);
    context.Expect(!NT_SUCCESS(after.status), "a transmit to an unpowered card is refused, got " +
                                                  StatusText(after.status));
}

} // namespace

void AddResourceManagerCases(std::vector<ConformanceCase>& cases) {
    constexpr std::string_view kPart = "resource manager";
    cases.push_back({kPart, "new card: wait, power, protocol, transmit, removal", &NewCardSequence});
    cases.push_back({kPart, "warm and cold resets between transmits", &ResetPatterns});
}

} // namespace qv::conformance
