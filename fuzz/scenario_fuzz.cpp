// The structure-aware target: the input is not bytes for the driver but a
// scenario of events, decoded one operation at a time (an operation byte
// and its arguments) into lines of the application's console (qvsim app):
// card insertion and removal, virtual time passing so that the poller runs,
// armed reader and card faults, power actions, attributes, protocol
// selection, APDUs, card waits and their cancellation or cleanup, handles
// opened and closed, a second reader plugged in, Plug and Play requests,
// surprise removal, system sleep and wake. Mutating the bytes mutates the
// interleaving of these events; the decoder keeps to the orders the
// Plug and Play manager keeps (see ScenarioState below). The run must
// end clean: no bug check, deadlock or leak at the final unload audit.
#include <algorithm>
#include <array>
#include <functional>
#include <sstream>
#include <string>
#include <string_view>

#include "cards/card_catalogue.h"
#include "fuzz_input.h"
#include "qvsim/console/app_console.h"

namespace qv::fuzz {

namespace {

constexpr std::size_t kMostOperations = 40;
constexpr std::size_t kMostApdu = 40;

constexpr std::array<std::string_view, 6> kAdvances = {"advance 10",   "advance 300",  "advance 1000",
                                                       "advance 1500", "advance 3000", "advance 20000"};
constexpr std::array<std::string_view, 34> kFaults = {
    "answer-bad-lrc", "answer-bad-nad",     "answer-bad-length",     "answer-error-block", "answer-wtx",
    "answer-wrong-sequence", "answer-chained", "out-fail",           "out-short",          "out-stall",
    "in-fail",        "in-stall",           "in-endless",            "in-zero-length",     "card-pulled",
    "late-answer",    "slow-no-wtx",        "answer-r-block",        "answer-s-block",     "endless-empty-chain",
    "short-middle-packet", "slow-wtx",      "reset-no-atr",          "card-bad-edc",       "card-wtx-1",
    "card-wtx-2",     "card-wtx-255",       "card-wrong-sequence",   "card-mute",          "card-pulled-mid",
    "card-t0-truncated", "card-t0-bad-procedure", "card-no-null",     "answer-bad-lrc 3"};
constexpr std::array<std::string_view, 3> kPowers = {"power down", "power cold", "power warm"};
constexpr std::array<std::string_view, 6> kAttributes = {"attr atr_string", "attr vendor_name",
                                                         "attr current_protocol_type", "attr current_ifsc",
                                                         "attr 0x7A007", "attr vendor_ifd_version 2"};
constexpr std::array<std::string_view, 4> kProtocols = {"protocol t0", "protocol t1", "protocol any",
                                                        "protocol 0x80000003"};
// APDUs for the catalogue cards' application: select its DF, read a file,
// the echo and the slow key generation.
constexpr std::array<std::string_view, 6> kApdus = {"apdu 00A4040007F0515653435201", "apdu 00B0000010",
                                                    "apdu 00A40000020101",          "apdu 80EE000004A1A2A3A400",
                                                    "apdu 80E2020000",              "apdu 0084000008"};
constexpr std::array<std::string_view, 5> kSleeps = {"sleep S1", "sleep S2", "sleep S3", "sleep S4", "sleep S5"};
constexpr std::array<std::string_view, 6> kIoctls = {"ioctl 0x310004 00000000 4", "ioctl 0x310038 00000000 4",
                                                     "ioctl 0x310038 0 0",        "ioctl 0x310008 03000000 64",
                                                     "ioctl 0x310030 00000000 0", "ioctl 0x31000C 0701000000 8"};

enum class Operation : std::uint8_t {
    CardInsert, CardRemove, Advance, Fault, Power, State, Attribute, WaitPresent, WaitAbsent, Cancel, Cleanup,
    Protocol, Apdu, RawApdu, Open, Close, Plug, Reader, Unplug, Pnp, Sleep, Wake, Ioctl, Count
};

template <std::size_t N> std::string Pick(FuzzInput& in, const std::array<std::string_view, N>& choices) {
    return std::string(choices[in.Below(N)]);
}

std::string Hex(const std::vector<std::uint8_t>& bytes) {
    static constexpr char kDigits[] = "0123456789ABCDEF";
    std::string text;
    for (std::uint8_t byte : bytes) {
        text += kDigits[byte >> 4];
        text += kDigits[byte & 0x0F];
    }
    return text;
}

// Where each reader is in its Plug and Play life, as far as the scenario
// has taken it. The Plug and Play manager keeps to an order (a query before
// every stop and removal, a stop only after its query, a start only after a
// stop), and while a stop is pending or done the driver holds every request
// until the reader starts again or goes: the console would wait for ever on
// one. So Plug and Play operations pick only the requests the manager could
// send next, and requests wait until the reader runs and the system is awake
// (a Plug and Play or wake operation takes their place).
enum class Life : std::uint8_t { Started, QueryStopped, Stopped, QueryRemoved, Gone };

constexpr std::size_t kMostReaders = 3;

struct ScenarioState {
    std::array<Life, kMostReaders> life{Life::Started};
    std::size_t readers = 1;
    std::size_t current = 0;
    bool asleep = false;

