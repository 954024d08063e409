#include "conformance/conformance_bed.h"

#include <charconv>
#include <cstring>

#include "harness/console_words.h"
#include "harness/link_trace.h"
#include "kernel/status_names.h"

namespace qv::conformance {

namespace {

ULONG ReadUlong(std::span<const std::uint8_t> bytes) {
    ULONG value = 0;
    if (bytes.size() >= sizeof value) std::memcpy(&value, bytes.data(), sizeof value);
    return value;
}

std::span<const std::uint8_t> AsBytes(const ULONG& value) {
    return {reinterpret_cast<const std::uint8_t*>(&value), sizeof value};
}

constexpr ULONG kPowerOutputLength = 64;
constexpr std::size_t kStatusWordLength = 2;
constexpr unsigned kBitsPerByte = 8;

} // namespace

std::string StatusText(NTSTATUS status) { return NtStatusText(status); }

std::string Hex(std::span<const std::uint8_t> bytes) { return harness::HexBytes(bytes); }

Bytes FromHex(std::string_view hex) {
    Bytes bytes;
    harness::ParseHex(hex, bytes);
    return bytes;
}

ConformanceBed::ConformanceBed(std::uint64_t seed) : seed_(seed) {
    MachineConfig config;
    config.seed = seed;
    machine_ = std::make_unique<harness::ReaderMachine>(config);
}

// The machine goes before the readers it holds.
ConformanceBed::~ConformanceBed() { machine_.reset(); }

std::size_t ConformanceBed::AddModel(std::unique_ptr<sim::Card> card, sim::ReaderModel model) {
    sim::ReaderOptions options;
    options.model = model;
    options.cardInserted = card != nullptr;
    models_.push_back(card ? std::make_unique<sim::UsbReader>(options, std::move(card))
                           : std::make_unique<sim::UsbReader>(options));
    return models_.size() - 1;
}

NTSTATUS ConformanceBed::Attach(std::size_t model, std::size_t* readerIndex) {
    const harness::PlugResult added = machine_->Plug(*models_.at(model));
    if (readerIndex != nullptr) *readerIndex = added.index;
    if (!NT_SUCCESS(added.status)) return added.status;
    current_ = added.index;
    NTSTATUS status = machine_->Pnp(added.index, IRP_MN_START_DEVICE);
    if (!NT_SUCCESS(status)) return status;
    return machine_->Open(added.index);
}

harness::IoctlResult ConformanceBed::Control(ULONG code, std::span<const std::uint8_t> input, ULONG outputLength) {
    return machine_->DeviceControl(current_, code, input, outputLength);
}

NTSTATUS ConformanceBed::Power(ULONG minor, Bytes* atr) {
    const harness::IoctlResult result = Control(IOCTL_SMARTCARD_POWER, AsBytes(minor), kPowerOutputLength);
    if (atr != nullptr) *atr = result.output;
    return result.status;
}

NTSTATUS ConformanceBed::Protocol(ULONG mask, ULONG* chosen) {
    const harness::IoctlResult result = Control(IOCTL_SMARTCARD_SET_PROTOCOL, AsBytes(mask), sizeof(ULONG));
    const ULONG protocol = ReadUlong(result.output);
    if (NT_SUCCESS(result.status)) protocol_ = protocol;
    if (chosen != nullptr) *chosen = protocol;
    return result.status;
}

TransmitOutcome ConformanceBed::Transmit(const Bytes& apdu, ULONG outputLength) {
    const SCARD_IO_REQUEST header{protocol_, static_cast<ULONG>(sizeof(SCARD_IO_REQUEST))};
    Bytes request(sizeof header);
    std::memcpy(request.data(), &header, sizeof header);
    request.reserve(request.size() + apdu.size()); // also keeps GCC 12 -O3 from a false -Warray-bounds
    request.insert(request.end(), apdu.begin(), apdu.end());
    const harness::IoctlResult result = Control(IOCTL_SMARTCARD_TRANSMIT, request, outputLength);
    TransmitOutcome outcome;
    outcome.status = result.status;
    if (result.output.size() > sizeof header) outcome.response.assign(result.output.begin() + sizeof header, result.output.end());
    if (outcome.response.size() >= kStatusWordLength) {
        const std::size_t n = outcome.response.size();
        outcome.sw = static_cast<std::uint16_t>((outcome.response[n - 2] << kBitsPerByte) | outcome.response[n - 1]);
    }
    return outcome;
}

ULONG ConformanceBed::State() {
    const harness::IoctlResult result = Control(IOCTL_SMARTCARD_GET_STATE, {}, sizeof(ULONG));
    return NT_SUCCESS(result.status) ? ReadUlong(result.output) : 0;
}

Bytes ConformanceBed::Attribute(ULONG id, NTSTATUS* status, ULONG outputLength) {
    const harness::IoctlResult result = Control(IOCTL_SMARTCARD_GET_ATTRIBUTE, AsBytes(id), outputLength);
    if (status != nullptr) *status = result.status;
    return result.output;
}

void ConformanceBed::Advance(std::uint64_t ms) {
    LARGE_INTEGER interval;
    interval.QuadPart = -static_cast<LONGLONG>(ms * kTicksPerMillisecond);
    KeDelayExecutionThread(KernelMode, FALSE, &interval);
}

std::uint64_t ConformanceBed::NowMs() const { return machine_->Machine().Now() / kTicksPerMillisecond; }

bool CaseContext::Expect(bool ok, const std::string& what) {
    if (!ok && failure_.empty()) failure_ = what;
    return ok;
}

bool CaseContext::ExpectStatus(NTSTATUS got, NTSTATUS wanted, const std::string& what) {
    return Expect(got == wanted, what + ": " + StatusText(got) + ", expected " + StatusText(wanted));
}

void CaseContext::KnownDeviation(const std::string& why) {
    if (deviation_.empty()) deviation_ = why;
}

} // namespace qv::conformance
