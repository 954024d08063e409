#include "qvsim/console/app_console.h"
#include "harness/console_requests.h"
#include "harness/console_words.h"
#include "harness/world_commands.h"

#include <array>
#include <charconv>
#include <cstdio>
#include <cstring>

#include "card.h"
#include "harness/console_attributes.h"
#include "cards/atr.h"
#include "cards/card_catalogue.h"
#include "kernel/status_names.h"
#include "link.h"
#include "smclib/atr_parser.h"

namespace qv::harness {

namespace {

constexpr std::uint8_t kEndpointDirectionIn = 0x80;
constexpr std::string_view kLibraryTraceCategory = "smclib";
// The power manager's journal lines (power/power_manager.h).
constexpr std::string_view kPowerTraceCategory = "power";
// Output buffer of a power request: room for any ATR.
constexpr ULONG kPowerOutputLength = 64;
// Output buffer of a transmit: the header and the longest response an
// APDU can bring (256 bytes and the status word), with room to spare.
constexpr ULONG kApduOutputLength = 1024;
// Output buffer of an attribute request when none is given.
constexpr ULONG kDefaultAttrLength = 256;
constexpr ULONG kMaxAdvanceMs = 24 * 60 * 60 * 1000;
// The shared command words (console_requests.h) spell the library's codes.
static_assert(kConsoleProtocolT0 == SCARD_PROTOCOL_T0 && kConsoleProtocolT1 == SCARD_PROTOCOL_T1);
static_assert(kConsolePowerDown == SCARD_POWER_DOWN && kConsoleColdReset == SCARD_COLD_RESET &&
              kConsoleWarmReset == SCARD_WARM_RESET);

std::span<const std::uint8_t> AsBytes(const ULONG& value) {
    return {reinterpret_cast<const std::uint8_t*>(&value), sizeof(value)};
}

} // namespace

std::unique_ptr<sim::SimpleCard> AppConsole::MakeCard(std::string_view name, std::uint64_t seed, std::string& error) {
    auto card = sim::MakeCard(name, seed);
    if (!card) error = "no card named '" + std::string(name) + "' (try card list)";
    return card;
}

AppConsole::AppConsole(AppConsoleOptions options, std::ostream& out) : options_(std::move(options)), out_(out) {
    sim::ReaderOptions readerOptions;
    readerOptions.model = options_.model;
    readerOptions.cardInserted = !options_.noCard;
    std::unique_ptr<sim::SimpleCard> card;
    if (options_.atr) {
        if (auto fromAtr = sim::OptionsFromAtr(*options_.atr, options_.seed)) card = std::make_unique<sim::SimpleCard>(*fromAtr);
    } else {
        card = sim::MakeCard(options_.card, options_.seed);
    }
    if (!card) card = sim::MakeCard("dual", options_.seed);
    readers_.push_back(std::make_unique<sim::UsbReader>(readerOptions, std::move(card)));
    MachineConfig config;
    config.seed = options_.seed;
    machine_ = std::make_unique<ReaderMachine>(config);
    if (options_.trace) {
        machine_->Bus().SetObserver([this](const usb::TransferEvent& event) { OnTransfer(event); });
        // The library's line for each request it served, after the request's
        // transfers: what reached SmartcardDeviceControl and how it ended.
        machine_->Machine().Events().SetListener(
            [this](std::uint64_t, std::string_view, std::string_view category, std::string_view text) {
                if (category == kLibraryTraceCategory) Line("lib  " + std::string(text));
                // The driver's own trace, as a debugger on Windows shows it.
                if (category == kDebugPrintCategory) Line("drv  " + std::string(text));
                // Power requests and the driver's power notices, as they
                // happen, in order with the transfers they cause.
                if (category == kPowerTraceCategory) Line("power " + std::string(text));
            });
    }
}

AppConsole::~AppConsole() {
    if (!finished_) Finish();
}

std::string AppConsole::Help() {
    return "commands, one per line:\n"
           "  card insert [NAME | atr HEX]   put a card in (card list names them)\n"
           "  card remove | card list\n"
           "  advance MS                     let MS milliseconds of virtual time pass\n"
           "  fault NAME [COUNT] | fault list  arm a reader fault\n"
           "  power down|cold|warm           IOCTL_SMARTCARD_POWER\n"
           "  state                          IOCTL_SMARTCARD_GET_STATE\n"
           "  attr NAME|0xID [LEN]           IOCTL_SMARTCARD_GET_ATTRIBUTE\n"
           "  ioctl 0xCODE [HEX] [OUTLEN]    any control code (one argument of up to five\n"
           "                                 decimal digits is OUTLEN, else HEX)\n"
           "  protocol t0|t1|any|0xMASK      IOCTL_SMARTCARD_SET_PROTOCOL\n"
           "  apdu HEX                       IOCTL_SMARTCARD_TRANSMIT under the selected protocol\n"
           "  caps                           the card capabilities the library parsed\n"
           "  plug [QV-38N|QV-39N] | unplug  add a reader (add-device and start) | pull it out\n"
           "  open | close                   the application's handle on the current reader\n"
           "  start | stop | remove | query-stop | cancel-stop | query-remove | cancel-remove\n"
           "                                 Plug and Play requests to the current reader\n"
           "  reader N | readers             choose the current reader | list the readers\n"
           "  wait present|absent            IOCTL_SMARTCARD_IS_PRESENT / IS_ABSENT, left pending\n"
           "  cancel                         cancels the pending wait\n"
           "  cleanup                        IRP_MJ_CLEANUP, as closing the handle sends it\n"
           "  help, quit;  # starts a comment\n";
}

void AppConsole::Line(const std::string& text) { LineAt(machine_->Machine().Now(), text); }

void AppConsole::LineAt(std::uint64_t time, const std::string& text) {
    if (options_.time) {
        const std::uint64_t ms = time / kTicksPerMillisecond;
        char stamp[32];
        std::snprintf(stamp, sizeof stamp, "[%04llu.%03llu] ", static_cast<unsigned long long>(ms / 1000),
                      static_cast<unsigned long long>(ms % 1000));
        out_ << stamp;
    }
    out_ << text << "\n";
}

void AppConsole::Error(const std::string& text) { Line("error: " + text); }

bool AppConsole::RunOnMachine(std::function<void()> body) {
    if (!healthy_) {
        Error("the machine has stopped; nothing more can run");
        return false;
    }
    const RunResult result = machine_->Run([this, body = std::move(body)] {
        body();
        // Completed waits give their IRPs back to the application here, on
        // the machine.
        ReportCompletions();
    });
    if (!result.Ok()) {
        healthy_ = false;
        out_ << result.report;
        return false;
    }
    return true;
}

// The reader as the machine starts it: plugged in (add-device), started by
// the Plug and Play start request, and opened by the application.
bool AppConsole::Start() {
    std::string card = options_.noCard ? "none" : options_.atr ? "from ATR" : options_.card;
    Line("qvsim app: seed " + std::to_string(options_.seed) + ", reader " + std::string(sim::ModelId(options_.model)) +
         ", card " + card);
    NTSTATUS status = STATUS_UNSUCCESSFUL;
    std::string step = "plug";
    const bool ran = RunOnMachine([&] {
        // The bus reports the reader; the Plug and Play manager adds and
        // starts it.
        const PlugResult added = machine_->Plug(*readers_.front());
        status = added.status;
        if (!NT_SUCCESS(status)) return;
        step = "start";
        status = added.started;
        if (!NT_SUCCESS(status)) return;
        step = "open";
        status = machine_->Open(added.index);
        if (!NT_SUCCESS(status)) return;
        // The first request should find the card state known, so the
        // console waits for the driver's first poll as an application can.
        machine_->AwaitFirstPoll(added.index);
    });
    PrintNewLogEntries();
    if (!ran) return false;
    if (!NT_SUCCESS(status)) {
        Line(step + ": " + NtStatusText(status));
        return false;
    }
    return healthy_;
}

void AppConsole::ReportCompletions() {
    for (const AsyncRequest& done : machine_->Reap()) {
        if (done.irp == waitIrp_) waitIrp_ = nullptr;
        LineAt(done.completedAt, "wait: " + NtStatusText(done.status));
    }
}

bool AppConsole::Execute(std::string_view line) {
    line = Trim(line);
    if (const auto hash = line.find('#'); hash != std::string_view::npos) line = Trim(line.substr(0, hash));
    if (line.empty()) return true;
    std::string_view rest = line;
    const std::string_view verb = NextWord(rest);
    if (verb == "quit" || verb == "exit") return false;
    if (verb == "help") {
        out_ << Help();
    } else if (verb == "card") {
        CardCommand(rest);
    } else if (verb == "advance") {
        Advance(rest);
    } else if (verb == "fault") {
        FaultCommand(rest);
    } else if (verb == "power") {
        PowerCommand(rest);
    } else if (verb == "state") {
        StateCommand(rest);
    } else if (verb == "attr") {
        AttrCommand(rest);
    } else if (verb == "ioctl") {
        IoctlCommand(rest);
    } else if (verb == "caps") {
        if (!rest.empty()) {
            Error("caps takes no arguments");
        } else {
            CapsCommand();
        }
    } else if (LifecycleCommand(verb, rest)) {
        // handled
    } else if (PowerCommand(verb, rest)) {
        // handled
    } else if (verb == "wait") {
        WaitCommand(rest);
    } else if (verb == "cancel") {
        CancelCommand(rest);
    } else if (verb == "protocol") {
        ProtocolCommand(rest);
    } else if (verb == "apdu") {
        ApduCommand(rest);
    } else {
        Error("unknown command '" + std::string(verb) + "' (try help)");
    }
    return true;
}

void AppConsole::CardCommand(std::string_view arguments) {
    // The driver learns of a card from its next poll (advance lets it run).
    PrintWorldAnswer(harness::CardCommand(readers_.at(current_).get(), arguments, options_.seed));
}

void AppConsole::PrintWorldAnswer(const WorldAnswer& answer) {
    if (!answer.ok) return Error(answer.lines.front());
    for (const std::string& line : answer.lines) Line(line);
}

void AppConsole::Advance(std::string_view arguments) {
    ULONG ms = 0;
    if (!ParseNumber(Trim(arguments), ms) || ms > kMaxAdvanceMs) return Error("advance takes milliseconds, 0 to 86400000");
    RunOnMachine([&] {
        LARGE_INTEGER interval;
        interval.QuadPart = -static_cast<LONGLONG>(ms) * static_cast<LONGLONG>(kTicksPerMillisecond);
        KeDelayExecutionThread(KernelMode, FALSE, &interval);
    });
}

void AppConsole::FaultCommand(std::string_view arguments) {
    PrintWorldAnswer(harness::FaultCommand(readers_.at(current_).get(), arguments));
}

void AppConsole::ResultLine(const std::string& word, NTSTATUS status, const std::string& detail) {
    std::string line = word + ": " + NtStatusText(status);
    if (NT_SUCCESS(status) && !detail.empty()) line += " " + detail;
    Line(line);
}

// The driver holds a request in its dispatch routine until a wake or a
// start, which only a later command could bring: the console, which waits
// for the dispatch routine even for a card wait, would wait for ever.
bool AppConsole::RefusedWhileHeld() {
    if (!healthy_ || !machine_->RequestsHeld(current_)) return false;
    Error("the driver holds requests now (the system sleeps or the reader is stopped): wake or start first");
    return true;
}

std::optional<IoctlResult> AppConsole::Request(ULONG code, std::span<const std::uint8_t> input, ULONG outputLength) {
    if (RefusedWhileHeld()) return std::nullopt;
    IoctlResult result;
    if (!RunOnMachine([&] { result = machine_->DeviceControl(current_, code, input, outputLength); })) {
        PrintNewLogEntries();
        return std::nullopt;
    }
    PrintNewLogEntries();
    return result;
}

void AppConsole::PowerCommand(std::string_view arguments) {
    const std::optional<std::uint32_t> minor = ParsePowerAction(arguments);
    if (!minor) return Error("power down, power cold or power warm");
    const ULONG code = *minor;
    const auto result = Request(IOCTL_SMARTCARD_POWER, AsBytes(code), kPowerOutputLength);
    if (!result) return;
    ResultLine("power " + std::string(Trim(arguments)), result->status,
               code == kConsolePowerDown ? std::string() : "ATR " + HexBytes(result->output));
}

void AppConsole::StateCommand(std::string_view arguments) {
    if (!Trim(arguments).empty()) return Error("state takes no arguments");
    const auto result = Request(IOCTL_SMARTCARD_GET_STATE, {}, sizeof(ULONG));
    if (!result) return;
    const std::string detail = StateDetail(result->output);
    ResultLine("state", result->status, detail);
}

void AppConsole::AttrCommand(std::string_view arguments) {
    std::string error;
    const std::optional<AttrArguments> attr = ParseAttr(arguments, kDefaultAttrLength, error);
    if (!attr) return Error(error);
    const ULONG id = attr->id;
    const auto result = Request(IOCTL_SMARTCARD_GET_ATTRIBUTE, AsBytes(id), attr->outputLength);
    if (!result) return;
    const std::string detail = AttributeDetail(result->output, attr->known != nullptr && attr->known->text);
    ResultLine("attr", result->status, detail);
}

void AppConsole::IoctlCommand(std::string_view arguments) {
    std::string error;
    const std::optional<IoctlArguments> ioctl = ParseIoctl(arguments, error);
    if (!ioctl) return Error(error);
    const auto result = Request(ioctl->code, ioctl->input, ioctl->outputLength);
    if (!result) return;
    ResultLine("ioctl", result->status, HexBytes(result->output));
}

void AppConsole::WaitCommand(std::string_view arguments) {
    const std::string_view what = Trim(arguments);
    ULONG code = 0;
    if (what == "present") {
        code = IOCTL_SMARTCARD_IS_PRESENT;
    } else if (what == "absent") {
        code = IOCTL_SMARTCARD_IS_ABSENT;
    } else {
        return Error("wait present or wait absent");
    }
    if (RefusedWhileHeld()) return;
    RunOnMachine([&] {
        AsyncRequest& sent = machine_->SendAsync(current_, code);
        if (sent.done) return; // answered at once: reported with the run's completions
        // The pending line comes before any completion this run reports; the
        // first wait still pending is the one cancel goes to.
        Line("wait: " + NtStatusText(STATUS_PENDING));
        if (waitIrp_ == nullptr) waitIrp_ = sent.irp;
    });
}

void AppConsole::CancelCommand(std::string_view arguments) {
    if (!Trim(arguments).empty()) return Error("cancel takes no arguments");
    if (waitIrp_ == nullptr) return Error("no wait is pending");
    RunOnMachine([&] { machine_->Cancel(waitIrp_); });
}

void AppConsole::ProtocolCommand(std::string_view arguments) {
    ULONG mask = 0;
    if (!ParseProtocolMask(arguments, mask)) return Error("protocol t0, t1, any or 0xMASK");
    const auto result = Request(IOCTL_SMARTCARD_SET_PROTOCOL, AsBytes(mask), sizeof(ULONG));
    if (!result) return;
    ResultLine("protocol", result->status, ProtocolDetail(result->output));
}

void AppConsole::ApduCommand(std::string_view arguments) {
    std::vector<std::uint8_t> apdu;
    if (!ParseApdu(arguments, apdu)) return Error("apdu takes the command APDU as hex digits in pairs");
    // The header an application puts in front: the protocol the card runs,
    // as the reader reports it, and no protocol data behind it.
    const PDEVICE_EXTENSION extension = machine_->Extension(current_);
    if (extension == nullptr) return Error("the current reader is gone");
    const SCARD_IO_REQUEST header{extension->SmartcardExtension.CardCapabilities.Protocol.Selected,
                                  static_cast<ULONG>(sizeof(SCARD_IO_REQUEST))};
    std::vector<std::uint8_t> request(sizeof header);
    std::memcpy(request.data(), &header, sizeof header);
    request.reserve(request.size() + apdu.size()); // also keeps GCC 12 -O3 from a false -Warray-bounds
    request.insert(request.end(), apdu.begin(), apdu.end());
    const auto result = Request(IOCTL_SMARTCARD_TRANSMIT, request, kApduOutputLength);
    if (!result) return;
    std::string detail;
    if (result->output.size() >= sizeof header) {
        detail = ApduDetail(std::span<const std::uint8_t>(result->output).subspan(sizeof header));
    }
    ResultLine("apdu", result->status, detail);
}

void AppConsole::CapsCommand() {
    const SMARTCARD_EXTENSION* found = Smartcard();
    if (found == nullptr) return;
    const SMARTCARD_EXTENSION& card = *found;
    const auto& caps = card.CardCapabilities;
    const std::span<const std::uint8_t> atr(caps.ATR.Buffer, std::min<std::size_t>(caps.ATR.Length, sizeof(caps.ATR.Buffer)));
    const smclib::ParsedAtr parsed = smclib::ParseAtr(atr);
    // Clock stop: XI of the first T=15 group, as the library's parser reads it.
    const unsigned clockStop = parsed.clockStop;
    std::string tck = "none";
    if (parsed.fault == smclib::AtrFault::BadTck) {
        tck = "bad";
    } else if (parsed.tckPresent) {
        tck = "ok";
    }
    constexpr UCHAR kEdcCrc = 0x01;
    const auto supported = static_cast<std::uint8_t>(caps.Protocol.Supported & (SCARD_PROTOCOL_T0 | SCARD_PROTOCOL_T1));
    Line("caps: Fl " + std::to_string(caps.Fl) + " Dl " + std::to_string(caps.Dl) + " N " + std::to_string(caps.N) +
         " protocols " + sim::ProtocolNames(supported) + " IFSC " + std::to_string(caps.T1.IFSC) + " IFSD " +
         std::to_string(card.T1.IFSD) + " CWI " + std::to_string(caps.T1.CWI) + " BWI " +
         std::to_string(caps.T1.BWI) + " EDC " + ((caps.T1.EDC & kEdcCrc) != 0 ? "CRC" : "LRC") + " ClockStop " +
         std::to_string(clockStop) + " TCK " + tck);
}

void AppConsole::OnTransfer(const usb::TransferEvent& event) {
    const bool out = event.kind == usb::TransferKind::Out;
    if (event.kind == usb::TransferKind::ResetPipe) {
        char endpoint[8];
        std::snprintf(endpoint, sizeof endpoint, "0x%02X", event.endpoint);
        Line(std::string("usb  reset pipe of endpoint ") + endpoint);
        ((event.endpoint & kEndpointDirectionIn) ? inJoiner_ : outJoiner_).Reset();
        return;
    }
    std::string line = (out ? "usb> " : "usb< ") + HexBytes(event.data);
    if (event.status != USBD_STATUS_SUCCESS) {
        line += (event.data.empty() ? "(" : " (") + std::string(usb::UsbdStatusName(event.status)) + ")";
    }
    Line(line);
    if (event.status != USBD_STATUS_SUCCESS) return;
    PacketJoiner& joiner = out ? outJoiner_ : inJoiner_;
    if (auto block = joiner.Add(event.data)) Line((out ? "blk> " : "blk< ") + DecodeBlock(*block));
}

int AppConsole::Finish() {
    finished_ = true;
    const RunResult result = machine_->Shutdown();
    PrintNewLogEntries();
    // A machine that stopped earlier has printed its report then.
    if (!result.Ok() && healthy_) out_ << result.report;
    const bool clean = result.Ok() && healthy_;
    out_ << "qvsim app: " << (clean ? "clean" : "stopped") << ", virtual time "
         << result.endTime / kTicksPerMillisecond << " ms\n";
    char digest[32];
    std::snprintf(digest, sizeof digest, "%016llx", static_cast<unsigned long long>(result.digest));
    out_ << "qvsim: digest " << digest << "\n";
    return clean ? 0 : 1;
}

} // namespace qv::harness
