// Command-line options of qvsim, parsed with CLI11: one subcommand per mode,
// each with its own --help.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace CLI {
class App;
}

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
    // qvsim app: an APDU script in pcsc-tools' scriptor format ("-" for
    // standard input) and the protocol it asks for (T=0, T=1 or either).
    std::optional<std::string> scriptor;
    std::string protocol;
    // Every USB transfer of the run into this capture file.
    std::optional<std::string> pcap;
    // A scenario by name ("list" names them); app and sweep.
    std::optional<std::string> scenario;
    // Reader and card faults drawn from the seed (scenarios and sweep).
    bool faults = false;
    // The faults to draw from, comma-separated (the ridden-out set when empty).
    std::string faultSet;
    // qvsim sweep: the seeds ("1-10000", "3,17"), worker processes (0: one
    // per core) and whether to draw a progress bar (a terminal only).
    std::string seeds = "1-100";
    unsigned jobs = 0;
    bool verbose = false;
    // qvsim sweep: run only shard "I/N" of the seeds, write the results as a
    // JSON document (a path, or "-" for standard output), or merge shards'
    // documents instead of running.
    std::optional<std::string> shard;
    std::optional<std::string> json;
    std::vector<std::string> mergeFiles;
    // qvsim explore: list the scenarios, the preemption bound, a cap on the
    // schedules, and a failing schedule's token to replay with its trace.
    bool list = false;
    unsigned preemptions = 2;
    std::uint64_t maxSchedules = 0;
    std::optional<std::string> replay;
    // A mode this parser does not know (one added by a hook in main.cpp,
    // say): its arguments, for it to parse itself.
    std::vector<std::string> arguments;
};

// Parses argv into options. Returns an exit code when qvsim should end at
// once: 0 after --help, 2 after a mistake (the message printed); nothing
// when the mode should run. Without a mode, qvsim runs the demo.
std::optional<int> ParseCommandLine(int argc, char** argv, Options& options);

} // namespace qvsim
