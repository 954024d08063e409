// The Plug and Play manager's requests and the device states they move
// through. See pnp_manager.h for the orders it keeps.
#include "pnp/pnp_manager.h"

#include <algorithm>
#include <string>

#include "io/io_state.h"
#include "kernel/placement_rules.h"
#include "kernel/scheduler.h"
#include "pnp/pnp_platform.h"

namespace qv::pnp {

namespace {

const char* MinorName(UCHAR minor) {
    switch (minor) {
    case IRP_MN_START_DEVICE: return "START_DEVICE";
    case IRP_MN_QUERY_REMOVE_DEVICE: return "QUERY_REMOVE_DEVICE";
    case IRP_MN_REMOVE_DEVICE: return "REMOVE_DEVICE";
    case IRP_MN_CANCEL_REMOVE_DEVICE: return "CANCEL_REMOVE_DEVICE";
    case IRP_MN_STOP_DEVICE: return "STOP_DEVICE";
    case IRP_MN_QUERY_STOP_DEVICE: return "QUERY_STOP_DEVICE";
    case IRP_MN_CANCEL_STOP_DEVICE: return "CANCEL_STOP_DEVICE";
    case IRP_MN_SURPRISE_REMOVAL: return "SURPRISE_REMOVAL";
    default: return "PNP";
    }
}

NTSTATUS NTAPI PnpRequestDone(PDEVICE_OBJECT, PIRP, PVOID context) {
    KeSetEvent(static_cast<PKEVENT>(context), IO_NO_INCREMENT, FALSE);
    return STATUS_MORE_PROCESSING_REQUIRED;
}

void Log(const std::string& text) { K().Events().Log(K().Now(), K().Sched().CurrentName(), "pnp", text); }

std::string Label(PDEVICE_OBJECT device) { return Io().Internals().devices.Label(device); }

} // namespace

std::string_view DeviceStateName(DeviceState state) {
    switch (state) {
    case DeviceState::Added: return "added";
    case DeviceState::Started: return "started";
    case DeviceState::StopPending: return "stop-pending";
    case DeviceState::Stopped: return "stopped";
    case DeviceState::RemovePending: return "remove-pending";
    case DeviceState::SurpriseRemoved: return "surprise-removed";
    case DeviceState::Removed: return "removed";
    }
    return "?";
}

PnpManager::PnpManager() = default;

// One Plug and Play request at a time, as Windows serialises them per
// device tree; a synchronisation event serves as the lock, since requests
// block.
void PnpManager::Lock() {
    if (!lockReady_) {
        KeInitializeEvent(&idle_, SynchronizationEvent, TRUE);
        lockReady_ = true;
    }
    KeWaitForSingleObject(&idle_, Executive, KernelMode, FALSE, nullptr);
}

void PnpManager::Unlock() { KeSetEvent(&idle_, IO_NO_INCREMENT, FALSE); }

class PnpLock {
  public:
    explicit PnpLock(PnpManager& manager, void (PnpManager::*lock)(), void (PnpManager::*unlock)())
        : manager_(manager), unlock_(unlock) {
        (manager_.*lock)();
    }
    ~PnpLock() { (manager_.*unlock_)(); }

