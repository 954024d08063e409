// The set-up shared by the link tests: a test bed with a scripted reader,
// configured, run under several seeds so that the bus completes requests
// both inside the dispatch routine and later from a DPC.
#pragma once

#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "harness/reader_machine.h"
#include "link.h"
#include "link/scripted_reader.h"
#include "harness/seeds.h"

namespace qv::test {

// Seeds run by default; QV_SEEDS chooses others.
inline constexpr std::size_t kDefaultSeeds = 8;

// One scripted reader on one test bed.
struct LinkBed {
    explicit LinkBed(std::uint64_t seed) : seed(seed), bed(reader, harness::HeldReader::ForSeed(seed)) {}

    // Runs body on a simulated thread after configuring the device, then
    // tears the bed down; both runs must end cleanly (the teardown includes
    // the verifier's unload audit: no pool, IRP or device left behind).
    void Run(const std::function<void()>& body) {
        RunResult run = bed.Run([&] {
            ASSERT_EQ(bed.Configure(0), STATUS_SUCCESS);
            body();
        });
        EXPECT_TRUE(run.Ok()) << "seed " << seed << "\n" << run.report;
        RunResult end = bed.Shutdown();
        EXPECT_TRUE(end.Ok()) << "seed " << seed << "\n" << end.report;
    }

    READER_EXTENSION& Reader() { return bed.Reader(0); }
    PSMARTCARD_EXTENSION Extension() { return &bed.Smartcard(0); }

    // Puts a block in CommandBlock for UsbExchange.
    void SetCommandBlock(const Bytes& block) {
        std::copy(block.begin(), block.end(), Reader().CommandBlock);
        Reader().CommandLength = static_cast<ULONG>(block.size());
    }
    Bytes Reply() { return Bytes(Reader().ReplyData, Reader().ReplyData + Reader().ReplyLength); }

    std::uint64_t seed;
    ScriptedReader reader;
    harness::ReaderMachine bed;
};

// Runs scenario once per seed, naming the seed in any failure. Across the
// default seeds (or as many), the bus must have completed requests both ways,
// at once and later; a replay of fewer seeds checks only their own runs.
inline void ForEachSeed(const std::function<void(LinkBed&)>& scenario) {
    std::uint64_t atOnce = 0, later = 0;
    const std::vector<std::uint64_t> seeds = harness::RunSeeds(kDefaultSeeds);
    for (std::uint64_t seed : seeds) {
        SCOPED_TRACE("seed " + std::to_string(seed));
        LinkBed bed(seed);
        scenario(bed);
        atOnce += bed.bed.Bus().Counters().completedAtOnce;
        later += bed.bed.Bus().Counters().completedLater;
    }
    if (seeds.size() < kDefaultSeeds) return;
    EXPECT_GT(atOnce, 0u);
    EXPECT_GT(later, 0u);
}

// Blocks the driver sends.
inline Bytes DriverBlock(std::uint8_t pcb, const Bytes& inf = {}) { return MakeBlock(kDriverNad, pcb, inf); }
inline const Bytes kResynch = DriverBlock(0xC0);          // 12 C0 00 D2
inline const Bytes kResynchAnswer = ReaderBlock(0xE0);     // S(RESYNCH response)
inline const Bytes kWtxRequest = ReaderBlock(0xC3, {0x05}); // asks for five times the waiting time
inline const Bytes kWtxResponse = DriverBlock(0xE3, {0x01}); // 12 E3 01 01 F1

// A reader reply's information field: three leading bytes, the status
// byte, then the data.
inline Bytes ReplyInf(std::uint8_t status, const Bytes& data = {}) {
    Bytes inf{0x00, 0x00, 0x00, status};
    inf.reserve(inf.size() + data.size()); // also keeps GCC 12 -O3 from a false -Warray-bounds
    inf.insert(inf.end(), data.begin(), data.end());
    return inf;
}

inline Bytes Concat(Bytes a, const Bytes& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

// Input transfers of several blocks one after the other.
inline Transfers Concat(Transfers a, const Transfers& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

} // namespace qv::test
