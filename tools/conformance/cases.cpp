#include "conformance/cases.h"

#include "cards/card_catalogue.h"

namespace qv::conformance {

namespace {

// Steps of virtual time while a wait is watched: its completion time is
// recorded by the test bed itself, so the step only bounds the overshoot.
constexpr std::uint64_t kWaitStepMs = 50;

std::vector<ConformanceCase> AllCases() {
    std::vector<ConformanceCase> cases;
    AddReaderInterfaceCases(cases);
    AddInsertionRemovalCases(cases);
    AddResourceManagerCases(cases);
    AddTestCardCases(cases);
    AddSuspendResumeCases(cases);
    AddSeveralReaderCases(cases);
    return cases;
}

} // namespace

std::span<const ConformanceCase> Cases() {
    static const std::vector<ConformanceCase> cases = AllCases();
    return cases;
}

std::unique_ptr<sim::Card> CatalogueCard(std::string_view name, std::uint64_t seed) {
    return sim::MakeCard(name, seed);
}

harness::AsyncRequest* WaitFor(ConformanceBed& bed, ULONG code, std::uint64_t limitMs) {
    harness::AsyncRequest& request = bed.Machine().SendAsync(bed.Current(), code);
    const std::uint64_t end = bed.NowMs() + limitMs;
    while (!request.done && bed.NowMs() < end) bed.Advance(kWaitStepMs);
    return &request;
}

} // namespace qv::conformance
