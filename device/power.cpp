// Power: the reader follows the system. A sleeping state or shutdown makes
// the driver ask for D3 for itself and quiet the reader link; the return to
// the working state asks for D0, resynchronises the link and polls the card
// at once, so that a card that was in before the sleep is reported again.
//
// Who completes what, at which IRQL:
// - DispatchPower runs at PASSIVE_LEVEL (the device object is
//   power-pageable) and passes every request down with PoCallDriver, except
//   a sleep query while device-control requests are inside, which it
//   completes itself, and a system set-power that needs a device state,
//   which it holds pending until DevicePowerCompletion passes it on.
// - DevicePowerCompletion and PowerUpCompletion run at whatever IRQL the bus
//   driver completes at, DISPATCH_LEVEL included: neither waits. The poll
//   after power-up talks to the reader and waits for ReaderMutex, so
//   PowerUpCompletion keeps the D0 request (STATUS_MORE_PROCESSING_REQUIRED)
//   and a work item finishes the power-up at PASSIVE_LEVEL, then completes
//   the D0 request. Until then no other device power request reaches this
//   device object, so a new sleep cannot overtake the power-up.
#include "card.h"
#include "device.h"
#include "link.h"

namespace {

// The pause before the reader is powered down, for a reader command that has
// just ended to settle.
constexpr ULONG POWER_DOWN_PAUSE_MS = 200;

// What the power-up work item needs: the D0 request it finishes.
typedef struct _POWER_UP_WORK {
    PIO_WORKITEM WorkItem;
    PDEVICE_EXTENSION DeviceExtension;
    PIRP Irp;
} POWER_UP_WORK, *PPOWER_UP_WORK;

PREADER_EXTENSION ReaderOf(PDEVICE_EXTENSION DeviceExtension) {
    return DeviceExtension->SmartcardExtension.ReaderExtension;
}

// Releases the remove lock and passes the request to the lower device.
NTSTATUS PassDown(PDEVICE_EXTENSION DeviceExtension, PIRP Irp) {
    PDEVICE_OBJECT lowerDevice = ReaderOf(DeviceExtension)->LowerDevice;
    SmartcardReleaseRemoveLock(&DeviceExtension->SmartcardExtension);
    PoStartNextPowerIrp(Irp);
    IoSkipCurrentIrpStackLocation(Irp);
    return PoCallDriver(lowerDevice, Irp);
}

// Completes a power request here, with the given status.
NTSTATUS CompletePowerIrp(PIRP Irp, NTSTATUS Status) {
    PoStartNextPowerIrp(Irp);
    Irp->IoStatus.Status = Status;
    IoCompleteRequest(Irp, IO_NO_INCREMENT);
    return Status;
}

// What the trace says of a power request, read while the IRP is ours.
typedef struct _POWER_REQUEST_TRACE {
    UCHAR MinorFunction;
    CHAR Kind;    // 'S' for a system power state, 'D' for a device power state
    ULONG Number; // S0 to S5, D0 to D3; the state's value less one
} POWER_REQUEST_TRACE;

POWER_REQUEST_TRACE PowerRequestOf(PIRP Irp) {
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
    POWER_REQUEST_TRACE request;
    request.MinorFunction = stack->MinorFunction;
    request.Kind = stack->Parameters.Power.Type == DevicePowerState ? 'D' : 'S';
    const ULONG state = request.Kind == 'D' ? static_cast<ULONG>(stack->Parameters.Power.State.DeviceState)
                                            : static_cast<ULONG>(stack->Parameters.Power.State.SystemState);
    request.Number = state - 1;
    return request;
}

// The line of a power request going in (Status NULL) or coming out with
// *Status: STATUS_PENDING when it is finished later.
VOID TracePower(ULONG Unit, const POWER_REQUEST_TRACE* Request, const NTSTATUS* Status) {
    PCSTR name = Request->MinorFunction == IRP_MN_SET_POWER     ? "IRP_MN_SET_POWER"
                 : Request->MinorFunction == IRP_MN_QUERY_POWER ? "IRP_MN_QUERY_POWER"
                                                                : NULL;
    if (name == NULL) TraceRequest(Unit, NULL, "IRP_MJ_POWER", Request->MinorFunction, Status);
    else if (Status == NULL) TraceUnit(Unit, TRACE_REQUEST, "%s %c%lu in\n", name, Request->Kind, Request->Number);
    else TraceUnit(Unit, TRACE_REQUEST, "%s %c%lu out 0x%08lX\n", name, Request->Kind, Request->Number, *Status);
}

// The end of a power-up, in its fixed order: poll (resynchronising the link
// and reporting a card known from before), skip the next tick, timer on,
// requests admitted. A poll of the polling thread that got there first has
// done the resynchronisation and the report already. A reader that is not
// running (never started, or stopped before the sleep) is neither polled
// nor given its timer back, and the gate opens only as far as Plug and Play
// lets it. IRQL: PASSIVE_LEVEL.
VOID ResumeReader(PDEVICE_EXTENSION DeviceExtension) {
    PREADER_EXTENSION readerExtension = ReaderOf(DeviceExtension);
    // LinkSynchronized and ReaderRunning belong to the users of the link,
    // who read and write them under ReaderMutex.
    KeWaitForSingleObject(readerExtension->ReaderMutex, Executive, KernelMode, FALSE, NULL);
    const BOOLEAN running = readerExtension->ReaderRunning != 0;
    const BOOLEAN awaitsResynch = readerExtension->LinkSynchronized == 0;
    KeReleaseMutex(readerExtension->ReaderMutex, FALSE);
    if (running) {
        if (awaitsResynch) {
            const NTSTATUS poll = PollCardStatus(&DeviceExtension->SmartcardExtension);
            TraceReader(&DeviceExtension->SmartcardExtension, NT_SUCCESS(poll) ? TRACE_STATE : TRACE_ERROR,
                        "powered up: the poll resynchronised the link 0x%08lX\n", poll);
            WritePollFlag(&readerExtension->PollEnabled, 0);
        }
        IoStartTimer(readerExtension->DeviceObject);
    }
    SetPowerReady(DeviceExtension, TRUE);
    TraceReader(&DeviceExtension->SmartcardExtension, TRACE_STATE, "reader powered up\n");
}

// IRQL: PASSIVE_LEVEL (a system worker thread). Finishes the power-up and
// completes the D0 request that PowerUpCompletion kept.
VOID NTAPI PowerUpWork(PDEVICE_OBJECT DeviceObject, PVOID Context) {
    UNREFERENCED_PARAMETER(DeviceObject);
    PPOWER_UP_WORK work = static_cast<PPOWER_UP_WORK>(Context);
    PDEVICE_EXTENSION deviceExtension = work->DeviceExtension;
    PIRP irp = work->Irp;
    IoFreeWorkItem(work->WorkItem);
    ExFreePoolWithTag(work, READER_POOL_TAG);

    ResumeReader(deviceExtension);
    PoStartNextPowerIrp(irp);
    SmartcardReleaseRemoveLock(&deviceExtension->SmartcardExtension);
    IoCompleteRequest(irp, IO_NO_INCREMENT);
}

// IRQL: <= DISPATCH_LEVEL. The D0 request is back from the lower driver;
// its own status is not looked at: a D0 request the lower driver failed
// counts as powered up too.
NTSTATUS NTAPI PowerUpCompletion(PDEVICE_OBJECT DeviceObject, PIRP Irp, PVOID Context) {
    PDEVICE_EXTENSION deviceExtension = static_cast<PDEVICE_EXTENSION>(Context);
    PREADER_EXTENSION readerExtension = ReaderOf(deviceExtension);
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);

