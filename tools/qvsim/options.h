// Command-line options of qvsim.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

namespace qvsim {

struct Options {
    std::string command = "demo";
    std::optional<std::uint64_t> seed;
    bool realTime = false;
    bool trace = false;
    std::string model = "QV-38N";
    std::optional<std::string> script;
    // The simulated reader's endpoint layout: standard, swapped or small.
    std::string pipes = "standard";
    // qvsim app: the card in the slot at start, and line time stamps.
    std::string card = "dual";
    std::optional<std::string> atr;
    bool noCard = false;
    bool time = false;
    bool help = false;
};

// Parses argv; on a mistake returns nothing and fills error.
std::optional<Options> ParseOptions(int argc, char** argv, std::string& error);
std::string Usage();

} // namespace qvsim
