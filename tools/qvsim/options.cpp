#include "options.h"

#include <CLI/CLI.hpp>

#include <string_view>
#include <vector>

#include "usb_descriptors.h"

namespace qvsim {

namespace {

constexpr const char* kDescription =
    "qvsim runs the qvscr driver on the emulated Windows kernel against simulated\n"
    "readers and cards, in virtual time; one seed gives one run and one digest.";

void AddSeed(CLI::App& mode, Options& options) {
    mode.add_option("--seed", options.seed,
                    "schedule and faults from seed N (a random seed otherwise); the same seed gives the same run");
}

void AddReader(CLI::App& mode, Options& options) {
    mode.add_option("--model", options.model, "the simulated reader")
        ->check(CLI::IsMember({"QV-38N", "QV-39N"}))
        ->capture_default_str();
}

void AddTrace(CLI::App& mode, Options& options) {
    mode.add_flag("--trace", options.trace, "print every USB transfer and the link block it carries");
}

void AddPcap(CLI::App& mode, Options& options) {
    mode.add_option("--pcap", options.pcap, "write every USB transfer into FILE (Wireshark's USB capture format)")
        ->type_name("FILE");
}

void AddCard(CLI::App& mode, Options& options) {
    mode.add_option("--card", options.card, "the card in the slot at start (see 'card list')")->capture_default_str();
    mode.add_option("--atr", options.atr, "a card made from this ATR (hex) instead")->type_name("HEX");
    mode.add_flag("--no-card", options.noCard, "start with the slot empty");
}

CLI::Validator PipeLayouts() {
    return CLI::Validator(
        [](std::string& text) -> std::string {
            return qv::sim::PipeLayoutByName(text) ? std::string() : "--pipes is standard, swapped or small";
        },
        "standard|swapped|small");
}

} // namespace

std::optional<int> ParseCommandLine(int argc, char** argv, Options& options) {
    CLI::App app{kDescription, "qvsim"};
    app.require_subcommand(0, 1);
    app.footer("Without a mode qvsim runs the demo. 'qvsim MODE --help' describes a mode.");

    CLI::App* demo = app.add_subcommand("demo", "the whole life of a reader, told with the trace folded (the default)");
    AddSeed(*demo, options);
    AddReader(*demo, options);
    AddCard(*demo, options);
    AddPcap(*demo, options);
    demo->add_flag("--trace", options.trace, "print the trace whole, every transfer and block, instead of folded");

    CLI::App* appMode = app.add_subcommand(
        "app", "the application's console: smart-card requests on the reader's handle, from standard input, "
               "--script FILE, an APDU script (--scriptor) or a ready scenario (--scenario)");
    AddSeed(*appMode, options);
    AddReader(*appMode, options);
    AddCard(*appMode, options);
    AddTrace(*appMode, options);
    AddPcap(*appMode, options);
    appMode->add_flag("--time", options.time, "start every line with the virtual time");
    auto* script = appMode->add_option("--script", options.script, "console commands from FILE")
                       ->type_name("FILE")
                       ->check(CLI::ExistingFile);
    auto* scriptor = appMode->add_option("--scriptor", options.scriptor,
                                         "run an APDU script in pcsc-tools' scriptor format from FILE ('-': "
                                         "standard input) and print as scriptor does")
                         ->type_name("FILE")
                         ->expected(0, 1)
                         ->default_str("-");
    appMode->add_option("--protocol", options.protocol, "scriptor: the protocol to ask for (either by default)")
        ->check(CLI::IsMember({"T=0", "T=1"}))
        ->needs(scriptor);
    auto* scenario = appMode->add_option("--scenario", options.scenario,
                                         "run the ready scenario NAME and check its outcomes; 'list' names them")
                         ->type_name("NAME");
    auto* faults = appMode->add_flag("--faults", options.faults, "scenario: arm reader and card faults drawn from the seed")
                       ->needs(scenario);
    appMode->add_option("--fault-set", options.faultSet, "scenario: the faults to draw from, as a,b,c (see 'fault list')")
        ->needs(faults);
    script->excludes(scriptor)->excludes(scenario);
    scriptor->excludes(scenario);

    CLI::App* link = app.add_subcommand("link", "the reader console: reader commands from standard input or "
                                                "--script FILE, one per line (type 'help' for the list)");
    AddSeed(*link, options);
    AddReader(*link, options);
    AddTrace(*link, options);
    link->add_option("--pipes", options.pipes,
                     "the reader's endpoints: standard, swapped (OUT listed first) or small (32-byte packets); the "
                     "driver refuses the wrong ones at configuration")
        ->check(PipeLayouts())
        ->capture_default_str();
    link->add_option("--script", options.script, "console commands from FILE")->type_name("FILE")->check(CLI::ExistingFile);

    CLI::App* tour = app.add_subcommand("tour", "the emulated kernel at work: threads, events, a mutex, a one-second "
                                                "I/O timer and delays in virtual time");
    AddSeed(*tour, options);
    tour->add_flag("--realtime", options.realTime, "let virtual time follow the wall clock");

    CLI::App* sweep = app.add_subcommand("sweep", "run a scenario under many seeds on all cores and report the "
                                                  "failures with their seeds");
    sweep->add_option("--seeds", options.seeds, "the seeds: a range and/or a list, as 1-10000 or 3,17,40-50")
        ->capture_default_str();
    sweep->add_option("--jobs,-j", options.jobs, "worker processes (0: one per core)")->capture_default_str();
    auto* sweepFaults = sweep->add_flag("--faults", options.faults, "arm reader and card faults drawn from each seed");
    sweep->add_option("--fault-set", options.faultSet, "the faults to draw from, as a,b,c (see 'qvsim app', 'fault list')")
        ->needs(sweepFaults);
    sweep->add_flag("--verbose,-v", options.verbose, "print the cause of every failing seed, not only the first 20");
    auto* sweepShard = sweep->add_option("--shard", options.shard,
                                         "run shard I of N (counted from 0): the seeds at positions p of the list "
                                         "with p mod N = I")
                           ->type_name("I/N");
    auto* sweepJson = sweep->add_option("--json", options.json,
                                        "write the results as a JSON document to FILE ('-': standard output, the "
                                        "summary then to standard error)")
                          ->type_name("FILE");
    auto* sweepScenario =
        sweep->add_option("scenario", options.scenario, "the scenario's name (qvsim app --scenario list)");
    sweep->add_option("--merge", options.mergeFiles,
                      "merge the JSON documents of a sweep's shards and print its summary; fails unless they cover "
                      "it exactly once and every seed passed")
        ->type_name("FILE...")
        ->expected(1, -1)
        ->check(CLI::ExistingFile)
        ->excludes(sweepScenario, sweepShard, sweepJson);

    CLI::App* explore = app.add_subcommand(
        "explore", "run a small lifecycle story under every schedule with up to N preemptions and check each one "
                   "to the end; a failing schedule prints a token for --replay");
    auto* exploreList = explore->add_flag("--list", options.list, "name the stories, one per line");
    auto* exploreReplay =
        explore->add_option("--replay", options.replay, "run one schedule again, with its trace")->type_name("TOKEN");
    auto* exploreName = explore->add_option("scenario", options.scenario, "the story's name, or 'all'")->type_name("NAME");
    explore->add_option("--preemptions", options.preemptions, "departures from the default schedule (the bound)")
        ->capture_default_str();
    explore->add_option("--max-schedules", options.maxSchedules, "stop after M schedules (0: all)")
        ->capture_default_str();
    explore->add_option("--jobs,-j", options.jobs, "worker processes (0: one per core)")->capture_default_str();
    exploreList->excludes(exploreReplay)->excludes(exploreName);
    exploreReplay->excludes(exploreName);

    CLI::App* conformance = app.add_subcommand(
        "conformance", "the reader conformance suite against simulated test cards: a table of cases (seeds from "
                       "--seed N or QV_SEEDS, 1-3 by default); fails when a case fails");
    AddSeed(*conformance, options);

    auto known = [&](const std::string& word) {
        for (CLI::App* mode : app.get_subcommands([](CLI::App*) { return true; })) {
            if (mode->get_name() == word) return true;
        }
        return false;
    };
    if (argc > 1 && argv[1][0] != '-' && !known(argv[1])) {
        options.command = argv[1];
        for (int i = 2; i < argc; ++i) options.arguments.emplace_back(argv[i]);
        return std::nullopt;
    }
    // Options without a mode are the demo's: "qvsim --seed 7" as before.
    // CLI11 takes the arguments from the back of the list.
    std::vector<std::string> arguments;
    for (int i = argc - 1; i >= 1; --i) arguments.emplace_back(argv[i]);
    if (!arguments.empty()) {
        const std::string& first = arguments.back();
        if (first.starts_with("-") && first != "-h" && first != "--help") arguments.emplace_back("demo");
    }
    try {
        app.parse(arguments);
    } catch (const CLI::ParseError& error) {
        const int code = app.exit(error);
        return code == 0 ? 0 : 2;
    }
    for (CLI::App* mode : app.get_subcommands()) options.command = mode->get_name();
    if (options.command == "explore" && !options.list && !options.replay && !options.scenario) {
        std::fprintf(stderr, "qvsim explore: name a story (or 'all'), --list or --replay TOKEN\n");
        return 2;
    }
    if (options.atr && options.noCard) {
        std::fprintf(stderr, "qvsim: --atr and --no-card exclude each other\n");
        return 2;
    }
    return std::nullopt;
}

} // namespace qvsim
