#include "options.h"

#include <charconv>
#include <string_view>

#include "usb_descriptors.h"

namespace qvsim {

namespace {
bool ParseNumber(std::string_view text, std::uint64_t& value) {
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    return !text.empty() && error == std::errc() && end == text.data() + text.size();
}
} // namespace

std::string Usage() {
    return "usage: qvsim [demo|app|link|tour|conformance] [options]\n"
           "\n"
           "  demo              a short session with the trace on: the reader's link,\n"
           "                    then a card powered and its ATR (the default)\n"
           "  app               the application's console: smart-card requests on the\n"
           "                    reader's handle, from standard input or --script FILE\n"
           "  link              the reader console: commands from standard input or\n"
           "                    --script FILE, one per line (type 'help' for the list)\n"
           "  tour              the emulated kernel at work: threads, events, a mutex,\n"
           "                    a one-second I/O timer and delays in virtual time\n"
           "  conformance       the reader conformance suite against simulated test\n"
           "                    cards: a table of cases (--seed N, or QV_SEEDS; seeds\n"
           "                    1-3 by default); fails when a case fails\n"
           "\n"
           "  --seed N          schedule and faults from seed N (a random seed otherwise);\n"
           "                    the same seed gives the same run and the same digest\n"
           "  --model M         the simulated reader: QV-38N (default) or QV-39N\n"
           "  --pipes P         the reader's endpoints: standard (default), swapped (OUT\n"
           "                    listed first) or small (32-byte packets); the driver\n"
           "                    refuses the wrong ones at configuration\n"
           "  --script FILE     console commands from FILE instead of standard input\n"
           "  --trace           print every USB transfer and link block\n"
           "  --card NAME       app: the card in the slot at start (default dual)\n"
           "  --atr HEX         app: a card made from this ATR instead\n"
           "  --no-card         app: start with the slot empty\n"
           "  --time            app: start every line with the virtual time\n"
           "  --realtime        let virtual time follow the wall clock (tour)\n"
           "  --help            show this text\n";
}

std::optional<Options> ParseOptions(int argc, char** argv, std::string& error) {
    Options options;
    bool commandSeen = false;
    for (int i = 1; i < argc; ++i) {
        const std::string_view arg = argv[i];
        auto value = [&](std::string_view name) -> std::optional<std::string_view> {
            if (i + 1 >= argc) {
                error = std::string(name) + " needs a value";
                return std::nullopt;
            }
            return std::string_view(argv[++i]);
        };
        if (arg == "--help" || arg == "-h") {
            options.help = true;
        } else if (arg == "--realtime") {
            options.realTime = true;
        } else if (arg == "--trace") {
            options.trace = true;
        } else if (arg == "--seed") {
            const auto text = value(arg);
            std::uint64_t seed = 0;
            if (!text || !ParseNumber(*text, seed)) {
                error = "--seed needs a whole number";
                return std::nullopt;
            }
            options.seed = seed;
        } else if (arg == "--model") {
            const auto text = value(arg);
            if (!text) return std::nullopt;
            if (*text != "QV-38N" && *text != "QV-39N") {
                error = "--model is QV-38N or QV-39N";
                return std::nullopt;
            }
            options.model = std::string(*text);
        } else if (arg == "--pipes") {
            const auto text = value(arg);
            if (!text) return std::nullopt;
            if (!qv::sim::PipeLayoutByName(*text)) {
                error = "--pipes is standard, swapped or small";
                return std::nullopt;
            }
            options.pipes = std::string(*text);
        } else if (arg == "--card") {
            const auto text = value(arg);
            if (!text) return std::nullopt;
            options.card = std::string(*text);
        } else if (arg == "--atr") {
            const auto text = value(arg);
            if (!text) return std::nullopt;
            options.atr = std::string(*text);
        } else if (arg == "--no-card") {
            options.noCard = true;
        } else if (arg == "--time") {
            options.time = true;
        } else if (arg == "--script") {
            const auto text = value(arg);
            if (!text) return std::nullopt;
            options.script = std::string(*text);
        } else if (!commandSeen && !arg.starts_with("-")) {
            options.command = std::string(arg);
            commandSeen = true;
        } else {
            error = "unexpected argument " + std::string(arg);
            return std::nullopt;
        }
    }
    return options;
}

} // namespace qvsim