  private:
    PnpManager& manager_;
    void (PnpManager::*unlock_)();
};

#define QV_PNP_LOCKED() PnpLock pnpLock(*this, &PnpManager::Lock, &PnpManager::Unlock)

void PnpManager::SetFunctionDriver(std::u16string name, PDRIVER_INITIALIZE entry) {
    driverName_ = std::move(name);
    entry_ = entry;
}

PDEVICE_OBJECT PnpManager::TopOf(PDEVICE_OBJECT pdo) {
    PDEVICE_OBJECT top = pdo;
    while (top->AttachedDevice != nullptr) top = top->AttachedDevice;
    return top;
}

DeviceNode* PnpManager::Find(PDEVICE_OBJECT pdo) {
    auto found = std::find_if(nodes_.begin(), nodes_.end(), [pdo](const DeviceNode& n) { return n.pdo == pdo; });
    return found == nodes_.end() ? nullptr : &*found;
}

const DeviceNode* PnpManager::Node(PDEVICE_OBJECT pdo) const {
    return const_cast<PnpManager*>(this)->Find(pdo);
}

NTSTATUS PnpManager::SendPnp(DeviceNode& node, UCHAR minor) {
    io::RequireIrqlAtMost(PASSIVE_LEVEL, "the Plug and Play manager");
    PDEVICE_OBJECT top = TopOf(node.pdo);
    // The manager's own requests cannot be refused for want of memory: it
    // retries until it has the IRP, as Windows' must-succeed allocations do.
    PIRP irp = nullptr;
    while ((irp = IoAllocateIrp(top->StackSize, FALSE)) == nullptr) SwitchPoint();
    irp->IoStatus.Status = STATUS_NOT_SUPPORTED;
    irp->IoStatus.Information = 0;
    PIO_STACK_LOCATION stack = IoGetNextIrpStackLocation(irp);
    stack->MajorFunction = IRP_MJ_PNP;
    stack->MinorFunction = minor;
    KEVENT done;
    KeInitializeEvent(&done, NotificationEvent, FALSE);
    IoSetCompletionRoutine(irp, &PnpRequestDone, &done, TRUE, TRUE, TRUE);
    Log(std::string("send ") + MinorName(minor) + " to " + Label(top));
    if (IoCallDriver(top, irp) == STATUS_PENDING)
        KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, nullptr);
    const NTSTATUS status = irp->IoStatus.Status;
    IoFreeIrp(irp);
    sent_.push_back(std::string(MinorName(minor)) + " -> " + std::to_string(static_cast<ULONG>(status)));
    Log(std::string(MinorName(minor)) + " of " + Label(node.pdo) + " ended with 0x" + [status] {
        char text[12];
        std::snprintf(text, sizeof text, "%08lX", static_cast<unsigned long>(static_cast<ULONG>(status)));
        return std::string(text);
    }());
    return status;
}

// The remove request: the driver must pass it down, delete its device and
// not fail it. Afterwards the device's interfaces are off whatever the
// driver did, and the driver is unloaded when this was its last device.
NTSTATUS PnpManager::SendRemove(DeviceNode& node) {
    PDEVICE_OBJECT pdo = node.pdo;
    const NTSTATUS status = SendPnp(node, IRP_MN_REMOVE_DEVICE);
    if (!NT_SUCCESS(status)) {
        K().Violation("pnp-remove-failed", bugcode::DRIVER_VERIFIER_DETECTED_VIOLATION, violation::RemoveFailed, io::Ptr(pdo),
                      static_cast<ULONG>(status), 0,
                      "IRP_MN_REMOVE_DEVICE of " + Label(pdo) + " failed; a remove request must not fail");
    }
    // A PDO the bus deleted is freed once nothing is attached above it, so
    // it is only looked at while it still exists.
    if (Io().Internals().devices.Find(pdo) != nullptr && pdo->AttachedDevice != nullptr) {
        K().Violation("pnp-remove-left-device", bugcode::DRIVER_VERIFIER_DETECTED_VIOLATION, violation::RemoveLeftDevice,
                      io::Ptr(pdo), io::Ptr(pdo->AttachedDevice), 0,
                      "after IRP_MN_REMOVE_DEVICE " + Label(pdo->AttachedDevice) + " is still attached above " +
                          Label(pdo) + "; the driver must detach and delete its device on remove");
    }
    Platform().DisableInterfacesOf(pdo);
    Forget(pdo);
    return status;
}

void PnpManager::Forget(PDEVICE_OBJECT pdo) {
    std::erase_if(nodes_, [pdo](const DeviceNode& n) { return n.pdo == pdo; });
    if (nodes_.empty() && driver_ != nullptr) {
        Log("last device gone: unload the driver");
        Io().UnloadDriver(driver_);
        driver_ = nullptr;
        ++unloads_;
    }
}

NTSTATUS PnpManager::DeviceArrived(PDEVICE_OBJECT pdo) {
    const Arrival arrival = Arrive(pdo);
    return NT_SUCCESS(arrival.added) ? arrival.started : arrival.added;
}

