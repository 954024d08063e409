#include "options.h"

#include <charconv>
#include <string_view>

namespace qvsim {

namespace {
bool ParseNumber(std::string_view text, std::uint64_t& value) {
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    return error == std::errc() && end == text.data() + text.size();
}
} // namespace

std::string Usage() {
    return "usage: qvsim [demo] [--seed N] [--realtime]\n"
           "\n"
           "  demo         boot the emulated kernel and run a short scenario that shows\n"
           "               threads, events, a mutex, a one-second I/O timer and delays\n"
           "               in virtual time (the default)\n"
           "  --seed N     schedule and faults from seed N (a random seed otherwise);\n"
           "               the same seed gives the same run and the same digest\n"
           "  --realtime   let virtual time follow the wall clock\n"
           "  --help       show this text\n";
}

std::optional<Options> ParseOptions(int argc, char** argv, std::string& error) {
    Options options;
    bool commandSeen = false;
    for (int i = 1; i < argc; ++i) {
        const std::string_view arg = argv[i];
        if (arg == "--help" || arg == "-h") {
            options.help = true;
        } else if (arg == "--realtime") {
            options.realTime = true;
        } else if (arg == "--seed") {
            std::uint64_t seed = 0;
            if (i + 1 >= argc || !ParseNumber(argv[i + 1], seed)) {
                error = "--seed needs a whole number";
                return std::nullopt;
            }
            options.seed = seed;
            ++i;
        } else if (!commandSeen && !arg.starts_with("-")) {
            options.command = std::string(arg);
            commandSeen = true;
        } else if (arg.starts_with("-")) {
            error = "unknown option " + std::string(arg);
            return std::nullopt;
        } else {
            options.rest.emplace_back(arg);
        }
    }
    return options;
}

} // namespace qvsim
