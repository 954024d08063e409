#include "scenario.h"

#include <array>
#include <fstream>
#include <iostream>
#include <random>
#include <sstream>
#include <string_view>

#include "cards/card_catalogue.h"
#include "capture.h"
#include "qvsim/console/app_console.h"
#include "harness/console_words.h"
#include "scenario_texts.h"

namespace qvsim {

namespace {

constexpr std::string_view kAbout = "# about:";
constexpr std::string_view kFinishClean = "qvsim app: clean, virtual time ";
constexpr std::string_view kFinishDigest = "qvsim: digest ";
constexpr std::size_t kDigestDigits = 16;
// Faults the driver must ride out without the application noticing: a
// damaged, misaddressed or error block from the reader (asked for again), a
// waiting-time extension, an answer chained over several blocks, a
// zero-length packet, and a T=1 card's damaged block or waiting-time
// extension. Each is recovered inside the link or the T=1 engine, so every
// expected outcome still holds. (A failed or halted bulk transfer fails its
// request, as it should: those are left out.)
constexpr std::array<std::string_view, 10> kRiddenOutFaults{
    "answer-bad-lrc", "answer-bad-nad", "answer-bad-length", "answer-error-block", "answer-wtx",
    "answer-chained", "in-zero-length", "card-bad-edc",      "card-wtx-1",         "card-wtx-2",
};
// One request in this many gets a fault armed in front of it.
constexpr unsigned kFaultOneIn = 3;
constexpr std::uint64_t kFaultStreamSalt = 0x51'56'53'43'52'00'00'0FULL;

// A fault is armed only in front of a request that is sure to meet it, so
// that faults never pile up for a later request: the reader's faults before
// the requests that always send the reader a command (a reset, a power down,
// a PPS), the card's own faults before APDUs.
bool IsCardFault(std::string_view fault) { return fault.starts_with("card-"); }

bool MeetsFault(std::string_view verb, std::string_view fault) {
    return IsCardFault(fault) ? verb == "apdu" : verb == "power" || verb == "protocol";
}

std::string FirstLine(std::string_view text) {
    const auto end = text.find('\n');
    return std::string(end == std::string_view::npos ? text : text.substr(0, end));
}

// Reads the setup lines and the about line of a scenario.
struct Setup {
    qv::harness::AppConsoleOptions console;
    std::string error;
};

Setup ReadSetup(const Scenario& scenario, std::uint64_t seed) {
    Setup setup;
    setup.console.seed = seed;
    std::istringstream in(scenario.text);
    std::string line;
    unsigned number = 0;
    while (std::getline(in, line)) {
        ++number;
        std::string_view rest = qv::harness::Trim(line);
        if (qv::harness::NextWord(rest) != "setup") continue;
        const std::string_view what = qv::harness::NextWord(rest);
        if (what == "card" && qv::sim::FindCard(rest)) {
            setup.console.card = std::string(rest);
        } else if (what == "no-card" && rest.empty()) {
            setup.console.noCard = true;
        } else if (what == "model" && qv::sim::ModelByName(rest)) {
            setup.console.model = *qv::sim::ModelByName(rest);
        } else {
            setup.error = "line " + std::to_string(number) + ": setup card NAME, setup no-card or setup model MODEL";
        }
    }
    return setup;
}

std::string AboutOf(std::string_view text) {
    std::istringstream in{std::string(text)};
    std::string line;
    while (std::getline(in, line)) {
        if (line.starts_with(kAbout)) return std::string(qv::harness::Trim(std::string_view(line).substr(kAbout.size())));
    }
    return {};
}

// The lines printed since the last expectation, searched for a text.
class Window {
  public:
    void Add(std::string_view text) { text_ += text; }
    // Finds the text within a line; on success what follows it stays, for
    // the next expectation.
    bool Take(std::string_view wanted) {
        std::size_t begin = 0;
        while (begin < text_.size()) {
            std::size_t end = text_.find('\n', begin);
            if (end == std::string::npos) end = text_.size();
            const auto at = std::string_view(text_).substr(begin, end - begin).find(wanted);
            if (at != std::string_view::npos) {
                text_.erase(0, begin + at + wanted.size());
                return true;
            }
            begin = end + 1;
        }
        return false;
    }
    bool Contains(std::string_view unwanted) const { return text_.find(unwanted) != std::string::npos; }
    // The last result line (or any last line), for a failure's cause.
    std::string Last() const {
        std::string_view view = text_;
        while (!view.empty() && view.back() == '\n') view.remove_suffix(1);
        const auto start = view.rfind('\n');
        return std::string(start == std::string_view::npos ? view : view.substr(start + 1));
    }