    readerExtension->PowerState = READER_POWERED;
    PoSetPowerState(DeviceObject, DevicePowerState, stack->Parameters.Power.State);

    // Whether the link still needs its resynchronising poll is read under
    // ReaderMutex, which cannot be waited for here: the work item decides.
    PPOWER_UP_WORK work =
        static_cast<PPOWER_UP_WORK>(ExAllocatePoolWithTag(NonPagedPool, sizeof(POWER_UP_WORK), READER_POOL_TAG));
    PIO_WORKITEM workItem = work != NULL ? IoAllocateWorkItem(DeviceObject) : NULL;
    if (workItem != NULL) {
        // The work item completes the request; the remove lock stays held
        // until then, so the records outlive the poll.
        work->WorkItem = workItem;
        work->DeviceExtension = deviceExtension;
        work->Irp = Irp;
        IoQueueWorkItem(workItem, PowerUpWork, DelayedWorkQueue, work);
        return STATUS_MORE_PROCESSING_REQUIRED;
    }
    if (work != NULL) ExFreePoolWithTag(work, READER_POOL_TAG);
    TraceReader(&deviceExtension->SmartcardExtension, TRACE_ERROR,
                "allocation failed: the power-up's work item; the next tick polls\n");
    // No work item to be had: the polling thread's next tick polls instead,
    // and still reports a card known from before, since the link is not yet
    // in step. ReaderRunning cannot be read under its mutex here; it changes
    // only with Plug and Play, which does not overlap a power transition.
    WritePollFlag(&readerExtension->PollEnabled, 1);
    if (readerExtension->ReaderRunning != 0) IoStartTimer(readerExtension->DeviceObject);

