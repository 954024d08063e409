// One failing test must not bury the tests after it. The driver's unit
// numbers are data of the whole process; a machine stopped by a bug check
// never removes its readers, so before each load of the driver started from
// a fresh image, the next tests were refused their readers
// (STATUS_INSUFFICIENT_RESOURCES) and the binary crashed in a test bed that
// could not add its device. Shown on a run of this binary of its own, in
// which this test plays the failure.
#include <gtest/gtest.h>

#include <array>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <set>
#include <sstream>
#include <string>

#include <sys/wait.h>

#include "cards/card_catalogue.h"
#include "harness/reader_machine.h"
#include "usb_reader.h"

namespace qv::test {
namespace {

// MANUALLY_INITIATED_CRASH, the code of a bug check asked for on purpose.
constexpr ULONG kManualCrash = 0xE2;
constexpr const char* kChildVariable = "QV_ISOLATION_CHILD";
constexpr const char* kSelf = "TestIsolation.AFailureThatLeavesUnitsTakenBuriesNoLaterTest";
// Tests that need all four unit numbers, or that cannot go on without a
// device of their own.
constexpr const char* kLater =
    "AddDevice.FifthReaderIsRefusedAndAFreedUnitIsReused:LinkExchange.*:Reader/ConformanceSuite.Case/SeveralReaders_*";

// In the child run: four readers plugged, then the machine stops with a bug
// check, as an unexpected one would stop it; the test fails.
void FailWithFourReadersIn() {
    harness::ReaderMachine machine(MachineConfig{});
    std::array<std::unique_ptr<sim::UsbReader>, 4> readers;
    const RunResult run = machine.Run([&] {
        for (auto& reader : readers) {
            reader = std::make_unique<sim::UsbReader>(sim::ReaderOptions{}, sim::MakeCard("dual", 1));
            machine.Plug(*reader);
        }
        KeBugCheckEx(kManualCrash, 0, 0, 0, 0);
    });
    EXPECT_TRUE(run.Ok()) << "the failure this run is about";
}

TEST(TestIsolation, AFailureThatLeavesUnitsTakenBuriesNoLaterTest) {
    if (std::getenv(kChildVariable) != nullptr) return FailWithFourReadersIn();

    // Repeated, so that every later test runs after the failure whatever
    // the order the binary runs them in.
    const std::string self = std::filesystem::read_symlink("/proc/self/exe").string();
    const std::string command = std::string(kChildVariable) + "=1 " + self + " --gtest_brief=1 --gtest_repeat=2" +
                                " --gtest_filter='" + kSelf + ":" + kLater + "' 2>&1";
    FILE* pipe = popen(command.c_str(), "r");
    ASSERT_NE(pipe, nullptr);
    std::string out;
    std::array<char, 4096> buffer;
    std::size_t n = 0;
    while ((n = fread(buffer.data(), 1, buffer.size(), pipe)) > 0) out.append(buffer.data(), n);
    const int status = pclose(pipe);

    ASSERT_TRUE(WIFEXITED(status)) << "the binary crashed\n" << out;
    EXPECT_EQ(WEXITSTATUS(status), 1) << out;
    std::set<std::string> failed;
    std::istringstream lines(out);
    for (std::string line; std::getline(lines, line);) {
        const std::string mark = "[  FAILED  ] ";
        if (line.rfind(mark, 0) == 0 && line.find(" (") != std::string::npos)
            failed.insert(line.substr(mark.size(), line.find(" (") - mark.size()));
    }
    EXPECT_EQ(failed, std::set<std::string>{kSelf}) << out;
    EXPECT_NE(out.find("the test left reader unit number(s) 0 1 2 3 taken"), std::string::npos) << out;
    EXPECT_EQ(out.find("STATUS_INSUFFICIENT_RESOURCES"), std::string::npos) << out;
}

} // namespace
} // namespace qv::test
