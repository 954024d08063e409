// Pool held by each started reader: the driver's records, the library's
// buffers, the USB configuration, the polling thread, and what the emulated
// I/O manager and bus keep for the device, measured as the pool in use
// after the starts minus the pool in use before the readers were plugged in.
#include <benchmark/benchmark.h>

#include <array>
#include <memory>

#include "cards/card_catalogue.h"
#include "device.h"
#include "harness/reader_machine.h"
#include "kernel/pool.h"
#include "usb_reader.h"

namespace {

// Bytes and blocks of the driver's own tag in use.
std::pair<std::size_t, std::size_t> DriverPool() {
    std::size_t bytes = 0;
    std::size_t blocks = 0;
    for (const auto& block : qv::K().PoolAllocator().Outstanding()) {
        bytes += block.size;
        ++blocks;
    }
    return {bytes, blocks};
}

void BM_PoolPerStartedReader(benchmark::State& state) {
    const auto readers = static_cast<std::size_t>(state.range(0));
    double perReader = 0;
    double blocksPerReader = 0;
    for (auto _ : state) {
        qv::MachineConfig config;
        config.seed = 1;
        qv::harness::ReaderMachine machine(config);
        std::vector<std::unique_ptr<qv::sim::UsbReader>> models;
        for (std::size_t i = 0; i < readers; ++i) {
            models.push_back(std::make_unique<qv::sim::UsbReader>(qv::sim::ReaderOptions{}, qv::sim::MakeCard("dual", 1)));
        }
        machine.Run([&] {
            const auto [before, blocksBefore] = DriverPool();
            for (std::size_t i = 0; i < readers; ++i) {
                machine.Plug(*models[i]);
                machine.Pnp(i, IRP_MN_START_DEVICE);
            }
            const auto [after, blocksAfter] = DriverPool();
            perReader = static_cast<double>(after - before) / static_cast<double>(readers);
            blocksPerReader = static_cast<double>(blocksAfter - blocksBefore) / static_cast<double>(readers);
        });
        machine.Shutdown();
    }
    state.counters["pool_bytes_per_reader"] = perReader;
    state.counters["pool_blocks_per_reader"] = blocksPerReader;
}
BENCHMARK(BM_PoolPerStartedReader)->Arg(1)->Arg(4)->Unit(benchmark::kMillisecond);

} // namespace