  private:
    std::string text_;
};

} // namespace

std::vector<Scenario> Scenarios() {
    std::vector<Scenario> scenarios;
    for (std::size_t i = 0; i < kEmbeddedScenarioCount; ++i) {
        const EmbeddedScenario& embedded = kEmbeddedScenarios[i];
        scenarios.push_back(Scenario{embedded.name, AboutOf(embedded.text), embedded.text});
    }
    return scenarios;
}

std::optional<Scenario> FindScenario(const std::string& name, std::string& error) {
    if (name.find('/') != std::string::npos || name.ends_with(".qvs")) {
        std::ifstream file(name);
        if (!file) {
            error = "cannot read the scenario file " + name;
            return std::nullopt;
        }
        std::stringstream text;
        text << file.rdbuf();
        return Scenario{name, AboutOf(text.str()), text.str()};
    }
    for (Scenario& scenario : Scenarios()) {
        if (scenario.name == name) return scenario;
    }
    error = "no scenario named '" + name + "' (qvsim app --scenario list names them)";
    return std::nullopt;
}

ScenarioOutcome RunScenario(const Scenario& scenario, const ScenarioRun& run, std::ostream& out) {
    ScenarioOutcome outcome;
    Setup setup = ReadSetup(scenario, run.seed);
    if (!setup.error.empty()) {
        outcome.cause = setup.error;
        return outcome;
    }
    setup.console.trace = run.trace;
    setup.console.time = run.time;
    std::ostringstream buffer;
    std::unique_ptr<qv::harness::PcapWriter> capture;
    qv::harness::AppConsole console(setup.console, buffer);
    if (run.pcap) {
        capture = AttachCapture(console, *run.pcap);
        if (!capture) {
            outcome.cause = "cannot write the capture " + *run.pcap;
            return outcome;
        }
    }
    Window window;
    auto flush = [&] {
        const std::string text = buffer.str();
        buffer.str({});
        out << text;
        window.Add(text);
    };
    // The fault stream is the seed's own, apart from the machine's.
    std::mt19937_64 faults(run.seed ^ kFaultStreamSalt);
    bool running = console.Start();
    flush();
    if (!running) outcome.cause = "the reader did not start: " + window.Last();

    std::istringstream in(scenario.text);
    std::string line;
    unsigned number = 0;
    while (running && std::getline(in, line)) {
        ++number;
        std::string_view rest = qv::harness::Trim(line);
        if (rest.empty() || rest.front() == '#') continue;
        const std::string_view verb = qv::harness::NextWord(rest);
        const std::string where = scenario.name + ":" + std::to_string(number);
        if (verb == "setup") continue;
        if (verb == "expect" || verb == "expect-no") {
            ++outcome.checks;
            const bool held = verb == "expect" ? window.Take(rest) : !window.Contains(rest);
            if (!held) {
                outcome.cause = where + ": " + (verb == "expect" ? "expected '" : "did not expect '") + std::string(rest) +
                                "', last line '" + window.Last() + "'";
                out << "scenario: " << outcome.cause << "\n";
                running = false;
                break;
            }
            continue;
        }
        if (run.faults && (verb == "apdu" || verb == "power" || verb == "protocol") && faults() % kFaultOneIn == 0) {
            std::vector<std::string> candidates;
            if (run.faultSet.empty()) {
                for (std::string_view fault : kRiddenOutFaults) {
                    if (MeetsFault(verb, fault)) candidates.emplace_back(fault);
                }
            } else {
                for (const std::string& fault : run.faultSet) {
                    if (MeetsFault(verb, fault)) candidates.push_back(fault);
                }
            }
            if (!candidates.empty()) {
                console.Execute("fault " + candidates[faults() % candidates.size()]);
                ++outcome.faultsArmed;
            }
        }
        out << "> " << qv::harness::Trim(line) << "\n";
        console.Execute(line);
        flush();
    }
    const int finish = console.Finish();
    const std::string end = buffer.str();
    buffer.str({});
    out << end;
    if (capture) capture->Close();
    if (const auto at = end.find(kFinishClean); at != std::string::npos) {
        outcome.virtualMs = std::stoull(end.substr(at + kFinishClean.size()));
    }
    if (const auto at = end.rfind(kFinishDigest); at != std::string::npos) {
        outcome.digest = end.substr(at + kFinishDigest.size(), kDigestDigits);
    }
    if (finish != 0 && outcome.cause.empty()) outcome.cause = "the run did not end clean: " + FirstLine(end);
    outcome.passed = outcome.cause.empty();
    return outcome;
}

std::vector<std::string> SplitFaultSet(const std::string& text) {
    std::vector<std::string> names;
    std::string_view rest = text;
    while (!rest.empty()) {
        const auto comma = rest.find(',');
        const std::string_view name = qv::harness::Trim(rest.substr(0, comma));
        if (!name.empty()) names.emplace_back(name);
        rest = comma == std::string_view::npos ? std::string_view{} : rest.substr(comma + 1);
    }
    return names;
}

int RunScenarioCommand(const Options& options, std::uint64_t seed) {
    if (*options.scenario == "list") {
        for (const Scenario& scenario : Scenarios()) {
            std::printf("%-18s %s\n", scenario.name.c_str(), scenario.about.c_str());
        }
        return 0;
    }
    std::string error;
    const auto scenario = FindScenario(*options.scenario, error);
    if (!scenario) {
        std::cerr << "qvsim: " << error << "\n";
        return 2;
    }
    ScenarioRun run;
    run.seed = seed;
    run.faults = options.faults;
    run.faultSet = SplitFaultSet(options.faultSet);
    run.trace = options.trace;
    run.time = options.time;
    run.pcap = options.pcap;
    const ScenarioOutcome outcome = RunScenario(*scenario, run, std::cout);
    std::cout << "scenario " << scenario->name << ": " << (outcome.passed ? "passed" : "FAILED") << ", "
              << outcome.checks << " checks, " << outcome.faultsArmed << " faults armed, seed " << seed;
    if (!outcome.passed) std::cout << ": " << outcome.cause;
    std::cout << "\n";
    return outcome.passed ? 0 : 1;
}

} // namespace qvsim
