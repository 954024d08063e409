// The test bed one conformance case runs on: an emulated machine with the
// driver loaded (harness::ReaderMachine), simulated readers with simulated
// cards, and the requests the smart card resource manager sends, each as
// one call. Everything but the constructor runs on the machine's simulated
// thread, inside CaseContext's run.
#pragma once

#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <vector>

#include "conformance/conformance.h"
#include "harness/reader_machine.h"
#include "usb_reader.h"

namespace qv::conformance {

using Bytes = std::vector<std::uint8_t>;

struct TransmitOutcome {
    NTSTATUS status = STATUS_UNSUCCESSFUL;
    Bytes response;          // behind the header, status word included
    std::uint16_t sw = 0;    // the last two bytes, 0 when there are fewer
};

// The card poll runs once a second: a change is seen at the latest one poll
// period and the poll's own exchange later.
inline constexpr std::uint64_t kPollPeriodMs = 1000;
inline constexpr std::uint64_t kPollSettleMs = 1300;
// A transmit makes the poll skip its next tick, so after one a change may
// take two poll periods to be seen.
inline constexpr std::uint64_t kPollAfterTransmitMs = 2300;

class ConformanceBed {
  public:
    explicit ConformanceBed(std::uint64_t seed);
    ~ConformanceBed();
    ConformanceBed(const ConformanceBed&) = delete;
    ConformanceBed& operator=(const ConformanceBed&) = delete;

    harness::ReaderMachine& Machine() { return *machine_; }
    std::uint64_t Seed() const { return seed_; }

    // A simulated reader, not yet plugged in; card may be null (empty slot).
    std::size_t AddModel(std::unique_ptr<sim::Card> card, sim::ReaderModel model = sim::ReaderModel::Qv38N);
    sim::UsbReader& Model(std::size_t index) { return *models_.at(index); }

    // ---- On the machine's thread ------------------------------------------

    // Plugs the model in, starts it and opens a handle on it, as the system
    // and the resource manager do; the reader becomes the current one. The
    // first failing status, or STATUS_SUCCESS.
    NTSTATUS Attach(std::size_t model, std::size_t* readerIndex = nullptr);
    void Use(std::size_t reader) { current_ = reader; }
    std::size_t Current() const { return current_; }

    harness::IoctlResult Control(ULONG code, std::span<const std::uint8_t> input, ULONG outputLength);
    NTSTATUS Power(ULONG minor, Bytes* atr = nullptr);
    // The protocol chosen is stored for the next transmits.
    NTSTATUS Protocol(ULONG mask, ULONG* chosen = nullptr);
    TransmitOutcome Transmit(const Bytes& apdu, ULONG outputLength = kTransmitOutputLength);
    // The card state (SCARD_ABSENT ...), or 0 when the request failed.
    ULONG State();
    // An attribute's value; the status in *status.
    Bytes Attribute(ULONG id, NTSTATUS* status, ULONG outputLength = kAttributeOutputLength);
    void Advance(std::uint64_t ms);
    std::uint64_t NowMs() const;
    // The protocol the next transmits announce in their header.
    void UseProtocol(ULONG protocol) { protocol_ = protocol; }

    static constexpr ULONG kTransmitOutputLength = 1024;
    static constexpr ULONG kAttributeOutputLength = 256;

  private:
    std::uint64_t seed_;
    std::vector<std::unique_ptr<sim::UsbReader>> models_;
    std::unique_ptr<harness::ReaderMachine> machine_;
    std::size_t current_ = 0;
    ULONG protocol_ = 0;
};

// What a case body sees: its bed and the checks it makes. A failed check is
// recorded (the first one decides the reason) and returned, so that the
// body can stop: `if (!context.Expect(...)) return;`.
class CaseContext {
  public:
    explicit CaseContext(ConformanceBed& bed) : bed_(bed) {}

    ConformanceBed& Bed() { return bed_; }
    std::uint64_t Seed() const { return bed_.Seed(); }

    bool Expect(bool ok, const std::string& what);
    bool ExpectStatus(NTSTATUS got, NTSTATUS wanted, const std::string& what);
    // The case found this reader's known deviation from the requirement it
    // checks, and says why; it still fails if a check fails.
    void KnownDeviation(const std::string& why);

    bool Failed() const { return !failure_.empty(); }
    const std::string& Failure() const { return failure_; }
    const std::string& Deviation() const { return deviation_; }

  private:
    ConformanceBed& bed_;
    std::string failure_;
    std::string deviation_;
};

// "STATUS_NAME (0x...)".
std::string StatusText(NTSTATUS status);
std::string Hex(std::span<const std::uint8_t> bytes);
Bytes FromHex(std::string_view hex);

} // namespace qv::conformance
