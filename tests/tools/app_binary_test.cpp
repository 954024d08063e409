// qvsim app run as a program: options, a script file, the end lines and
// the exit status.
#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <string>

#include <unistd.h>

namespace {

struct Outcome {
    std::string out;
    int status = -1;
};

Outcome RunQvsim(const std::string& arguments, const std::string& script = {}) {
    std::string command = std::string(QVSIM_PATH) + " " + arguments;
    std::string scriptPath;
    if (!script.empty()) {
        // ctest runs the tests as separate processes at once: one file each.
        const auto* test = ::testing::UnitTest::GetInstance()->current_test_info();
        scriptPath = ::testing::TempDir() + "qvsim_app_" + test->name() + "_" + std::to_string(getpid()) + ".txt";
        std::ofstream(scriptPath) << script;
        command += " --script " + scriptPath;
    }
    Outcome outcome;
    // Standard output only: the results and end lines (a sanitizer build
    // writes its notes to standard error).
    FILE* pipe = popen((command + " 2>/dev/null").c_str(), "r");
    if (pipe == nullptr) return outcome;
    char buffer[4096];
    std::size_t n = 0;
    while ((n = fread(buffer, 1, sizeof buffer, pipe)) > 0) outcome.out.append(buffer, n);
    const int status = pclose(pipe);
    outcome.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return outcome;
}

bool Has(const std::string& out, const std::string& text) { return out.find(text) != std::string::npos; }

TEST(QvsimApp, ScriptWithCardOptionAndTime) {
    const Outcome o = RunQvsim("app --seed 5 --card t0 --time", "power cold\nstate\n# done\n");
    EXPECT_EQ(o.status, 0) << o.out;
    EXPECT_TRUE(Has(o.out, "] power cold: STATUS_SUCCESS (0x00000000) ATR 3B ")) << o.out;
    EXPECT_TRUE(Has(o.out, "qvsim app: clean, virtual time ")) << o.out;
    EXPECT_TRUE(Has(o.out, "qvsim: digest ")) << o.out;
    EXPECT_EQ(RunQvsim("app --seed 5 --card t0 --time", "power cold\nstate\n# done\n").out, o.out)
        << "one seed, one run";
}

TEST(QvsimApp, AtrAndNoCardOptions) {
    const Outcome atr = RunQvsim("app --seed 1 --atr 3B021450", "power cold\n");
    EXPECT_TRUE(Has(atr.out, "power cold: STATUS_SUCCESS (0x00000000) ATR 3B 02 14 50\n")) << atr.out;
    const Outcome none = RunQvsim("app --seed 1 --no-card", "state\npower cold\n");
    EXPECT_EQ(none.status, 0) << none.out;
    EXPECT_TRUE(Has(none.out, "state 1 SCARD_ABSENT")) << none.out;
    EXPECT_NE(RunQvsim("app --card nosuch", "state\n").status, 0);
    EXPECT_NE(RunQvsim("app --atr 3B0", "state\n").status, 0);
}

TEST(QvsimApp, DemoPowersACardWithTheTrace) {
    const Outcome o = RunQvsim("demo --seed 7 --trace");
    EXPECT_EQ(o.status, 0) << o.out;
    EXPECT_TRUE(Has(o.out, "power cold: STATUS_SUCCESS (0x00000000) ATR ")) << o.out;
    EXPECT_TRUE(Has(o.out, "blk> NAD 12 PCB ")) << o.out;
    EXPECT_TRUE(Has(o.out, "protocol: STATUS_SUCCESS (0x00000000) protocol T1\n")) << o.out;
    EXPECT_TRUE(Has(o.out, "blk> NAD 00 PCB 00 I-block")) << "a T=1 block for the card\n" << o.out;
    // The READ BINARY of 16 bytes answers 16 bytes and 90 00: 18 bytes of
    // three characters each behind the status.
    std::size_t reads = 0;
    const std::string read = "> apdu 00B0000010\n";
    const std::string success = "\napdu: STATUS_SUCCESS (0x00000000) ";
    for (std::size_t at = o.out.find(read); at != std::string::npos; at = o.out.find(read, at + 1)) {
        const std::size_t result = o.out.find(success, at);
        if (result == std::string::npos) break;
        const std::size_t begin = result + success.size();
        const std::string line = o.out.substr(begin, o.out.find('\n', begin) - begin);
        if (line.size() == 18 * 3 - 1 + std::string(" SW 9000").size() && line.ends_with("90 00 SW 9000")) ++reads;
    }
    EXPECT_EQ(reads, 1u) << "READ BINARY under T=1\n" << o.out;
    EXPECT_EQ(RunQvsim("demo --seed 7 --trace").out, o.out) << "one seed, one run";
}

} // namespace
