// The reader link end to end: reader commands through the driver's link
// (commands, blocks, packets), the emulated USB bus and the simulated
// reader's firmware. Reports commands per host CPU second, and the USB
// transfers each command took against the fewest the protocol allows.
#include <benchmark/benchmark.h>

#include <vector>

#include "harness/reader_machine.h"
#include "link.h"
#include "usb_reader.h"

namespace {

constexpr std::size_t kPacketPayload = 63;  // a 64-byte packet less its header
constexpr std::size_t kBlockOverhead = 4;   // NAD, PCB, LEN, LRC
constexpr std::size_t kReplyPrefix = 4;     // three leading bytes and the status byte

std::size_t Packets(std::size_t blockLength) { return (blockLength + kPacketPayload - 1) / kPacketPayload; }

// The fewest transfers for a command whose block carries commandLength bytes
// and whose answer carries replyLength bytes, each in one block: every
// packet is one transfer.
std::size_t MinimumTransfers(std::size_t commandLength, std::size_t replyLength) {
    return Packets(commandLength + kBlockOverhead) + Packets(replyLength + kBlockOverhead);
}

void RunCommands(benchmark::State& state, ULONG number, std::vector<std::uint8_t> payload, std::size_t header) {
    qv::sim::UsbReader reader;
    qv::harness::ReaderMachine bed(reader, qv::harness::HeldReader::ForSeed(1));
    std::size_t replyLength = 0;
    std::uint64_t transfers = 0;
    std::uint64_t commands = 0;
    const qv::RunResult run = bed.Run([&] {
        if (bed.Configure(0) != STATUS_SUCCESS) {
            state.SkipWithError("the reader could not be configured");
            return;
        }
        bed.Reader(0).LinkSynchronized = 1;
        // Card commands need a powered card.
        if (number == READER_COMMAND_APDU && !bed.SendCommand(0, READER_COMMAND_COLD_RESET).Ok()) {
            state.SkipWithError("the card could not be powered");
            return;
        }
        const auto& counters = bed.Bus().Counters();
        const std::uint64_t before = counters.outTransfers + counters.inTransfers;
        for (auto _ : state) {
            const qv::harness::CommandResult result = bed.SendCommand(0, number, payload);
            if (!result.Ok()) {
                state.SkipWithError("a command failed");
                break;
            }
            replyLength = result.reply.size();
            ++commands;
        }
        transfers = counters.outTransfers + counters.inTransfers - before;
    });
    if (!run.Ok()) state.SkipWithError(run.report.c_str());
    bed.Shutdown();
    state.SetItemsProcessed(static_cast<std::int64_t>(commands));
    if (commands != 0) {
        state.counters["transfers_per_command"] = static_cast<double>(transfers) / static_cast<double>(commands);
        state.counters["minimum_transfers"] =
            static_cast<double>(MinimumTransfers(header + payload.size(), replyLength));
    }
    state.SetLabel("items = reader commands");
}

void BM_CardStatusCommand(benchmark::State& state) { RunCommands(state, READER_COMMAND_CARD_STATUS, {}, 2); }
BENCHMARK(BM_CardStatusCommand);

void BM_ReaderInfoCommand(benchmark::State& state) { RunCommands(state, READER_COMMAND_READER_INFO, {}, 2); }
BENCHMARK(BM_ReaderInfoCommand);

// A GET CHALLENGE of 200 bytes: a four-packet answer.
void BM_ApduCommand(benchmark::State& state) {
    RunCommands(state, READER_COMMAND_APDU, {0x00, 0x84, 0x00, 0x00, 200}, 2);
}
BENCHMARK(BM_ApduCommand);

} // namespace