    if (Irp->PendingReturned) IoMarkIrpPending(Irp);
    SmartcardReleaseRemoveLock(&deviceExtension->SmartcardExtension);
    PoStartNextPowerIrp(Irp);
    SetPowerReady(deviceExtension, TRUE);
    return STATUS_SUCCESS;
}

// IRQL: <= DISPATCH_LEVEL. The driver's own device request has finished:
// the system request it held goes down, whatever the device request's
// outcome.
VOID NTAPI DevicePowerCompletion(PDEVICE_OBJECT DeviceObject, UCHAR MinorFunction, POWER_STATE PowerState,
                                 PVOID Context, PIO_STATUS_BLOCK IoStatus) {
    UNREFERENCED_PARAMETER(MinorFunction);
    UNREFERENCED_PARAMETER(PowerState);
    UNREFERENCED_PARAMETER(Context);
    UNREFERENCED_PARAMETER(IoStatus);
    PDEVICE_EXTENSION deviceExtension = static_cast<PDEVICE_EXTENSION>(DeviceObject->DeviceExtension);
    PREADER_EXTENSION readerExtension = ReaderOf(deviceExtension);

    PIRP systemIrp = static_cast<PIRP>(InterlockedExchangePointer(
        reinterpret_cast<PVOID volatile*>(&readerExtension->PendingSystemPowerIrp), NULL));
    if (systemIrp != NULL) (void)PassDown(deviceExtension, systemIrp);
}

// Holds the system request and asks for a device state of our own.
// IRQL: PASSIVE_LEVEL.
NTSTATUS RequestDeviceState(PDEVICE_OBJECT DeviceObject, PIRP Irp, DEVICE_POWER_STATE State) {
    PDEVICE_EXTENSION deviceExtension = static_cast<PDEVICE_EXTENSION>(DeviceObject->DeviceExtension);
    POWER_STATE powerState;
    powerState.DeviceState = State;

    // Pending before the request goes out: the device request may finish,
    // and the system request go down and complete, before PoRequestPowerIrp
    // returns.
    IoMarkIrpPending(Irp);
    ReaderOf(deviceExtension)->PendingSystemPowerIrp = Irp;
    NTSTATUS status = PoRequestPowerIrp(DeviceObject, IRP_MN_SET_POWER, powerState, DevicePowerCompletion, NULL, NULL);
    if (status != STATUS_PENDING) {
        TraceReader(&deviceExtension->SmartcardExtension, TRACE_ERROR, "device power request D%lu failed 0x%08lX\n",
                    static_cast<ULONG>(State) - 1, status);
        ReaderOf(deviceExtension)->PendingSystemPowerIrp = NULL;
        SmartcardReleaseRemoveLock(&deviceExtension->SmartcardExtension);
        (void)CompletePowerIrp(Irp, status);
    }
    return STATUS_PENDING;
}

