// The reader's polling thread and the I/O timer routine that wakes it once
// a second. The start sequence sets PollThreadRun and PollEnabled, ties
// PollTimer to the device object, calls StartPollThread and starts the
// timer; the stop sequence calls StopPollThread first and stops the timer
// afterwards, once the link is quiet, so that a tick in between only sets
// PollEvent.
#include "card.h"

VOID NTAPI PollTimer(PDEVICE_OBJECT DeviceObject, PVOID Context) {
    UNREFERENCED_PARAMETER(DeviceObject);
    auto* extension = static_cast<PDEVICE_EXTENSION>(Context);
    KeSetEvent(&extension->PollEvent, IO_NO_INCREMENT, FALSE);
}

// Runs at PASSIVE_LEVEL on its own system thread until PollThreadRun is 0.
// The flag is looked at before the wait only, so the wake-up that a stop
// causes still runs one last poll.
VOID NTAPI PollThreadMain(PVOID Context) {
    auto* extension = static_cast<PDEVICE_EXTENSION>(Context);
    PREADER_EXTENSION reader = extension->SmartcardExtension.ReaderExtension;
    // A skipped tick is never followed by another. An application that
    // transmits more than once a second clears PollEnabled before every
    // tick, and would otherwise keep the poll from ever running: a card
    // pulled meanwhile would never be reported.
    BOOLEAN skipped = FALSE;

    while (ReadPollFlag(&extension->PollThreadRun) != 0) {
        KeWaitForSingleObject(&extension->PollEvent, Executive, KernelMode, FALSE, NULL);
        if (ReadPollFlag(&reader->PollEnabled) == 1 || skipped) {
            skipped = FALSE;
            WritePollFlag(&reader->PollEnabled, 1);
            // A failed poll skips the next tick.
            if (PollCardStatus(&extension->SmartcardExtension) != STATUS_SUCCESS) WritePollFlag(&reader->PollEnabled, 0);
        } else {
            skipped = TRUE;
            WritePollFlag(&reader->PollEnabled, 1);
        }
        // A tick that fell during the poll is dropped here.
        KeClearEvent(&extension->PollEvent);
    }
    // The last touch of the device's records: on platforms whose thread
    // objects cannot be waited for, the stop waits for this instead.
    KeSetEvent(&extension->PollThreadEnded, IO_NO_INCREMENT, FALSE);
    PsTerminateSystemThread(STATUS_SUCCESS);
}

NTSTATUS StartPollThread(PDEVICE_EXTENSION DeviceExtension) {
    PAGED_CODE();

    HANDLE thread = NULL;
    KeInitializeEvent(&DeviceExtension->PollEvent, NotificationEvent, FALSE);
    KeInitializeEvent(&DeviceExtension->PollThreadEnded, NotificationEvent, FALSE);
    NTSTATUS status =
        PsCreateSystemThread(&thread, POLL_THREAD_ACCESS, NULL, NULL, NULL, PollThreadMain, DeviceExtension);
    if (!NT_SUCCESS(status)) return status;

    PVOID object = NULL;
    status = ObReferenceObjectByHandle(thread, POLL_THREAD_ACCESS, NULL, KernelMode, &object, NULL);
    if (!NT_SUCCESS(status)) {
        // Without the reference the stop could neither tell the thread to end
        // nor wait for it, and the thread would go on waiting on records
        // that the removal frees. It is ended here, before it has polled,
        // and the start fails: PollEnabled 0 makes its wake-up skip the
        // poll, and its last act says it is done with the records.
        WritePollFlag(&DeviceExtension->PollThreadRun, 0);
        WritePollFlag(&DeviceExtension->SmartcardExtension.ReaderExtension->PollEnabled, 0);
        KeSetEvent(&DeviceExtension->PollEvent, IO_NO_INCREMENT, FALSE);
        KeWaitForSingleObject(&DeviceExtension->PollThreadEnded, Executive, KernelMode, FALSE, NULL);
        ZwClose(thread);
        return status;
    }
    DeviceExtension->PollThread = static_cast<PETHREAD>(object);
    ZwClose(thread);
    return STATUS_SUCCESS;
}

VOID StopPollThread(PDEVICE_EXTENSION DeviceExtension) {
    PAGED_CODE();

    PETHREAD thread = DeviceExtension->PollThread;
    if (thread == NULL) return;
    WritePollFlag(&DeviceExtension->PollThreadRun, 0);
    KeSetEvent(&DeviceExtension->PollEvent, IO_NO_INCREMENT, FALSE);
    // Older platforms cannot wait for a thread object; the thread's last act
    // tells them it no longer touches the records.
    if (!DeviceExtension->LegacyOs) KeWaitForSingleObject(thread, Executive, KernelMode, FALSE, NULL);
    else KeWaitForSingleObject(&DeviceExtension->PollThreadEnded, Executive, KernelMode, FALSE, NULL);
    ObDereferenceObject(thread);
    DeviceExtension->PollThread = NULL;
}
