#include "app.h"

#include <unistd.h>

#include <charconv>
#include <fstream>
#include <iostream>
#include <string>

#include "cards/card_catalogue.h"
#include "harness/app_console.h"

namespace qvsim {

namespace {

constexpr const char* kDemoScript[] = {
    "# the reader was plugged in: the driver added it (unit 0), the Plug and Play",
    "# start ran (link reset, reader information, command 9, the poller), and the",
    "# application opened it (the trace above)",
    "readers",
    "state",
    "# power the card up: reader command 4, the ATR comes back and the library parses it",
    "power cold",
    "caps",
    "attr vendor_name",
    "attr atr",
    "# the reader's firmware version, answered by the driver itself",
    "attr 0x000701F0",
    "# T=0: a PPS through reader command 8, then the application's data file",
    "# selected and read through reader command 0",
    "protocol t0",
    "apdu 00A4000C025100",
    "apdu 00A4000C020101",
    "apdu 00B0000010",
    "# a warm reset makes the card negotiable again; T=1: the library's own",
    "# blocks for the card (NAD 00) go straight over USB",
    "power warm",
    "protocol t1",
    "caps",
    "apdu 00A4000C025100",
    "apdu 00A4000C020101",
    "apdu 00B0000010",
    "# power down",
    "power down",
    "# the card comes out; the next poll finds it gone",
    "card remove",
    "advance 1100",
    "state",
    "# the application closes its handle and the reader is pulled out",
    "close",
    "unplug",
    "readers",
};

std::optional<std::vector<std::uint8_t>> ParseAtr(const std::string& hex) {
    std::vector<std::uint8_t> bytes;
    if (hex.empty() || hex.size() % 2 != 0) return std::nullopt;
    for (std::size_t i = 0; i < hex.size(); i += 2) {
        unsigned value = 0;
        const auto [end, error] = std::from_chars(hex.data() + i, hex.data() + i + 2, value, 16);
        if (error != std::errc() || end != hex.data() + i + 2) return std::nullopt;
        bytes.push_back(static_cast<std::uint8_t>(value));
    }
    if (bytes.size() > 33) return std::nullopt;
    return bytes;
}

std::optional<qv::harness::AppConsoleOptions> AppOptionsFrom(const Options& options, std::uint64_t seed, bool trace) {
    qv::harness::AppConsoleOptions app;
    app.seed = seed;
    app.trace = trace;
    app.time = options.time;
    app.model = options.model == "QV-39N" ? qv::sim::ReaderModel::Qv39N : qv::sim::ReaderModel::Qv38N;
    app.noCard = options.noCard;
    app.card = options.card;
    if (options.atr) {
        app.atr = ParseAtr(*options.atr);
        if (!app.atr) {
            std::cerr << "qvsim: --atr needs 1 to 33 bytes as hex digits in pairs\n";
            return std::nullopt;
        }
    } else if (!qv::sim::FindCard(options.card)) {
        std::cerr << "qvsim: no card named '" << options.card << "'\n";
        return std::nullopt;
    }
    return app;
}

} // namespace

int RunApp(const Options& options, std::uint64_t seed) {
    const auto app = AppOptionsFrom(options, seed, options.trace);
    if (!app) return 2;
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
    qv::harness::AppConsole console(*app, std::cout);
    if (!console.Start()) return console.Finish();
    if (interactive) std::cout << "type 'help' for the commands\n";
    std::string line;
    while (true) {
        if (interactive) std::cout << "qvsim> " << std::flush;
        if (!std::getline(in, line)) break;
        if (!console.Execute(line)) break;
    }
    return console.Finish();
}

int RunAppDemo(const Options& options, std::uint64_t seed) {
    const auto app = AppOptionsFrom(options, seed, true);
    if (!app) return 2;
    qv::harness::AppConsole console(*app, std::cout);
    if (!console.Start()) return console.Finish();
    for (const char* line : kDemoScript) {
        std::cout << (line[0] == '#' ? "" : "> ") << line << "\n";
        console.Execute(line);
    }
    return console.Finish();
}

} // namespace qvsim
