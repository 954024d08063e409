#include "fuzz_input.h"

#include <algorithm>

namespace qv::fuzz {

namespace {
// A run of the emulation that goes on for this long in virtual time is
// stuck: no request the targets send takes more than minutes.
constexpr VirtualTime kFuzzTimeLimit = 2ull * 3600 * kTicksPerSecond;
constexpr std::uint64_t kSeedChoices = 16;
} // namespace

// A byte read past the end still counts, so that the position says how
// much a run has read whatever the input's length: a run from a start point
// goes on from there with another input's bytes.
std::uint8_t FuzzInput::Byte() {
    const std::size_t at = at_++;
    return at < bytes_.size() ? bytes_[at] : 0;
}

std::uint16_t FuzzInput::Word() {
    const std::uint16_t low = Byte();
    return static_cast<std::uint16_t>(low | (Byte() << 8));
}

std::uint32_t FuzzInput::Long() {
    const std::uint32_t low = Word();
    return low | (static_cast<std::uint32_t>(Word()) << 16);
}

std::size_t FuzzInput::Below(std::size_t bound) {
    if (bound == 0) return 0;
    const std::size_t value = bound <= 0x100 ? Byte() : Word();
    return value % bound;
}

std::vector<std::uint8_t> FuzzInput::Take(std::size_t count) {
    const std::size_t taken = std::min(count, Left());
    if (taken == 0) return {};
    std::vector<std::uint8_t> bytes(bytes_.begin() + static_cast<std::ptrdiff_t>(at_),
                                    bytes_.begin() + static_cast<std::ptrdiff_t>(at_ + taken));
    at_ += taken;
    return bytes;
}

std::vector<std::uint8_t> FuzzInput::Chunk(std::size_t maximum) {
    const std::size_t length = std::min<std::size_t>(Byte(), maximum);
    return Take(length);
}

std::vector<std::uint8_t> FuzzInput::Rest() { return Take(Left()); }

std::uint64_t FuzzInput::Seed() { return 1 + Byte() % kSeedChoices; }

MachineConfig FuzzMachineConfig(std::uint64_t seed) {
    MachineConfig config;
    config.seed = seed;
    config.watchdogMilliseconds = 0;
    config.timeLimit = kFuzzTimeLimit;
    return config;
}

std::string BootKeyOf(std::initializer_list<std::uint64_t> values) {
    std::string key;
    for (const std::uint64_t value : values) key += std::to_string(value) + ",";
    return key;
}

Verdict FromRuns(const RunResult& run, const RunResult& shutdown, std::string_view what, Verdict found) {
    Merge(found, FromRun(run, what));
    Merge(found, FromRun(shutdown, std::string(what) + " shutdown"));
    // Two runs' digests in one, in order.
    found.digest = run.digest * 0x100000001B3ull ^ shutdown.digest;
    return found;
}

Verdict FromRun(const RunResult& run, std::string_view what) {
    if (run.Ok()) return {};
    return Failed(std::string(what) + ": " + std::string(OutcomeName(run.outcome)) + "\n" + run.report);
}

void Merge(Verdict& into, const Verdict& more) {
    if (into.ok && !more.ok) into = more;
}

Verdict Failed(std::string report) { return Verdict{false, std::move(report)}; }

} // namespace qv::fuzz
