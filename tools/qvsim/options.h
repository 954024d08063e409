// Command-line options of qvsim.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace qvsim {

struct Options {
    std::string command = "demo";
    std::optional<std::uint64_t> seed;
    bool realTime = false;
    bool help = false;
    std::vector<std::string> rest; // what the command itself reads
};

// Parses argv; on a mistake returns nothing and fills error.
std::optional<Options> ParseOptions(int argc, char** argv, std::string& error);
std::string Usage();

} // namespace qvsim
