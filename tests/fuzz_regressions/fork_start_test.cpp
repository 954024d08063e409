// The machine-level fuzzers run each input from a machine booted once per
// boot key and forked at the input's start point (fuzz/fork_starts.h). Such
// a run must be the run a fresh boot gives: the same verdict and the same
// digest, for every input of the committed corpora. The fork server's own
// duties (isolation between inputs, a dying run reported as a finding, a run
// that ends before its start point, the bound on start processes) are shown
// on small targets of the test's own.
#include <gtest/gtest.h>

#include <algorithm>
#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "fork_starts.h"
#include "fuzz_input.h"

namespace qv::test {
namespace {

std::vector<std::vector<std::uint8_t>> Corpus(std::string_view target) {
    const std::filesystem::path folder = std::filesystem::path(QV_FUZZ_SOURCE_DIR) / "fuzz" / "corpus" / target;
    std::vector<std::filesystem::path> files;
    for (const auto& entry : std::filesystem::directory_iterator(folder)) {
        if (entry.is_regular_file()) files.push_back(entry.path());
    }
    std::sort(files.begin(), files.end());
    std::vector<std::vector<std::uint8_t>> inputs;
    for (const auto& file : files) {
        std::ifstream stream(file, std::ios::binary);
        inputs.emplace_back(std::istreambuf_iterator<char>(stream), std::istreambuf_iterator<char>());
    }
    return inputs;
}

class ForkedStart : public ::testing::TestWithParam<const char*> {
  protected:
    void SetUp() override {
#if defined(__SANITIZE_THREAD__)
        // In a forked run the race detector finds the input's bytes, which
        // the start point writes, unordered with the simulated reader's
        // reads of them, though the host runs one simulated thread at a
        // time. The fuzzers fork under AddressSanitizer only; the plain and
        // address builds run this comparison.
        GTEST_SKIP() << "forked runs are not modelled by the race detector";
#endif
    }
};

// Every input of the target's corpus, in the corpus's order, so that most of
// them start from a machine an earlier input's key booted.
TEST_P(ForkedStart, RunsEveryCorpusInputAsAFreshBootDoes) {
    const fuzz::MachineTarget* target = fuzz::FindMachineTarget(GetParam());
    ASSERT_NE(target, nullptr);
    const auto inputs = Corpus(GetParam());
    ASSERT_FALSE(inputs.empty());
    fuzz::ForkStarts starts(*target);
    for (std::size_t i = 0; i < inputs.size(); ++i) {
        const fuzz::Verdict fresh = target->run(inputs[i], nullptr);
        const fuzz::Verdict forked = starts.Run(inputs[i]);
        EXPECT_EQ(forked.ok, fresh.ok) << GetParam() << " input " << i << "\n" << forked.report;
        EXPECT_EQ(forked.digest, fresh.digest) << GetParam() << " input " << i;
        EXPECT_EQ(forked.report, fresh.report) << GetParam() << " input " << i;
    }
    EXPECT_GT(starts.Reused(), 0u);
    EXPECT_LT(starts.Booted(), inputs.size());
}

INSTANTIATE_TEST_SUITE_P(Targets, ForkedStart,
                         ::testing::Values("reader", "descriptors", "ioctl", "transmit", "scenario"),
                         [](const ::testing::TestParamInfo<const char*>& info) { return std::string(info.param); });

// A target of the test's own: its boot key is the input's first byte, and
// its boot leaves a record on the run's stack that each run then changes,
// so that a run that saw another run's changes would say so in its digest.
// The second byte chooses how the run goes on from its start point: 0
// normally, 2 to crash, 3 with a finding; key 0xEE ends before the start
// point.
fuzz::Verdict RunToy(fuzz::Input input, fuzz::StartPoint* start) {
    fuzz::FuzzInput in(input);
    const std::uint8_t key = in.Byte();
    if (key == 0xEE) return fuzz::Verdict{true, {}, 0xEE};
    int booted = key * 10;
    fuzz::Reach(start, in);
    const std::uint8_t how = in.Byte();
    if (how == 2) std::abort();
    fuzz::Verdict verdict;
    verdict.digest = static_cast<std::uint64_t>(booted) * 1000 + in.Byte();
    booted += 1;
    if (how == 3) verdict = fuzz::Failed("finding " + std::to_string(key));
    return verdict;
}

std::string ToyKey(fuzz::Input input) {
    fuzz::FuzzInput in(input);
    return fuzz::BootKeyOf({in.Byte()});
}

constexpr fuzz::MachineTarget kToy{"toy", &RunToy, &ToyKey};

fuzz::Verdict Toy3(fuzz::ForkStarts& starts, std::uint8_t key, std::uint8_t how, std::uint8_t value) {
    const std::uint8_t input[] = {key, how, value};
    return starts.Run(input);
}

TEST(ForkStarts, EachInputStartsFromTheBootAloneAndKeysBootOnce) {
    fuzz::ForkStarts starts(kToy);
    for (int round = 0; round < 3; ++round) {
        EXPECT_EQ(Toy3(starts, 4, 0, 7).digest, 40007u);
        EXPECT_EQ(Toy3(starts, 5, 0, 9).digest, 50009u);
    }
    EXPECT_EQ(starts.Booted(), 2u);
    EXPECT_EQ(starts.Reused(), 4u);
}

TEST(ForkStarts, ARunThatDiesOrFindsAFaultIsAFindingAndTheStartServesOn) {
    fuzz::ForkStarts starts(kToy);
    const fuzz::Verdict died = Toy3(starts, 4, 2, 0);
    EXPECT_FALSE(died.ok);
    EXPECT_NE(died.report.find("signal " + std::to_string(SIGABRT)), std::string::npos) << died.report;
    const fuzz::Verdict found = Toy3(starts, 4, 3, 0);
    EXPECT_FALSE(found.ok);
    EXPECT_EQ(found.report, "finding 4");
    EXPECT_TRUE(Toy3(starts, 4, 0, 1).ok);
    EXPECT_EQ(starts.Booted(), 1u);
}

TEST(ForkStarts, ARunEndingBeforeItsStartPointIsReportedAndNotKept) {
    fuzz::ForkStarts starts(kToy);
    for (int round = 0; round < 2; ++round) {
        const fuzz::Verdict ended = Toy3(starts, 0xEE, 0, 0);
        EXPECT_TRUE(ended.ok);
        EXPECT_EQ(ended.digest, 0xEEu);
    }
    EXPECT_EQ(starts.Booted(), 2u);
    EXPECT_EQ(starts.Reused(), 0u);
}

TEST(ForkStarts, KeepsAtMostItsCapacityOfStartsTheLeastRecentlyUsedGoingFirst) {
    fuzz::ForkStarts starts(kToy, 2);
    (void)Toy3(starts, 1, 0, 0);
    (void)Toy3(starts, 2, 0, 0);
    (void)Toy3(starts, 1, 0, 0); // 1 is now the more recently used
    (void)Toy3(starts, 3, 0, 0); // 2 gives way
    EXPECT_EQ(starts.Booted(), 3u);
    EXPECT_EQ(Toy3(starts, 1, 0, 5).digest, 10005u);
    EXPECT_EQ(starts.Booted(), 3u);
    EXPECT_EQ(Toy3(starts, 2, 0, 5).digest, 20005u);
    EXPECT_EQ(starts.Booted(), 4u);
}

} // namespace
} // namespace qv::test
