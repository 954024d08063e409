// The power manager's routines for drivers: PoCallDriver with the rule of
// one system and one device power request at a time per device object,
// PoStartNextPowerIrp, PoSetPowerState and PoRequestPowerIrp, and the
// verifier's checks on them.
#include <string>

#include "io/io_state.h"
#include "kernel/placement_rules.h"
#include "kernel/scheduler.h"
#include "kernel/status_names.h"
#include "power/power_state.h"

namespace qv::power {

namespace {

// What PoRequestPowerIrp keeps for the requester until the stack is done.
struct Requested {
    PDEVICE_OBJECT target = nullptr;
    UCHAR minor = 0;
    POWER_STATE state{};
    PREQUEST_POWER_COMPLETE function = nullptr;
    PVOID context = nullptr;
};

std::string MinorText(UCHAR minor) {
    switch (minor) {
    case IRP_MN_SET_POWER:
        return "set";
    case IRP_MN_QUERY_POWER:
        return "query";
    case IRP_MN_WAIT_WAKE:
        return "wait-wake";
    default:
        return "power sequence";
    }
}

std::string RequestText(const IO_STACK_LOCATION& stack) {
    const bool system = stack.Parameters.Power.Type == SystemPowerState;
    return MinorText(stack.MinorFunction) + " " +
           (system ? SystemStateText(stack.Parameters.Power.State.SystemState)
                   : DeviceStateText(stack.Parameters.Power.State.DeviceState));
}

// Sends the IRP on through the I/O manager, as the one sender it accepts a
// power IRP from.
NTSTATUS Deliver(PDEVICE_OBJECT device, PIRP irp) {
    PowerState& state = State();
    auto tracked = state.tracked.find(irp);
    if (tracked != state.tracked.end()) tracked->second.entered.push_back(device);
    return io::SendFromPowerManager(device, irp);
}

void WorkerLoop() {
    PowerState& state = State();
    for (;;) {
        while (state.work.empty()) KeWaitForSingleObject(&state.workReady, Executive, KernelMode, FALSE, nullptr);
        const auto [device, irp] = state.work.front();
        state.work.pop_front();
        Deliver(device, irp);
    }
}

// Hands the request to the power worker thread, which sends it at
// PASSIVE_LEVEL.
void Defer(PDEVICE_OBJECT device, PIRP irp) {
    PowerState& state = State();
    if (!state.workerStarted) {
        state.workerStarted = true;
        KeInitializeEvent(&state.workReady, SynchronizationEvent, FALSE);
        K().Sched().Create("power worker", ThreadKind::Worker, &WorkerLoop);
    }
    state.work.emplace_back(device, irp);
    KeSetEvent(&state.workReady, IO_NO_INCREMENT, FALSE);
}

// A request that does not go down now: the driver that sent it returns
// STATUS_PENDING, so the IRP shows the pending state at the location it
// will enter, and the sender's dispatch call counts as having passed a
// pending request down.
void ParkAsPending(PIRP irp) {
    IoGetNextIrpStackLocation(irp)->Control |= SL_PENDING_RETURNED;
    const auto record = Io().Internals().irps.Find(irp);
    if (record) {
        if (io::DispatchFrame* frame = record->FrameOn(K().Sched().Current())) frame->passedDownPending = true;
    }
}

NTSTATUS NTAPI RequestedDone(PDEVICE_OBJECT, PIRP irp, PVOID context) {
    auto* requested = static_cast<Requested*>(context);
    Note("request " + (requested->minor == IRP_MN_WAIT_WAKE ? std::string("wait-wake")
                                                             : MinorText(requested->minor) + " " +
                                                                   DeviceStateText(requested->state.DeviceState)) +
         " <- " + NtStatusName(irp->IoStatus.Status));
    CheckStartedAndForget(irp);
    if (requested->function != nullptr) {
        IO_STATUS_BLOCK status = irp->IoStatus;
        CheckDriverRoutine(requested->function, "a power completion function");
        requested->function(requested->target, requested->minor, requested->state, requested->context, &status);
    }
    delete requested;
    IoFreeIrp(irp);
    return STATUS_MORE_PROCESSING_REQUIRED;
}

} // namespace

} // namespace qv::power

using namespace qv;
using namespace qv::power;

