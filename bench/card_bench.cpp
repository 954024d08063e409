// Card power end to end: IOCTL_SMARTCARD_POWER requests through the smart
// card library, the driver's CardPower, the reader link, the emulated USB
// bus and the simulated reader and card. Reports requests per host CPU
// second and the virtual time a cold reset takes against its floor: the
// card's answer (its reset clocks and its ATR at 9600 bit/s) and the two USB
// transfers that carry the command and the ATR.
#include <benchmark/benchmark.h>

#include <vector>

#include "card.h"
#include "cards/card_catalogue.h"
#include "harness/reader_machine.h"
#include "link.h"
#include "usb/usb_timing.h"
#include "usb_reader.h"

namespace {

constexpr std::size_t kMaxPacket = 64;
constexpr std::size_t kPacketHeader = 1;
constexpr std::size_t kBlockOverhead = 4;    // NAD, PCB, LEN, LRC
constexpr std::size_t kResetCommandLength = 4; // D0 E6 00 0F
constexpr std::size_t kReplyPrefix = 4;      // three leading bytes and the status byte
constexpr ULONG kAtrBuffer = 64;

void RunPower(benchmark::State& state, const char* cardName, ULONG action) {
    auto card = qv::sim::MakeCard(cardName);
    qv::sim::SimpleCard& simCard = *card;
    qv::sim::UsbReader reader({}, std::move(card));
    qv::harness::HeldReader config = qv::harness::HeldReader::ForSeed(1);
    config.admitRequests = true;
    qv::harness::ReaderMachine bed(reader, config);
    std::uint64_t requests = 0;
    qv::VirtualTime virtualTime = 0;
    std::size_t atrLength = 0;
    const ULONG minor = action;
    const std::span<const std::uint8_t> input(reinterpret_cast<const std::uint8_t*>(&minor), sizeof(minor));
    const qv::RunResult run = bed.Run([&] {
        if (bed.Configure(0) != STATUS_SUCCESS || !bed.SendCommand(0, READER_COMMAND_LINK_RESET).Ok()) {
            state.SkipWithError("the reader could not be started");
            return;
        }
        bed.Reader(0).LinkSynchronized = 1;
        for (auto _ : state) {
            const qv::VirtualTime start = bed.Machine().Now();
            const qv::harness::IoctlResult result = bed.DeviceControl(0, IOCTL_SMARTCARD_POWER, input, kAtrBuffer);
            virtualTime += bed.Machine().Now() - start;
            if (result.status != STATUS_SUCCESS) {
                state.SkipWithError("a power request failed");
                break;
            }
            atrLength = result.output.size();
            ++requests;
        }
    });
    if (!run.Ok()) state.SkipWithError(run.report.c_str());
    bed.Shutdown();
    state.SetItemsProcessed(static_cast<std::int64_t>(requests));
    if (requests == 0) return;
    namespace timing = qv::usb::timing;
    const qv::VirtualTime usb =
        timing::BulkTime(kPacketHeader + kResetCommandLength + kBlockOverhead, kMaxPacket) +
        timing::BulkTime(kPacketHeader + kReplyPrefix + atrLength + kBlockOverhead, kMaxPacket);
    const qv::VirtualTime floor = simCard.ResetTime(atrLength) + usb;
    const double perRequestMs =
        static_cast<double>(virtualTime) / static_cast<double>(requests) / static_cast<double>(qv::kTicksPerMillisecond);
    state.counters["virtual_ms_per_request"] = perRequestMs;
    state.counters["floor_ms"] = static_cast<double>(floor) / static_cast<double>(qv::kTicksPerMillisecond);
    state.counters["driver_pause_ms"] = action == SCARD_COLD_RESET ? COLD_RESET_PAUSE_MS : 0;
    state.counters["reader_processing_ms"] = static_cast<double>(qv::sim::kCommandProcessingTime) /
                                             static_cast<double>(qv::kTicksPerMillisecond);
    state.SetLabel("items = power requests");
}

void BM_PowerColdDual(benchmark::State& state) { RunPower(state, "dual", SCARD_COLD_RESET); }
BENCHMARK(BM_PowerColdDual);

void BM_PowerWarmDual(benchmark::State& state) { RunPower(state, "dual", SCARD_WARM_RESET); }
BENCHMARK(BM_PowerWarmDual);

void BM_PowerColdAtr33(benchmark::State& state) { RunPower(state, "atr33", SCARD_COLD_RESET); }
BENCHMARK(BM_PowerColdAtr33);

} // namespace
