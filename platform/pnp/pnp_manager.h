// The Plug and Play manager: it loads the function driver when the bus
// reports the first device (DriverEntry once per load), calls its AddDevice
// routine and starts the device, sends the stop and removal requests in the
// orders Windows does, and unloads the driver (its unload audit then runs)
// once its last device is gone. Every Plug and Play request is sent at
// PASSIVE_LEVEL to the top of the device's stack with its status
// initialised to STATUS_NOT_SUPPORTED; one request per machine at a time.
//
// Orderly removal: query-remove first; a refusal is followed by
// cancel-remove. Once the query succeeds, new opens are refused and the
// remove request follows when the last handle is closed. A device pulled
// out gets IRP_MN_SURPRISE_REMOVAL at once and the remove request when its
// last handle is closed. Rebalance: query-stop, then stop and a new start,
// or cancel-stop after a refusal.
//
// The records of each device (its state, its open handles) are here for
// the power manager and the application side to read.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

#include "kernel/kernel.h"

namespace qv::pnp {

enum class DeviceState {
    Added,           // AddDevice succeeded, not started (or its start failed)
    Started,
    StopPending,     // query-stop succeeded
    Stopped,         // stop sent; a start follows
    RemovePending,   // query-remove succeeded; remove follows the last close
    SurpriseRemoved, // pulled out; remove follows the last close
    Removed,
};

std::string_view DeviceStateName(DeviceState state);

struct DeviceNode {
    PDEVICE_OBJECT pdo = nullptr;
    DeviceState state = DeviceState::Added;
    unsigned openHandles = 0;
    NTSTATUS lastStart = STATUS_SUCCESS;
    bool startHeld = false;  // added; the start waits for Start
    bool removeHeld = false; // query-remove succeeded; the remove waits for Remove
};

// What became of a device the bus reported: AddDevice's status, and the
// start's (STATUS_PENDING while the start is held back).
struct Arrival {
    NTSTATUS added = STATUS_UNSUCCESSFUL;
    NTSTATUS started = STATUS_PENDING;
};

// What follows a successful query-remove: the remove request as soon as no
// handle is open (what Windows does), or nothing until Remove or
// CancelRemove is asked for (so that a test can send the steps one by one).
enum class AfterQueryRemove { RemoveWhenClosed, Wait };

class PnpManager {
  public:
    PnpManager();
    PnpManager(const PnpManager&) = delete;
    PnpManager& operator=(const PnpManager&) = delete;

    // The function driver that serves the devices reported from now on.
    void SetFunctionDriver(std::u16string name, PDRIVER_INITIALIZE entry);

    // The bus reported a new device: load the driver if it is not loaded,
    // call AddDevice, then send IRP_MN_START_DEVICE. Returns AddDevice's
    // failure or the start's status. Call on a simulated thread.
    NTSTATUS DeviceArrived(PDEVICE_OBJECT pdo);
    // The same with both statuses. With holdStart the manager stops after
    // AddDevice, as Windows does while it is still assigning resources; the
    // start is sent by Start.
    Arrival Arrive(PDEVICE_OBJECT pdo, bool holdStart = false);

    // One request as the console asks for it; the manager refuses (with
    // STATUS_INVALID_DEVICE_STATE, sending nothing) a request that Windows
    // would not send in the device's state. Follow-ups that Windows sends
    // on its own (cancel after a failed query, remove after the last close)
    // are sent here too.
    NTSTATUS Start(PDEVICE_OBJECT pdo);
    NTSTATUS QueryStop(PDEVICE_OBJECT pdo);
    NTSTATUS CancelStop(PDEVICE_OBJECT pdo);
    NTSTATUS Stop(PDEVICE_OBJECT pdo);
    NTSTATUS QueryRemove(PDEVICE_OBJECT pdo, AfterQueryRemove after = AfterQueryRemove::RemoveWhenClosed);
    NTSTATUS CancelRemove(PDEVICE_OBJECT pdo);
    // The remove request for a device whose removal waits after its query
    // (no handle may be open), or for one that was never started (its
    // start held back): Windows removes such a device without a query.
    NTSTATUS Remove(PDEVICE_OBJECT pdo);

    // The whole sequences.
    NTSTATUS Rebalance(PDEVICE_OBJECT pdo);
    NTSTATUS RemoveOrderly(PDEVICE_OBJECT pdo);
    // The device was pulled out (the bus already knows): surprise removal,
    // and the remove request at once when no handle is open.
    NTSTATUS DevicePulled(PDEVICE_OBJECT pdo);

    // The application side counts the handles of each device: an open is
    // refused while removal is pending or after a surprise removal, and
    // the last close of such a device brings the remove request.
    NTSTATUS HandleOpening(PDEVICE_OBJECT pdo);
    void HandleClosed(PDEVICE_OBJECT pdo);

    // The device at the top of the pdo's stack (the one requests go to).
    static PDEVICE_OBJECT TopOf(PDEVICE_OBJECT pdo);

    const DeviceNode* Node(PDEVICE_OBJECT pdo) const;
    std::vector<DeviceNode> Nodes() const { return nodes_; }
    PDRIVER_OBJECT Driver() const { return driver_; }
    // How many times the driver was loaded, and unloaded.
    unsigned Loads() const { return loads_; }
    unsigned Unloads() const { return unloads_; }
    // Every Plug and Play request sent, as "QUERY_STOP -> status", oldest first.
    const std::vector<std::string>& Sent() const { return sent_; }

  private:
    DeviceNode* Find(PDEVICE_OBJECT pdo);
    NTSTATUS SendPnp(DeviceNode& node, UCHAR minor);
    NTSTATUS SendRemove(DeviceNode& node);
    NTSTATUS StartNode(DeviceNode& node);
    void Forget(PDEVICE_OBJECT pdo);
    void Lock();
    void Unlock();

    std::u16string driverName_;
    PDRIVER_INITIALIZE entry_ = nullptr;
    PDRIVER_OBJECT driver_ = nullptr;
    std::vector<DeviceNode> nodes_;
    unsigned loads_ = 0;
    unsigned unloads_ = 0;
    std::vector<std::string> sent_;
    KEVENT idle_{};
    bool lockReady_ = false;
};

// The Plug and Play manager of the machine the calling code runs on
// (machine/machine.cpp).
PnpManager& Manager();

} // namespace qv::pnp
