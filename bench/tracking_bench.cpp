// Card presence: how long, in virtual time, from the instant a card goes in
// or comes out until the application's pending wait completes. Each
// iteration is one seed: the card moves at a seeded instant within a
// polling second, and the detection latency is collected over all of them;
// the counters report its median and maximum in milliseconds. Busy: an
// application thread keeps the reader busy meanwhile with power requests
// (cold and warm resets), which stop the poll's timer while they run, as
// any card operation does (data exchange will add the skipped tick of a
// transmit).
#include <benchmark/benchmark.h>

#include <algorithm>
#include <random>
#include <vector>

#include "card.h"
#include "cards/card_catalogue.h"
#include "harness/reader_machine.h"
#include "link.h"
#include "usb_reader.h"

namespace {

constexpr std::uint64_t kMsPerSecond = 1000;
constexpr ULONG kAtrBuffer = 64;

void Sleep(std::uint64_t ms) {
    LARGE_INTEGER interval;
    interval.QuadPart = -static_cast<LONGLONG>(ms * qv::kTicksPerMillisecond);
    KeDelayExecutionThread(KernelMode, FALSE, &interval);
}

bool Start(qv::harness::ReaderMachine& bed) {
    if (bed.Configure(0) != STATUS_SUCCESS || !bed.SendCommand(0, READER_COMMAND_LINK_RESET).Ok()) return false;
    bed.Reader(0).LinkSynchronized = 1;
    const qv::harness::CommandResult info = bed.SendCommand(0, READER_COMMAND_READER_INFO);
    if (!info.Ok()) return false;
    const std::size_t bytes =
        info.reply.size() > READER_REPLY_DATA_OFFSET ? std::min<std::size_t>(info.reply.size() - READER_REPLY_DATA_OFFSET, READER_INFO_SIZE) : 0;
    std::copy_n(info.reply.begin() + READER_REPLY_DATA_OFFSET, bytes, bed.Reader(0).ReaderInfo);
    return bed.SendCommand(0, READER_COMMAND_SETUP).Ok() && bed.StartPolling(0) == STATUS_SUCCESS;
}

// One seed: the latency of an insertion and of the removal that follows,
// in virtual milliseconds; nothing when something failed.
std::vector<double> Detect(std::uint64_t seed, bool busy) {
    std::mt19937_64 random(seed);
    std::uniform_int_distribution<std::uint64_t> within(0, kMsPerSecond - 1);
    std::uniform_int_distribution<std::uint64_t> loadPause(0, 9);
    qv::sim::UsbReader reader({.cardInserted = false}, qv::sim::MakeCard("t1", seed));
    qv::harness::HeldReader config = qv::harness::HeldReader::ForSeed(seed);
    config.admitRequests = true;
    qv::harness::ReaderMachine bed(reader, config);
    std::vector<double> latencies;
    bool stop = false;
    const qv::RunResult run = bed.Run([&] {
        if (!Start(bed)) return;
        Sleep(1500);
        KEVENT loadDone;
        KeInitializeEvent(&loadDone, NotificationEvent, !busy);
        if (busy) {
            bed.Machine().Spawn("load", [&] {
                ULONG action = SCARD_COLD_RESET;
                const std::span<const std::uint8_t> input(reinterpret_cast<const std::uint8_t*>(&action), sizeof(action));
                while (!stop) {
                    bed.DeviceControl(0, IOCTL_SMARTCARD_POWER, input, kAtrBuffer);
                    action = action == SCARD_COLD_RESET ? SCARD_WARM_RESET : SCARD_COLD_RESET;
                    // A seeded pause, so that the requests fall at every
                    // phase of the polling second.
                    Sleep(1 + loadPause(random));
                }
                KeSetEvent(&loadDone, IO_NO_INCREMENT, FALSE);
            });
        }
        for (const bool insert : {true, false}) {
            qv::harness::AsyncRequest& wait =
                bed.SendAsync(0, insert ? IOCTL_SMARTCARD_IS_PRESENT : IOCTL_SMARTCARD_IS_ABSENT, qv::harness::SentIrp::KeptUntilReap);
            Sleep(within(random));
            const qv::VirtualTime moved = bed.Machine().Now();
            if (insert) reader.InsertCard();
            else reader.RemoveCard();
            for (int second = 0; second < 10 && !wait.done; ++second) Sleep(kMsPerSecond);
            if (wait.done && wait.status == STATUS_SUCCESS) {
                latencies.push_back(static_cast<double>(wait.completedAt - moved) / qv::kTicksPerMillisecond);
            }
            bed.Reap();
        }
        stop = true;
        KeWaitForSingleObject(&loadDone, Executive, KernelMode, FALSE, nullptr);
    });
    bed.Shutdown();
    if (!run.Ok() || latencies.size() != 2) return {};
    return latencies;
}

void DetectionLatency(benchmark::State& state, bool busy) {
    std::vector<double> all;
    std::uint64_t seed = 0;
    std::uint64_t failed = 0;
    for (auto _ : state) {
        const std::vector<double> latencies = Detect(++seed, busy);
        if (latencies.empty()) ++failed;
        all.insert(all.end(), latencies.begin(), latencies.end());
    }
    if (all.empty()) {
        state.SkipWithError("no detection completed");
        return;
    }
    std::ranges::sort(all);
    state.counters["median_ms"] = all[all.size() / 2];
    state.counters["max_ms"] = all.back();
    state.counters["seeds"] = static_cast<double>(seed);
    state.counters["failed"] = static_cast<double>(failed);
}

void BM_CardDetectionIdle(benchmark::State& state) { DetectionLatency(state, false); }
void BM_CardDetectionBusy(benchmark::State& state) { DetectionLatency(state, true); }

BENCHMARK(BM_CardDetectionIdle)->Iterations(200)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_CardDetectionBusy)->Iterations(100)->Unit(benchmark::kMillisecond);

} // namespace
