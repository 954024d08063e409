// Several readers at once, each through its own handle, up to the limit of
// four.
#include <array>
#include <cstring>

#include "conformance/cases.h"

namespace qv::conformance {

namespace {

constexpr std::size_t kMaxReaders = 4;
constexpr std::string_view kCards[kMaxReaders] = {"dual", "t0", "t1", "t1-crc"};
const Bytes kSelectApplication = FromHex("00A4000C025100");

bool AttachFour(CaseContext& context) {
    ConformanceBed& bed = context.Bed();
    for (std::size_t i = 0; i < kMaxReaders; ++i) {
        const std::size_t model = bed.AddModel(CatalogueCard(kCards[i], context.Seed()),
                                               i % 2 ? sim::ReaderModel::Qv39N : sim::ReaderModel::Qv38N);
        if (!context.ExpectStatus(bed.Attach(model), STATUS_SUCCESS, "reader " + std::to_string(i))) return false;
    }
    bed.Advance(kPollSettleMs);
    return true;
}

ULONG ProtocolOf(std::string_view card) { return card == "t0" ? SCARD_PROTOCOL_T0 : SCARD_PROTOCOL_T1; }

void FourReaders(CaseContext& context) {
    ConformanceBed& bed = context.Bed();
    if (!AttachFour(context)) return;
    for (std::size_t i = 0; i < kMaxReaders; ++i) {
        const std::string name = "reader " + std::to_string(i);
        context.Expect(bed.Machine().Readers().at(i).unit == i, name + " has unit " + std::to_string(i));
        bed.Use(i);
        NTSTATUS status = STATUS_UNSUCCESSFUL;
        const Bytes unit = bed.Attribute(SCARD_ATTR_DEVICE_UNIT, &status);
        context.Expect(NT_SUCCESS(status) && !unit.empty() && unit[0] == i,
                       name + ": SCARD_ATTR_DEVICE_UNIT is " + Hex(unit));
        Bytes atr;
        if (!context.ExpectStatus(bed.Power(SCARD_COLD_RESET, &atr), STATUS_SUCCESS, name + ": a cold reset")) return;
        const Bytes wanted = bed.Model(i).Simple()->Options().atr;
        context.Expect(atr == wanted, name + ": the ATR is its own card's, got " + Hex(atr));
        if (!context.ExpectStatus(bed.Protocol(ProtocolOf(kCards[i])), STATUS_SUCCESS, name + ": the protocol")) return;
    }
    // Each handle reaches its own reader: powering one down leaves the others.
    bed.Use(1);
    if (!context.ExpectStatus(bed.Power(SCARD_POWER_DOWN), STATUS_SUCCESS, "reader 1: power down")) return;
    for (std::size_t i = 0; i < kMaxReaders; ++i) {
        bed.Use(i);
        if (i == 1) continue;
        bed.UseProtocol(ProtocolOf(kCards[i]));
        const TransmitOutcome sent = bed.Transmit(kSelectApplication);
        context.Expect(sent.status == STATUS_SUCCESS && sent.sw == sim::kSwOk,
                       "reader " + std::to_string(i) + " still works after reader 1's power down, got " +
                           StatusText(sent.status));
    }
    // The card pulled from one reader is reported by that reader alone.
    bed.Model(2).RemoveCard();
    bed.Advance(kPollAfterTransmitMs);
    for (std::size_t i = 0; i < kMaxReaders; ++i) {
        bed.Use(i);
        const ULONG state = bed.State();
        context.Expect(i == 2 ? state == SCARD_ABSENT : state >= SCARD_PRESENT,
                       "reader " + std::to_string(i) + " state " + std::to_string(state) + " after reader 2's card went");
    }
}

void FourReadersAtOnce(CaseContext& context) {
    ConformanceBed& bed = context.Bed();
    if (!AttachFour(context)) return;
    for (std::size_t i = 0; i < kMaxReaders; ++i) {
        bed.Use(i);
        if (!context.ExpectStatus(bed.Power(SCARD_COLD_RESET), STATUS_SUCCESS, "a cold reset")) return;
        if (!context.ExpectStatus(bed.Protocol(ProtocolOf(kCards[i])), STATUS_SUCCESS, "the protocol")) return;
    }
    // One application thread per reader, all exchanging at once.
    constexpr int kExchanges = 10;
    std::array<int, kMaxReaders> good{};
    std::array<std::string, kMaxReaders> trouble{};
    for (std::size_t i = 0; i < kMaxReaders; ++i) {
        bed.Machine().Machine().Spawn("app" + std::to_string(i), [&, i] {
            const SCARD_IO_REQUEST header{ProtocolOf(kCards[i]), static_cast<ULONG>(sizeof(SCARD_IO_REQUEST))};
            Bytes request(sizeof header);
            std::memcpy(request.data(), &header, sizeof header);
            request.reserve(request.size() + kSelectApplication.size()); // keeps GCC 12 from a false -Warray-bounds
            request.insert(request.end(), kSelectApplication.begin(), kSelectApplication.end());
            for (int n = 0; n < kExchanges; ++n) {
                const harness::IoctlResult result =
                    bed.Machine().DeviceControl(i, IOCTL_SMARTCARD_TRANSMIT, request, 64);
                if (result.status == STATUS_SUCCESS && result.output.size() == sizeof header + 2) {
                    ++good[i];
                } else if (trouble[i].empty()) {
                    trouble[i] = StatusText(result.status) + " " + Hex(result.output);
                }
            }
        });
    }
    bed.Advance(30'000);
    for (std::size_t i = 0; i < kMaxReaders; ++i) {
        context.Expect(good[i] == kExchanges, "reader " + std::to_string(i) + ": " + std::to_string(good[i]) + " of " +
                                                  std::to_string(kExchanges) + " exchanges succeeded " + trouble[i]);
    }
}

void FifthReaderRefused(CaseContext& context) {
    ConformanceBed& bed = context.Bed();
    if (!AttachFour(context)) return;
    const std::size_t fifth = bed.AddModel(CatalogueCard("dual", context.Seed()));
    std::size_t index = 0;
    const NTSTATUS status = bed.Attach(fifth, &index);
    context.Expect(!NT_SUCCESS(status), "a fifth reader is refused, got " + StatusText(status));
    // The four still work.
    for (std::size_t i = 0; i < kMaxReaders; ++i) {
        bed.Use(i);
        context.ExpectStatus(bed.Power(SCARD_COLD_RESET), STATUS_SUCCESS, "reader " + std::to_string(i) + " after");
    }
    // With one of the four gone, a new reader takes its unit.
    bed.Machine().Close(2);
    bed.Machine().Unplug(2);
    const std::size_t next = bed.AddModel(CatalogueCard("t0", context.Seed()));
    std::size_t added = 0;
    if (!context.ExpectStatus(bed.Attach(next, &added), STATUS_SUCCESS, "a reader in the freed place")) return;
    context.Expect(bed.Machine().Readers().at(added).unit == 2, "the new reader takes the freed unit 2");
    bed.Advance(kPollSettleMs);
    context.ExpectStatus(bed.Power(SCARD_COLD_RESET), STATUS_SUCCESS, "the new reader: a cold reset");
}

} // namespace

void AddSeveralReaderCases(std::vector<ConformanceCase>& cases) {
    constexpr std::string_view kPart = "several readers";
    cases.push_back({kPart, "four readers, each through its own handle", &FourReaders});
    cases.push_back({kPart, "four readers exchanging at once", &FourReadersAtOnce});
    cases.push_back({kPart, "a fifth reader refused, its unit freed for the next", &FifthReaderRefused});
}

} // namespace qv::conformance
