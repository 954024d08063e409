// The application's console: the reader as an application sees it. It plugs
// a simulated reader with a card into the emulated machine, starts it the
// way the driver's start sequence does, and turns one line at a time into
// the smart-card requests an application sends through the reader's handle,
// printing one result line per request in the console's fixed format.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <ostream>
#include <string>
#include <string_view>
#include <vector>

#include "harness/link_trace.h"
#include "harness/reader_machine.h"
#include "harness/world_commands.h"
#include "usb_reader.h"

namespace qv::harness {

struct AppConsoleOptions {
    sim::ReaderModel model = sim::ReaderModel::Qv38N;
    std::uint64_t seed = 1;
    // The card in the slot at start: a catalogue name, or an ATR.
    std::string card = "dual";
    std::optional<std::vector<std::uint8_t>> atr{};
    bool noCard = false;
    bool trace = false;
    bool time = false; // every line starts with the virtual time
};

class AppConsole {
  public:
    AppConsole(AppConsoleOptions options, std::ostream& out);
    ~AppConsole();
    AppConsole(const AppConsole&) = delete;
    AppConsole& operator=(const AppConsole&) = delete;

    // Plugs the reader in and starts it. False when that failed (the reason
    // is printed).
    bool Start();
    // Carries out one line. Returns false when the line asks to quit.
    bool Execute(std::string_view line);
    // Tears everything down, prints the end lines, and returns the exit code:
    // 0 for a clean run.
    int Finish();

    static std::string Help();
    // The emulated machine underneath (for a capture of its USB bus, say).
    ReaderMachine& Machine() { return *machine_; }
    // A card by catalogue name or ATR; nothing (and why in error) otherwise.
    static std::unique_ptr<sim::SimpleCard> MakeCard(std::string_view name, std::uint64_t seed, std::string& error);

  private:
    void CardCommand(std::string_view arguments);
    void PrintWorldAnswer(const WorldAnswer& answer);
    void Advance(std::string_view arguments);
    void FaultCommand(std::string_view arguments);
    void PowerCommand(std::string_view arguments);
    void StateCommand(std::string_view arguments);
    void AttrCommand(std::string_view arguments);
    void IoctlCommand(std::string_view arguments);
    void CapsCommand();
    // The device's life (device/lifecycle commands in app_lifecycle.cpp).
    bool LifecycleCommand(std::string_view verb, std::string_view arguments);
    // The system's sleep and wake (app_power.cpp).
    bool PowerCommand(std::string_view verb, std::string_view arguments);
    void PlugCommand(std::string_view arguments);
    void ReadersCommand();
    // The current reader's library record; null (and an error printed) when
    // the reader is gone.
    SMARTCARD_EXTENSION* Smartcard();
    // Prints the event-log entries written since the last call.
    void PrintNewLogEntries();
    bool RefusedWhileHeld();
    void WaitCommand(std::string_view arguments);
    void CancelCommand(std::string_view arguments);
    void ProtocolCommand(std::string_view arguments);
    void ApduCommand(std::string_view arguments);

    // Sends one request on the machine; nothing when the machine stopped.
    std::optional<IoctlResult> Request(ULONG code, std::span<const std::uint8_t> input, ULONG outputLength);
    // The result line; detail is printed behind the status on success.
    void ResultLine(const std::string& word, NTSTATUS status, const std::string& detail = {});
    // The result line of every pending request that completed during the
    // last run, stamped with the virtual time of its completion.
    void ReportCompletions();

    bool RunOnMachine(std::function<void()> body);
    void OnTransfer(const usb::TransferEvent& event);
    void Line(const std::string& text);
    void LineAt(std::uint64_t time, const std::string& text);
    void Error(const std::string& text);

    AppConsoleOptions options_;
    std::ostream& out_;
    std::vector<std::unique_ptr<sim::UsbReader>> readers_;
    std::unique_ptr<ReaderMachine> machine_;
    std::size_t current_ = 0; // the reader the next requests go to
    std::size_t logShown_ = 0;
    PacketJoiner outJoiner_;
    PacketJoiner inJoiner_;
    bool healthy_ = true;
    bool finished_ = false;
    PIRP waitIrp_ = nullptr; // the card wait still pending, if any
};

} // namespace qv::harness
