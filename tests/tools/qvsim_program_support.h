// Runs the built qvsim program for the tests of its modes: arguments, a
// file for standard input, and what it printed and returned.
#pragma once

#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include <sys/wait.h>
#include <unistd.h>

namespace qv::test {

struct ProgramRun {
    std::string out;
    int status = -1;
    std::vector<std::string> Lines() const {
        std::vector<std::string> lines;
        std::istringstream in(out);
        std::string line;
        while (std::getline(in, line)) lines.push_back(line);
        return lines;
    }
    bool Has(const std::string& text) const { return out.find(text) != std::string::npos; }
};

// A file of this test's own (ctest runs tests as separate processes at once).
inline std::string TestFile(const std::string& suffix, const std::string& text) {
    const auto* test = ::testing::UnitTest::GetInstance()->current_test_info();
    const std::string path =
        ::testing::TempDir() + "qvsim_" + test->name() + "_" + std::to_string(getpid()) + "_" + suffix;
    std::ofstream(path) << text;
    return path;
}

// Runs qvsim with the arguments; input (if any) on standard input. With
// errors, standard error is caught after standard output, else dropped (a
// sanitizer build writes its notes there).
inline ProgramRun Qvsim(const std::string& arguments, const std::string& input = {}, bool errors = false) {
    std::string command = std::string(QVSIM_PATH) + " " + arguments;
    command += " < " + (input.empty() ? std::string("/dev/null") : TestFile("stdin.txt", input));
    command += errors ? " 2>&1" : " 2>/dev/null";
    ProgramRun run;
    FILE* pipe = popen(command.c_str(), "r");
    if (pipe == nullptr) return run;
    char buffer[4096];
    std::size_t n = 0;
    while ((n = fread(buffer, 1, sizeof buffer, pipe)) > 0) run.out.append(buffer, n);
    const int status = pclose(pipe);
    run.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return run;
}

} // namespace qv::test
