// The I/O manager: driver and device objects, IRPs and their completion,
// cancellation and I/O timers, with the verifier's checks on each.
#pragma once

#include <cstddef>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "kernel/kernel.h"

namespace qv {

class SimThread;

class IoManager {
  public:
    // Built on the kernel core, whose thread ends and bug checks it joins
    // (CancelThreadIo, RecentIrps). timerClock is told, whenever it may have
    // changed, whether any I/O timer is started: the machine's
    // once-a-second tick that drives them runs only while one is.
    IoManager(KernelCore& kernel, std::function<void(bool)> timerClock);
    ~IoManager();
    IoManager(const IoManager&) = delete;
    IoManager& operator=(const IoManager&) = delete;

    // Creates a driver object (every MajorFunction entry fails the request
    // with STATUS_INVALID_DEVICE_REQUEST until the driver sets it) and calls
    // the driver's entry routine. Call from a simulated thread.
    PDRIVER_OBJECT LoadDriver(std::u16string_view name, PDRIVER_INITIALIZE entry, NTSTATUS* status);

    // Marks a driver as part of the emulated system (a bus driver): the
    // pool's fault plan leaves its device objects alone.
    void MarkSystemDriver(PDRIVER_OBJECT driver);

    // Calls the driver's unload routine and audits what it left behind.
    void UnloadDriver(PDRIVER_OBJECT driver);

    // Called once per virtual second at DISPATCH_LEVEL in the DPC context:
    // runs the routine of every started I/O timer.
    void FireTimers();

    // The last IRP events (sent, completed), oldest first, for bug-check
    // reports.
    std::vector<std::string> RecentIrps() const;

    // Cancels the requests that IoBuildDeviceIoControlRequest built for a
    // thread that is ending, and waits, as Windows does, up to five minutes
    // for them to complete; any still left then finish without the thread.
    // Runs on that thread.
    void CancelThreadIo(SimThread& thread);

    // Whether any I/O timer is started.
    bool TimersRunning() const;

    // The records behind the WDK routines, for the I/O manager's own sources.
    struct State;
    State& Internals() { return *state_; }

  private:
    KernelCore& kernel_;
    State* state_;
};

// The I/O manager of the machine the calling code runs on
// (machine/machine.cpp).
IoManager& Io();

} // namespace qv
