#include "qvsim/console/link_console.h"
#include "harness/console_words.h"

#include <charconv>
#include <cstdio>
#include <sstream>
#include <vector>

#include "kernel/status_names.h"

namespace qv::harness {

namespace {

sim::ReaderOptions ReaderOptionsFor(const ConsoleOptions& console) {
    sim::ReaderOptions options;
    options.model = console.model;
    options.pipes = console.pipes;
    // The card's random answers come from the run's seed like everything else.
    options.card.seed = console.seed;
    return options;
}

constexpr std::size_t kMaxPayload = 270;
constexpr ULONG kHighestCommand = 9;
constexpr std::uint8_t kEndpointDirectionIn = 0x80;
// The driver's debug print (platform/kernel/debugger.cpp).

std::string Hex2(unsigned value) {
    char text[8];
    std::snprintf(text, sizeof text, "0x%02X", value);
    return text;
}

} // namespace

LinkConsole::LinkConsole(ConsoleOptions options, std::ostream& out)
    : options_(options), out_(out), reader_(ReaderOptionsFor(options)), bed_(reader_, HeldReader::ForSeed(options.seed)) {
    if (!options_.trace) return;
    bed_.Bus().SetObserver([this](const usb::TransferEvent& event) { OnTransfer(event); });
    // The driver's own trace (its link recovering, say), in order with the
    // transfers.
    bed_.Machine().Events().SetListener(
        [this](std::uint64_t, std::string_view, std::string_view category, std::string_view text) {
            if (category == kDebugPrintCategory) out_ << "drv  " << text << "\n";
        });
}

LinkConsole::~LinkConsole() {
    if (!finished_) Finish();
}

std::string LinkConsole::Help() {
    return "commands, one per line:\n"
           "  cmd N [HEX]       send reader command N (0, 2-9); HEX is the payload of commands 0 and 8\n"
           "  linksync 0|1      set LinkSynchronized\n"
           "  state             show the sequence bits, LinkSynchronized and LinkIdle\n"
           "  fault NAME [N]    arm a reader fault for the next N occasions (default 1)\n"
           "  fault list        name the faults\n"
           "  card insert|remove\n"
           "  help, quit;  # starts a comment\n";
}

void LinkConsole::Error(const std::string& text) { out_ << "error: " << text << "\n"; }

bool LinkConsole::RunOnMachine(std::function<void()> body) {
    if (!healthy_) {
        Error("the machine has stopped; nothing more can run");
        return false;
    }
    const RunResult result = bed_.Run(std::move(body));
    if (!result.Ok()) {
        healthy_ = false;
        out_ << result.report;
        return false;
    }
    return true;
}

bool LinkConsole::Start() {
    out_ << "qvsim link: seed " << options_.seed << ", reader " << sim::ModelId(options_.model) << "\n";
    NTSTATUS status = STATUS_UNSUCCESSFUL;
    if (!RunOnMachine([&] { status = bed_.Configure(0); })) return false;
    out_ << "configure: " << NtStatusText(status) << "\n";
    return NT_SUCCESS(status);
}

bool LinkConsole::Execute(std::string_view line) {
    line = Trim(line);
    if (const auto hash = line.find('#'); hash != std::string_view::npos) line = Trim(line.substr(0, hash));
    if (line.empty()) return true;
    std::string_view rest = line;
    const std::string_view verb = NextWord(rest);
    if (verb == "quit" || verb == "exit") return false;
    if (verb == "help") {
        out_ << Help();
    } else if (verb == "cmd") {
        Command(rest);
    } else if (verb == "state") {
        State();
    } else if (verb == "linksync") {
        LinkSync(rest);
    } else if (verb == "fault") {
        FaultCommand(rest);
    } else if (verb == "card") {
        CardCommand(rest);
    } else {
        Error("unknown command '" + std::string(verb) + "' (try help)");
    }
    return true;
}

void LinkConsole::Command(std::string_view arguments) {
    ULONG number = 0;
    const std::string_view numberText = NextWord(arguments);
    if (!ParseNumber(numberText, number) || number > kHighestCommand) {
        Error("cmd needs a command number from 0 to 9");
        return;
    }
    std::vector<std::uint8_t> payload;
    const std::string_view hex = NextWord(arguments);
    if (!hex.empty() && !ParseHex(hex, payload)) {
        Error("the payload must be hex digits in pairs, without spaces");
        return;
    }
    if (!arguments.empty()) {
        Error("cmd takes a number and at most one payload");
        return;
    }
    if (payload.size() > kMaxPayload) {
        Error("a payload holds at most " + std::to_string(kMaxPayload) + " bytes");
        return;
    }
    CommandResult result;
    if (!RunOnMachine([&] { result = bed_.SendCommand(0, number, payload); })) return;
    out_ << "cmd " << number << ": " << NtStatusText(result.status);
    if (result.Ok()) {
        out_ << ", reply " << result.reply.size() << " bytes";
        if (!result.reply.empty()) out_ << ": " << HexBytes(result.reply);
    }
    out_ << "\n";
}

void LinkConsole::State() {
    READER_EXTENSION& reader = bed_.Reader(0);
    out_ << "SendSequence " << Hex2(reader.SendSequence) << ", ReceiveSequence " << Hex2(reader.ReceiveSequence)
         << ", LinkSynchronized " << reader.LinkSynchronized << ", LinkIdle "
         << (KeReadStateEvent(&reader.LinkIdle) ? "signalled" : "not signalled") << "\n";
}

void LinkConsole::LinkSync(std::string_view arguments) {
    ULONG value = 0;
    if (!ParseNumber(Trim(arguments), value) || value > 1) {
        Error("linksync takes 0 or 1");
        return;
    }
    bed_.Reader(0).LinkSynchronized = value;
    out_ << "LinkSynchronized " << value << "\n";
}

void LinkConsole::FaultCommand(std::string_view arguments) {
    const std::string_view name = NextWord(arguments);
    if (name == "list") {
        for (const sim::FaultInfo& info : sim::FaultCatalog()) out_ << "  " << info.name << ": " << info.description << "\n";
        return;
    }
    unsigned count = 1;
    if (!arguments.empty() && (!ParseNumber(arguments, count) || count == 0)) {
        Error("the count must be a whole number above 0");
        return;
    }
    if (name.empty() || !reader_.Arm(name, count)) {
        Error("no fault named '" + std::string(name) + "' (try fault list)");
        return;
    }
    out_ << "fault " << name << " armed for " << count << "\n";
}

void LinkConsole::CardCommand(std::string_view arguments) {
    const std::string_view what = Trim(arguments);
    if (what == "insert") {
        reader_.InsertCard();
    } else if (what == "remove") {
        reader_.RemoveCard();
    } else {
        Error("card insert or card remove");
        return;
    }
    out_ << "card " << (reader_.CardInserted() ? "in" : "out") << "\n";
}

void LinkConsole::OnTransfer(const usb::TransferEvent& event) {
    const bool out = event.kind == usb::TransferKind::Out;
    if (event.kind == usb::TransferKind::ResetPipe) {
        out_ << "usb  reset pipe of endpoint " << Hex2(event.endpoint) << "\n";
        ((event.endpoint & kEndpointDirectionIn) ? inJoiner_ : outJoiner_).Reset();
        return;
    }
    out_ << (out ? "usb> " : "usb< ") << HexBytes(event.data);
    if (event.status != USBD_STATUS_SUCCESS) out_ << (event.data.empty() ? "" : " ") << "(" << usb::UsbdStatusName(event.status) << ")";
    out_ << "\n";
    if (event.status != USBD_STATUS_SUCCESS) return;
    PacketJoiner& joiner = out ? outJoiner_ : inJoiner_;
    if (auto block = joiner.Add(event.data)) out_ << (out ? "blk> " : "blk< ") << DecodeBlock(*block) << "\n";
}

int LinkConsole::Finish() {
    finished_ = true;
    const RunResult result = bed_.Shutdown();
    if (!result.Ok()) out_ << result.report;
    out_ << "qvsim link: " << (result.Ok() && healthy_ ? "clean" : "stopped") << ", virtual time "
         << result.endTime / kTicksPerMillisecond << " ms\n";
    char digest[32];
    std::snprintf(digest, sizeof digest, "%016llx", static_cast<unsigned long long>(result.digest));
    out_ << "qvsim: digest " << digest << "\n";
    return result.Ok() && healthy_ ? 0 : 1;
}

} // namespace qv::harness
