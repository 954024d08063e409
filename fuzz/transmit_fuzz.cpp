// The card's answers through the driver's APDU path: an application's
// IOCTL_SMARTCARD_TRANSMIT through the dispatch routine, the library and the
// driver's Transmit, with a card whose protocol is already selected.
//
// Under T=0 the reader runs the exchange with the card; its reply (three
// bytes, the reader's status, the card's response) comes from the input,
// inside the link's block protocol kept by an honest peer (fuzz/link_peer.h).
// Under T=1 the library's blocks go to the card byte for byte over the USB
// packets, and the card's answer to each (fuzz/t1_answers.h) comes back the
// same way, in packets of the input's choosing sizes.
#include <algorithm>
#include <cstring>
#include <string>

#include "card.h"
#include "fuzz_input.h"
#include "harness/reader_machine.h"
#include "link.h"
#include "link_peer.h"
#include "t1_answers.h"

namespace qv::fuzz {

namespace {

using test::Bytes;

constexpr std::size_t kTransmits = 3;
constexpr std::size_t kApduChoice = 300;
constexpr ULONG kOutputChoice = 600;
constexpr ULONG kHeaderLength = sizeof(SCARD_IO_REQUEST);
constexpr std::uint8_t kReaderStatuses[] = {READER_STATUS_SUCCESS,   READER_STATUS_STATUS_ONLY,
                                            READER_STATUS_CARD_MUTE, READER_STATUS_NO_CARD,
                                            READER_STATUS_CARD_UNPOWERED};

// A T=0 reply's information field: three bytes, the reader's status (one
// of its own, or any byte) and the card's response.
Bytes T0Reply(FuzzInput& in) {
    Bytes inf = in.Take(READER_REPLY_STATUS_OFFSET);
    inf.resize(READER_REPLY_STATUS_OFFSET);
    const std::uint8_t choice = in.Byte();
    inf.push_back(choice < std::size(kReaderStatuses) ? kReaderStatuses[choice] : in.Byte());
    const Bytes data = in.Take(in.Below(READER_BUFFER_SIZE));
    inf.insert(inf.end(), data.begin(), data.end());
    return inf;
}

test::Transfers InPackets(FuzzInput& in, const Bytes& block) {
    if (block.empty() || in.Flag()) return test::Packets(block);
    return OddPackets(in, block);
}

} // namespace

// The machine boots and configures the reader with the seed alone: the
// protocol, the card's IFSC and checksum, and the card's answers come in at
// the start point (the reader's bulk pipes carry nothing before it).
Verdict Run_transmit(Input input, StartPoint* start) {
    FuzzInput in(input);
    const std::uint64_t seed = in.Seed();
    bool t1 = false;
    auto edc = smclib::t1::Edc::Lrc;

    test::ScriptedReader reader;
    LinkPeer peer([&](const Bytes&) -> std::optional<Bytes> {
        if (in.Empty()) return std::nullopt;
        return T0Reply(in);
    });
    reader.SetResponder([&](const Bytes& block) -> std::optional<test::Transfers> {
        if (!t1) return peer.Respond(block);
        const Bytes answer = T1CardAnswer(in, block, edc);
        if (answer.empty()) return std::nullopt;
        return InPackets(in, answer);
    });

    harness::HeldReader config;
    config.machine = FuzzMachineConfig(seed);
    config.admitRequests = true;
    harness::ReaderMachine bed(reader, config);
    Verdict verdict;
    const RunResult run = bed.Run([&] {
        if (bed.Configure(0) != STATUS_SUCCESS) return;
        Reach(start, in);
        t1 = in.Flag();
        const std::uint8_t ifsc = in.Byte();
        const bool crc = in.Flag();
        edc = crc ? smclib::t1::Edc::Crc : smclib::t1::Edc::Lrc;
        SMARTCARD_EXTENSION& card = bed.Smartcard(0);
        bed.Reader(0).LinkSynchronized = 1;
        if (t1) {
            const Bytes atr = T1Atr(ifsc, crc);
            std::copy(atr.begin(), atr.end(), card.CardCapabilities.ATR.Buffer);
            card.CardCapabilities.ATR.Length = static_cast<UCHAR>(atr.size());
            card.ReaderCapabilities.CurrentState = SCARD_POWERED;
            if (SmartcardUpdateCardCapabilities(&card) != STATUS_SUCCESS) return;
            FindIfsc(&card);
            card.T1.IFSD = DRIVER_T1_IFSD;
        }
        card.CardCapabilities.Protocol.Selected = t1 ? SCARD_PROTOCOL_T1 : SCARD_PROTOCOL_T0;
        card.ReaderCapabilities.CurrentState = SCARD_SPECIFIC;
        bed.Reader(0).CardReady = 1;

        for (std::size_t i = 0; i < kTransmits && !in.Empty(); ++i) {
            const Bytes apdu = in.Take(in.Below(kApduChoice));
            SCARD_IO_REQUEST header{t1 ? ULONG{SCARD_PROTOCOL_T1} : ULONG{SCARD_PROTOCOL_T0}, kHeaderLength};
            Bytes request(reinterpret_cast<const std::uint8_t*>(&header),
                          reinterpret_cast<const std::uint8_t*>(&header) + sizeof header);
            request.insert(request.end(), apdu.begin(), apdu.end());
            const ULONG outputLength = static_cast<ULONG>(in.Below(kOutputChoice));
            const harness::IoctlResult result = bed.DeviceControl(0, IOCTL_SMARTCARD_TRANSMIT, request, outputLength);
            if (result.information > outputLength) {
                verdict = Failed("TRANSMIT reported " + std::to_string(result.information) +
                                 " bytes for an output buffer of " + std::to_string(outputLength));
                return;
            }
        }
    });
    return FromRuns(run, bed.Shutdown(), "transmit", verdict);
}

std::string BootKey_transmit(Input input) {
    FuzzInput in(input);
    return BootKeyOf({in.Seed()});
}

Verdict Fuzz_transmit(Input input) { return Run_transmit(input, nullptr); }

} // namespace qv::fuzz