// IRQL: PASSIVE_LEVEL. Quiets the reader before its power goes: no new
// request enters, those inside finish (a sleep does not cut a card
// operation in half), the reader is marked powered down and its timer
// stopped under ReaderMutex (so that neither a poll nor a card service that
// ends later sends to the suspended reader or starts the timer again); then
// the request goes down.
NTSTATUS PowerDown(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
    PDEVICE_EXTENSION deviceExtension = static_cast<PDEVICE_EXTENSION>(DeviceObject->DeviceExtension);
    PREADER_EXTENSION readerExtension = ReaderOf(deviceExtension);
    POWER_STATE powerState;
    powerState.DeviceState = PowerDeviceD3;

    SetPowerReady(deviceExtension, FALSE);
    KeWaitForSingleObject(&deviceExtension->RequestsIdle, Executive, KernelMode, FALSE, NULL);
    KeWaitForSingleObject(readerExtension->ReaderMutex, Executive, KernelMode, FALSE, NULL);
    readerExtension->PowerState = READER_POWERED_DOWN;
    if (readerExtension->ReaderRunning != 0) IoStopTimer(readerExtension->DeviceObject);
    KeReleaseMutex(readerExtension->ReaderMutex, FALSE);
    KeWaitForSingleObject(&readerExtension->LinkIdle, Executive, KernelMode, FALSE, NULL);
    (void)SleepMs(POWER_DOWN_PAUSE_MS);
    PoSetPowerState(DeviceObject, DevicePowerState, powerState);
    TraceReader(&deviceExtension->SmartcardExtension, TRACE_STATE, "reader powered down\n");
    return PassDown(deviceExtension, Irp);
}

// IRQL: PASSIVE_LEVEL. The D0 request goes down first; PowerUpCompletion
// (or the work item it queues) completes it.
NTSTATUS PowerUp(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
    PDEVICE_EXTENSION deviceExtension = static_cast<PDEVICE_EXTENSION>(DeviceObject->DeviceExtension);
    PREADER_EXTENSION readerExtension = ReaderOf(deviceExtension);
    IoCopyCurrentIrpStackLocationToNext(Irp);
    IoSetCompletionRoutine(Irp, PowerUpCompletion, deviceExtension, TRUE, TRUE, TRUE);
    // Under ReaderMutex, as every user of the link writes it: a poll still
    // finishing from before the power-down must not overwrite it after this.
    KeWaitForSingleObject(readerExtension->ReaderMutex, Executive, KernelMode, FALSE, NULL);
    readerExtension->LinkSynchronized = 0;
    KeReleaseMutex(readerExtension->ReaderMutex, FALSE);
    // PowerUpCompletion may keep the request for the work item that finishes
    // the power-up, so it can still be unfinished when the lower driver
    // returns, whatever that returns: pending, then, from the start.
    IoMarkIrpPending(Irp);
    (void)PoCallDriver(readerExtension->LowerDevice, Irp);
    return STATUS_PENDING;
}

BOOLEAN IsSleepingState(SYSTEM_POWER_STATE State) {
    return static_cast<LONG>(State) >= static_cast<LONG>(PowerSystemSleeping1) &&
           static_cast<LONG>(State) <= static_cast<LONG>(PowerSystemShutdown);
}

BOOLEAN IsWorkingState(SYSTEM_POWER_STATE State) {
    return State == PowerSystemWorking || State == PowerSystemMaximum;
}