    Life& Current() { return life[current]; }
    bool RequestsHeld() const {
        const Life now = life[current];
        return asleep || now == Life::QueryStopped || now == Life::Stopped;
    }
};

// The Plug and Play request the manager may send next, and the life it
// leads to; the empty string when there is none.
std::string NextPnp(FuzzInput& in, ScenarioState& state) {
    Life& life = state.Current();
    const bool first = in.Flag();
    switch (life) {
    case Life::Started:
        life = first ? Life::QueryStopped : Life::QueryRemoved;
        return first ? "query-stop" : "query-remove";
    case Life::QueryStopped:
        life = first ? Life::Stopped : Life::Started;
        return first ? "stop" : "cancel-stop";
    case Life::Stopped:
        // A stopped reader holds requests until it starts again, removal
        // queries included in what it holds for: it is started first.
        life = Life::Started;
        return "start";
    case Life::QueryRemoved:
        // An orderly removal needs the handle closed first; the console
        // refuses it otherwise and the reader stays as it was.
        if (first) {
            life = Life::Gone;
            return "close\nremove";
        }
        life = Life::Started;
        return "cancel-remove";
    case Life::Gone:
        break;
    }
    return {};
}

std::string Line(FuzzInput& in, ScenarioState& state) {
    const auto operation = static_cast<Operation>(in.Below(static_cast<std::size_t>(Operation::Count)));
    switch (operation) {
    case Operation::CardInsert: return "card insert";
    case Operation::CardRemove: return "card remove";
    case Operation::Advance: return Pick(in, kAdvances);
    case Operation::Fault: return "fault " + Pick(in, kFaults);
    case Operation::Open: return "open";
    case Operation::Close: return "close";
    case Operation::Plug:
        if (state.readers == kMostReaders) return "readers";
        state.life[state.readers++] = Life::Started;
        return in.Flag() ? "plug QV-39N" : "plug";
    case Operation::Reader:
        state.current = in.Below(state.readers);
        return "reader " + std::to_string(state.current);
    case Operation::Unplug:
        if (state.Current() == Life::Gone) return "readers";
        state.Current() = Life::Gone;
        return "unplug";
    case Operation::Pnp: {
        std::string line = NextPnp(in, state);
        return line.empty() ? "readers" : line;
    }
    case Operation::Sleep:
        if (state.asleep) return "wake";
        state.asleep = true;
        return Pick(in, kSleeps);
    case Operation::Wake:
        state.asleep = false;
        return "wake";
    default:
        break;
    }
    // Everything else is a request through the reader's handle.
    if (state.asleep) {
        state.asleep = false;
        return "wake";
    }
    if (state.RequestsHeld()) {
        std::string line = NextPnp(in, state);
        return line.empty() ? "readers" : line;
    }
    switch (operation) {
    case Operation::Power: return Pick(in, kPowers);
    case Operation::State: return "state";
    case Operation::Attribute: return Pick(in, kAttributes);
    case Operation::WaitPresent: return "wait present";
    case Operation::WaitAbsent: return "wait absent";
    case Operation::Cancel: return "cancel";
    case Operation::Cleanup: return "cleanup";
    case Operation::Protocol: return Pick(in, kProtocols);
    case Operation::Apdu: return Pick(in, kApdus);
    case Operation::RawApdu: {
        const std::string hex = Hex(in.Chunk(kMostApdu));
        return hex.empty() ? "state" : "apdu " + hex;
    }
    case Operation::Ioctl: return Pick(in, kIoctls);
    default: break;
    }
    return "state";
}

harness::AppConsoleOptions ScenarioOptions(FuzzInput& in) {
    harness::AppConsoleOptions options;
    options.seed = in.Seed();
    options.model = in.Flag() ? sim::ReaderModel::Qv39N : sim::ReaderModel::Qv38N;
    const auto catalogue = sim::CardCatalogue();
    options.card = std::string(catalogue[in.Below(catalogue.size())].name);
    options.noCard = in.Byte() == 0xFF;
    return options;
}

} // namespace

// The console starts the reader with the seed, the model and the card of the
// input's first bytes; the input's own part, the console's lines, begins
// once it has started.
Verdict Run_scenario(Input input, StartPoint* start) {
    FuzzInput in(input);
    const harness::AppConsoleOptions options = ScenarioOptions(in);
    std::ostringstream out;
    std::string script;
    harness::AppConsole console(options, out);
    if (!console.Start()) {
        return Failed("the console did not start:\n" + out.str());
    }
    Reach(start, in);
    ScenarioState state;
    for (std::size_t i = 0; i < kMostOperations && !in.Empty(); ++i) {
        const std::string lines = Line(in, state);
        script += lines + "\n";
        for (std::size_t at = 0; at < lines.size();) {
            const std::size_t end = std::min(lines.find('\n', at), lines.size());
            (void)console.Execute(std::string_view(lines).substr(at, end - at));
            at = end + 1;
        }
    }
    Verdict verdict;
    if (console.Finish() != 0) {
        verdict = Failed("scenario (" + options.card + ", seed " + std::to_string(options.seed) + "):\n" + script +
                         "---\n" + out.str());
    }
    // The console's output ends with its run's digest.
    verdict.digest = std::hash<std::string>{}(out.str());
    return verdict;
}

std::string BootKey_scenario(Input input) {
    FuzzInput in(input);
    const harness::AppConsoleOptions options = ScenarioOptions(in);
    return BootKeyOf({options.seed, static_cast<std::uint64_t>(options.model), std::hash<std::string>{}(options.card),
                      options.noCard});
}

Verdict Fuzz_scenario(Input input) { return Run_scenario(input, nullptr); }

} // namespace qv::fuzz
