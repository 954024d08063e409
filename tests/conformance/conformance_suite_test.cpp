// The reader conformance suite under CTest: every case of tools/conformance/
// is one test, run under the seeds of QV_SEEDS (three by default). A known
// deviation passes and says why; a failing case names its seed.
#include <gtest/gtest.h>

#include <cstdio>
#include <set>
#include <string>

#include "conformance/conformance.h"
#include "harness/seeds.h"

namespace qv::conformance {
namespace {

class ConformanceSuite : public testing::TestWithParam<const ConformanceCase*> {};

TEST_P(ConformanceSuite, Case) {
    const ConformanceCase& which = *GetParam();
    const CaseResult result = RunCase(which, harness::RunSeeds(3));
    EXPECT_NE(result.verdict, Verdict::Fail) << which.part << " / " << which.name << ": " << result.reason;
    if (result.verdict == Verdict::KnownDeviation) std::printf("known deviation: %s\n", result.reason.c_str());
}

std::vector<const ConformanceCase*> AllCases() {
    std::vector<const ConformanceCase*> cases;
    for (const ConformanceCase& which : Cases()) cases.push_back(&which);
    return cases;
}

// "insertion and removal" / "card pulled during a reset" becomes
// InsertionAndRemoval_CardPulledDuringAReset.
std::string CaseName(const testing::TestParamInfo<const ConformanceCase*>& info) {
    std::string name;
    auto words = [&name](std::string_view text) {
        bool upper = true;
        for (char c : text) {
            const bool alnum = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9');
            if (!alnum) {
                upper = true;
                continue;
            }
            name += upper && c >= 'a' && c <= 'z' ? static_cast<char>(c - 'a' + 'A') : c;
            upper = false;
        }
    };
    words(info.param->part);
    name += '_';
    words(info.param->name);
    return name;
}

INSTANTIATE_TEST_SUITE_P(Reader, ConformanceSuite, testing::ValuesIn(AllCases()), CaseName);

TEST(ConformanceSuite, CaseNamesAreUnique) {
    std::set<std::string> seen;
    for (const ConformanceCase& which : Cases()) {
        EXPECT_TRUE(seen.insert(std::string(which.part) + "/" + std::string(which.name)).second) << which.name;
    }
    EXPECT_GE(Cases().size(), 35u);
}

} // namespace
} // namespace qv::conformance