Arrival PnpManager::Arrive(PDEVICE_OBJECT pdo, bool holdStart) {
    QV_PNP_LOCKED();
    Arrival arrival;
    if (entry_ == nullptr || Find(pdo) != nullptr) {
        arrival.added = STATUS_INVALID_DEVICE_STATE;
        return arrival;
    }
    Platform().AddPhysicalDevice(pdo);
    if (driver_ == nullptr) {
        NTSTATUS status = STATUS_UNSUCCESSFUL;
        driver_ = Io().LoadDriver(driverName_, entry_, &status);
        if (driver_ == nullptr) {
            arrival.added = status;
            return arrival;
        }
        ++loads_;
    }
    PDRIVER_ADD_DEVICE addDevice = driver_->DriverExtension->AddDevice;
    if (addDevice != nullptr) CheckDriverRoutine(addDevice, "the add-device routine");
    arrival.added = addDevice == nullptr ? STATUS_NOT_SUPPORTED : addDevice(driver_, pdo);
    Log("AddDevice for " + Label(pdo) + (NT_SUCCESS(arrival.added) ? " succeeded" : " failed"));
    if (!NT_SUCCESS(arrival.added)) {
        // A driver left without devices goes again.
        if (nodes_.empty()) {
            Io().UnloadDriver(driver_);
            driver_ = nullptr;
            ++unloads_;
        }
        return arrival;
    }
    nodes_.push_back(DeviceNode{pdo, DeviceState::Added, 0, STATUS_SUCCESS});
    DeviceNode& node = nodes_.back();
    if (holdStart) {
        node.startHeld = true;
        return arrival;
    }
    arrival.started = StartNode(node);
    return arrival;
}

// Sends the start; a device whose start fails is removed, as Windows does.
// Only a restart after a stop can find handles open: Windows then reports
// the device surprise-removed, so that its driver fails the requests it
// held for the start, and sends the remove after the last close.
NTSTATUS PnpManager::StartNode(DeviceNode& node) {
    node.startHeld = false;
    node.lastStart = SendPnp(node, IRP_MN_START_DEVICE);
    if (NT_SUCCESS(node.lastStart)) {
        node.state = DeviceState::Started;
        return node.lastStart;
    }
    const NTSTATUS started = node.lastStart;
    if (node.openHandles == 0) {
        SendRemove(node);
        return started;
    }
    (void)SendPnp(node, IRP_MN_SURPRISE_REMOVAL);
    Platform().DisableInterfacesOf(node.pdo);
    node.state = DeviceState::SurpriseRemoved;
    node.removeHeld = false;
    return started;
}

NTSTATUS PnpManager::Start(PDEVICE_OBJECT pdo) {
    QV_PNP_LOCKED();
    DeviceNode* node = Find(pdo);
    const bool startable = node != nullptr && (node->state == DeviceState::Stopped ||
                                               (node->state == DeviceState::Added && node->startHeld));
    if (!startable) return STATUS_INVALID_DEVICE_STATE;
    // A failed restart ends in removal too (see StartNode).
    return StartNode(*node);
}

NTSTATUS PnpManager::QueryStop(PDEVICE_OBJECT pdo) {
    QV_PNP_LOCKED();
    DeviceNode* node = Find(pdo);
    if (node == nullptr || node->state != DeviceState::Started) return STATUS_INVALID_DEVICE_STATE;
    const NTSTATUS status = SendPnp(*node, IRP_MN_QUERY_STOP_DEVICE);
    if (NT_SUCCESS(status)) node->state = DeviceState::StopPending;
    // A refused query is followed by its cancel.
    else SendPnp(*node, IRP_MN_CANCEL_STOP_DEVICE);
    return status;
}

NTSTATUS PnpManager::CancelStop(PDEVICE_OBJECT pdo) {
    QV_PNP_LOCKED();
    DeviceNode* node = Find(pdo);
    if (node == nullptr || node->state != DeviceState::StopPending) return STATUS_INVALID_DEVICE_STATE;
    const NTSTATUS status = SendPnp(*node, IRP_MN_CANCEL_STOP_DEVICE);
    node->state = DeviceState::Started;
    return status;
}

NTSTATUS PnpManager::Stop(PDEVICE_OBJECT pdo) {
    QV_PNP_LOCKED();
    DeviceNode* node = Find(pdo);
    if (node == nullptr || node->state != DeviceState::StopPending) return STATUS_INVALID_DEVICE_STATE;
    const NTSTATUS status = SendPnp(*node, IRP_MN_STOP_DEVICE);
    node->state = DeviceState::Stopped;
    return status;
}