// A query for a sleeping state is never refused. With no device-control
// request inside it stops new ones at ReaderStarted and goes down; with one
// inside it is answered here, and the lower driver never sees it.
NTSTATUS QuerySleep(PDEVICE_EXTENSION DeviceExtension, PIRP Irp) {
    const BOOLEAN idle = CloseGateWhenIdle(DeviceExtension, GatePower);
    Irp->IoStatus.Status = STATUS_SUCCESS;
    if (idle) return PassDown(DeviceExtension, Irp);
    TraceReader(&DeviceExtension->SmartcardExtension, TRACE_STATE, "sleep query answered here: requests inside\n");
    Irp->IoStatus.Information = 0;
    SmartcardReleaseRemoveLock(&DeviceExtension->SmartcardExtension);
    return CompletePowerIrp(Irp, STATUS_SUCCESS);
}

NTSTATUS SystemPower(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
    PDEVICE_EXTENSION deviceExtension = static_cast<PDEVICE_EXTENSION>(DeviceObject->DeviceExtension);
    PREADER_EXTENSION readerExtension = ReaderOf(deviceExtension);
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
    const SYSTEM_POWER_STATE state = stack->Parameters.Power.State.SystemState;

    if (stack->MinorFunction == IRP_MN_QUERY_POWER) {
        if (IsSleepingState(state)) return QuerySleep(deviceExtension, Irp);
        Irp->IoStatus.Status = STATUS_SUCCESS;
        return PassDown(deviceExtension, Irp);
    }
    if (stack->MinorFunction != IRP_MN_SET_POWER) return PassDown(deviceExtension, Irp);

    if (IsWorkingState(state)) {
        if (readerExtension->PowerState == READER_POWERED) {
            // The sleep did not happen: the reader kept its power.
            SetPowerReady(deviceExtension, TRUE);
            return PassDown(deviceExtension, Irp);
        }
        return RequestDeviceState(DeviceObject, Irp, PowerDeviceD0);
    }
    if (IsSleepingState(state)) {
        if (readerExtension->PowerState == READER_POWERED_DOWN) return PassDown(deviceExtension, Irp);
        POWER_STATE notified;
        // PowerSystemSleeping3 whatever sleeping state is targeted, as the
        // driver has always told the power manager.
        notified.SystemState = PowerSystemSleeping3;
        PoSetPowerState(DeviceObject, SystemPowerState, notified);
        return RequestDeviceState(DeviceObject, Irp, PowerDeviceD3);
    }
    return PassDown(deviceExtension, Irp);
}

NTSTATUS DevicePower(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
    PDEVICE_EXTENSION deviceExtension = static_cast<PDEVICE_EXTENSION>(DeviceObject->DeviceExtension);
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
    if (stack->MinorFunction == IRP_MN_SET_POWER) {
        const DEVICE_POWER_STATE state = stack->Parameters.Power.State.DeviceState;
        if (state == PowerDeviceD0) return PowerUp(DeviceObject, Irp);
        if (state == PowerDeviceD3) return PowerDown(DeviceObject, Irp);
    }
    return PassDown(deviceExtension, Irp);
}

} // namespace

// IRQL: PASSIVE_LEVEL (DO_POWER_PAGABLE).
NTSTATUS NTAPI DispatchPower(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
    PDEVICE_EXTENSION deviceExtension = static_cast<PDEVICE_EXTENSION>(DeviceObject->DeviceExtension);
    // Read for the line going out while the request is still ours.
    const ULONG unit = deviceExtension->SmartcardExtension.VendorAttr.UnitNo;
    const POWER_REQUEST_TRACE request = PowerRequestOf(Irp);
    TracePower(unit, &request, NULL);

    NTSTATUS status = SmartcardAcquireRemoveLock(&deviceExtension->SmartcardExtension);
    if (!NT_SUCCESS(status)) status = CompletePowerIrp(Irp, status);
    else if (IoGetCurrentIrpStackLocation(Irp)->Parameters.Power.Type == DevicePowerState)
        status = DevicePower(DeviceObject, Irp);
    else status = SystemPower(DeviceObject, Irp);
    TracePower(unit, &request, &status);
    return status;
}
