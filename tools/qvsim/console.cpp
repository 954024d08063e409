#include "console.h"

#include <unistd.h>

#include <fstream>
#include <iostream>
#include <string>

#include "qvsim/console/link_console.h"

namespace qvsim {

namespace {

qv::harness::ConsoleOptions ConsoleOptionsFrom(const Options& options, std::uint64_t seed, bool trace) {
    qv::harness::ConsoleOptions console;
    console.seed = seed;
    console.trace = trace;
    console.model = qv::sim::ModelByName(options.model).value_or(qv::sim::ReaderModel::Qv38N);
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

} // namespace qvsim
