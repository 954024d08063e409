// The reader console: the reader link by hand. It plugs a simulated reader
// into the emulated bus, configures it as the driver does, and carries out
// one command per line (from a person or a script), printing results and,
// when asked, every USB transfer and link block.
#pragma once

#include <cstdint>
#include <memory>
#include <ostream>
#include <string>
#include <string_view>

#include "harness/link_trace.h"
#include "harness/reader_machine.h"
#include "usb_reader.h"

namespace qv::harness {

struct ConsoleOptions {
    sim::ReaderModel model = sim::ReaderModel::Qv38N;
    std::uint64_t seed = 1;
    bool trace = false;
    // How the reader lists its endpoints; the wrong layouts fail the start.
    sim::PipeLayout pipes = sim::PipeLayout::Standard;
};

class LinkConsole {
  public:
    LinkConsole(ConsoleOptions options, std::ostream& out);
    ~LinkConsole();
    LinkConsole(const LinkConsole&) = delete;
    LinkConsole& operator=(const LinkConsole&) = delete;

    // Plugs the reader in and configures it. False when that failed (the
    // reason is printed).
    bool Start();
    // Carries out one line. Returns false when the line asks to quit.
    bool Execute(std::string_view line);
    // Tears everything down, prints the run's digest, and returns the exit
    // code: 0 when the machine ran clean, 1 after a bug check or a hang.
    int Finish();

    static std::string Help();

  private:
    void Command(std::string_view arguments);
    void State();
    void LinkSync(std::string_view arguments);
    void FaultCommand(std::string_view arguments);
    void CardCommand(std::string_view arguments);
    bool RunOnMachine(std::function<void()> body);
    void OnTransfer(const usb::TransferEvent& event);
    void Error(const std::string& text);

    ConsoleOptions options_;
    std::ostream& out_;
    sim::UsbReader reader_;
    ReaderMachine bed_;
    PacketJoiner outJoiner_;
    PacketJoiner inJoiner_;
    bool healthy_ = true;
    bool finished_ = false;
};

} // namespace qv::harness
