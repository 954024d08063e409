// The driver's trace, as a debugger on Windows shows it: one line for each
// thing a field engineer needs to follow, each naming its reader. The
// emulation's debug print hands the lines to the run's trace listener.
#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "cards/card_catalogue.h"
#include "harness/reader_machine.h"
#include "kernel/pool.h"
#include "link.h"
#include "power/power_manager.h"
#include "support/kernel_run.h"
#include "support/machine_helpers.h"
#include "usb_reader.h"

namespace qv::test {
namespace {

using harness::ReaderMachine;

constexpr ULONG kNoSuchControlCode = 0x00310000;

// The driver's lines of a machine, collected while this lives.
class DriverLines {
  public:
    explicit DriverLines(Machine& machine) : machine_(machine) {
        machine_.Events().SetListener(
            [this](std::uint64_t, std::string_view, std::string_view category, std::string_view text) {
                if (category != kDebugPrintCategory) return;
                const std::lock_guard<std::mutex> hold(lock_);
                text_ += std::string(text) + "\n";
            });
    }
    ~DriverLines() { machine_.Events().SetListener({}); }
    DriverLines(const DriverLines&) = delete;
    DriverLines& operator=(const DriverLines&) = delete;

    // The lines since the last call, each ending in a newline.
    std::string Take() {
        const std::lock_guard<std::mutex> hold(lock_);
        return std::exchange(text_, {});
    }

  private:
    Machine& machine_;
    // The driver prints from every simulated thread; the race detector
    // sees each as a thread of its own.
    std::mutex lock_;
    std::string text_;
};

bool Has(const std::string& lines, const std::string& line) { return lines.find(line + "\n") != std::string::npos; }

// Whether `first` comes before `second`, both present.
bool InOrder(const std::string& lines, const std::string& first, const std::string& second) {
    const auto a = lines.find(first);
    const auto b = lines.find(second);
    return a != std::string::npos && b != std::string::npos && a < b;
}

// A machine whose driver lines are collected, and the readers it may carry,
// which outlive it.
class DriverTrace : public ::testing::Test {
  protected:
    sim::UsbReader& NewReader(sim::ReaderOptions options = {}) {
        readers_.push_back(std::make_unique<sim::UsbReader>(options, sim::MakeCard("dual", 1)));
        return *readers_.back();
    }

    // Runs body on the machine; the run ends clean, and so does the
    // machine's shutdown.
    void Run(const std::function<void()>& body) {
        const RunResult run = machine.Run(body);
        EXPECT_TRUE(run.Ok()) << run.report;
        ExpectCleanShutdown(machine, "after the run");
    }

  private:
    std::vector<std::unique_ptr<sim::UsbReader>> readers_;

