// qvsim's modes through the built program: the USB capture read back with
// tshark, the ready scenarios and their checks, the seed sweep, the demo's
// length, and the command line's help and mistakes.
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <nlohmann/json.hpp>
#include <set>

#include "tools/qvsim_program_support.h"

namespace {

using qv::test::ProgramRun;
using qv::test::Qvsim;
using qv::test::TestFile;

const std::vector<std::string> kScenarios = {"t0-session", "t1-session",       "card-pulled",
                                             "sleep-wake", "surprise-removal", "four-readers"};

// ---- The capture ------------------------------------------------------------

struct CapturedRecord {
    double time = 0;
    std::string urbType; // 'S' or 'C'
    std::string transferType;
    std::string endpoint;
    std::string device;
    std::string bus;
    std::string data;
};

std::vector<CapturedRecord> ReadCapture(const std::string& path) {
    const std::string command = "tshark -r " + path +
                                " -T fields -E separator=/t -e frame.time_epoch -e usb.urb_type -e usb.transfer_type"
                                " -e usb.endpoint_address -e usb.device_address -e usb.bus_id -e usb.capdata 2>/dev/null";
    std::vector<CapturedRecord> records;
    FILE* pipe = popen(command.c_str(), "r");
    if (pipe == nullptr) return records;
    std::string text;
    char buffer[4096];
    std::size_t n = 0;
    while ((n = fread(buffer, 1, sizeof buffer, pipe)) > 0) text.append(buffer, n);
    pclose(pipe);
    std::istringstream in(text);
    std::string line;
    while (std::getline(in, line)) {
        std::vector<std::string> fields;
        std::size_t start = 0;
        while (true) {
            const auto tab = line.find('\t', start);
            fields.push_back(line.substr(start, tab - start));
            if (tab == std::string::npos) break;
            start = tab + 1;
        }
        fields.resize(7);
        records.push_back(CapturedRecord{std::atof(fields[0].c_str()), fields[1], fields[2], fields[3], fields[4],
                                         fields[5], fields[6]});
    }
    return records;
}

// "04 12 C0 00 D2" -> "0412c000d2", as tshark prints data.
std::string TsharkHex(std::string trace) {
    std::string hex;
    for (char c : trace) {
        if (c == ' ') continue;
        hex += static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    }
    return hex;
}

TEST(QvsimCapture, TsharkReadsEveryTransferOfTheTraceBack) {
    if (std::system("command -v tshark >/dev/null 2>&1") != 0) GTEST_SKIP() << "tshark is not installed";
    const std::string pcap = TestFile("run.pcap", "");
    const auto run = Qvsim("app --seed 7 --trace --pcap " + pcap, "power cold\nprotocol t1\napdu 00A4000C025100\n"
                                                                  "apdu 00B0000000\ncard remove\nadvance 2000\n");
    ASSERT_EQ(run.status, 0) << run.out;
    std::vector<std::string> out;
    std::vector<std::string> in;
    for (const std::string& line : run.Lines()) {
        if (line.starts_with("usb> ")) out.push_back(TsharkHex(line.substr(5)));
        if (line.starts_with("usb< ")) in.push_back(TsharkHex(line.substr(5)));
    }
    ASSERT_GT(out.size(), 10u) << run.out;

    const auto records = ReadCapture(pcap);
    ASSERT_FALSE(records.empty()) << "tshark read nothing from " << pcap;
    std::vector<std::string> capturedOut;
    std::vector<std::string> capturedIn;
    std::size_t submissions = 0;
    std::size_t completions = 0;
    std::set<std::string> devices;
    double last = 0;
    for (const CapturedRecord& record : records) {
        EXPECT_EQ(record.bus, "1");
        devices.insert(record.device);
        EXPECT_GE(record.time, last) << "records in time order";
        last = record.time;
        (record.urbType == "'S'" ? submissions : completions) += 1;
        if (record.transferType != "0x03") continue; // bulk
        if (record.endpoint == "0x02" && record.urbType == "'S'") capturedOut.push_back(record.data);
        if (record.endpoint == "0x81" && record.urbType == "'C'" && !record.data.empty()) capturedIn.push_back(record.data);
    }
    EXPECT_EQ(submissions, completions) << "each request submitted and completed";
    EXPECT_EQ(devices, std::set<std::string>{"2"}) << "the one reader, at the address the bus gave it";
    EXPECT_EQ(capturedOut, out) << "every OUT transfer of the trace, in order, with its bytes";
    EXPECT_EQ(capturedIn, in) << "every IN transfer of the trace, in order, with its bytes";
    // Virtual time: the capture spans the run's virtual time, not the wall
    // clock's (the card-status polls of two seconds are in it).
    EXPECT_GE(last - records.front().time, 2.0);
    EXPECT_LT(last, 60.0) << "time stamps start at the machine's time zero";
}

TEST(QvsimCapture, ControlRequestsAndASecondReaderHaveTheirOwnAddresses) {
    if (std::system("command -v tshark >/dev/null 2>&1") != 0) GTEST_SKIP() << "tshark is not installed";
    const std::string pcap = TestFile("two.pcap", "");
    const auto run = Qvsim("app --seed 2 --pcap " + pcap, "plug\nreader 1\nopen\nclose\nunplug\n");
    ASSERT_EQ(run.status, 0) << run.out;
    std::set<std::string> devices;
    std::size_t control = 0;
    for (const CapturedRecord& record : ReadCapture(pcap)) {
        devices.insert(record.device);
        if (record.transferType == "0x02") ++control;
    }
    EXPECT_EQ(devices, (std::set<std::string>{"2", "3"})) << run.out;
    // Per reader: two descriptor reads and a configuration at start and the
    // unconfiguring at the end, each a submission and a completion.
    EXPECT_GE(control, 2u * 2u * 4u);
    EXPECT_NE(Qvsim("app --pcap /no/such/folder/x.pcap", "state\n").status, 0);
}

// ---- Scenarios --------------------------------------------------------------

TEST(QvsimScenario, ListNamesEveryScenarioWithWhatItShows) {
    const auto run = Qvsim("app --scenario list");
    ASSERT_EQ(run.status, 0) << run.out;
    for (const std::string& name : kScenarios) EXPECT_TRUE(run.Has(name + " ")) << name << "\n" << run.out;
    EXPECT_EQ(run.Lines().size(), kScenarios.size()) << run.out;
}

TEST(QvsimScenario, EveryScenarioPassesItsChecksOnSeveralSeeds) {
    for (const std::string& name : kScenarios) {
        for (const char* seed : {"1", "2", "7"}) {
            const auto run = Qvsim("app --scenario " + name + " --seed " + seed);
            EXPECT_EQ(run.status, 0) << name << " seed " << seed << "\n" << run.out;
            EXPECT_TRUE(run.Has("scenario " + name + ": passed, ")) << run.out;
            EXPECT_TRUE(run.Has("qvsim app: clean")) << run.out;
        }
    }
}

TEST(QvsimScenario, FaultsDrawnFromTheSeedAreRiddenOut) {
    for (const std::string& name : kScenarios) {
        bool armed = false;
        for (const char* seed : {"3", "4", "5"}) {
            const auto run = Qvsim("app --scenario " + name + " --faults --seed " + seed);
            EXPECT_EQ(run.status, 0) << name << " seed " << seed << "\n" << run.out;
            armed = armed || run.Has(" armed for 1");
        }
        EXPECT_TRUE(armed) << name << ": no seed armed a fault";
    }
}

TEST(QvsimScenario, AFailedCheckNamesItsLineAndTheSeedReplaysExactly) {
    const std::string path = TestFile("broken.qvs", "# about: a check that cannot hold\n"
                                                    "power cold\n"
                                                    "expect power cold: STATUS_SUCCESS\n"
                                                    "state\n"
                                                    "expect state 4 SCARD_POWERED_NOT\n"
                                                    "power down\n");
    const auto run = Qvsim("app --scenario " + path + " --seed 9");
    EXPECT_EQ(run.status, 1) << run.out;
    EXPECT_TRUE(run.Has("FAILED, 2 checks")) << run.out;
    EXPECT_TRUE(run.Has(":5: expected 'state 4 SCARD_POWERED_NOT', last line 'state: STATUS_SUCCESS")) << run.out;
    EXPECT_FALSE(run.Has("> power down")) << "nothing runs after a failed check\n" << run.out;
    EXPECT_EQ(Qvsim("app --scenario " + path + " --seed 9").out, run.out);
    EXPECT_EQ(Qvsim("app --scenario no-such-story").status, 2);
    const std::string bad = TestFile("setup.qvs", "setup card no-such-card\nstate\n");
    EXPECT_EQ(Qvsim("app --scenario " + bad).status, 1);
}

TEST(QvsimScenario, TheRepositoryFilesAreTheOnesCompiledIn) {
    std::size_t files = 0;
    for (const auto& entry : std::filesystem::directory_iterator(QV_SCENARIO_DIR)) {
        if (entry.path().extension() != ".qvs") continue;
        ++files;
        const auto byPath = Qvsim("app --scenario " + entry.path().string() + " --seed 5");
        const auto byName = Qvsim("app --scenario " + entry.path().stem().string() + " --seed 5");
        EXPECT_EQ(byPath.status, 0) << byPath.out;
        // The same run, line for line, but for the name in the last line.
        auto body = [](const std::string& out) {
            const std::size_t begin = out.find('\n');
            return out.substr(begin, out.rfind("\nscenario ") - begin);
        };
        EXPECT_EQ(body(byPath.out), body(byName.out)) << entry.path();
    }
    EXPECT_EQ(files, kScenarios.size());
}

// ---- Sweep ------------------------------------------------------------------

TEST(QvsimSweep, ManySeedsOnSeveralWorkersAllClean) {
    const auto run = Qvsim("sweep --seeds 1-40 --jobs 3 four-readers");
    EXPECT_EQ(run.status, 0) << run.out;
    EXPECT_TRUE(run.Has("sweep four-readers: 40 runs, 0 failed (seeds 1-40, faults off, 3 workers)")) << run.out;
    EXPECT_TRUE(run.Has("virtual time ")) << run.out;
    EXPECT_TRUE(run.Has(" times faster than real time")) << run.out;
    // Seed 7 named twice runs once, and the sweep still passes.
    const auto faults = Qvsim("sweep --faults --seeds 1-30,100,7 t1-session");
    EXPECT_EQ(faults.status, 0) << faults.out;
    EXPECT_TRUE(faults.Has("31 runs, 0 failed")) << faults.out;
}

TEST(QvsimSweep, FailuresComeWithTheirSeedsCausesAndAReplayLine) {
    // No protocol is chosen before the APDU, so the request fails and the
    // check on line 4 holds on no seed.
    const std::string path = TestFile("flaky.qvs", "power cold\nexpect power cold: STATUS_SUCCESS\n"
                                                   "apdu 00A4000C025100\nexpect SW 6A82\n");
    const auto run = Qvsim("sweep --seeds 5-12 --jobs 2 " + path);
    EXPECT_EQ(run.status, 1) << run.out;
    EXPECT_TRUE(run.Has("8 runs, 8 failed")) << run.out;
    for (int seed = 5; seed <= 12; ++seed) {
        EXPECT_TRUE(run.Has("  seed " + std::to_string(seed) + ": ")) << run.out;
    }
    EXPECT_TRUE(run.Has(":4: expected 'SW 6A82'")) << run.out;
    EXPECT_TRUE(run.Has("replay: qvsim app --scenario " + path + " --seed 5")) << run.out;
    const auto replay = Qvsim("app --scenario " + path + " --seed 5");
    EXPECT_EQ(replay.status, 1);
    EXPECT_TRUE(replay.Has(":4: expected 'SW 6A82'")) << replay.out;
}

TEST(QvsimSweep, PlainProgressLinesWhenNotOnATerminal) {
    const auto run = Qvsim("sweep --seeds 1-20 t0-session", {}, true);
    EXPECT_EQ(run.status, 0) << run.out;
    EXPECT_TRUE(run.Has("sweep: 20/20 runs, 0 failed")) << run.out;
    EXPECT_FALSE(run.Has("\r")) << "no bar drawn into a pipe";
}

// ---- Sharded sweeps ----------------------------------------------------------

// A summary without its wall-clock line, which no two runs share.
std::vector<std::string> TimelessSummary(const ProgramRun& run) {
    std::vector<std::string> lines;
    for (const std::string& line : run.Lines()) {
        if (line.starts_with("virtual time ")) {
            lines.push_back(line.substr(0, line.find(", wall time")));
        } else {
            lines.push_back(line);
        }
    }
    return lines;
}

// Runs the sweep as `shards` shards of one worker each, each writing its
// document (named after tag); returns the documents' paths.
std::vector<std::string> RunShards(const std::string& sweep, unsigned shards, const std::string& tag = "") {
    std::vector<std::string> documents;
    for (unsigned i = 0; i < shards; ++i) {
        const std::string shard = std::to_string(i) + "/" + std::to_string(shards);
        documents.push_back(TestFile(tag + "shard" + std::to_string(i) + ".json", ""));
        const auto run = Qvsim("sweep --jobs 1 --shard " + shard + " --json " + documents.back() + " " + sweep);
        EXPECT_TRUE(run.Has("shard " + shard)) << run.out;
    }
    return documents;
}

std::string Joined(const std::vector<std::string>& words) {
    std::string text;
    for (const std::string& word : words) text += " " + word;
    return text;
}

TEST(QvsimSweepShards, MergedShardsPrintWhatTheUnshardedSweepPrints) {
    // One passing sweep with faults and one where every seed fails: the
    // merge must give the same runs, failures, replay line and digest, and
    // the same exit status.
    const std::string flaky = TestFile("flaky.qvs", "power cold\nexpect power cold: STATUS_SUCCESS\n"
                                                    "apdu 00A4000C025100\nexpect SW 6A82\n");
    for (const std::string& sweep : {std::string("--faults --seeds 1-20,33 t1-session"), "--seeds 4-10 " + flaky}) {
        const auto whole = Qvsim("sweep --jobs 3 " + sweep);
        const auto merged = Qvsim("sweep --merge" + Joined(RunShards(sweep, 3)));
        EXPECT_EQ(merged.status, whole.status) << merged.out;
        EXPECT_EQ(TimelessSummary(merged), TimelessSummary(whole)) << merged.out << "\n" << whole.out;
        EXPECT_TRUE(merged.Has("sweep digest ")) << merged.out;
    }
    const auto failing = Qvsim("sweep --merge" + Joined(RunShards("--seeds 4-10 " + flaky, 2)));
    EXPECT_EQ(failing.status, 1);
    EXPECT_TRUE(failing.Has("replay: qvsim app --scenario " + flaky + " --seed 4")) << failing.out;
}

TEST(QvsimSweepShards, TheDocumentNamesTheShardItsSeedsAndHowToReplayAFailure) {
    const std::string flaky = TestFile("flaky.qvs", "power cold\nexpect power cold: STATUS_SUCCESS\n"
                                                    "apdu 00A4000C025100\nexpect SW 6A82\n");
    // The document to standard output, the summary to standard error.
    const auto run = Qvsim("sweep --seeds 1-7 --faults --fault-set answer-bad-lrc --shard 1/2 --json - " + flaky);
    EXPECT_EQ(run.status, 1);
    const auto document = nlohmann::json::parse(run.out, nullptr, false);
    ASSERT_FALSE(document.is_discarded()) << run.out;
    EXPECT_EQ(document["format"], "qvsim-sweep 1");
    EXPECT_EQ(document["shard"]["index"], 1);
    EXPECT_EQ(document["shard"]["count"], 2);
    EXPECT_EQ(document["seeds"], "1-7");
    EXPECT_EQ(document["runs"], 3);
    std::vector<std::uint64_t> seeds;
    for (const auto& result : document["results"]) seeds.push_back(result["seed"]);
    EXPECT_EQ(seeds, (std::vector<std::uint64_t>{2, 4, 6})) << "every second seed, from the second";
    ASSERT_EQ(document["failures"].size(), 3u);
    EXPECT_EQ(document["failures"][0]["replay"],
              "qvsim app --scenario " + flaky + " --seed 2 --faults --fault-set answer-bad-lrc");
    EXPECT_NE(document["failures"][0]["cause"].get<std::string>().find("expected 'SW 6A82'"), std::string::npos);
    EXPECT_FALSE(document["version"].get<std::string>().empty());
}

TEST(QvsimSweepShards, MoreShardsThanSeedsLeaveSomeEmptyAndStillMerge) {
    const auto merged = Qvsim("sweep --merge" + Joined(RunShards("--seeds 3,9 t0-session", 4)));
    EXPECT_EQ(merged.status, 0) << merged.out;
    EXPECT_TRUE(merged.Has("sweep t0-session: 2 runs, 0 failed (seeds 3,9, faults off, 2 workers)")) << merged.out;
}

TEST(QvsimSweepShards, AMergeRefusesShardsThatDoNotMakeOneWholeSweep) {
    const auto three = RunShards("--seeds 1-6 t0-session", 3);
    const auto other = RunShards("--seeds 1-6 t1-session", 3, "other");
    const auto halves = RunShards("--seeds 1-6 t0-session", 2, "halves");
    const std::string wrong = TestFile("wrong.json", "{\"format\": \"qvsim-sweep 1\", \"version\": 7}");
    const std::string truncated = TestFile("truncated.json", "{\"format\": ");
    // A shard whose results lost a seed, as an edited or damaged file would.
    std::string lost;
    {
        std::ifstream in(three[2]);
        auto document = nlohmann::json::parse(in);
        document["results"].erase(0);
        lost = TestFile("lost.json", document.dump());
    }
    struct Case {
        std::vector<std::string> files;
        const char* says;
    };
    for (const Case& mistake : {Case{{three[0], three[1]}, "1 of 3 shards missing: 2/3"},
                                Case{{three[0], three[1], three[1], three[2]}, "shard 1/3 is given twice"},
                                Case{{three[0], three[1], other[2]}, "different sweeps (scenarios t0-session and t1-session)"},
                                Case{{three[0], halves[1]}, "one of 2"},
                                Case{{three[0], three[1], lost}, "has 1 results for its 2 seeds"},
                                Case{{wrong}, "wrong type"},
                                Case{{truncated}, "not a JSON document"}}) {
        const auto run = Qvsim("sweep --merge" + Joined(mistake.files), {}, true);
        EXPECT_EQ(run.status, 2) << mistake.says << "\n" << run.out;
        EXPECT_TRUE(run.Has(mistake.says)) << run.out;
        EXPECT_FALSE(run.Has("sweep digest")) << "no summary for a sweep that is not whole";
    }
}

// ---- The demo and the command line ------------------------------------------

TEST(QvsimDemo, TellsTheWholeStoryInUnderAScreenAndAHalf) {
    const auto run = Qvsim("demo --seed 7");
    ASSERT_EQ(run.status, 0) << run.out;
    EXPECT_LE(run.Lines().size(), 60u) << run.out;
    for (const char* step : {"qvsim app: seed 7", "reader 0: unit 0 QV-38N started", "card in", "SCARD_PRESENT",
                             "power cold: STATUS_SUCCESS (0x00000000) ATR 3B ", "ATR parsed",
                             "protocol: STATUS_SUCCESS (0x00000000) protocol T1", "> apdu 00A4040C07",
                             "03 0A 11 18 1F 26 2D 34 3B 42 49 50 57 5E 65 6C 90 00 SW 9000", "card out",
                             "state 1 SCARD_ABSENT", "sleep: STATUS_SUCCESS", "wake: STATUS_SUCCESS",
                             "close: STATUS_SUCCESS", "unplug: STATUS_SUCCESS", "qvsim: digest "}) {
        EXPECT_TRUE(run.Has(step)) << step << "\n" << run.out;
    }
    EXPECT_TRUE(run.Has("     usb: ")) << "the trace, folded\n" << run.out;
    EXPECT_FALSE(run.Has("\nusb> ")) << "no transfer line unfolded\n" << run.out;
    const auto whole = Qvsim("demo --seed 7 --trace");
    EXPECT_TRUE(whole.Has("\nusb> ")) << whole.out;
    EXPECT_EQ(whole.Lines().back(), run.Lines().back()) << "folding changes the printing, not the run";
}

TEST(QvsimCommandLine, EveryModeHasHelp) {
    for (const char* mode : {"demo", "app", "link", "tour", "sweep"}) {
        const auto run = Qvsim(std::string(mode) + " --help");
        EXPECT_EQ(run.status, 0) << mode;
        EXPECT_TRUE(run.Has("--help")) << mode << "\n" << run.out;
    }
    const auto top = Qvsim("--help");
    EXPECT_EQ(top.status, 0);
    for (const char* mode : {"demo", "app", "link", "tour", "sweep"}) EXPECT_TRUE(top.Has(mode)) << top.out;
    EXPECT_TRUE(Qvsim("app --help").Has("--scriptor")) << "the app's own options";
}

TEST(QvsimCommandLine, MistakesAreNamedAndEndWithStatusTwo) {
    struct Case {
        const char* arguments;
        const char* says;
    };
    for (const Case& mistake : {Case{"app --no-such-option", "--no-such-option"}, Case{"app --seed x", "--seed"},
                                Case{"app --model QV-99", "QV-99"}, Case{"link --pipes odd", "pipes"},
                                Case{"app --script /no/such/file", "/no/such/file"}, Case{"frobnicate", "frobnicate"},
                                Case{"sweep", "scenario"}, Case{"sweep --seeds 9-3 t0-session", "--seeds"},
                                Case{"sweep --shard 3/3 t0-session", "below N"}, Case{"sweep --shard 2 t0-session", "I/N"},
                                Case{"sweep --shard -1/3 t0-session", "I/N"}, Case{"sweep --shard 0/0 t0-session", "N must be"},
                                Case{"sweep --json /no/such/dir/x.json t0-session", "/no/such/dir"},
                                Case{"sweep --merge /no/such.json", "/no/such.json"},
                                Case{"sweep --merge t0-session", "t0-session"},
                                Case{"app --faults", "--scenario"}, Case{"app --scriptor - --scenario t0-session", "excludes"},
                                Case{"app --atr 3B --no-card", "exclude"}}) {
        const auto run = Qvsim(mistake.arguments, {}, true);
        EXPECT_EQ(run.status, 2) << mistake.arguments << "\n" << run.out;
        EXPECT_TRUE(run.Has(mistake.says)) << mistake.arguments << "\n" << run.out;
    }
}

} // namespace
