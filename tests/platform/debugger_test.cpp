// What a driver sends the kernel debugger: debug print, read as Windows
// reads its format and shown to the run's listener outside the digest, and
// a failed NT_ASSERT, which is the bug check Windows gives it.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "support/kernel_run.h"

namespace qv {
namespace {

using test::RunExpectingBugCheck;
using test::RunOk;

// The variadic front a driver puts before vDbgPrintExWithPrefix.
ULONG Print(PCCH Prefix, PCCH Format, ...) {
    va_list arguments;
    va_start(arguments, Format);
    const ULONG status = vDbgPrintExWithPrefix(Prefix, DPFLTR_IHVDRIVER_ID, DPFLTR_ERROR_LEVEL, Format, arguments);
    va_end(arguments);
    return status;
}

struct Shown {
    std::string thread;
    std::string text;
};

TEST(DebugPrint, ReadsTheFormatAsWindowsDoes) {
    Machine machine;
    std::vector<Shown> shown;
    machine.Events().SetListener([&](std::uint64_t, std::string_view thread, std::string_view category,
                                    std::string_view text) {
        if (category == kDebugPrintCategory) shown.push_back({std::string(thread), std::string(text)});
    });
    RunOk(machine, [] {
        // A long is 32 bits on Windows: ULONG and NTSTATUS go as %lu, %lX.
        const ULONG big = 4000000000u;
        const NTSTATUS failure = STATUS_UNSUCCESSFUL;
        const LONG negative = -5;
        EXPECT_EQ(Print("drv0: ", "%lu %lX %08lX %ld\n", big, ULONG{0xBEEF}, failure, negative), STATUS_SUCCESS);
        const ULONGLONG wide = 0x123456789ull;
        Print(nullptr, "%I64X %llu %% %s %c %02X %.3s|\n", wide, wide, "text", 'c', UCHAR{7}, "QV-38N");
        // No newline at the end, or several: one line either way.
        Print("", "plain");
        Print("", "two\n\n");
    });
    ASSERT_EQ(shown.size(), 4u);
    EXPECT_EQ(shown[0].text, "drv0: 4000000000 BEEF C0000001 -5");
    EXPECT_EQ(shown[0].thread, "test");
    EXPECT_EQ(shown[1].text, "123456789 4886718345 % text c 07 QV-|");
    EXPECT_EQ(shown[2].text, "plain");
    EXPECT_EQ(shown[3].text, "two");
}

// The digest is the run's course; what a driver prints is commentary on it.
// A run that prints has the digest of one that does not, whether anyone
// listens or not, so a trace line added to a driver changes no digest.
TEST(DebugPrint, PrintingChangesNoDigest) {
    auto digest = [](bool print, bool listen) {
        Machine machine;
        if (listen) {
            machine.Events().SetListener([](std::uint64_t, std::string_view, std::string_view, std::string_view) {});
        }
        return RunOk(machine, [print] {
                   LARGE_INTEGER pause = test::Relative(5);
                   if (print) Print("drv: ", "before %lu\n", ULONG{1});
                   KeDelayExecutionThread(KernelMode, FALSE, &pause);
                   if (print) Print("drv: ", "after %lu\n", ULONG{2});
               })
            .digest;
    };
    const std::uint64_t silent = digest(false, false);
    EXPECT_EQ(digest(true, false), silent);
    EXPECT_EQ(digest(true, true), silent);
    EXPECT_EQ(digest(false, true), silent);
}

TEST(DriverAssertion, AFailedAssertionIsKmodeExceptionNotHandled) {
    const RunResult result = RunExpectingBugCheck([] { NT_ASSERT(1 + 1 == 3); }, bugcode::KMODE_EXCEPTION_NOT_HANDLED,
                                                  static_cast<ULONG>(STATUS_ASSERTION_FAILURE));
    EXPECT_NE(result.bugCheck.value().parameters[1], 0u) << "the address of the assertion";
    EXPECT_NE(result.report.find("NT_ASSERT(1 + 1 == 3)"), std::string::npos) << result.report;
    EXPECT_NE(result.report.find("debugger_test.cpp:"), std::string::npos) << result.report;
    EXPECT_NE(result.report.find("KMODE_EXCEPTION_NOT_HANDLED"), std::string::npos) << result.report;

    // An assertion that holds costs nothing else.
    Machine machine;
    RunOk(machine, [] { NT_ASSERT(1 + 1 == 2); });
}

} // namespace
} // namespace qv