  protected:
    ReaderMachine machine{MachineConfig{}};
    DriverLines lines{machine.Machine()};
};

TEST_F(DriverTrace, EveryRequestGoesInAndComesOutWithItsStatus) {
    sim::UsbReader& reader = NewReader();
    sim::UsbReader& second = NewReader();
    Run([&] {
        ASSERT_EQ(PlugStartAndOpen(machine, reader), STATUS_SUCCESS);
        std::string out = lines.Take();
        EXPECT_TRUE(Has(out, "qvscr0: AddDevice out 0x00000000")) << out;
        EXPECT_TRUE(InOrder(out, "qvscr0: IRP_MN_START_DEVICE in\n", "qvscr0: reader started: QV-38N, version 0x"))
            << out;
        EXPECT_TRUE(Has(out, "qvscr0: IRP_MN_START_DEVICE out 0x00000000")) << out;
        EXPECT_TRUE(InOrder(out, "qvscr0: IRP_MJ_CREATE in\n", "qvscr0: IRP_MJ_CREATE out 0x00000000\n")) << out;

        Pause(1500);
        ASSERT_EQ(machine.DeviceControl(0, IOCTL_SMARTCARD_POWER, AsInput(SCARD_COLD_RESET), 64).status,
                  STATUS_SUCCESS);
        EXPECT_EQ(machine.DeviceControl(0, kNoSuchControlCode, {}, 0).status, STATUS_INVALID_PARAMETER);
        // A card wait stays pending: its line going out says so, and the
        // cleanup that ends it says what ended it.
        harness::AsyncRequest& wait = machine.SendAsync(0, IOCTL_SMARTCARD_IS_ABSENT);
        Pause(10);
        EXPECT_EQ(machine.Cleanup(0), STATUS_SUCCESS);
        EXPECT_EQ(machine.Reap(wait)->status, STATUS_CANCELLED);
        out = lines.Take();
        EXPECT_TRUE(
            InOrder(out, "qvscr0: IOCTL_SMARTCARD_POWER in\n", "qvscr0: IOCTL_SMARTCARD_POWER out 0x00000000\n"))
            << out;
        EXPECT_TRUE(Has(out, "qvscr0: IOCTL 0x310000 in")) << out;
        EXPECT_TRUE(Has(out, "qvscr0: IOCTL 0x310000 out 0xC000000D")) << out;
        EXPECT_TRUE(InOrder(out, "qvscr0: card wait armed\n", "qvscr0: IOCTL_SMARTCARD_IS_ABSENT out 0x00000103\n"))
            << out;
        EXPECT_TRUE(InOrder(out, "qvscr0: IRP_MJ_CLEANUP in\n", "qvscr0: card wait ended by the cleanup\n")) << out;
        EXPECT_TRUE(Has(out, "qvscr0: IRP_MJ_CLEANUP out 0x00000000")) << out;

        // A second reader's lines carry its own unit.
        ASSERT_EQ(machine.Plug(second).started, STATUS_SUCCESS);
        out = lines.Take();
        EXPECT_TRUE(Has(out, "qvscr1: IRP_MN_START_DEVICE out 0x00000000")) << out;
        EXPECT_EQ(out.find("qvscr0: "), std::string::npos) << out;
    });
}

// Link errors, resynchronisations and retries; failures of the bus.
TEST_F(DriverTrace, TheLinkRecoveringAndTheBusFailingAreNamed) {
    sim::UsbReader& reader = NewReader();
    Run([&] {
        ASSERT_EQ(PlugStartAndOpen(machine, reader), STATUS_SUCCESS);
        lines.Take();

        reader.Arm(sim::Fault::AnswerBadLrc);
        EXPECT_TRUE(machine.SendCommand(0, READER_COMMAND_CARD_STATUS).Ok());
        std::string out = lines.Take();
        EXPECT_TRUE(Has(out, "qvscr0: damaged block from the reader; asked for again (1)")) << out;

        // Damaged three times: the command fails and the link is brought
        // back in step.
        reader.Arm(sim::Fault::AnswerBadLrc, 3);
        EXPECT_EQ(machine.SendCommand(0, READER_COMMAND_CARD_STATUS).status, STATUS_INVALID_DEVICE_STATE);
        out = lines.Take();
        EXPECT_TRUE(Has(out, "qvscr0: damaged block from the reader; exchange failed")) << out;
        EXPECT_TRUE(Has(out, "qvscr0: reader command 2 failed 0xC0000184; link resynchronised 0x00000000")) << out;

        reader.Arm(sim::Fault::AnswerWtx);
        EXPECT_TRUE(machine.SendCommand(0, READER_COMMAND_CARD_STATUS).Ok());
        EXPECT_TRUE(Has(lines.Take(), "qvscr0: reader asks for more time (WTX)"));

        // A transfer the bus fails: the request and the pipe reset are named.
        reader.Arm(sim::Fault::InStall);
        (void)machine.SendCommand(0, READER_COMMAND_CARD_STATUS);
        out = lines.Take();
        EXPECT_TRUE(Has(out, "qvscr0: reading a block failed 0xC0000001; input pipe reset")) << out;
        EXPECT_NE(out.find("qvscr0: USB request 0x0009 failed 0x"), std::string::npos) << out;
    });
}

// Card state changes, Plug and Play and power transitions.
TEST_F(DriverTrace, CardStatePlugAndPlayAndPowerTransitions) {
    sim::UsbReader& reader = NewReader();
    Run([&] {
        ASSERT_EQ(PlugStartAndOpen(machine, reader), STATUS_SUCCESS);
        Pause(1500);
        ASSERT_EQ(ColdResetToT0(machine), STATUS_SUCCESS);
        std::string out = lines.Take();
        EXPECT_TRUE(InOrder(out, "qvscr0: card SCARD_ABSENT -> SCARD_PRESENT\n",
                            "qvscr0: card SCARD_PRESENT -> SCARD_NEGOTIABLE\n"))
            << out;
        EXPECT_TRUE(Has(out, "qvscr0: card SCARD_NEGOTIABLE -> SCARD_SPECIFIC")) << out;

        reader.RemoveCard();
        Pause(1500);
        EXPECT_TRUE(Has(lines.Take(), "qvscr0: card SCARD_SPECIFIC -> SCARD_ABSENT"));

        ASSERT_EQ(power::Sleep(PowerSystemSleeping3), STATUS_SUCCESS);
        ASSERT_EQ(power::Wake(), STATUS_SUCCESS);
        out = lines.Take();
        EXPECT_TRUE(Has(out, "qvscr0: IRP_MN_QUERY_POWER S3 in")) << out;
        EXPECT_TRUE(InOrder(out, "qvscr0: IRP_MN_SET_POWER D3 in\n", "qvscr0: reader powered down\n")) << out;
        EXPECT_TRUE(Has(out, "qvscr0: IRP_MN_SET_POWER S3 out 0x00000103")) << "left pending for the D3 request\n"
                                                                          << out;
        EXPECT_TRUE(InOrder(out, "qvscr0: link resynchronised before reader command 2 0x00000000\n",
                            "qvscr0: reader powered up\n"))
            << out;

        EXPECT_EQ(machine.Pnp(0, IRP_MN_STOP_DEVICE), STATUS_SUCCESS);
        out = lines.Take();
        EXPECT_TRUE(InOrder(out, "qvscr0: IRP_MN_QUERY_STOP_DEVICE out 0x00000000\n", "qvscr0: reader stopped\n"))
            << out;
        EXPECT_TRUE(Has(out, "qvscr0: IRP_MN_STOP_DEVICE out 0x00000000")) << out;

        EXPECT_EQ(machine.Pnp(0, IRP_MN_START_DEVICE), STATUS_SUCCESS);
        EXPECT_EQ(machine.Unplug(0), STATUS_SUCCESS);
        out = lines.Take();
        EXPECT_TRUE(InOrder(out, "qvscr0: IRP_MN_SURPRISE_REMOVAL in\n", "qvscr0: reader pulled out\n")) << out;
        EXPECT_TRUE(Has(out, "qvscr0: IRP_MN_SURPRISE_REMOVAL out 0x00000000")) << out;
        EXPECT_EQ(machine.Close(0), STATUS_SUCCESS);
        out = lines.Take();
        EXPECT_TRUE(InOrder(out, "qvscr0: IRP_MN_REMOVE_DEVICE in\n", "qvscr0: reader torn down\n")) << out;
        EXPECT_TRUE(Has(out, "qvscr0: IRP_MN_REMOVE_DEVICE out 0x00000000")) << out;
    });
}

// A start that fails says which step failed; a reader beyond the units the
// driver serves is refused under no unit of its own.
TEST_F(DriverTrace, AFailedStartAndARefusedReaderAreNamed) {
    sim::UsbReader& wrongPipes = NewReader({.pipes = sim::PipeLayout::Swapped});
    Run([&] {
        EXPECT_EQ(machine.Plug(wrongPipes).started, STATUS_DEVICE_CONFIGURATION_ERROR);
        std::string out = lines.Take();
        EXPECT_TRUE(InOrder(out, "qvscr0: start failed: the USB configuration 0xC0000182\n",
                            "qvscr0: IRP_MN_START_DEVICE out 0xC0000182\n"))
            << out;

        for (ULONG i = 0; i < MAXIMUM_READER_UNITS; ++i) ASSERT_EQ(machine.Plug(NewReader()).started, STATUS_SUCCESS);
        lines.Take();
        EXPECT_EQ(machine.Plug(NewReader()).status, STATUS_INSUFFICIENT_RESOURCES);
        out = lines.Take();
        EXPECT_TRUE(Has(out, "qvscr?: add-device refused: 4 readers are served already")) << out;
    });
}

// An allocation that fails is named, whichever it is.
TEST_F(DriverTrace, AFailedAllocationIsNamed) {
    sim::UsbReader& reader = NewReader();
    Run([&] {
        ASSERT_EQ(PlugStartAndOpen(machine, reader), STATUS_SUCCESS);
        lines.Take();
        // The command's first allocation is its transfer to the reader.
        K().PoolAllocator().FailAfter(1);
        EXPECT_EQ(machine.SendCommand(0, READER_COMMAND_CARD_STATUS).status, STATUS_INSUFFICIENT_RESOURCES);
        const std::string out = lines.Take();
        EXPECT_TRUE(Has(out, "qvscr0: allocation failed: a transfer to the reader")) << out;
        EXPECT_TRUE(Has(out, "qvscr0: sending a block failed 0xC000009A; output pipe reset")) << out;
    });
}

} // namespace
} // namespace qv::test