NTSTATUS PnpManager::QueryRemove(PDEVICE_OBJECT pdo, AfterQueryRemove after) {
    QV_PNP_LOCKED();
    DeviceNode* node = Find(pdo);
    const bool queryable = node != nullptr && (node->state == DeviceState::Started || node->state == DeviceState::Added);
    if (!queryable) return STATUS_INVALID_DEVICE_STATE;
    const NTSTATUS status = SendPnp(*node, IRP_MN_QUERY_REMOVE_DEVICE);
    if (!NT_SUCCESS(status)) {
        SendPnp(*node, IRP_MN_CANCEL_REMOVE_DEVICE);
        return status;
    }
    node->state = DeviceState::RemovePending;
    node->removeHeld = after == AfterQueryRemove::Wait;
    if (node->openHandles == 0 && !node->removeHeld) SendRemove(*node);
    return status;
}

NTSTATUS PnpManager::Remove(PDEVICE_OBJECT pdo) {
    QV_PNP_LOCKED();
    DeviceNode* node = Find(pdo);
    const bool removable =
        node != nullptr && node->openHandles == 0 &&
        ((node->state == DeviceState::RemovePending && node->removeHeld) ||
         (node->state == DeviceState::Added && node->startHeld));
    if (!removable) return STATUS_INVALID_DEVICE_STATE;
    return SendRemove(*node);
}

NTSTATUS PnpManager::CancelRemove(PDEVICE_OBJECT pdo) {
    QV_PNP_LOCKED();
    DeviceNode* node = Find(pdo);
    if (node == nullptr || node->state != DeviceState::RemovePending) return STATUS_INVALID_DEVICE_STATE;
    const NTSTATUS status = SendPnp(*node, IRP_MN_CANCEL_REMOVE_DEVICE);
    node->state = DeviceState::Started;
    node->removeHeld = false;
    return status;
}

NTSTATUS PnpManager::Rebalance(PDEVICE_OBJECT pdo) {
    NTSTATUS status = QueryStop(pdo);
    if (!NT_SUCCESS(status)) return status;
    status = Stop(pdo);
    const NTSTATUS started = Start(pdo);
    return NT_SUCCESS(status) ? started : status;
}

NTSTATUS PnpManager::RemoveOrderly(PDEVICE_OBJECT pdo) { return QueryRemove(pdo); }

NTSTATUS PnpManager::DevicePulled(PDEVICE_OBJECT pdo) {
    QV_PNP_LOCKED();
    DeviceNode* node = Find(pdo);
    if (node == nullptr || node->state == DeviceState::SurpriseRemoved) return STATUS_INVALID_DEVICE_STATE;
    // A device never started, or stopped, has nothing running to surprise.
    const NTSTATUS status = SendPnp(*node, IRP_MN_SURPRISE_REMOVAL);
    Platform().DisableInterfacesOf(pdo);
    node->state = DeviceState::SurpriseRemoved;
    node->removeHeld = false; // a device that is gone goes at its last close
    if (node->openHandles == 0) SendRemove(*node);
    return status;
}

NTSTATUS PnpManager::HandleOpening(PDEVICE_OBJECT pdo) {
    DeviceNode* node = Find(pdo);
    if (node == nullptr) return STATUS_NO_SUCH_DEVICE;
    switch (node->state) {
    case DeviceState::Started:
    case DeviceState::StopPending:
    case DeviceState::Stopped:
        ++node->openHandles;
        return STATUS_SUCCESS;
    case DeviceState::Added: // not started: creates fail until the start has completed
        return STATUS_NO_SUCH_DEVICE;
    default:
        return STATUS_DELETE_PENDING;
    }
}

void PnpManager::HandleClosed(PDEVICE_OBJECT pdo) {
    QV_PNP_LOCKED();
    DeviceNode* node = Find(pdo);
    if (node == nullptr || node->openHandles == 0) return;
    --node->openHandles;
    const bool removing = node->state == DeviceState::RemovePending || node->state == DeviceState::SurpriseRemoved;
    if (node->openHandles == 0 && removing && !node->removeHeld) SendRemove(*node);
}

} // namespace qv::pnp
