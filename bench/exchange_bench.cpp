// APDU exchange end to end: IOCTL_SMARTCARD_TRANSMIT requests through the
// smart card library, the driver's Transmit, the reader link (T=0) or the
// library's T=1 blocks straight over USB, the emulated bus and the
// simulated reader and card. For a short APDU (SELECT) and a 255-byte READ
// BINARY under each protocol it reports requests per host CPU second and
// the virtual time of one exchange against its physical floor: the
// characters on the card line at the negotiated rate and the USB transfers
// that carry the command and the answer, as a ratio.
#include <benchmark/benchmark.h>

#include <cstring>
#include <vector>

#include "card.h"
#include "cards/card_catalogue.h"
#include "cards/iso_application.h"
#include "harness/reader_machine.h"
#include "link.h"
#include "usb/usb_timing.h"
#include "usb_reader.h"

namespace {

using Bytes = std::vector<std::uint8_t>;

constexpr std::size_t kMaxPacket = 64;
constexpr std::size_t kPacketPayload = kMaxPacket - 1; // one header byte per packet
constexpr std::size_t kLinkOverhead = 4;               // NAD, PCB, LEN, LRC of a link block
constexpr std::size_t kLinkMaxInf = 254;
constexpr std::size_t kCommandHeader = 2;              // D0 23
constexpr std::size_t kReplyPrefix = 4;                // three leading bytes and the status byte
constexpr std::size_t kT0Header = 5;
constexpr std::size_t kT0ProcedureBytes = 1;           // INS before the data
constexpr std::size_t kStatusWord = 2;
constexpr std::size_t kT1Prologue = 3;                 // NAD, PCB, LEN
constexpr std::size_t kT1Lrc = 1;
constexpr std::size_t kT1RBlock = kT1Prologue + kT1Lrc;
constexpr ULONG kReplyBuffer = 1024;

// One USB bulk transfer of a block and its packet headers.
qv::VirtualTime BlockOnUsb(std::size_t block) {
    const std::size_t packets = (block + kPacketPayload - 1) / kPacketPayload;
    return qv::usb::timing::BulkTime(block + packets, kMaxPacket);
}

// A reader command of this many INF bytes and its answer of that many,
// chained at 254 bytes with an acknowledgement for each further piece.
qv::VirtualTime LinkOnUsb(std::size_t commandInf, std::size_t answerInf) {
    qv::VirtualTime time = BlockOnUsb(commandInf + kLinkOverhead);
    for (std::size_t left = answerInf;;) {
        const std::size_t piece = left < kLinkMaxInf ? left : kLinkMaxInf;
        time += BlockOnUsb(piece + kLinkOverhead);
        left -= piece;
        if (left == 0) break;
        time += BlockOnUsb(kLinkOverhead); // R-block asking for the next piece
    }
    return time;
}

struct Floor {
    std::size_t cardCharacters = 0;
    qv::VirtualTime usb = 0;
};

Floor T0Floor(const Bytes& apdu, std::size_t response) {
    const std::size_t dataIn = apdu.size() > kT0Header ? apdu[4] : 0;
    const std::size_t sent = kT0Header + dataIn;
    Floor floor;
    // Header, the INS procedure byte when data go either way, data, SW1 SW2.
    floor.cardCharacters =
        sent + ((dataIn > 0 || response > kStatusWord) ? kT0ProcedureBytes : 0) + response;
    floor.usb = LinkOnUsb(kCommandHeader + sent, kReplyPrefix + response);
    return floor;
}

Floor T1Floor(const Bytes& apdu, std::size_t response, std::size_t ifsd) {
    Floor floor;
    const std::size_t command = kT1Prologue + apdu.size() + kT1Lrc;
    floor.cardCharacters += command;
    floor.usb += BlockOnUsb(command);
    for (std::size_t left = response;;) {
        const std::size_t piece = left < ifsd ? left : ifsd;
        const std::size_t block = kT1Prologue + piece + kT1Lrc;
        floor.cardCharacters += block;
        floor.usb += BlockOnUsb(block);
        left -= piece;
        if (left == 0) break;
        floor.cardCharacters += kT1RBlock;
        floor.usb += BlockOnUsb(kT1RBlock);
    }
    return floor;
}

Bytes Request(ULONG protocol, const Bytes& apdu) {
    const SCARD_IO_REQUEST header{protocol, static_cast<ULONG>(sizeof(SCARD_IO_REQUEST))};
    Bytes request(sizeof header);
    std::memcpy(request.data(), &header, sizeof header);
    request.reserve(request.size() + apdu.size()); // also keeps GCC 12 -O3 from a false -Warray-bounds
    request.insert(request.end(), apdu.begin(), apdu.end());
    return request;
}

Bytes SelectFile(std::uint16_t fid) {
    return {0x00, 0xA4, 0x00, 0x0C, 0x02, static_cast<std::uint8_t>(fid >> 8), static_cast<std::uint8_t>(fid)};
}

void RunExchange(benchmark::State& state, ULONG protocol, const Bytes& apdu, std::size_t responseLength) {
    auto card = qv::sim::MakeCard("dual");
    qv::sim::SimpleCard& simCard = *card;
    qv::sim::UsbReader reader({}, std::move(card));
    qv::harness::HeldReader config = qv::harness::HeldReader::ForSeed(1);
    config.admitRequests = true;
    qv::harness::ReaderMachine bed(reader, config);
    std::uint64_t requests = 0;
    qv::VirtualTime virtualTime = 0;
    std::size_t ifsd = 0;
    const Bytes request = Request(protocol, apdu);
    const auto ulong = [](const ULONG& value) {
        return std::span<const std::uint8_t>(reinterpret_cast<const std::uint8_t*>(&value), sizeof value);
    };
    const qv::RunResult run = bed.Run([&] {
        const ULONG cold = SCARD_COLD_RESET;
        if (bed.Configure(0) != STATUS_SUCCESS || !bed.SendCommand(0, READER_COMMAND_LINK_RESET).Ok()) {
            state.SkipWithError("the reader could not be started");
            return;
        }
        bed.Reader(0).LinkSynchronized = 1;
        if (bed.DeviceControl(0, IOCTL_SMARTCARD_POWER, ulong(cold), 64).status != STATUS_SUCCESS ||
            bed.DeviceControl(0, IOCTL_SMARTCARD_SET_PROTOCOL, ulong(protocol), 4).status != STATUS_SUCCESS) {
            state.SkipWithError("the card could not be powered or its protocol selected");
            return;
        }
        for (std::uint16_t fid : {qv::sim::kFidApplication, qv::sim::kFidData}) {
            bed.DeviceControl(0, IOCTL_SMARTCARD_TRANSMIT, Request(protocol, SelectFile(fid)), kReplyBuffer);
        }
        ifsd = bed.Smartcard(0).T1.IFSD;
        for (auto _ : state) {
            const qv::VirtualTime start = bed.Machine().Now();
            const qv::harness::IoctlResult result = bed.DeviceControl(0, IOCTL_SMARTCARD_TRANSMIT, request, kReplyBuffer);
            virtualTime += bed.Machine().Now() - start;
            if (result.status != STATUS_SUCCESS || result.output.size() != sizeof(SCARD_IO_REQUEST) + responseLength) {
                state.SkipWithError("an exchange failed");
                break;
            }
            ++requests;
        }
    });
    if (!run.Ok()) state.SkipWithError(run.report.c_str());
    bed.Shutdown();
    state.SetItemsProcessed(static_cast<std::int64_t>(requests));
    if (requests == 0) return;
    const Floor floor = protocol == SCARD_PROTOCOL_T0 ? T0Floor(apdu, responseLength) : T1Floor(apdu, responseLength, ifsd);
    const qv::VirtualTime floorTime = floor.cardCharacters * simCard.CharacterTime() + floor.usb;
    const double ms = static_cast<double>(qv::kTicksPerMillisecond);
    const double perRequest = static_cast<double>(virtualTime) / static_cast<double>(requests);
    state.counters["virtual_ms_per_request"] = perRequest / ms;
    state.counters["floor_ms"] = static_cast<double>(floorTime) / ms;
    state.counters["virtual_over_floor"] = perRequest / static_cast<double>(floorTime);
    state.counters["card_characters"] = static_cast<double>(floor.cardCharacters);
    state.counters["card_work_ms"] = static_cast<double>(simCard.Options().processingTime) / ms;
    state.SetLabel("items = APDUs");
}

const Bytes kSelect = SelectFile(qv::sim::kFidData);
const Bytes kRead255 = {0x00, 0xB0, 0x00, 0x00, 0xFF};

void BM_SelectT0(benchmark::State& state) { RunExchange(state, SCARD_PROTOCOL_T0, kSelect, 2); }
BENCHMARK(BM_SelectT0);

void BM_ReadBinary255T0(benchmark::State& state) { RunExchange(state, SCARD_PROTOCOL_T0, kRead255, 257); }
BENCHMARK(BM_ReadBinary255T0);

void BM_SelectT1(benchmark::State& state) { RunExchange(state, SCARD_PROTOCOL_T1, kSelect, 2); }
BENCHMARK(BM_SelectT1);

void BM_ReadBinary255T1(benchmark::State& state) { RunExchange(state, SCARD_PROTOCOL_T1, kRead255, 257); }
BENCHMARK(BM_ReadBinary255T1);

} // namespace
