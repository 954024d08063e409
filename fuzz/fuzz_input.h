// The fuzzers' view of one input: a reader that hands out the bytes in the
// order a target asks for them and answers zero once they are used up, so
// that every input, however short, decodes to one definite run. The first
// bytes a target takes choose the machine's seed, so the scheduling is part
// of what the fuzzer explores and a finding replays exactly.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <initializer_list>
#include <span>
#include <string>
#include <vector>

#include "fuzz_targets.h"
#include "machine/machine.h"

namespace qv::fuzz {

class FuzzInput {
  public:
    explicit FuzzInput(Input bytes) : bytes_(bytes) {}

    bool Empty() const { return at_ >= bytes_.size(); }
    std::size_t Position() const { return at_; }
    // Goes on with other bytes from the same position: another input with
    // the same boot key, at the start point.
    void Rebind(Input bytes) { bytes_ = bytes; }
    std::size_t Left() const { return Empty() ? 0 : bytes_.size() - at_; }

    std::uint8_t Byte();
    std::uint16_t Word();   // little-endian
    std::uint32_t Long();   // little-endian
    bool Flag() { return (Byte() & 1) != 0; }
    // A number in [0, bound), or 0 for a bound of 0.
    std::size_t Below(std::size_t bound);
    // Up to `count` bytes (fewer when the input ends).
    std::vector<std::uint8_t> Take(std::size_t count);
    // A length byte (bounded by `maximum`) followed by that many bytes.
    std::vector<std::uint8_t> Chunk(std::size_t maximum);
    // Everything not taken yet.
    std::vector<std::uint8_t> Rest();
    // A machine seed from the next byte: few distinct seeds, so that the
    // corpus is not flooded with inputs differing only in their schedule.
    std::uint64_t Seed();

  private:
    Input bytes_;
    std::size_t at_ = 0;
};

// A kernel configuration for fuzzing: the seed from the input, no host-time
// watchdog (libFuzzer's -timeout catches hangs), a virtual-time limit that a
// healthy run never reaches.
MachineConfig FuzzMachineConfig(std::uint64_t seed);

// Hands the input over at the start point, when the run has one.
inline void Reach(StartPoint* start, FuzzInput& in) {
    if (start != nullptr) start->Reached(in);
}

// A boot key from the values an input's first bytes decode to.
std::string BootKeyOf(std::initializer_list<std::uint64_t> values);

// The verdict of a test bed's run and its shutdown, and their digests:
// `found` (a fault the target saw itself) when it is one, else the first
// of the runs that failed.
Verdict FromRuns(const RunResult& run, const RunResult& shutdown, std::string_view what, Verdict found = {});

// A verdict from a run of the emulated machine.
Verdict FromRun(const RunResult& run, std::string_view what);
// Keeps the first failure of several.
void Merge(Verdict& into, const Verdict& more);
Verdict Failed(std::string report);

} // namespace qv::fuzz
