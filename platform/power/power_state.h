// The power manager's own records, shared by its two source files only.
#pragma once

#include <array>
#include <deque>
#include <memory>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

#include "power/power_manager.h"

namespace qv::power {

// The two kinds of power request that Windows before Vista lets a device
// object hold one of at a time: system and device set-power or query.
inline constexpr std::size_t kKinds = 2;

struct DevicePower {
    std::array<bool, kKinds> busy{};
    // Requests that arrived while one of their kind was busy, in order.
    std::array<std::deque<PIRP>, kKinds> waiting;
    DEVICE_POWER_STATE deviceState = PowerDeviceD0;
    SYSTEM_POWER_STATE systemState = PowerSystemWorking;
};

// A power IRP the power manager made (a system request or one of
// PoRequestPowerIrp): the devices it reached, in order, and those whose
// driver called PoStartNextPowerIrp for it. By device, not by stack
// location: a driver that skips its location shares it with the one below.
struct TrackedIrp {
    std::vector<PDEVICE_OBJECT> entered;
    std::vector<PDEVICE_OBJECT> started;
};

struct PowerState {
    std::vector<PDEVICE_OBJECT> stacks;
    std::unordered_map<const DEVICE_OBJECT*, DevicePower> devices;
    std::unordered_map<const IRP*, TrackedIrp> tracked;
    SYSTEM_POWER_STATE system = PowerSystemWorking;
    std::vector<std::string> journal;
    // Requests for a power-pageable device that arrived above PASSIVE_LEVEL,
    // or that waited their turn: a power worker thread sends them.
    std::deque<std::pair<PDEVICE_OBJECT, PIRP>> work;
    KEVENT workReady{};
    bool workerStarted = false;
};

PowerState& State();

// Whether the request counts towards the one-at-a-time rule, and its kind.
bool Counted(const IO_STACK_LOCATION& stack);
std::size_t KindOf(const IO_STACK_LOCATION& stack);

// Starts tracking an IRP the power manager made.
void Track(PIRP irp);
// The check at the end of a tracked IRP: every driver it reached called
// PoStartNextPowerIrp for it. Forgets the IRP.
void CheckStartedAndForget(PIRP irp);

PDEVICE_OBJECT TopOfStack(PDEVICE_OBJECT device);
void Note(std::string line);

} // namespace qv::power
