// Runs the cases and prints the table.
#include <algorithm>
#include <cstdio>

#include "conformance/conformance_bed.h"
#include "harness/seeds.h"

namespace qv::conformance {

namespace {

std::string SeedList(std::span<const std::uint64_t> seeds) {
    if (seeds.empty()) return "none";
    const bool range = std::adjacent_find(seeds.begin(), seeds.end(), [](auto a, auto b) { return b != a + 1; }) ==
                       seeds.end();
    if (range && seeds.size() > 2) return std::to_string(seeds.front()) + "-" + std::to_string(seeds.back());
    std::string text;
    for (std::uint64_t seed : seeds) text += (text.empty() ? "" : ",") + std::to_string(seed);
    return text;
}

std::string Padded(std::string_view text, std::size_t width) {
    std::string padded(text);
    if (padded.size() < width) padded.append(width - padded.size(), ' ');
    return padded;
}

std::string Seconds(std::uint64_t ms) {
    char text[32];
    std::snprintf(text, sizeof text, "%llu.%03llu s", static_cast<unsigned long long>(ms / 1000),
                  static_cast<unsigned long long>(ms % 1000));
    return text;
}

} // namespace

std::vector<std::uint64_t> SuiteSeeds() {
    constexpr std::uint64_t kDefaultSeeds = 3;
    return harness::RunSeeds(kDefaultSeeds);
}

std::string_view VerdictName(Verdict verdict) {
    switch (verdict) {
    case Verdict::Pass: return "pass";
    case Verdict::KnownDeviation: return "known deviation";
    case Verdict::Fail: return "FAIL";
    }
    return "?";
}

CaseResult RunCase(const ConformanceCase& which, std::span<const std::uint64_t> seeds) {
    CaseResult result;
    result.which = &which;
    for (std::uint64_t seed : seeds) {
        ConformanceBed bed(seed);
        CaseContext context(bed);
        const RunResult run = bed.Machine().Run([&] { which.run(context); });
        result.virtualMs = std::max<std::uint64_t>(result.virtualMs, run.endTime / kTicksPerMillisecond);
        std::string failure;
        if (!run.Ok()) {
            failure = "the run stopped: " + run.report;
        } else if (context.Failed()) {
            failure = context.Failure();
        } else {
            // The driver must leave nothing behind: the unload audit.
            const RunResult end = bed.Machine().Shutdown();
            if (!end.Ok()) failure = "tear-down: " + end.report;
        }
        if (!failure.empty()) {
            result.verdict = Verdict::Fail;
            result.reason = "seed " + std::to_string(seed) + ": " + failure;
            return result;
        }
        if (!context.Deviation().empty()) {
            result.verdict = Verdict::KnownDeviation;
            result.reason = context.Deviation();
        }
    }
    return result;
}

std::vector<CaseResult> RunSuite(std::span<const std::uint64_t> seeds, std::ostream& out, std::string_view filter) {
    std::vector<CaseResult> results;
    constexpr std::size_t kPartWidth = 22;
    constexpr std::size_t kCaseWidth = 58;
    constexpr std::size_t kResultWidth = 17;
    out << "qvsim conformance: seeds " << SeedList(seeds) << "\n\n";
    out << Padded("part", kPartWidth) << Padded("case", kCaseWidth) << Padded("result", kResultWidth)
        << "virtual time\n";
    for (const ConformanceCase& which : Cases()) {
        if (!filter.empty() && which.part.find(filter) == std::string_view::npos &&
            which.name.find(filter) == std::string_view::npos) {
            continue;
        }
        results.push_back(RunCase(which, seeds));
        const CaseResult& result = results.back();
        out << Padded(which.part, kPartWidth) << Padded(which.name, kCaseWidth)
            << Padded(VerdictName(result.verdict), kResultWidth) << Seconds(result.virtualMs) << "\n" << std::flush;
    }
    std::size_t passed = 0;
    std::size_t deviations = 0;
    std::size_t failed = 0;
    bool heading = false;
    for (const CaseResult& result : results) {
        if (result.verdict == Verdict::Pass) {
            ++passed;
            continue;
        }
        if (!heading) {
            out << "\n";
            heading = true;
        }
        (result.verdict == Verdict::Fail ? failed : deviations) += 1;
        out << VerdictName(result.verdict) << ": " << result.which->part << " / " << result.which->name << ": "
            << result.reason << "\n";
    }
    out << "\nqvsim conformance: " << results.size() << " cases, " << passed << " passed, " << deviations
        << " known deviations, " << failed << " failed\n";
    return results;
}

} // namespace qv::conformance
