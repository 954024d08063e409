// A sweep's results as data: what each seed did, the shard of the seeds a
// run took, the JSON document a run writes (--json) and the merge of shard
// documents (--merge), and the summary printed for either. A sweep spread
// over machines runs `--shard I/N` on each; the merge checks that the
// documents belong to one sweep and cover its seeds exactly once, then
// prints the summary an unsharded run would have printed.
#pragma once

#include <cstdint>
#include <cstdio>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace qvsim {

// The documents' format; a merge refuses any other.
inline constexpr std::string_view kSweepFormat = "qvsim-sweep 1";

struct SeedResult {
    std::uint64_t seed = 0;
    bool passed = false;
    std::uint64_t virtualMs = 0;
    std::string digest; // the run's trace digest; empty when it never ended
    std::string cause;  // one line, when it failed
};

// Shard I of N, counted from 0: the seed at position p of the sweep's list
// (counting from 0) belongs to shard p mod N.
struct Shard {
    unsigned index = 0;
    unsigned count = 1;
};

// "I/N" with 0 <= I < N; nothing (and why in error) otherwise.
std::optional<Shard> ParseShard(std::string_view text, std::string& error);
std::vector<std::uint64_t> ShardSeeds(const std::vector<std::uint64_t>& seeds, Shard shard);

// What identifies a sweep: runs of different sweeps never merge.
struct SweepIdentity {
    std::string version;        // the build's source version
    std::string scenario;       // its name, as given
    std::string scenarioDigest; // of its text, so that a file changed between shards is caught
    std::string seeds;          // as given to --seeds
    bool faults = false;
    std::string faultSet;
    bool operator==(const SweepIdentity&) const = default;
};

struct SweepReport {
    SweepIdentity identity;
    Shard shard;
    unsigned workers = 0;
    double wallSeconds = 0;
    std::map<std::uint64_t, SeedResult> results;

    std::size_t Failed() const;
    std::uint64_t VirtualMs() const;
    // One digest over every seed's result, the same however the seeds were
    // spread over shards and workers.
    std::string Digest() const;
    std::string Replay(std::uint64_t seed) const;
};

// The source version qvsim was built from (git describe), or "unknown".
std::string_view SourceVersion();
// A digest of a scenario's text (16 hex digits).
std::string TextDigest(std::string_view text);

std::string ToJson(const SweepReport& report);
// Reads a document ToJson wrote; nothing (and why in error) otherwise.
std::optional<SweepReport> FromJson(std::string_view text, std::string& error);

// The summary: runs and failures, virtual and wall time, the failing seeds
// with their causes (the first 20 unless verbose), how to replay the first,
// and the digest. Returns the exit status: 0 when every seed of `expected`
// ran and passed, 1 otherwise.
int PrintSummary(const SweepReport& report, std::size_t expected, bool verbose, std::FILE* out);

// Reads shard documents, checks that they are one sweep's shards and cover
// its seeds exactly once, and prints the merged summary to out. Returns 2
// (and says why on standard error) when they do not fit together, otherwise
// PrintSummary's status.
int MergeSweeps(const std::vector<std::string>& files, bool verbose, std::FILE* out);

} // namespace qvsim
