// Small helpers shared by the tests that drive a whole reader machine.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "harness/reader_machine.h"
#include "support/kernel_run.h"

namespace qv::test {

// The machine's own tear-down and the unload audit. A machine a bug check
// stopped cannot run again; its report has been given already.
inline void ExpectCleanShutdown(harness::ReaderMachine& machine, const std::string& where) {
    if (machine.Machine().BugChecked()) return;
    RunResult end = machine.Shutdown();
    EXPECT_TRUE(end.Ok()) << where << "\n" << end.report;
}

// A control code's ULONG input as the bytes an application sends.
inline std::vector<std::uint8_t> AsInput(ULONG value) {
    std::vector<std::uint8_t> bytes(sizeof value);
    std::memcpy(bytes.data(), &value, sizeof value);
    return bytes;
}

// Lets virtual time pass on the calling simulated thread.
inline void Pause(std::int64_t milliseconds) {
    LARGE_INTEGER interval = Relative(milliseconds);
    KeDelayExecutionThread(KernelMode, FALSE, &interval);
}

} // namespace qv::test
