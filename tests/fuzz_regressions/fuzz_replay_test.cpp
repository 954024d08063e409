// The fuzzers' inputs replayed in the ordinary test suite: every seed of
// every target's corpus (fuzz/corpus/<target>/) and every input that once
// made a fuzzer find a fault (tests/fuzz_regressions/<target>/), through the
// same entry functions the fuzzers run, compiled here without libFuzzer.
// A finding fixed stays fixed; a seed that stops running clean is a fault
// too.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "fuzz_targets.h"

namespace qv::test {
namespace {

using EntryFunction = fuzz::Verdict (*)(fuzz::Input);

struct Target {
    const char* name;
    EntryFunction entry;
};

const Target kTargets[] = {
    {"atr", &fuzz::Fuzz_atr},           {"t1", &fuzz::Fuzz_t1},         {"reader", &fuzz::Fuzz_reader},
    {"descriptors", &fuzz::Fuzz_descriptors}, {"transmit", &fuzz::Fuzz_transmit}, {"ioctl", &fuzz::Fuzz_ioctl},
    {"scenario", &fuzz::Fuzz_scenario},
};

std::vector<std::filesystem::path> FilesIn(const std::filesystem::path& folder) {
    std::vector<std::filesystem::path> files;
    if (!std::filesystem::is_directory(folder)) return files;
    for (const auto& entry : std::filesystem::directory_iterator(folder)) {
        if (entry.is_regular_file()) files.push_back(entry.path());
    }
    std::sort(files.begin(), files.end());
    return files;
}

std::vector<std::uint8_t> Contents(const std::filesystem::path& file) {
    std::ifstream stream(file, std::ios::binary);
    return {std::istreambuf_iterator<char>(stream), std::istreambuf_iterator<char>()};
}

std::size_t Replay(const Target& target, const std::filesystem::path& folder) {
    std::size_t replayed = 0;
    for (const auto& file : FilesIn(folder)) {
        const std::vector<std::uint8_t> input = Contents(file);
        const fuzz::Verdict verdict = target.entry(input);
        EXPECT_TRUE(verdict.ok) << target.name << " " << file.filename().string() << "\n" << verdict.report;
        ++replayed;
    }
    return replayed;
}

class FuzzReplay : public ::testing::TestWithParam<Target> {};

TEST_P(FuzzReplay, EverySeedRunsClean) {
    const std::filesystem::path root = QV_FUZZ_SOURCE_DIR;
    const std::size_t seeds = Replay(GetParam(), root / "fuzz" / "corpus" / GetParam().name);
    EXPECT_GT(seeds, 0u) << "no seed corpus for " << GetParam().name;
}

TEST_P(FuzzReplay, EveryPastFindingStaysFixed) {
    const std::filesystem::path root = QV_FUZZ_SOURCE_DIR;
    (void)Replay(GetParam(), root / "tests" / "fuzz_regressions" / GetParam().name);
}

// An input cut short anywhere still decodes to a run, and runs clean.
TEST_P(FuzzReplay, EmptyAndOneByteInputsRunClean) {
    const fuzz::Verdict empty = GetParam().entry({});
    EXPECT_TRUE(empty.ok) << empty.report;
    for (unsigned byte : {0x00u, 0x3Bu, 0xFFu}) {
        const std::uint8_t one[] = {static_cast<std::uint8_t>(byte)};
        const fuzz::Verdict verdict = GetParam().entry(fuzz::Input(one, 1));
        EXPECT_TRUE(verdict.ok) << "byte " << byte << "\n" << verdict.report;
    }
}

INSTANTIATE_TEST_SUITE_P(Targets, FuzzReplay, ::testing::ValuesIn(kTargets),
                         [](const ::testing::TestParamInfo<Target>& info) { return std::string(info.param.name); });

} // namespace
} // namespace qv::test
