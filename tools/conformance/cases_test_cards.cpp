// Test cards: T=0 and T=1, direct and inverse convention, negotiable and
// specific mode, buffers and lengths that are wrong, a mute card, waiting-time
// extensions, a protocol the card lacks, writes and reads of the sizes the
// platform's tests use, a long card operation, and the largest transfers.
#include <cstdio>
#include <memory>

#include "cards/atr.h"
#include "conformance/cases.h"
#include "harness/link_trace.h"
#include "usb/usb_bus.h"

namespace qv::conformance {

namespace {

const Bytes kSelectApplication = FromHex("00A4000C025100");
const Bytes kSelectData = FromHex("00A4000C020101");
constexpr std::uint8_t kRate38400 = 0x13;
constexpr std::size_t kT1Prologue = 3;
constexpr std::size_t kCrcLength = 2;

std::string Sw(std::uint16_t sw) {
    char text[8];
    std::snprintf(text, sizeof text, "%04X", sw);
    return text;
}

bool Start(CaseContext& context, std::unique_ptr<sim::Card> card, ULONG protocol, Bytes* atr = nullptr) {
    ConformanceBed& bed = context.Bed();
    const std::size_t model = bed.AddModel(std::move(card));
    if (!context.ExpectStatus(bed.Attach(model), STATUS_SUCCESS, "the reader plugged, started and opened")) return false;
    bed.Advance(kPollSettleMs);
    if (!context.ExpectStatus(bed.Power(SCARD_COLD_RESET, atr), STATUS_SUCCESS, "a cold reset")) return false;
    if (protocol == 0) return true;
    ULONG chosen = 0;
    if (!context.ExpectStatus(bed.Protocol(protocol, &chosen), STATUS_SUCCESS, "the protocol")) return false;
    return context.Expect(chosen == protocol, "the protocol chosen is " + std::to_string(chosen));
}

// Sends apdu and expects a success with the status word wanted; the
// response (status word included) in *response.
bool Exchange(CaseContext& context, const Bytes& apdu, std::uint16_t sw, const std::string& what,
              Bytes* response = nullptr) {
    const TransmitOutcome sent = context.Bed().Transmit(apdu);
    if (!context.ExpectStatus(sent.status, STATUS_SUCCESS, what)) return false;
    if (response != nullptr) *response = sent.response;
    return context.Expect(sent.sw == sw, what + " answered SW " + Sw(sent.sw) + ", expected " + Sw(sw));
}

bool ReadsDataFile(CaseContext& context, const std::string& when) {
    Bytes response;
    if (!Exchange(context, FromHex("00A4000C023F00"), sim::kSwOk, when + ": SELECT the MF")) return false;
    if (!Exchange(context, kSelectApplication, sim::kSwOk, when + ": SELECT the application")) return false;
    if (!Exchange(context, kSelectData, sim::kSwOk, when + ": SELECT the data file")) return false;
    if (!Exchange(context, FromHex("00B0000010"), sim::kSwOk, when + ": READ BINARY 16", &response)) return false;
    for (std::size_t i = 0; i < 16; ++i) {
        if (!context.Expect(response.size() == 18 && response[i] == sim::DataFileByte(i),
                            when + ": READ BINARY brought " + Hex(response)))
            return false;
    }
    return true;
}

void T0Card(CaseContext& context) {
    if (!Start(context, CatalogueCard("t0", context.Seed()), SCARD_PROTOCOL_T0)) return;
    ReadsDataFile(context, "T=0");
}

void T1Card(CaseContext& context) {
    if (!Start(context, CatalogueCard("t1", context.Seed()), SCARD_PROTOCOL_T1)) return;
    ReadsDataFile(context, "T=1");
}

void DirectConvention(CaseContext& context) {
    Bytes atr;
    if (!Start(context, CatalogueCard("t0", context.Seed()), SCARD_PROTOCOL_T0, &atr)) return;
    context.Expect(!atr.empty() && atr[0] == 0x3B, "the ATR of a direct-convention card starts 3B: " + Hex(atr));
    ReadsDataFile(context, "direct convention");
}

void InverseConvention(CaseContext& context) {
    Bytes atr;
    if (!Start(context, CatalogueCard("inverse", context.Seed()), SCARD_PROTOCOL_T0, &atr)) return;
    context.Expect(!atr.empty() && atr[0] == 0x3F, "the ATR of an inverse-convention card starts 3F: " + Hex(atr));
    ReadsDataFile(context, "inverse convention");
}

void NegotiableMode(CaseContext& context) {
    ConformanceBed& bed = context.Bed();
    if (!Start(context, CatalogueCard("dual", context.Seed()), 0)) return;
    if (!context.Expect(bed.State() == SCARD_NEGOTIABLE, "after the reset the card is SCARD_NEGOTIABLE")) return;
    ULONG chosen = 0;
    if (!context.ExpectStatus(bed.Protocol(SCARD_PROTOCOL_T0 | SCARD_PROTOCOL_T1, &chosen), STATUS_SUCCESS,
                              "a PPS for T=0 or T=1"))
        return;
    context.Expect(bed.State() == SCARD_SPECIFIC, "after the PPS the card is SCARD_SPECIFIC");
    const sim::SimpleCard* card = bed.Model(0).Simple();
    context.Expect(card != nullptr && card->RateIndex() == kRate38400,
                   "the PPS agreed the card's own rate (TA1 13, 38400 bit/s)");
    ReadsDataFile(context, "after the PPS");
}

void SpecificMode(CaseContext& context) {
    ConformanceBed& bed = context.Bed();
    if (!Start(context, CatalogueCard("two-mode", context.Seed()), 0)) return;
    if (!context.Expect(bed.State() == SCARD_SPECIFIC, "a card with TA2 is SCARD_SPECIFIC after its reset, state " +
                                                           std::to_string(bed.State())))
        return;
    ULONG chosen = 0;
    const NTSTATUS other = bed.Protocol(SCARD_PROTOCOL_T0, &chosen);
    context.Expect(!NT_SUCCESS(other), "T=0 asked of a card fixed to T=1 is refused, got " + StatusText(other));
    if (!context.ExpectStatus(bed.Protocol(SCARD_PROTOCOL_T1, &chosen), STATUS_SUCCESS, "T=1, the card's mode"))
        return;
    ReadsDataFile(context, "specific mode");
    // A warm reset makes this card negotiable.
    if (!context.ExpectStatus(bed.Power(SCARD_WARM_RESET), STATUS_SUCCESS, "a warm reset")) return;
    context.Expect(bed.State() == SCARD_NEGOTIABLE, "after the warm reset the card is SCARD_NEGOTIABLE");
}

void ReceiveBufferTooSmall(CaseContext& context) {
    ConformanceBed& bed = context.Bed();
    if (!Start(context, CatalogueCard("dual", context.Seed()), SCARD_PROTOCOL_T1)) return;
    if (!Exchange(context, kSelectApplication, sim::kSwOk, "SELECT") ||
        !Exchange(context, kSelectData, sim::kSwOk, "SELECT the data file"))
        return;
    // Room for the header and 16 bytes; the card answers 128 and a status word.
    const TransmitOutcome sent = bed.Transmit(FromHex("00B0000080"), sizeof(SCARD_IO_REQUEST) + 16);
    context.ExpectStatus(sent.status, STATUS_BUFFER_TOO_SMALL, "a 130-byte answer into 16 bytes");
    ReadsDataFile(context, "the exchange after");
}

void InconsistentLc(CaseContext& context) {
    ConformanceBed& bed = context.Bed();
    for (ULONG protocol : {SCARD_PROTOCOL_T0, SCARD_PROTOCOL_T1}) {
        const std::string name = protocol == SCARD_PROTOCOL_T0 ? "T=0" : "T=1";
        if (protocol == SCARD_PROTOCOL_T1) {
            if (!context.ExpectStatus(bed.Power(SCARD_COLD_RESET), STATUS_SUCCESS, "a cold reset")) return;
            if (!context.ExpectStatus(bed.Protocol(protocol), STATUS_SUCCESS, "T=1")) return;
        } else if (!Start(context, CatalogueCard("dual", context.Seed()), protocol)) {
            return;
        }
        // Lc says 5 bytes, 2 follow.
        const TransmitOutcome sent = bed.Transmit(FromHex("00A4000C053F00"));
        context.Expect(!NT_SUCCESS(sent.status) || sent.sw == sim::kSwWrongLength,
                       name + ": an APDU whose Lc does not match its data is refused or answered 6700, got " +
                           StatusText(sent.status) + " " + Hex(sent.response));
        if (!ReadsDataFile(context, name + ", the exchange after")) return;
    }
}

void MuteCard(CaseContext& context) {
    ConformanceBed& bed = context.Bed();
    const std::size_t model = bed.AddModel(CatalogueCard("mute", context.Seed()));
    if (!context.ExpectStatus(bed.Attach(model), STATUS_SUCCESS, "the reader plugged, started and opened")) return;
    bed.Advance(kPollSettleMs);
    const NTSTATUS reset = bed.Power(SCARD_COLD_RESET);
    context.Expect(reset == STATUS_IO_TIMEOUT || reset == STATUS_UNRECOGNIZED_MEDIA,
                   "a card that never answers its reset times out, got " + StatusText(reset));
    // A card that falls silent in the middle of a session.
    bed.Model(0).InsertCard(CatalogueCard("dual", context.Seed()));
    bed.Advance(kPollSettleMs);
    if (!context.ExpectStatus(bed.Power(SCARD_COLD_RESET), STATUS_SUCCESS, "a cold reset of a good card")) return;
    if (!context.ExpectStatus(bed.Protocol(SCARD_PROTOCOL_T0), STATUS_SUCCESS, "T=0")) return;
    bed.Model(0).Arm(sim::Fault::CardMute);
    const TransmitOutcome sent = bed.Transmit(kSelectApplication);
    context.ExpectStatus(sent.status, STATUS_IO_TIMEOUT, "a command the card does not answer");
    if (!context.ExpectStatus(bed.Power(SCARD_COLD_RESET), STATUS_SUCCESS, "a cold reset after the time-out")) return;
    if (!context.ExpectStatus(bed.Protocol(SCARD_PROTOCOL_T0), STATUS_SUCCESS, "T=0")) return;
    ReadsDataFile(context, "after the time-out");
}

void EchoWithExtensions(CaseContext& context) {
    ConformanceBed& bed = context.Bed();
    for (ULONG protocol : {SCARD_PROTOCOL_T1, SCARD_PROTOCOL_T0}) {
        const bool t1 = protocol == SCARD_PROTOCOL_T1;
        if (t1) {
            if (!Start(context, CatalogueCard("dual", context.Seed()), protocol)) return;
        } else {
            if (!context.ExpectStatus(bed.Power(SCARD_COLD_RESET), STATUS_SUCCESS, "a cold reset")) return;
            if (!context.ExpectStatus(bed.Protocol(protocol), STATUS_SUCCESS, "the protocol")) return;
        }
        for (std::uint8_t extensions : {1, 2, 5, 30}) {
            const std::string what = std::string(t1 ? "T=1" : "T=0") + " echo after " + std::to_string(extensions) +
                                     " waiting-time extensions";
            Bytes data(16);
            for (std::size_t i = 0; i < data.size(); ++i) data[i] = static_cast<std::uint8_t>(extensions + i);
            Bytes apdu{sim::kClaProprietary, sim::kInsEchoAfterWaits, extensions, 0x00,
                       static_cast<std::uint8_t>(data.size())};
            apdu.reserve(apdu.size() + data.size() + 1); // also keeps GCC 12 -O3 from a false -Warray-bounds
            apdu.insert(apdu.end(), data.begin(), data.end());
            Bytes response;
            if (t1) {
                apdu.push_back(0x00);
                if (!Exchange(context, apdu, sim::kSwOk, what, &response)) return;
            } else {
                // Case 4 under T=0: the answer waits for GET RESPONSE.
                if (!Exchange(context, apdu, static_cast<std::uint16_t>(sim::kSwBytesAvailable | data.size()), what))
                    return;
                if (!Exchange(context, FromHex("00C0000010"), sim::kSwOk, what + ", GET RESPONSE", &response)) return;
            }
            response.resize(response.size() - 2);
            if (!context.Expect(response == data, what + ": the echo brought " + Hex(response))) return;
        }
    }
}

void T1OfT0OnlyCard(CaseContext& context) {
    ConformanceBed& bed = context.Bed();
    if (!Start(context, CatalogueCard("t0", context.Seed()), 0)) return;
    const NTSTATUS status = bed.Protocol(SCARD_PROTOCOL_T1);
    if (!context.Expect(status == STATUS_NOT_SUPPORTED || status == STATUS_INVALID_DEVICE_REQUEST,
                        "T=1 asked of a T=0-only card is refused as not supported, got " + StatusText(status)))
        return;
    if (status == STATUS_INVALID_DEVICE_REQUEST) {
        context.KnownDeviation("a protocol the card does not offer is refused with STATUS_INVALID_DEVICE_REQUEST "
                               "before any PPS, not STATUS_NOT_SUPPORTED, which this driver keeps for a PPS the card "
                               "or reader turned down; either way the request fails and the card stays usable");
    }
    // The card is still usable under the protocol it has.
    if (!context.ExpectStatus(bed.Power(SCARD_COLD_RESET), STATUS_SUCCESS, "a cold reset")) return;
    if (!context.ExpectStatus(bed.Protocol(SCARD_PROTOCOL_T0), STATUS_SUCCESS, "T=0")) return;
    ReadsDataFile(context, "under T=0");
}

void WritesAndRead(CaseContext& context) {
    ConformanceBed& bed = context.Bed();
    for (ULONG protocol : {SCARD_PROTOCOL_T0, SCARD_PROTOCOL_T1}) {
        const std::string name = protocol == SCARD_PROTOCOL_T0 ? "T=0" : "T=1";
        if (protocol == SCARD_PROTOCOL_T0) {
            if (!Start(context, CatalogueCard("dual", context.Seed()), protocol)) return;
        } else {
            if (!context.ExpectStatus(bed.Power(SCARD_COLD_RESET), STATUS_SUCCESS, "a cold reset")) return;
            if (!context.ExpectStatus(bed.Protocol(protocol), STATUS_SUCCESS, "T=1")) return;
        }
        if (!Exchange(context, kSelectApplication, sim::kSwOk, name + ": SELECT") ||
            !Exchange(context, kSelectData, sim::kSwOk, name + ": SELECT the data file"))
            return;
        Bytes written(128, 0);
        for (std::size_t length : {1, 25, 75, 128}) {
            Bytes apdu{0x00, 0xD6, 0x00, 0x00, static_cast<std::uint8_t>(length)};
            for (std::size_t i = 0; i < length; ++i) {
                written[i] = static_cast<std::uint8_t>(length * 3 + i + protocol);
                apdu.push_back(written[i]);
            }
            if (!Exchange(context, apdu, sim::kSwOk, name + ": a write of " + std::to_string(length) + " bytes")) return;
        }
        Bytes response;
        if (!Exchange(context, FromHex("00B0000080"), sim::kSwOk, name + ": a read of 128 bytes", &response)) return;
        response.resize(response.size() - 2);
        context.Expect(response == written, name + ": the read brought back what was written: " + Hex(response));
    }
}

void LongOperation(CaseContext& context) {
    ConformanceBed& bed = context.Bed();
    constexpr std::uint64_t kSeconds = 5;
    for (ULONG protocol : {SCARD_PROTOCOL_T0, SCARD_PROTOCOL_T1}) {
        const std::string name = protocol == SCARD_PROTOCOL_T0 ? "T=0" : "T=1";
        if (protocol == SCARD_PROTOCOL_T0) {
            if (!Start(context, CatalogueCard("dual", context.Seed()), protocol)) return;
        } else {
            if (!context.ExpectStatus(bed.Power(SCARD_COLD_RESET), STATUS_SUCCESS, "a cold reset")) return;
            if (!context.ExpectStatus(bed.Protocol(protocol), STATUS_SUCCESS, "T=1")) return;
        }
        const std::uint64_t start = bed.NowMs();
        Bytes response;
        if (!Exchange(context, FromHex("80E2050040"), sim::kSwOk, name + ": a key generation of 5 s", &response))
            return;
        context.Expect(response.size() == sim::kKeySize + 2, name + ": the key is 64 bytes");
        context.Expect(bed.NowMs() - start >= kSeconds * 1000, name + ": the card took its 5 s");
    }
}

// The largest blocks that go over the link in each direction, seen on the
// bus: the reader's USB packets joined into blocks.
struct BlockSizes {
    std::size_t out = 0;
    std::size_t in = 0;
};

void WatchBlocks(ConformanceBed& bed, BlockSizes& sizes) {
    auto outJoiner = std::make_shared<harness::PacketJoiner>();
    auto inJoiner = std::make_shared<harness::PacketJoiner>();
    bed.Machine().Bus().SetObserver([&sizes, outJoiner, inJoiner](const usb::TransferEvent& event) {
        if (event.kind == usb::TransferKind::ResetPipe || event.status != USBD_STATUS_SUCCESS) return;
        const bool out = event.kind == usb::TransferKind::Out;
        if (auto block = (out ? *outJoiner : *inJoiner).Add(event.data)) {
            std::size_t& largest = out ? sizes.out : sizes.in;
            largest = std::max(largest, block->size());
        }
    });
}

void LargestT0Transfer(CaseContext& context) {
    if (!Start(context, CatalogueCard("t0", context.Seed()), SCARD_PROTOCOL_T0)) return;
    if (!Exchange(context, kSelectApplication, sim::kSwOk, "SELECT") ||
        !Exchange(context, kSelectData, sim::kSwOk, "SELECT the data file"))
        return;
    // 255 bytes to the card in one command, 256 and the status word back.
    Bytes apdu{0x00, 0xD6, 0x00, 0x00, 0xFF};
    for (std::size_t i = 0; i < 0xFF; ++i) apdu.push_back(sim::DataFileByte(i));
    if (!Exchange(context, apdu, sim::kSwOk, "a write of 255 bytes")) return;
    Bytes response;
    if (!Exchange(context, FromHex("00B0000000"), sim::kSwOk, "a read of 256 bytes", &response)) return;
    if (!context.Expect(response.size() == 258, "the answer is 258 bytes, got " + std::to_string(response.size())))
        return;
    for (std::size_t i = 0; i < 256; ++i) {
        if (!context.Expect(response[i] == sim::DataFileByte(i), "byte " + std::to_string(i) + " of the read")) return;
    }
}

void LargestT1Blocks(CaseContext& context) {
    ConformanceBed& bed = context.Bed();
    // IFSC 254 and CRC: the longest block ISO/IEC 7816-3 allows, 259 bytes.
    sim::SimpleCardOptions options;
    options.atr = sim::BuildAtr({.ta1 = kRate38400, .t0 = false, .t1 = true, .ifsc = 254, .bwi = 4, .cwi = 5,
                                 .crc = true});
    options.protocols = sim::kProtocolT1;
    options.offeredRate = kRate38400;
    options.ifsc = 254;
    options.seed = context.Seed();
    if (!Start(context, std::make_unique<sim::SimpleCard>(options), SCARD_PROTOCOL_T1)) return;
    BlockSizes sizes;
    WatchBlocks(bed, sizes);
    if (!Exchange(context, kSelectApplication, sim::kSwOk, "SELECT") ||
        !Exchange(context, kSelectData, sim::kSwOk, "SELECT the data file"))
        return;
    // 4 header bytes, Lc and 249 data bytes: 254 bytes, one full block.
    Bytes apdu{0x00, 0xD6, 0x00, 0x00, 249};
    for (std::size_t i = 0; i < 249; ++i) apdu.push_back(static_cast<std::uint8_t>(i ^ 0x5A));
    if (!Exchange(context, apdu, sim::kSwOk, "a write of 249 bytes in one block")) return;
    Bytes response;
    if (!Exchange(context, FromHex("00B0000000"), sim::kSwOk, "a read of 256 bytes", &response)) return;
    context.Expect(response.size() == 258, "the answer is 258 bytes, got " + std::to_string(response.size()));
    constexpr std::size_t kLongest = kT1Prologue + 254 + kCrcLength;
    context.Expect(sizes.out == kLongest, "the longest block to the card is " + std::to_string(sizes.out) +
                                              " bytes, expected 259");
    bed.Machine().Bus().SetObserver({});
    if (sizes.in < kLongest) {
        context.KnownDeviation("the longest block from the card is " + std::to_string(sizes.in) +
                               " bytes, not 259: after every reset the driver sets the host's IFSD to 252, below the "
                               "254 the reader announces in SCARD_ATTR_MAX_IFSD, so the card chains at 252 bytes");
    }
}

} // namespace

void AddTestCardCases(std::vector<ConformanceCase>& cases) {
    constexpr std::string_view kPart = "test cards";
    cases.push_back({kPart, "T=0 card: select and read", &T0Card});
    cases.push_back({kPart, "T=1 card: select and read", &T1Card});
    cases.push_back({kPart, "direct convention card", &DirectConvention});
    cases.push_back({kPart, "inverse convention card", &InverseConvention});
    cases.push_back({kPart, "negotiable mode: PPS to the card's rate", &NegotiableMode});
    cases.push_back({kPart, "specific mode (TA2) kept without a PPS", &SpecificMode});
    cases.push_back({kPart, "receive buffer too small", &ReceiveBufferTooSmall});
    cases.push_back({kPart, "inconsistent Lc refused", &InconsistentLc});
    cases.push_back({kPart, "mute card times out", &MuteCard});
    cases.push_back({kPart, "echo after 1, 2, 5 and 30 waiting-time extensions", &EchoWithExtensions});
    cases.push_back({kPart, "T=1 asked of a T=0-only card not supported", &T1OfT0OnlyCard});
    cases.push_back({kPart, "writes of 1, 25, 75 and 128 bytes, a 128-byte read", &WritesAndRead});
    cases.push_back({kPart, "long card operation (5 s key generation)", &LongOperation});
    cases.push_back({kPart, "258 bytes in one T=0 transmission", &LargestT0Transfer});
    cases.push_back({kPart, "259-byte T=1 blocks", &LargestT1Blocks});
}

} // namespace qv::conformance
