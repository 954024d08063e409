// The reader's answers: a scripted reader on the emulated USB bus answers
// every block the driver sends with input transfers decoded from the fuzzer's
// bytes, while the driver sends a few reader commands of the input's choice.
// Each answer is one of: silence, raw transfers, a well-formed block (the
// reader's NAD and a right LRC) around a PCB and INF of the input's choice,
// an I-block with the sequence bit the reader is due to send carrying a
// reply (three bytes, a status, data), a WTX request, or a well-formed
// block cut into packets of odd sizes. Checksums, lengths, packet headers,
// chains, R- and S-blocks are all the fuzzer's to choose; silence makes the
// driver wait out its time-outs in virtual time. One IN transfer chosen by
// the input may fail on the bus.
#include <algorithm>
#include <string>

#include "fuzz_input.h"
#include "harness/reader_machine.h"
#include "link.h"
#include "link_peer.h"
#include "link/scripted_reader.h"

namespace qv::fuzz {

namespace {

using test::Bytes;
using test::Transfers;

constexpr std::size_t kCommands = 4;
constexpr std::size_t kMostTransfers = 4;
constexpr std::size_t kNoFailure = 0xFF;
constexpr usb::TransferStatus kBusFailures[] = {usb::TransferStatus::Stall, usb::TransferStatus::Error,
                                                usb::TransferStatus::DeviceGone};

enum class AnswerKind : std::uint8_t { Silent, Raw, Block, Reply, Wtx, OddPackets, Count };

// The reader's own I-block sequence bit, flipped by every I-block it sends
// in the Reply answers.
struct ReaderState {
    bool sequence = false;
};

Bytes ReplyInf(FuzzInput& in) {
    Bytes inf = in.Take(READER_REPLY_STATUS_OFFSET);
    inf.resize(READER_REPLY_STATUS_OFFSET);
    inf.push_back(in.Byte()); // the status
    const Bytes data = in.Chunk(LINK_MAX_INF - READER_REPLY_DATA_OFFSET);
    inf.insert(inf.end(), data.begin(), data.end());
    return inf;
}

std::optional<Transfers> Answer(FuzzInput& in, ReaderState& reader) {
    if (in.Empty()) return std::nullopt;
    switch (static_cast<AnswerKind>(in.Below(static_cast<std::size_t>(AnswerKind::Count)))) {
    case AnswerKind::Silent:
        return std::nullopt;
    case AnswerKind::Raw: {
        Transfers transfers;
        const std::size_t count = 1 + in.Below(kMostTransfers);
        for (std::size_t i = 0; i < count; ++i) transfers.push_back(in.Chunk(test::kMaxPacket));
        return transfers;
    }
    case AnswerKind::Block: {
        const std::uint8_t pcb = in.Byte();
        return test::Packets(test::ReaderBlock(pcb, in.Chunk(LINK_MAX_INF + 1)));
    }
    case AnswerKind::Reply: {
        const std::uint8_t more = in.Flag() ? LINK_PCB_MORE : 0;
        const std::uint8_t pcb = static_cast<std::uint8_t>((reader.sequence ? LINK_PCB_SEQUENCE : 0) | more);
        reader.sequence = !reader.sequence;
        return test::Packets(test::ReaderBlock(pcb, ReplyInf(in)));
    }
    case AnswerKind::Wtx:
        return test::Packets(test::ReaderBlock(LINK_PCB_WTX_REQUEST, {in.Byte()}));
    case AnswerKind::OddPackets: {
        const std::uint8_t pcb = in.Byte();
        return OddPackets(in, test::ReaderBlock(pcb, in.Chunk(LINK_MAX_INF)));
    }
    case AnswerKind::Count:
        break;
    }
    return std::nullopt;
}

} // namespace

// The reader's bulk pipes carry nothing until the first command, so the
// machine boots and configures the reader with the seed alone; the bus
// failure and the answers come in at the start point.
Verdict Run_reader(Input input, StartPoint* start) {
    FuzzInput in(input);
    const std::uint64_t seed = in.Seed();
    test::ScriptedReader reader;
    ReaderState state;
    reader.SetResponder([&](const Bytes&) { return Answer(in, state); });

    harness::HeldReader config;
    config.machine = FuzzMachineConfig(seed);
    harness::ReaderMachine bed(reader, config);
    Verdict verdict;
    const RunResult run = bed.Run([&] {
        if (bed.Configure(0) != STATUS_SUCCESS) return;
        Reach(start, in);
        const std::size_t failIndex = in.Byte();
        if (failIndex != kNoFailure) {
            reader.FailIn(failIndex, kBusFailures[in.Below(std::size(kBusFailures))]);
        }
        for (std::size_t i = 0; i < kCommands && !in.Empty(); ++i) {
            const ULONG number = static_cast<ULONG>(in.Below(READER_COMMAND_LAST + 1));
            Bytes payload;
            if (number == READER_COMMAND_APDU || number == READER_COMMAND_PPS) payload = in.Chunk(READER_MAX_PAYLOAD);
            (void)bed.SendCommand(0, number, payload);
            if (bed.Reader(0).ReplyLength > sizeof(bed.Reader(0).ReplyData)) {
                verdict = Failed("ReplyLength " + std::to_string(bed.Reader(0).ReplyLength) +
                                 " is more than ReplyData holds");
                return;
            }
        }
    });
    return FromRuns(run, bed.Shutdown(), "reader", verdict);
}

std::string BootKey_reader(Input input) {
    FuzzInput in(input);
    return BootKeyOf({in.Seed()});
}

Verdict Fuzz_reader(Input input) { return Run_reader(input, nullptr); }

} // namespace qv::fuzz