extern "C" {

NTSTATUS NTAPI PoCallDriver(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
    QV_CHECK_CALLER();
    io::RequireIrqlAtMost(DISPATCH_LEVEL, "PoCallDriver");
    IoManager::State& io = Io().Internals();
    io.irps.Require(Irp, "PoCallDriver");
    io.devices.Require(DeviceObject, "PoCallDriver");
    PowerState& state = State();
    const IO_STACK_LOCATION& next = *IoGetNextIrpStackLocation(Irp);
    if (next.MajorFunction != IRP_MJ_POWER || !Counted(next)) {
        if ((DeviceObject->Flags & DO_POWER_PAGABLE) != 0 && CurrentIrql() > PASSIVE_LEVEL) {
            ParkAsPending(Irp);
            Defer(DeviceObject, Irp);
            return STATUS_PENDING;
        }
        return Deliver(DeviceObject, Irp);
    }
    DevicePower& device = state.devices[DeviceObject];
    const std::size_t kind = KindOf(next);
    if (device.busy[kind]) {
        // The device still holds a request of this kind: this one waits
        // for the driver's PoStartNextPowerIrp.
        ParkAsPending(Irp);
        device.waiting[kind].push_back(Irp);
        return STATUS_PENDING;
    }
    device.busy[kind] = true;
    if ((DeviceObject->Flags & DO_POWER_PAGABLE) != 0 && CurrentIrql() > PASSIVE_LEVEL) {
        // A power-pageable driver gets its requests at PASSIVE_LEVEL only.
        ParkAsPending(Irp);
        Defer(DeviceObject, Irp);
        return STATUS_PENDING;
    }
    return Deliver(DeviceObject, Irp);
}

void NTAPI PoStartNextPowerIrp(PIRP Irp) {
    QV_CHECK_CALLER();
    io::RequireIrqlAtMost(DISPATCH_LEVEL, "PoStartNextPowerIrp");
    IoManager::State& io = Io().Internals();
    io.irps.Require(Irp, "PoStartNextPowerIrp");
    if (Irp->CurrentLocation > Irp->StackCount) return; // not at any driver's location
    const IO_STACK_LOCATION& stack = *IoGetCurrentIrpStackLocation(Irp);
    PowerState& state = State();
    auto tracked = state.tracked.find(Irp);
    if (tracked != state.tracked.end()) tracked->second.started.push_back(stack.DeviceObject);
    if (stack.MajorFunction != IRP_MJ_POWER || !Counted(stack)) return;
    auto found = state.devices.find(stack.DeviceObject);
    if (found == state.devices.end()) return;
    DevicePower& device = found->second;
    const std::size_t kind = KindOf(stack);
    if (!device.busy[kind]) return;
    if (device.waiting[kind].empty()) {
        device.busy[kind] = false;
        return;
    }
    // The next request of this kind goes to the driver from the power
    // worker, not from inside the driver's own call.
    PIRP waiting = device.waiting[kind].front();
    device.waiting[kind].pop_front();
    Defer(stack.DeviceObject, waiting);
}

POWER_STATE NTAPI PoSetPowerState(PDEVICE_OBJECT DeviceObject, POWER_STATE_TYPE Type, POWER_STATE State) {
    QV_CHECK_CALLER();
    io::RequireIrqlAtMost(DISPATCH_LEVEL, "PoSetPowerState");
    Io().Internals().devices.Require(DeviceObject, "PoSetPowerState");
    DevicePower& device = power::State().devices[DeviceObject];
    POWER_STATE previous{};
    if (Type == SystemPowerState) {
        previous.SystemState = device.systemState;
        device.systemState = State.SystemState;
        Note("notify " + SystemStateText(State.SystemState) + " " + Io().Internals().devices.Label(DeviceObject));
    } else {
        previous.DeviceState = device.deviceState;
        device.deviceState = State.DeviceState;
        Note("notify " + DeviceStateText(State.DeviceState) + " " + Io().Internals().devices.Label(DeviceObject));
    }
    return previous;
}

NTSTATUS NTAPI PoRequestPowerIrp(PDEVICE_OBJECT DeviceObject, UCHAR MinorFunction, POWER_STATE PowerState,
                                 PREQUEST_POWER_COMPLETE CompletionFunction, PVOID Context, PIRP* Irp) {
    QV_CHECK_CALLER();
    io::RequireIrqlAtMost(DISPATCH_LEVEL, "PoRequestPowerIrp");
    Io().Internals().devices.Require(DeviceObject, "PoRequestPowerIrp");
    if (Irp != nullptr) *Irp = nullptr;
    if (MinorFunction != IRP_MN_SET_POWER && MinorFunction != IRP_MN_QUERY_POWER &&
        MinorFunction != IRP_MN_WAIT_WAKE) {
        return STATUS_INVALID_PARAMETER_2;
    }
    const PDEVICE_OBJECT top = TopOfStack(DeviceObject);
    PIRP irp = IoAllocateIrp(top->StackSize, FALSE);
    if (irp == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
    PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
    next->MajorFunction = IRP_MJ_POWER;
    next->MinorFunction = MinorFunction;
    if (MinorFunction == IRP_MN_WAIT_WAKE) {
        next->Parameters.WaitWake.PowerState = PowerState.SystemState;
    } else {
        next->Parameters.Power.Type = DevicePowerState;
        next->Parameters.Power.State = PowerState;
        next->Parameters.Power.ShutdownType = PowerActionNone;
    }
    irp->IoStatus.Status = STATUS_NOT_SUPPORTED;
    irp->IoStatus.Information = 0;
    auto* requested = new Requested{DeviceObject, MinorFunction, PowerState, CompletionFunction, Context};
    IoSetCompletionRoutine(irp, &RequestedDone, requested, TRUE, TRUE, TRUE);
    Track(irp);
    Note("request " + (MinorFunction == IRP_MN_WAIT_WAKE ? std::string("wait-wake") : RequestText(*next)) + " -> " +
         Io().Internals().devices.Label(top));
    if (Irp != nullptr) *Irp = irp;
    PoCallDriver(top, irp);
    return STATUS_PENDING;
}

} // extern "C"
