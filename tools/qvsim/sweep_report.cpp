#include "sweep_report.h"

#include <algorithm>
#include <charconv>
#include <fstream>
#include <iostream>
#include <nlohmann/json.hpp>
#include <set>
#include <sstream>

#include "sweep.h"

#ifndef QV_SOURCE_VERSION
#define QV_SOURCE_VERSION "unknown"
#endif

namespace qvsim {

namespace {

constexpr std::size_t kFailuresShown = 20;
constexpr std::uint64_t kFnvOffset = 0xcbf29ce484222325ull;
constexpr std::uint64_t kFnvPrime = 0x100000001b3ull;
constexpr unsigned kMostShards = 1'000'000;

using Json = nlohmann::ordered_json;

std::uint64_t Fnv(std::uint64_t hash, std::string_view text) {
    for (unsigned char c : text) {
        hash ^= c;
        hash *= kFnvPrime;
    }
    return hash;
}

std::string Hex(std::uint64_t value) {
    char text[24];
    std::snprintf(text, sizeof text, "%016llx", static_cast<unsigned long long>(value));
    return text;
}

std::string Ratio(double virtualSeconds, double wallSeconds) {
    if (wallSeconds <= 0) return "-";
    char text[32];
    std::snprintf(text, sizeof text, "%.0f", virtualSeconds / wallSeconds);
    return text;
}

std::string ShardName(Shard shard) { return std::to_string(shard.index) + "/" + std::to_string(shard.count); }

bool ParseUnsigned(std::string_view text, unsigned& value) {
    if (text.empty()) return false;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    return error == std::errc{} && end == text.data() + text.size();
}

} // namespace

std::optional<Shard> ParseShard(std::string_view text, std::string& error) {
    const auto slash = text.find('/');
    Shard shard;
    if (slash == std::string_view::npos || !ParseUnsigned(text.substr(0, slash), shard.index) ||
        !ParseUnsigned(text.substr(slash + 1), shard.count)) {
        error = "--shard takes I/N, shard I of N counted from 0 (0/3, 1/3, 2/3), not '" + std::string(text) + "'";
        return std::nullopt;
    }
    if (shard.count == 0 || shard.count > kMostShards) {
        error = "--shard " + std::string(text) + ": N must be 1 to " + std::to_string(kMostShards);
        return std::nullopt;
    }
    if (shard.index >= shard.count) {
        error = "--shard " + std::string(text) + ": shards are counted from 0, so I must be below N (0 to " +
                std::to_string(shard.count - 1) + ")";
        return std::nullopt;
    }
    return shard;
}

std::vector<std::uint64_t> ShardSeeds(const std::vector<std::uint64_t>& seeds, Shard shard) {
    std::vector<std::uint64_t> mine;
    for (std::size_t i = shard.index; i < seeds.size(); i += shard.count) mine.push_back(seeds[i]);
    return mine;
}

std::size_t SweepReport::Failed() const {
    return static_cast<std::size_t>(
        std::count_if(results.begin(), results.end(), [](const auto& r) { return !r.second.passed; }));
}

std::uint64_t SweepReport::VirtualMs() const {
    std::uint64_t total = 0;
    for (const auto& [seed, result] : results) total += result.virtualMs;
    return total;
}

std::string SweepReport::Digest() const {
    std::uint64_t hash = kFnvOffset;
    for (const auto& [seed, result] : results) {
        hash = Fnv(hash, std::to_string(seed) + (result.passed ? " 1 " : " 0 ") + result.digest + "\n");
    }
    return Hex(hash);
}

std::string SweepReport::Replay(std::uint64_t seed) const {
    std::string line = "qvsim app --scenario " + identity.scenario + " --seed " + std::to_string(seed);
    if (identity.faults) line += " --faults";
    if (!identity.faultSet.empty()) line += " --fault-set " + identity.faultSet;
    return line;
}

std::string_view SourceVersion() { return QV_SOURCE_VERSION; }

std::string TextDigest(std::string_view text) { return Hex(Fnv(kFnvOffset, text)); }

std::string ToJson(const SweepReport& report) {
    const SweepIdentity& id = report.identity;
    Json results = Json::array();
    Json failures = Json::array();
    for (const auto& [seed, result] : report.results) {
        results.push_back({{"seed", seed}, {"passed", result.passed}, {"virtual_ms", result.virtualMs},
                           {"digest", result.digest}});
        if (!result.passed) {
            failures.push_back({{"seed", seed}, {"cause", result.cause}, {"replay", report.Replay(seed)}});
        }
    }
    const Json document = {
        {"format", kSweepFormat},
        {"version", id.version},
        {"scenario", id.scenario},
        {"scenario_digest", id.scenarioDigest},
        {"seeds", id.seeds},
        {"faults", id.faults},
        {"fault_set", id.faultSet},
        {"shard", {{"index", report.shard.index}, {"count", report.shard.count}}},
        {"workers", report.workers},
        {"wall_seconds", report.wallSeconds},
        {"runs", report.results.size()},
        {"failed", report.Failed()},
        {"virtual_ms", report.VirtualMs()},
        {"digest", report.Digest()},
        {"results", results},
        {"failures", failures},
    };
    return document.dump(1) + "\n";
}

std::optional<SweepReport> FromJson(std::string_view text, std::string& error) {
    const Json document = Json::parse(text, nullptr, false);
    if (document.is_discarded() || !document.is_object()) {
        error = "not a JSON document";
        return std::nullopt;
    }
    if (document.value("format", std::string{}) != kSweepFormat) {
        error = "not a qvsim sweep document (format '" + std::string(kSweepFormat) + "')";
        return std::nullopt;
    }
    try {
        SweepReport report;
        SweepIdentity& id = report.identity;
        id.version = document.at("version").get<std::string>();
        id.scenario = document.at("scenario").get<std::string>();
        id.scenarioDigest = document.at("scenario_digest").get<std::string>();
        id.seeds = document.at("seeds").get<std::string>();
        id.faults = document.at("faults").get<bool>();
        id.faultSet = document.at("fault_set").get<std::string>();
        report.shard.index = document.at("shard").at("index").get<unsigned>();
        report.shard.count = document.at("shard").at("count").get<unsigned>();
        report.workers = document.at("workers").get<unsigned>();
        report.wallSeconds = document.at("wall_seconds").get<double>();
        std::map<std::uint64_t, std::string> causes;
        for (const Json& failure : document.at("failures")) {
            causes[failure.at("seed").get<std::uint64_t>()] = failure.at("cause").get<std::string>();
        }
        for (const Json& entry : document.at("results")) {
            SeedResult result;
            result.seed = entry.at("seed").get<std::uint64_t>();
            result.passed = entry.at("passed").get<bool>();
            result.virtualMs = entry.at("virtual_ms").get<std::uint64_t>();
            result.digest = entry.at("digest").get<std::string>();
            if (!result.passed) result.cause = causes[result.seed];
            if (!report.results.emplace(result.seed, result).second) {
                error = "seed " + std::to_string(result.seed) + " appears twice";
                return std::nullopt;
            }
        }
        if (report.shard.count == 0 || report.shard.index >= report.shard.count) {
            error = "its shard " + ShardName(report.shard) + " is no shard";
            return std::nullopt;
        }
        return report;
    } catch (const Json::exception& wrong) {
        error = std::string("a field is missing or of the wrong type: ") + wrong.what();
        return std::nullopt;
    }
}

int PrintSummary(const SweepReport& report, std::size_t expected, bool verbose, std::FILE* out) {
    const SweepIdentity& id = report.identity;
    const std::size_t failed = report.Failed();
    const std::string shard = report.shard.count > 1 ? ", shard " + ShardName(report.shard) : "";
    std::fprintf(out, "sweep %s: %zu runs, %zu failed (seeds %s%s, faults %s, %u workers)\n", id.scenario.c_str(),
                 report.results.size(), failed, id.seeds.c_str(), shard.c_str(),
                 id.faults ? "drawn from each seed" : "off", report.workers);
    const double virtualSeconds = static_cast<double>(report.VirtualMs()) / 1000.0;
    std::fprintf(out, "virtual time %.1f s, wall time %.1f s, %s times faster than real time\n", virtualSeconds,
                 report.wallSeconds, Ratio(virtualSeconds, report.wallSeconds).c_str());
    std::size_t shown = 0;
    for (const auto& [seed, result] : report.results) {
        if (result.passed) continue;
        if (shown++ == kFailuresShown && !verbose) {
            std::fprintf(out, "  ... and %zu more (--verbose lists them all)\n", failed - kFailuresShown);
            break;
        }
        std::fprintf(out, "  seed %llu: %s\n", static_cast<unsigned long long>(seed), result.cause.c_str());
    }
    if (failed != 0) {
        const auto first =
            std::find_if(report.results.begin(), report.results.end(), [](const auto& r) { return !r.second.passed; });
        std::fprintf(out, "replay: %s\n", report.Replay(first->first).c_str());
    }
    std::fprintf(out, "sweep digest %s\n", report.Digest().c_str());
    return failed == 0 && report.results.size() == expected ? 0 : 1;
}

int MergeSweeps(const std::vector<std::string>& files, bool verbose, std::FILE* out) {
    auto refuse = [](const std::string& why) {
        std::cerr << "qvsim: sweep --merge: " << why << "\n";
        return 2;
    };
    if (files.empty()) return refuse("name the shards' documents");
    std::vector<SweepReport> shards;
    for (const std::string& file : files) {
        std::ifstream in(file);
        if (!in) return refuse("cannot read " + file);
        std::ostringstream text;
        text << in.rdbuf();
        std::string error;
        auto report = FromJson(text.str(), error);
        if (!report) return refuse(file + ": " + error);
        shards.push_back(std::move(*report));
    }
    const SweepReport& first = shards.front();
    const unsigned count = first.shard.count;
    std::vector<std::optional<std::size_t>> seen(count);
    for (std::size_t i = 0; i < shards.size(); ++i) {
        const SweepReport& shard = shards[i];
        if (!(shard.identity == first.identity)) {
            const SweepIdentity& a = first.identity;
            const SweepIdentity& b = shard.identity;
            std::string what = a.version != b.version               ? "qvsim " + a.version + " and " + b.version
                               : a.scenario != b.scenario           ? "scenarios " + a.scenario + " and " + b.scenario
                               : a.scenarioDigest != b.scenarioDigest ? "two texts of scenario " + a.scenario
                               : a.seeds != b.seeds                 ? "seeds " + a.seeds + " and " + b.seeds
                                                                    : "different faults";
            return refuse(files[0] + " and " + files[i] + " are different sweeps (" + what + ")");
        }
        if (shard.shard.count != count) {
            return refuse(files[0] + " is one of " + std::to_string(count) + " shards, " + files[i] + " one of " +
                          std::to_string(shard.shard.count));
        }
        if (seen[shard.shard.index]) {
            return refuse("shard " + ShardName(shard.shard) + " is given twice: " + files[*seen[shard.shard.index]] +
                          " and " + files[i]);
        }
        seen[shard.shard.index] = i;
    }
    std::string missing;
    std::size_t missingCount = 0;
    for (unsigned index = 0; index < count; ++index) {
        if (seen[index]) continue;
        if (++missingCount <= kFailuresShown) missing += (missing.empty() ? "" : ", ") + ShardName({index, count});
    }
    if (missingCount != 0) {
        if (missingCount > kFailuresShown) missing += ", ...";
        return refuse(std::to_string(missingCount) + " of " + std::to_string(count) + " shards missing: " + missing);
    }

    const auto seeds = ParseSeeds(first.identity.seeds);
    if (!seeds) return refuse("the documents' seeds '" + first.identity.seeds + "' are no seeds");
    SweepReport merged;
    merged.identity = first.identity;
    for (const SweepReport& shard : shards) {
        // A seed listed twice runs once: the shard's results are a set.
        const auto listed = ShardSeeds(*seeds, shard.shard);
        const std::set<std::uint64_t> expected(listed.begin(), listed.end());
        const bool exact = expected.size() == shard.results.size() &&
                           std::all_of(expected.begin(), expected.end(), [&](std::uint64_t s) { return shard.results.contains(s); });
        if (!exact) {
            return refuse(files[*seen[shard.shard.index]] + " (shard " + ShardName(shard.shard) + ") has " +
                          std::to_string(shard.results.size()) + " results for its " + std::to_string(expected.size()) +
                          " seeds, or other seeds than its own");
        }
        merged.workers += shard.workers;
        merged.wallSeconds = std::max(merged.wallSeconds, shard.wallSeconds);
        merged.results.insert(shard.results.begin(), shard.results.end());
    }
    return PrintSummary(merged, seeds->size(), verbose, out);
}

} // namespace qvsim
