// The gate of device-control requests, ReaderStarted, and the count of the
// requests inside the driver, IoCount. The gate is open while the reader is
// started with no stop asked for (PnpReady) and the system is not on its
// way to sleep (PowerReady). Opening or closing it, reading it and counting
// a request in happen under SpinLock, so that a request is either counted
// before a stop or sleep query looks at the count, and the query sees it,
// or finds the gate closed and waits.
#include "device.h"

namespace {

// With SpinLock held: sets one of the gate's two conditions, and the gate
// follows them.
VOID SetCondition(PDEVICE_EXTENSION DeviceExtension, GATE_CONDITION Condition, BOOLEAN Ready) {
    if (Condition == GatePnp) {
        DeviceExtension->PnpReady = Ready;
    } else {
        DeviceExtension->PowerReady = Ready;
    }
    if (DeviceExtension->PnpReady && DeviceExtension->PowerReady) {
        KeSetEvent(&DeviceExtension->ReaderStarted, IO_NO_INCREMENT, FALSE);
    } else {
        KeClearEvent(&DeviceExtension->ReaderStarted);
    }
}

BOOLEAN IsRemoved(PDEVICE_EXTENSION DeviceExtension) {
    LARGE_INTEGER noWait;
    noWait.QuadPart = 0;
    return KeWaitForSingleObject(&DeviceExtension->ReaderRemoved, Executive, KernelMode, FALSE, &noWait) ==
           STATUS_SUCCESS;
}

// Waits until the gate opens. Removal ends the wait too, so that a request
// waiting on a reader that never starts again does not hold the remove lock
// for ever.
VOID WaitForGateOrRemoval(PDEVICE_EXTENSION DeviceExtension) {
    PVOID events[2] = {&DeviceExtension->ReaderStarted, &DeviceExtension->ReaderRemoved};
    (void)KeWaitForMultipleObjects(2, events, WaitAny, Executive, KernelMode, FALSE, NULL, NULL);
}

VOID SetConditionLocked(PDEVICE_EXTENSION DeviceExtension, GATE_CONDITION Condition, BOOLEAN Ready) {
    KIRQL irql;
    KeAcquireSpinLock(&DeviceExtension->SpinLock, &irql);
    SetCondition(DeviceExtension, Condition, Ready);
    KeReleaseSpinLock(&DeviceExtension->SpinLock, irql);
}

} // namespace

VOID SetPnpReady(PDEVICE_EXTENSION DeviceExtension, BOOLEAN Ready) { SetConditionLocked(DeviceExtension, GatePnp, Ready); }

VOID SetPowerReady(PDEVICE_EXTENSION DeviceExtension, BOOLEAN Ready) {
    SetConditionLocked(DeviceExtension, GatePower, Ready);
}

BOOLEAN CloseGateWhenIdle(PDEVICE_EXTENSION DeviceExtension, GATE_CONDITION Condition) {
    KIRQL irql;
    KeAcquireSpinLock(&DeviceExtension->SpinLock, &irql);
    const BOOLEAN idle = DeviceExtension->IoCount == 0;
    if (idle) SetCondition(DeviceExtension, Condition, FALSE);
    KeReleaseSpinLock(&DeviceExtension->SpinLock, irql);
    return idle;
}

BOOLEAN EnterRequest(PDEVICE_EXTENSION DeviceExtension) {
    KIRQL irql;
    KeAcquireSpinLock(&DeviceExtension->SpinLock, &irql);
    // The gate is looked at again after every wait, under the lock: between
    // the wait's end and the count a query may have closed it.
    while (KeReadStateEvent(&DeviceExtension->ReaderStarted) == 0) {
        KeReleaseSpinLock(&DeviceExtension->SpinLock, irql);
        WaitForGateOrRemoval(DeviceExtension);
        if (IsRemoved(DeviceExtension)) return FALSE;
        KeAcquireSpinLock(&DeviceExtension->SpinLock, &irql);
    }
    if (DeviceExtension->IoCount++ == 0) KeClearEvent(&DeviceExtension->RequestsIdle);
    KeReleaseSpinLock(&DeviceExtension->SpinLock, irql);
    return TRUE;
}

VOID LeaveRequest(PDEVICE_EXTENSION DeviceExtension) {
    KIRQL irql;
    KeAcquireSpinLock(&DeviceExtension->SpinLock, &irql);
    if (--DeviceExtension->IoCount == 0) KeSetEvent(&DeviceExtension->RequestsIdle, IO_NO_INCREMENT, FALSE);
    KeReleaseSpinLock(&DeviceExtension->SpinLock, irql);
}

BOOLEAN ReaderRemovalBegun(PDEVICE_EXTENSION DeviceExtension) { return IsRemoved(DeviceExtension); }
