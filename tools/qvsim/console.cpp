#include "console.h"

#include <unistd.h>

#include <fstream>
#include <iostream>
#include <string>

#include "harness/link_console.h"

namespace qvsim {

namespace {

constexpr const char* kDemoScript[] = {
    "# reset the link: both sequence bits back to 0, an S(RESYNCH) exchanged",
    "cmd 7",
    "# the driver's start sequence marks the link in step after the reset",
    "linksync 1",
    "state",
    "# read the reader's information (model id and firmware version)",
    "cmd 3",
    "# ask for the card status: data byte 0 bit 0x08 = card in, 0x10 = card active",
    "cmd 2",
    "state",
};

qv::harness::ConsoleOptions ConsoleOptionsFrom(const Options& options, std::uint64_t seed, bool trace) {
    qv::harness::ConsoleOptions console;
    console.seed = seed;
    console.trace = trace;
    console.model = options.model == "QV-39N" ? qv::sim::ReaderModel::Qv39N : qv::sim::ReaderModel::Qv38N;
    console.pipes = qv::sim::PipeLayoutByName(options.pipes).value_or(qv::sim::PipeLayout::Standard);
    return console;
}

} // namespace

int RunConsole(const Options& options, std::uint64_t seed) {
    std::ifstream file;
    if (options.script) {
        file.open(*options.script);
        if (!file) {
            std::cerr << "qvsim: cannot read the script " << *options.script << "\n";
            return 2;
        }
    }
    std::istream& in = options.script ? static_cast<std::istream&>(file) : std::cin;
    const bool interactive = !options.script && isatty(STDIN_FILENO);
    qv::harness::LinkConsole console(ConsoleOptionsFrom(options, seed, options.trace), std::cout);
    if (!console.Start()) {
        console.Finish();
        return 1;
    }
    if (interactive) std::cout << "type 'help' for the commands\n";
    std::string line;
    while (true) {
        if (interactive) std::cout << "qvsim> " << std::flush;
        if (!std::getline(in, line)) break;
        if (!interactive && !line.empty() && line[0] != '#') std::cout << "> " << line << "\n";
        if (!console.Execute(line)) break;
    }
    return console.Finish();
}

int RunConsoleDemo(const Options& options, std::uint64_t seed) {
    qv::harness::LinkConsole console(ConsoleOptionsFrom(options, seed, true), std::cout);
    if (!console.Start()) {
        console.Finish();
        return 1;
    }
    for (const char* line : kDemoScript) {
        std::cout << (line[0] == '#' ? "" : "> ") << line << "\n";
        console.Execute(line);
    }
    return console.Finish();
}

} // namespace qvsim
