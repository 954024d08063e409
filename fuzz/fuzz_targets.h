// The fuzzers' entry functions, one per place where outside bytes enter the
// driver or the library. Each takes one input, runs it on an emulated machine
// (or straight through the parser it is for) and says whether the run stayed
// clean. The same functions run under libFuzzer (fuzz/libfuzzer_main.cpp)
// and in the test suite, which replays the committed corpora and the inputs
// of every past finding (tests/fuzz_regressions).
#pragma once

#include <cstdint>
#include <span>
#include <string>

namespace qv::fuzz {

struct Verdict {
    bool ok = true;
    std::string report; // what went wrong, when not ok
};

using Input = std::span<const std::uint8_t>;

Verdict Fuzz_atr(Input input);
Verdict Fuzz_t1(Input input);
Verdict Fuzz_reader(Input input);
Verdict Fuzz_descriptors(Input input);
Verdict Fuzz_ioctl(Input input);
Verdict Fuzz_transmit(Input input);
Verdict Fuzz_scenario(Input input);

} // namespace qv::fuzz
