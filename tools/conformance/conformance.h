// The reader conformance suite: the checks the platform's smart-card reader
// tests make of a reader and its driver, run against the simulated reader and
// simulated test cards instead of real hardware and a person who inserts and
// removes cards. It is organised as those tests are: the reader's interface
// without a card, insertion and removal, the resource manager's state
// changes, the test cards, suspend and resume, and several readers. Each
// case is one scenario on the reader test bed, run under several seeds, and
// ends in pass, fail (with the reason and the seed) or a known deviation (a
// requirement this reader cannot meet by design, with the reason).
#pragma once

#include <cstdint>
#include <functional>
#include <ostream>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace qv::conformance {

class CaseContext;

enum class Verdict { Pass, KnownDeviation, Fail };

struct ConformanceCase {
    std::string_view part;
    std::string_view name;   // what the case checks, as a short phrase
    void (*run)(CaseContext& context);
};

// Every case, in the order of the parts.
std::span<const ConformanceCase> Cases();

struct CaseResult {
    const ConformanceCase* which = nullptr;
    Verdict verdict = Verdict::Pass;
    // Why it failed (the first failing check, with its seed) or why the
    // deviation is one; empty for a plain pass.
    std::string reason;
    std::uint64_t virtualMs = 0; // the longest run among the seeds
};

// Runs one case under every seed: the first failing seed decides.
CaseResult RunCase(const ConformanceCase& which, std::span<const std::uint64_t> seeds);

// Runs every case whose part or name contains filter (all when empty) and
// prints the table; returns the results.
std::vector<CaseResult> RunSuite(std::span<const std::uint64_t> seeds, std::ostream& out, std::string_view filter = {});

std::string_view VerdictName(Verdict verdict);

// The seeds of QV_SEEDS, or 1 to 3.
std::vector<std::uint64_t> SuiteSeeds();

} // namespace qv::conformance
