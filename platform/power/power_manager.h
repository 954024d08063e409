// The power manager as the host (tests, tools, the harness) sees it: the
// system's way into sleeping states S1-S4, shutdown (S5) and back to the
// working state S0. Every device stack registered here gets the system
// power requests a Windows power manager sends a WDM stack: first a query
// for the sleeping state, then, if no stack refused, the set-power request;
// on wake a set-power request for S0. Stacks go to sleep in the reverse of
// the order they were added (children before the devices they hang off) and
// wake in that order. Each request is sent to the top of its stack at
// PASSIVE_LEVEL and waited for before the next stack gets its own.
//
// The routines a driver calls (PoCallDriver, PoStartNextPowerIrp,
// PoSetPowerState, PoRequestPowerIrp) are in po_routines.cpp; they keep the
// rule of one system and one device power request at a time per device
// object that Windows before Vista keeps: a second one waits until the
// driver that holds the first calls PoStartNextPowerIrp.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "kernel/kernel.h"

namespace qv::power {

// Adds the stack whose bottom is pdo. Adding one twice adds it once.
void AddStack(PDEVICE_OBJECT pdo);
// The stack no longer gets system power requests (its PDO is going away).
void RemoveStack(PDEVICE_OBJECT pdo);

// Puts the system into a sleeping state (PowerSystemSleeping1 ...
// PowerSystemShutdown). A stack that fails the query keeps the system
// working: the stacks already asked get a set-power request for S0, and the
// query's failure is returned. Call on a simulated thread at PASSIVE_LEVEL.
NTSTATUS Sleep(SYSTEM_POWER_STATE state);
// Back to PowerSystemWorking; nothing is sent when the system is working
// already. Call on a simulated thread at PASSIVE_LEVEL.
NTSTATUS Wake();

SYSTEM_POWER_STATE SystemState();
// What the device's driver last told PoSetPowerState (D0 and S0 until it
// says otherwise).
DEVICE_POWER_STATE DeviceState(PDEVICE_OBJECT device);

// One line per system request sent and per answer, oldest first: "query S3
// -> <device>", "query S3 <- STATUS_SUCCESS", and the device requests made
// by PoRequestPowerIrp ("request D3 -> <device>", "request D3 <- status").
std::vector<std::string> Journal();

// Text of a system state ("S3") and a device state ("D3").
std::string SystemStateText(SYSTEM_POWER_STATE state);
std::string DeviceStateText(DEVICE_POWER_STATE state);

struct PowerState;

// The power manager's records of one machine (power_state.h); the machine
// holds them, and the routines above find them through Manager().
class PowerManager {
  public:
    PowerManager();
    ~PowerManager();
    PowerManager(const PowerManager&) = delete;
    PowerManager& operator=(const PowerManager&) = delete;

    PowerState& State() { return *state_; }

  private:
    std::unique_ptr<PowerState> state_;
};

// The power manager of the machine the calling code runs on
// (machine/machine.cpp).
PowerManager& Manager();

} // namespace qv::power
