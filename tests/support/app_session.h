// Runs the application's console on a script and returns what it printed,
// for the console tests; the session must start and end cleanly.
#pragma once

#include <gtest/gtest.h>

#include <initializer_list>
#include <sstream>
#include <string>

#include "qvsim/console/app_console.h"

namespace qv::test {

inline std::string AppSession(std::initializer_list<const char*> lines, harness::AppConsoleOptions options = {}) {
    std::ostringstream out;
    harness::AppConsole console(options, out);
    EXPECT_TRUE(console.Start()) << out.str();
    for (const char* line : lines) console.Execute(line);
    EXPECT_EQ(console.Finish(), 0) << out.str();
    return out.str();
}

inline bool Has(const std::string& out, const std::string& text) { return out.find(text) != std::string::npos; }

} // namespace qv::test
