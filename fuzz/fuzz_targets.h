// The fuzzers' entry functions, one per place where outside bytes enter the
// driver or the library. Each takes one input, runs it on an emulated machine
// (or straight through the parser it is for) and says whether the run stayed
// clean. The same functions run under libFuzzer (fuzz/libfuzzer_main.cpp)
// and in the test suite, which replays the committed corpora and the inputs
// of every past finding (tests/fuzz_regressions).
//
// The machine-level targets also come as a run from a start point: the place
// on the way where the machine is booted (reader started, handle open, card
// in or out as the target needs) and the input's own part begins. Everything
// before it depends only on the input's first bytes, its boot key, so that
// one booted machine can serve every input with that key (fuzz/fork_starts.h).
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <string_view>

namespace qv::fuzz {

struct Verdict {
    bool ok = true;
    std::string report;      // what went wrong, when not ok
    std::uint64_t digest = 0; // the runs' digests, so that two ways of running an input can be compared
};

using Input = std::span<const std::uint8_t>;

class FuzzInput;

// Where a machine-level target's run reaches its start point. The run calls
// Reached once, on whatever thread the target drives the machine from, with
// the input read up to the end of its boot key; the fresh run passes no start
// point and goes straight on.
class StartPoint {
  public:
    virtual void Reached(FuzzInput& in) = 0;

  protected:
    ~StartPoint() = default;
};

Verdict Fuzz_atr(Input input);
Verdict Fuzz_t1(Input input);
Verdict Fuzz_reader(Input input);
Verdict Fuzz_descriptors(Input input);
Verdict Fuzz_ioctl(Input input);
Verdict Fuzz_transmit(Input input);
Verdict Fuzz_scenario(Input input);

// A machine-level target: its run with a start point (null for none), and
// the boot key of an input, equal for two inputs exactly when their runs
// are the same up to the start point.
struct MachineTarget {
    const char* name;
    Verdict (*run)(Input input, StartPoint* start);
    std::string (*bootKey)(Input input);
};

Verdict Run_reader(Input input, StartPoint* start);
Verdict Run_descriptors(Input input, StartPoint* start);
Verdict Run_ioctl(Input input, StartPoint* start);
Verdict Run_transmit(Input input, StartPoint* start);
Verdict Run_scenario(Input input, StartPoint* start);

std::string BootKey_reader(Input input);
std::string BootKey_descriptors(Input input);
std::string BootKey_ioctl(Input input);
std::string BootKey_transmit(Input input);
std::string BootKey_scenario(Input input);

// Null for a target that runs no machine (atr, t1).
const MachineTarget* FindMachineTarget(std::string_view name);

} // namespace qv::fuzz
