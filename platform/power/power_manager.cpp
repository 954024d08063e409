// The power manager's system side: the stacks it knows, the system power
// requests it sends them, and the checks it makes when a request of its own
// comes back.
#include <algorithm>
#include <string>

#include "io/io_state.h"
#include "kernel/scheduler.h"
#include "kernel/status_names.h"
#include "power/power_state.h"

namespace qv::power {

PowerManager::PowerManager() : state_(std::make_unique<PowerState>()) {}

PowerManager::~PowerManager() = default;

PowerState& State() { return Manager().State(); }

bool Counted(const IO_STACK_LOCATION& stack) {
    return stack.MinorFunction == IRP_MN_SET_POWER || stack.MinorFunction == IRP_MN_QUERY_POWER;
}

std::size_t KindOf(const IO_STACK_LOCATION& stack) {
    return stack.Parameters.Power.Type == SystemPowerState ? 0 : 1;
}

void Track(PIRP irp) {
    State().tracked[irp] = TrackedIrp{};
}

void CheckStartedAndForget(PIRP irp) {
    PowerState& state = State();
    auto found = state.tracked.find(irp);
    if (found == state.tracked.end()) return;
    const TrackedIrp tracked = std::move(found->second);
    state.tracked.erase(found);
    for (const PDEVICE_OBJECT device : tracked.entered) {
        if (std::find(tracked.started.begin(), tracked.started.end(), device) != tracked.started.end()) continue;
        const io::DeviceRecord* record = Io().Internals().devices.Find(device);
        K().Violation("power-irp-without-start-next", bugcode::DRIVER_POWER_STATE_FAILURE,
                      violation::PowerIrpWithoutStartNext, 0, io::Ptr(device),
                      record != nullptr ? io::Ptr(device->DriverObject) : 0,
                      "the driver of " + Io().Internals().devices.Label(device) +
                          " completed or passed on a power IRP without PoStartNextPowerIrp");
    }
}

PDEVICE_OBJECT TopOfStack(PDEVICE_OBJECT device) {
    while (device->AttachedDevice != nullptr) device = device->AttachedDevice;
    return device;
}

void Note(std::string line) {
    K().Events().Log(K().Now(), K().Sched().CurrentName(), "power", line);
    State().journal.push_back(std::move(line));
}

std::string SystemStateText(SYSTEM_POWER_STATE state) {
    if (state >= PowerSystemWorking && state <= PowerSystemShutdown) return "S" + std::to_string(state - 1);
    return "system state " + std::to_string(state);
}

std::string DeviceStateText(DEVICE_POWER_STATE state) {
    if (state >= PowerDeviceD0 && state <= PowerDeviceD3) return "D" + std::to_string(state - 1);
    return "device state " + std::to_string(state);
}

namespace {

struct SystemRequest {
    KEVENT done{};
};

NTSTATUS NTAPI SystemRequestDone(PDEVICE_OBJECT, PIRP irp, PVOID context) {
    CheckStartedAndForget(irp);
    KeSetEvent(&static_cast<SystemRequest*>(context)->done, IO_NO_INCREMENT, FALSE);
    return STATUS_MORE_PROCESSING_REQUIRED;
}

POWER_ACTION ActionFor(SYSTEM_POWER_STATE state) {
    if (state == PowerSystemShutdown) return PowerActionShutdown;
    if (state == PowerSystemWorking) return PowerActionNone;
    return PowerActionSleep;
}

// Sends one system power request to the top of the stack and waits for it.
NTSTATUS SendSystemRequest(PDEVICE_OBJECT pdo, UCHAR minor, SYSTEM_POWER_STATE target) {
    const PDEVICE_OBJECT top = TopOfStack(pdo);
    PIRP irp = IoAllocateIrp(top->StackSize, FALSE);
    if (irp == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
    PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
    next->MajorFunction = IRP_MJ_POWER;
    next->MinorFunction = minor;
    next->Parameters.Power.Type = SystemPowerState;
    next->Parameters.Power.State.SystemState = target;
    next->Parameters.Power.ShutdownType = ActionFor(target);
    // A power request nobody answers fails: drivers that only pass it on
    // leave the status as it came.
    irp->IoStatus.Status = STATUS_NOT_SUPPORTED;
    irp->IoStatus.Information = 0;
    SystemRequest request;
    KeInitializeEvent(&request.done, NotificationEvent, FALSE);
    IoSetCompletionRoutine(irp, &SystemRequestDone, &request, TRUE, TRUE, TRUE);
    Track(irp);
    const std::string what = std::string(minor == IRP_MN_QUERY_POWER ? "query " : "set ") + SystemStateText(target);
    Note(what + " -> " + Io().Internals().devices.Label(top));
    PoCallDriver(top, irp);
    KeWaitForSingleObject(&request.done, Executive, KernelMode, FALSE, nullptr);
    const NTSTATUS status = irp->IoStatus.Status;
    Note(what + " <- " + NtStatusName(status));
    IoFreeIrp(irp);
    return status;
}

void RequirePassiveThread(const char* what) {
    if (!HasKernel() || K().Sched().Current() == nullptr || CurrentIrql() != PASSIVE_LEVEL)
        throw std::logic_error(std::string(what) + " needs a simulated thread at PASSIVE_LEVEL");
}

} // namespace

void AddStack(PDEVICE_OBJECT pdo) {
    auto& stacks = State().stacks;
    if (std::find(stacks.begin(), stacks.end(), pdo) == stacks.end()) stacks.push_back(pdo);
}

void RemoveStack(PDEVICE_OBJECT pdo) {
    auto& stacks = State().stacks;
    stacks.erase(std::remove(stacks.begin(), stacks.end(), pdo), stacks.end());
    State().devices.erase(pdo);
}

NTSTATUS Sleep(SYSTEM_POWER_STATE state) {
    RequirePassiveThread("power::Sleep");
    if (state < PowerSystemSleeping1 || state > PowerSystemShutdown) return STATUS_INVALID_PARAMETER;
    PowerState& power = State();
    if (power.system != PowerSystemWorking) return STATUS_INVALID_DEVICE_STATE;
    // A copy: a stack may go away while its request runs.
    const std::vector<PDEVICE_OBJECT> stacks(power.stacks.rbegin(), power.stacks.rend());
    std::vector<PDEVICE_OBJECT> asked;
    for (PDEVICE_OBJECT pdo : stacks) {
        asked.push_back(pdo);
        const NTSTATUS status = SendSystemRequest(pdo, IRP_MN_QUERY_POWER, state);
        if (!NT_SUCCESS(status)) {
            // Refused: everyone asked hears that the system stays working.
            for (PDEVICE_OBJECT undo : asked) SendSystemRequest(undo, IRP_MN_SET_POWER, PowerSystemWorking);
            return status;
        }
    }
    power.system = state;
    for (PDEVICE_OBJECT pdo : stacks) SendSystemRequest(pdo, IRP_MN_SET_POWER, state);
    return STATUS_SUCCESS;
}

NTSTATUS Wake() {
    RequirePassiveThread("power::Wake");
    PowerState& power = State();
    if (power.system == PowerSystemWorking) return STATUS_SUCCESS;
    power.system = PowerSystemWorking;
    const std::vector<PDEVICE_OBJECT> stacks = power.stacks;
    for (PDEVICE_OBJECT pdo : stacks) SendSystemRequest(pdo, IRP_MN_SET_POWER, PowerSystemWorking);
    return STATUS_SUCCESS;
}

SYSTEM_POWER_STATE SystemState() { return State().system; }

DEVICE_POWER_STATE DeviceState(PDEVICE_OBJECT device) {
    const auto& devices = State().devices;
    auto found = devices.find(device);
    return found == devices.end() ? PowerDeviceD0 : found->second.deviceState;
}

std::vector<std::string> Journal() { return State().journal; }

} // namespace qv::power
