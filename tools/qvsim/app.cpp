#include "app.h"

#include <unistd.h>

#include <charconv>
#include <fstream>
#include <iostream>
#include <span>
#include <sstream>
#include <string>

#include "cards/card_catalogue.h"
#include "capture.h"
#include "qvsim/console/app_console.h"
#include "harness/console_words.h"
#include "trace_fold.h"

namespace qvsim {

namespace {

// The demo's story, one step at a time: a comment line tells what the next
// commands do; the console's trace behind them is folded (trace_fold.h).
constexpr const char* kDemoScript[] = {
    "# plug: the reader goes into the emulated USB bus, the driver's add-device makes unit 0;",
    "# start: USB configuration, link reset, reader information, card poll; open: a handle",
    "# (under each step: its USB transfers, and the link blocks, > to the reader, < back)",
    "readers",
    "# card in: the driver's once-a-second poll of the slot notices it",
    "card insert",
    "advance 2000",
    "state",
    "# reset: reader command 4 powers the card; the library parses its ATR",
    "power cold",
    "# protocol: a PPS for T=1 through reader command 8",
    "protocol t1",
    "# SELECT the application's DF by name, its file 0101, READ BINARY of 16 bytes,",
    "# each in T=1 blocks that the library builds and the driver carries over USB",
    "apdu 00A4040C07F0515653435201",
    "apdu 00A4000C020101",
    "apdu 00B0000010",
    "# card out: the next poll finds the slot empty",
    "card remove",
    "advance 2000",
    "state",
    "# sleep and wake: the power manager takes the reader down to D3 and back",
    "sleep",
    "wake",
    "# the application closes its handle and the reader is pulled out",
    "close",
    "unplug",
};

std::optional<std::vector<std::uint8_t>> ParseAtr(const std::string& hex) {
    std::vector<std::uint8_t> bytes;
    if (!qv::harness::ParseHex(hex, bytes) || bytes.size() > 33) return std::nullopt;
    return bytes;
}

std::optional<qv::harness::AppConsoleOptions> AppOptionsFrom(const Options& options, std::uint64_t seed, bool trace) {
    qv::harness::AppConsoleOptions app;
    app.seed = seed;
    app.trace = trace;
    app.time = options.time;
    app.model = qv::sim::ModelByName(options.model).value_or(qv::sim::ReaderModel::Qv38N);
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
    // The capture outlives the console, whose bus feeds it to the end.
    std::unique_ptr<qv::harness::PcapWriter> capture;
    qv::harness::AppConsole console(*app, std::cout);
    if (options.pcap && !(capture = AttachCapture(console, *options.pcap))) return 2;
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
    auto app = AppOptionsFrom(options, seed, true);
    if (!app) return 2;
    // The card goes in during the story.
    app->noCard = true;
    std::ostringstream buffer;
    std::unique_ptr<qv::harness::PcapWriter> capture;
    qv::harness::AppConsole console(*app, buffer);
    if (options.pcap && !(capture = AttachCapture(console, *options.pcap))) return 2;
    // --trace shows every transfer and block; otherwise each step's trace is
    // folded into a line.
    auto show = [&] {
        const std::string text = buffer.str();
        buffer.str({});
        if (options.trace) {
            std::cout << text;
            return;
        }
        for (const std::string& line : FoldTrace(text)) std::cout << line << "\n";
    };
    // The seed line first, then the opening comment telling what Start did,
    // then Start's trace.
    const bool started = console.Start();
    std::string opening = buffer.str();
    const std::size_t seedLineEnd = opening.find('\n') + 1;
    std::cout << opening.substr(0, seedLineEnd);
    buffer.str(opening.substr(seedLineEnd));
    std::size_t first = 0;
    for (; first < std::size(kDemoScript) && kDemoScript[first][0] == '#'; ++first) std::cout << kDemoScript[first] << "\n";
    show();
    if (!started) {
        const int code = console.Finish();
        show();
        return code;
    }
    for (const char* line : std::span(kDemoScript).subspan(first)) {
        std::cout << (line[0] == '#' ? "" : "> ") << line << "\n";
        console.Execute(line);
        show();
    }
    const int code = console.Finish();
    std::cout << buffer.str();
    return code;
}

} // namespace qvsim
