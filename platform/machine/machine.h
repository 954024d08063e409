// One simulated computer, as the host (tests, tools, benchmarks) sees it.
// The machine owns the configuration and the random streams drawn from its
// seed, the verifier's switches, the run loop and the once-a-second tick of
// the I/O timers, and each manager as a named member, built from the
// bottom up:
//
//   kernel core  <-  I/O manager  <-  Plug and Play, power  <-  USB hub,
//                                                               smart card library
//
// Each calls only the ones on its left. The WDK routines that the driver
// calls find their machine, and so each manager, through the one machine
// that is current on the host thread (K(), Io(), pnp::Manager() and the
// like, defined in machine.cpp): the emulation's one mutable global.
//
//   Machine machine(MachineConfig{.seed = 7});
//   RunResult run = machine.RunThread("test", [&] { ... });
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <random>
#include <string>
#include <string_view>

#include "io/io_manager.h"
#include "kernel/kernel.h"
#include "pnp/pnp_manager.h"
#include "pnp/pnp_platform.h"
#include "power/power_manager.h"
#include "smclib/event_log.h"
#include "usb/usb_bus.h"

namespace qv {

class Machine {
  public:
    explicit Machine(MachineConfig config = {}, usb::UsbBusConfig bus = {});
    ~Machine();
    Machine(const Machine&) = delete;
    Machine& operator=(const Machine&) = delete;

    // The machine that the calling code runs on. Exactly one machine is
    // current per host thread: the most recently constructed one still
    // alive.
    static Machine& Current();
    static bool HasCurrent();

    const MachineConfig& Config() const { return config_; }
    std::uint64_t Seed() const { return config_.seed; }
    std::mt19937_64& Random(RandomStream stream) { return random_.Of(stream); }
    Trace& Events() { return trace_; }
    bool RuleEnabled(std::string_view rule) const { return rules_.Enabled(rule); }

    // Starts a host-owned thread (an application or test thread) at
    // PASSIVE_LEVEL. Run() returns once every host-owned thread has ended.
    SimThread& Spawn(std::string name, std::function<void()> body) { return kernel_->Spawn(std::move(name), std::move(body)); }
    // Runs the machine until every host-owned thread has ended, a bug check
    // stops it, nothing can run any more (deadlock), or the time limit passes.
    RunResult Run();
    // Convenience for tests: spawns one thread running body and runs.
    RunResult RunThread(std::string name, std::function<void()> body);
    VirtualTime Now() const { return kernel_->Now(); }
    bool BugChecked() const { return kernel_->BugChecked(); }
    const std::optional<BugCheckInfo>& LastBugCheck() const { return kernel_->LastBugCheck(); }

    // The managers, from the bottom up.
    KernelCore& Kernel() { return *kernel_; }
    IoManager& Io() { return *io_; }
    pnp::PnpManager& Pnp() { return pnp_; }
    // Plug and Play's records: device interfaces, symbolic links, hardware
    // keys, the WDM version.
    pnp::PnpPlatform& PnpRecords() { return pnpRecords_; }
    power::PowerManager& Power() { return power_; }
    usb::UsbBus& Usb() { return usb_; }
    // The smart card library's state on this machine: its event log and links.
    smclib::SmartcardEventLog& SmartcardLibrary() { return smartcardLibrary_; }

  private:
    static Machine* Enter(Machine* machine);
    // The I/O manager says whether any I/O timer is started; the
    // once-a-second clock that drives them only runs while one is, so that
    // an idle machine can still be found deadlocked.
    void SetIoTimersActive(bool active);
    void ArmSecondTick();

    MachineConfig config_;
    Trace trace_;
    RandomStreams random_;
    VerifierRules rules_;
    Machine* previous_;
    std::unique_ptr<KernelCore> kernel_;
    std::unique_ptr<IoManager> io_;
    // The managers above the I/O manager keep host memory only; they
    // outlive the kernel core and the I/O manager.
    pnp::PnpManager pnp_;
    pnp::PnpPlatform pnpRecords_;
    power::PowerManager power_;
    usb::UsbBus usb_;
    smclib::SmartcardEventLog smartcardLibrary_;
    bool ioTimersActive_ = false;
    bool secondTickArmed_ = false;
};

} // namespace qv
