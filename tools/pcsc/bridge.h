// The PC/SC bridge's machine: one emulated Windows machine with the qvscr
// driver, run in real time on a host thread of its own, with a simulated
// reader plugged in for every channel a caller opens. Each call below is
// what an application sends through the reader's handle (an
// IOCTL_SMARTCARD_* request), handed to the machine and waited for; calls
// may come from any host thread. This header uses no Windows or pcsc-lite
// types, so that the IFD handler's entry points (pcsc-lite's types) and the
// machine (the emulation's) stay in separate translation units.
//
//   pcsc::Bridge bridge;
//   bridge.Open(0, {.card = "t1"});
//   auto atr = bridge.Power(0, pcsc::PowerAction::Cold);
//   auto answer = bridge.Transmit(0, pcsc::kProtocolT1, apdu, 258);
#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace qv::pcsc {

// How a request ended, in the terms the IFD handler interface can tell.
enum class Outcome {
    Ok,
    NoCard,         // no card in the slot (or it was pulled during the request)
    NoDevice,       // the reader is gone, or the machine has stopped
    Timeout,        // the card or the reader did not answer in time
    NotSupported,   // the driver does not offer this request
    BufferTooSmall, // the answer does not fit the caller's buffer
    Failed,         // any other failure
};

std::string_view OutcomeName(Outcome outcome);

// Channels (readers) one bridge serves at once.
inline constexpr unsigned kMaxChannels = 8;

// Protocol masks as both Windows and pcsc-lite number them.
inline constexpr std::uint32_t kProtocolT0 = 0x1;
inline constexpr std::uint32_t kProtocolT1 = 0x2;

// The card states of IOCTL_SMARTCARD_GET_STATE (SCARD_ABSENT ... SCARD_SPECIFIC).
enum class CardState : std::uint32_t { Unknown, Absent, Present, Swallowed, Powered, Negotiable, Specific };

enum class PowerAction { Down, Cold, Warm };

struct Reply {
    Outcome outcome = Outcome::Failed;
    std::vector<std::uint8_t> data;
    bool Ok() const { return outcome == Outcome::Ok; }
};

struct ChannelOptions {
    std::string model = "QV-38N"; // or "QV-39N"
    // The card in the slot at start: a catalogue name, "atr:HEX" for a card
    // made from that ATR, or "none" for an empty slot.
    std::string card = "dual";
};

struct BridgeConfig {
    std::uint64_t seed = 1;
    // Wall seconds per second of the machine's time: 1 (real time) for
    // pcscd, whose polls and time-outs expect it; below 1 for tests that
    // spend a card's time without waiting it out (0.01: a hundred times faster).
    double timeScale = 1.0;
};

// Describes a channel for the control channel's `readers` command.
struct ChannelInfo {
    std::uint32_t id = 0;
    std::string model;
    std::string card; // what was last put in ("none" when the slot is empty)
    bool cardInserted = false;
    bool gone = false;
};

// What the card in a channel's slot has done since it was made (see
// sim::CardStatistics): its busy time on the line, in virtual time, and
// the APDUs it ran.
struct CardActivity {
    std::uint64_t busyMicroseconds = 0;
    std::uint64_t commands = 0;
    std::uint64_t chained = 0;
    std::uint64_t getResponses = 0;
    std::uint64_t extended = 0;
};

class Bridge {
  public:
    explicit Bridge(BridgeConfig config = {});
    // Closes what is still open, removes the readers and stops the machine.
    ~Bridge();
    Bridge(const Bridge&) = delete;
    Bridge& operator=(const Bridge&) = delete;

    // Plugs a simulated reader in, lets the Plug and Play manager start the
    // driver for it, and opens the reader's handle. A channel id is the
    // caller's (the IFD handler passes its Lun).
    Outcome Open(std::uint32_t channel, const ChannelOptions& options);
    // Closes the handle and removes the reader.
    Outcome Close(std::uint32_t channel);
    bool HasChannel(std::uint32_t channel) const;

    // IOCTL_SMARTCARD_POWER: the ATR for a reset.
    Reply Power(std::uint32_t channel, PowerAction action);
    // IOCTL_SMARTCARD_SET_PROTOCOL: the protocol selected (4 bytes, little-endian).
    Reply SetProtocol(std::uint32_t channel, std::uint32_t mask);
    // IOCTL_SMARTCARD_TRANSMIT with the header for `protocol`: the response
    // APDU without the header.
    Reply Transmit(std::uint32_t channel, std::uint32_t protocol, std::span<const std::uint8_t> apdu,
                   std::size_t maxResponse);
    // IOCTL_SMARTCARD_GET_STATE.
    Reply State(std::uint32_t channel);
    // The state as pcscd's presence check is told it: a removal the driver
    // reported since the last check comes first, as an empty slot.
    Reply Presence(std::uint32_t channel);
    // IOCTL_SMARTCARD_GET_ATTRIBUTE / SET_ATTRIBUTE.
    Reply Attribute(std::uint32_t channel, std::uint32_t id, std::size_t maxLength);
    Reply SetAttribute(std::uint32_t channel, std::uint32_t id, std::span<const std::uint8_t> value);
    // Any other control code, passed through as it stands.
    Reply Control(std::uint32_t channel, std::uint32_t code, std::span<const std::uint8_t> input,
                  std::size_t outputLength);

    // Card tracking: IOCTL_SMARTCARD_IS_ABSENT while a card is present,
    // IOCTL_SMARTCARD_IS_PRESENT while none is, left pending until the
    // driver completes it, `timeout` passes (then it is cancelled) or
    // StopWaiting is called. Ok for an event, a time-out or a stop alike;
    // the caller asks the state afterwards. A stop ends the wait pending,
    // or the next one when none is.
    Outcome WaitForChange(std::uint32_t channel, std::chrono::milliseconds timeout);
    void StopWaiting(std::uint32_t channel);

    // ---- The world around the reader (the control channel) --------------

    // Puts a card in (replacing the one in the slot): a catalogue name or
    // "atr:HEX"; empty puts the slot's own card back.
    Outcome InsertCard(std::uint32_t channel, std::string_view card, std::string& error);
    Outcome RemoveCard(std::uint32_t channel);
    // The activity of the slot's card (also when it is out of the slot).
    Outcome Activity(std::uint32_t channel, CardActivity& activity);
    // Arms a reader or card fault by its catalogue name.
    Outcome ArmFault(std::uint32_t channel, std::string_view name, unsigned count, std::string& error);
    // The reader is pulled out: surprise removal, the remove once the
    // handle is closed.
    Outcome Unplug(std::uint32_t channel);
    std::vector<ChannelInfo> Channels() const;
    // Catalogue names with their descriptions, one per line.
    static std::string CardList();
    static std::string FaultList();

    // Closes every channel, removes the readers, lets the driver unload (its
    // unload audit runs) and stops the machine. Returns the machine's report
    // when that did not end cleanly, empty otherwise. Idempotent; the
    // destructor calls it.
    std::string Shutdown();

    // Whether the machine has stopped (a bug check, a deadlock), and its report.
    bool Stopped() const;
    std::string StopReport() const;

  private:
    class Machine;
    std::unique_ptr<Machine> machine_;
};

} // namespace qv::pcsc
