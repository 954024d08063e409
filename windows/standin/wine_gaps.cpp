// Kernel behaviour Wine 8.0 lacks, put in by the stand-in USB bus for the
// function driver above its children. Test-only, never shipped.
//
// Each piece does what the Windows documentation says the kernel does, for
// any driver; none knows anything of qvscr.sys. When the child's start
// request reaches the bus (before the driver's own start runs), the bus
// points the driver's imports of the missing routines at the ones here and
// puts the bridge's routines in front of four of the driver's dispatch
// routines (create, close, device control, Plug and Play), which pass
// everything on to the driver's own except what the I/O manager or the
// Plug and Play manager would never have let reach it.
//
// 1. KefAcquireSpinLockAtDpcLevel and KefReleaseSpinLockFromDpcLevel, the
//    fastcall exports that the x86 WDK's KeAcquireSpinLockAtDpcLevel macros
//    call, are stubs that end the process. Wine's own stdcall
//    KeAcquireSpinLockAtDpcLevel and KeReleaseSpinLockFromDpcLevel do the
//    documented work; the forwarders here call them.
// 2. IoInitializeTimer, IoStartTimer and IoStopTimer are stubs that do
//    nothing, so no I/O timer routine ever runs. The I/O timer here is the
//    documented one: a device object gets one timer (IoInitializeTimer,
//    once per device object, which then points DeviceObject->Timer at it);
//    once started, its routine is called once a second at DISPATCH_LEVEL
//    with the device object and the context until it is stopped;
//    IoStartTimer and IoStopTimer may be called at any IRQL up to
//    DISPATCH_LEVEL, from the timer routine too; the timer goes with its
//    device object. A thread of the bus calls the started routines once a
//    second holding the timer table's spin lock, as near DISPATCH_LEVEL as
//    Wine comes (it has no IRQLs: KeGetCurrentIrql and KfRaiseIrql are
//    stubs), and IoDeleteDevice is wrapped so that the timer goes first,
//    while none of its routines runs.
// 3. Wine makes the handle before the driver sees IRP_MJ_CREATE and drops
//    the status the driver completes it with, so a create the driver
//    refuses still yields a handle, whose close then reaches the driver.
//    On Windows a refused create leaves no handle and no request of that
//    file object ever reaches the driver again. The bridge keeps the
//    status of each create (a dispatch routine returns the status it
//    completed the request with; a create left pending is taken as
//    opened), answers IOCTL_QVBUS_CREATE_STATUS on the handle with it (the
//    console program asks at once and closes a refused handle, so that it
//    reports what CreateFile reports on Windows), completes the close of a
//    refused file object itself and fails any other request on it with
//    STATUS_INVALID_HANDLE.
// 4. Wine sends no IRP_MJ_CLEANUP. The I/O manager sends it when the last
//    handle of a file object is closed, before IRP_MJ_CLOSE; the bridge
//    sends the driver one in front of the close of every file object it
//    opened. (Wine itself cancels the handle's pending requests when the
//    handle is closed, so the cleanup usually finds nothing left to end.)
// 5. Wine sends IRP_MN_REMOVE_DEVICE right after IRP_MN_SURPRISE_REMOVAL.
//    The Plug and Play manager sends the remove of a device that was
//    pulled out only when its last handle has been closed; the bridge
//    holds the remove until then. Wine's Plug and Play thread waits with
//    it, so while a pulled reader's handle stays open no other reader
//    arrives.
// 6. Wine makes a host mutex for a kernel mutex when a thread first waits
//    for it, owned by the thread that gets it, and its KeReleaseMutex never
//    releases that host mutex: a thread that waits for a kernel mutex
//    another thread holds waits for ever. The documented mutex is owned by
//    one thread, recursively; each KeReleaseMutex by the owner undoes one
//    acquisition, and when none is left one waiter gets it. The stand-ins
//    for KeInitializeMutex, KeReleaseMutex and KeWaitForSingleObject (for
//    mutexes; any other object goes to Wine's) keep the state in the KMUTEX
//    itself (SignalState, OwnerThread) under one spin lock, and a waiter
//    looks again every millisecond. The driver and the smart card library
//    both get them, and the bus uses them for its own locks.
#include "wine_gaps.h"

#include "bus_control.h"
#include "host_socket.h"

namespace {

constexpr ULONG kTag = QV_POOL_TAG('Q', 'v', 'G', 'p');
constexpr ULONG kMaximumTimers = 16;
constexpr ULONG kMaximumFiles = 32;
constexpr ULONG kMaximumDrivers = 4;
constexpr LONGLONG kTimerPeriod = -10'000'000; // one second, relative, in 100 ns
constexpr LONGLONG kMutexRetry = -10'000;      // one millisecond, relative
constexpr UCHAR kMutantObject = 2;             // DISPATCHER_HEADER.Type of a KMUTEX
// What Wine puts in DISPATCHER_HEADER.WaitListHead.Blink of the kernel
// objects it makes from handles (INVALID_HANDLE_VALUE).
constexpr ULONG_PTR kWineKernelObject = ~static_cast<ULONG_PTR>(0);

struct IoTimer {
    PDEVICE_OBJECT device; // NULL: the slot is free
    PIO_TIMER_ROUTINE routine;
    PVOID context;
    volatile LONG started;
};

// A file object the driver has seen the create of, until its close.
struct KnownFile {
    PFILE_OBJECT file; // NULL: the slot is free
    PDEVICE_OBJECT device;
    NTSTATUS created; // what the driver answered the create with
};

// A driver whose dispatch routines the bridge stands in front of, and the
// driver's own ones.
struct BridgedDriver {
    PDRIVER_OBJECT driver; // NULL: the slot is free
    PDRIVER_DISPATCH create;
    PDRIVER_DISPATCH close;
    PDRIVER_DISPATCH control;
    PDRIVER_DISPATCH pnp;
};

struct WineGaps {
    KSPIN_LOCK timerLock;
    IoTimer timers[kMaximumTimers];
    KEVENT stopTicking;
    PVOID ticker; // the thread that calls the timer routines
    KSPIN_LOCK fileLock;
    KnownFile files[kMaximumFiles];
    BridgedDriver drivers[kMaximumDrivers];
    KEVENT fileClosed; // set whenever a file object the driver opened is closed
    KSPIN_LOCK mutexLock;
};

WineGaps* Gaps = NULL;

UNICODE_STRING Text(const WCHAR* text) {
    UNICODE_STRING string;
    RtlInitUnicodeString(&string, text);
    return string;
}

NTSTATUS Complete(PIRP irp, NTSTATUS status, ULONG_PTR information) {
    irp->IoStatus.Status = status;
    irp->IoStatus.Information = information;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return status;
}

// ---------------------------------------------------------------------------
// 1. Spin locks at DISPATCH_LEVEL

using SpinLockRoutine = VOID(NTAPI*)(PKSPIN_LOCK);
SpinLockRoutine WineAcquireAtDpcLevel = NULL;
SpinLockRoutine WineReleaseFromDpcLevel = NULL;

VOID FASTCALL ForwardAcquireAtDpcLevel(PKSPIN_LOCK SpinLock) { WineAcquireAtDpcLevel(SpinLock); }
VOID FASTCALL ForwardReleaseFromDpcLevel(PKSPIN_LOCK SpinLock) { WineReleaseFromDpcLevel(SpinLock); }

// ---------------------------------------------------------------------------
// 2. I/O timers

IoTimer* TimerOf(PDEVICE_OBJECT device) {
    // The slot's address is the device object's Timer, as on Windows; it is
    // only ever one of the table's.
    auto* timer = reinterpret_cast<IoTimer*>(device->Timer);
    if (timer < &Gaps->timers[0] || timer >= &Gaps->timers[kMaximumTimers] || timer->device != device) return NULL;
    return timer;
}

NTSTATUS NTAPI StandInIoInitializeTimer(PDEVICE_OBJECT DeviceObject, PIO_TIMER_ROUTINE TimerRoutine, PVOID Context) {
    KIRQL irql;
    KeAcquireSpinLock(&Gaps->timerLock, &irql);
    IoTimer* timer = TimerOf(DeviceObject);
    for (ULONG i = 0; timer == NULL && i < kMaximumTimers; ++i) {
        if (Gaps->timers[i].device == NULL) timer = &Gaps->timers[i];
    }
    NTSTATUS status = STATUS_INSUFFICIENT_RESOURCES;
    if (timer != NULL) {
        timer->device = DeviceObject;
        timer->routine = TimerRoutine;
        timer->context = Context;
        timer->started = 0;
        DeviceObject->Timer = reinterpret_cast<PIO_TIMER>(timer);
        status = STATUS_SUCCESS;
    }
    KeReleaseSpinLock(&Gaps->timerLock, irql);
    return status;
}

// Without the lock: a timer routine may start or stop timers.
VOID NTAPI StandInIoStartTimer(PDEVICE_OBJECT DeviceObject) {
    if (IoTimer* timer = TimerOf(DeviceObject)) InterlockedExchange(&timer->started, 1);
}

VOID NTAPI StandInIoStopTimer(PDEVICE_OBJECT DeviceObject) {
    if (IoTimer* timer = TimerOf(DeviceObject)) InterlockedExchange(&timer->started, 0);
}

VOID NTAPI StandInIoDeleteDevice(PDEVICE_OBJECT DeviceObject) {
    KIRQL irql;
    KeAcquireSpinLock(&Gaps->timerLock, &irql);
    if (IoTimer* timer = TimerOf(DeviceObject)) {
        timer->started = 0;
        timer->device = NULL;
        DeviceObject->Timer = NULL;
    }
    KeReleaseSpinLock(&Gaps->timerLock, irql);
    IoDeleteDevice(DeviceObject);
}

VOID NTAPI TickTimers(PVOID) {
    LARGE_INTEGER period;
    period.QuadPart = kTimerPeriod;
    while (KeWaitForSingleObject(&Gaps->stopTicking, Executive, KernelMode, FALSE, &period) == STATUS_TIMEOUT) {
        KIRQL irql;
        KeAcquireSpinLock(&Gaps->timerLock, &irql);
        for (IoTimer& timer : Gaps->timers) {
            if (timer.device != NULL && timer.started != 0) timer.routine(timer.device, timer.context);
        }
        KeReleaseSpinLock(&Gaps->timerLock, irql);
    }
    PsTerminateSystemThread(STATUS_SUCCESS);
}

// ---------------------------------------------------------------------------
// 3-5. File objects and removal

BridgedDriver* BridgeOf(PDRIVER_OBJECT driver) {
    for (BridgedDriver& bridged : Gaps->drivers) {
        if (bridged.driver == driver) return &bridged;
    }
    return NULL;
}

// The create's status for the file object; false when the driver has not
// seen its create (then it counts as opened).
bool CreatedWith(PFILE_OBJECT file, NTSTATUS& created) {
    created = STATUS_SUCCESS;
    bool known = false;
    KIRQL irql;
    KeAcquireSpinLock(&Gaps->fileLock, &irql);
    for (const KnownFile& entry : Gaps->files) {
        if (file != NULL && entry.file == file) {
            created = entry.created;
            known = true;
        }
    }
    KeReleaseSpinLock(&Gaps->fileLock, irql);
    return known;
}

void Remember(PFILE_OBJECT file, PDEVICE_OBJECT device, NTSTATUS created) {
    KIRQL irql;
    KeAcquireSpinLock(&Gaps->fileLock, &irql);
    bool placed = false;
    for (KnownFile& entry : Gaps->files) {
        if (placed || entry.file != NULL) continue;
        entry = {file, device, created};
        placed = true;
    }
    KeReleaseSpinLock(&Gaps->fileLock, irql);
    if (!placed) DbgPrint("qvusbbus: more than %lu files open; one is taken as opened\n", kMaximumFiles);
}

void Forget(PFILE_OBJECT file) {
    KIRQL irql;
    KeAcquireSpinLock(&Gaps->fileLock, &irql);
    for (KnownFile& entry : Gaps->files) {
        if (entry.file == file) entry.file = NULL;
    }
    KeReleaseSpinLock(&Gaps->fileLock, irql);
}

NTSTATUS NTAPI CleanupDone(PDEVICE_OBJECT, PIRP, PVOID context) {
    KeSetEvent(static_cast<PKEVENT>(context), IO_NO_INCREMENT, FALSE);
    return STATUS_MORE_PROCESSING_REQUIRED;
}

// IRP_MJ_CLEANUP for the file object, as the I/O manager sends it when the
// file object's last handle has been closed.
void SendCleanup(PDEVICE_OBJECT device, PFILE_OBJECT file) {
    PIRP irp = IoAllocateIrp(device->StackSize, FALSE);
    if (irp == NULL) return;
    KEVENT done;
    KeInitializeEvent(&done, NotificationEvent, FALSE);
    irp->RequestorMode = UserMode;
    irp->Tail.Overlay.OriginalFileObject = file;
    irp->Tail.Overlay.Thread = reinterpret_cast<PETHREAD>(KeGetCurrentThread());
    irp->IoStatus.Status = STATUS_SUCCESS;
    PIO_STACK_LOCATION stack = IoGetNextIrpStackLocation(irp);
    stack->MajorFunction = IRP_MJ_CLEANUP;
    stack->FileObject = file;
    IoSetCompletionRoutine(irp, CleanupDone, &done, TRUE, TRUE, TRUE);
    if (IoCallDriver(device, irp) == STATUS_PENDING) KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, NULL);
    IoFreeIrp(irp);
}

NTSTATUS NTAPI BridgeCreate(PDEVICE_OBJECT device, PIRP irp) {
    PFILE_OBJECT file = IoGetCurrentIrpStackLocation(irp)->FileObject;
    const NTSTATUS status = BridgeOf(device->DriverObject)->create(device, irp);
    if (file != NULL) Remember(file, device, status == STATUS_PENDING ? STATUS_SUCCESS : status);
    return status;
}

NTSTATUS NTAPI BridgeClose(PDEVICE_OBJECT device, PIRP irp) {
    PFILE_OBJECT file = IoGetCurrentIrpStackLocation(irp)->FileObject;
    NTSTATUS created;
    const bool known = CreatedWith(file, created);
    if (known && !NT_SUCCESS(created)) {
        Forget(file);
        return Complete(irp, STATUS_SUCCESS, 0);
    }
    if (known) SendCleanup(device, file);
    const NTSTATUS status = BridgeOf(device->DriverObject)->close(device, irp);
    if (known) {
        Forget(file);
        KeSetEvent(&Gaps->fileClosed, IO_NO_INCREMENT, FALSE);
    }
    return status;
}

NTSTATUS NTAPI BridgeControl(PDEVICE_OBJECT device, PIRP irp) {
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    NTSTATUS created;
    const bool known = CreatedWith(stack->FileObject, created);
    if (stack->Parameters.DeviceIoControl.IoControlCode == IOCTL_QVBUS_CREATE_STATUS) {
        if (stack->Parameters.DeviceIoControl.OutputBufferLength < sizeof created) {
            return Complete(irp, STATUS_BUFFER_TOO_SMALL, 0);
        }
        RtlCopyMemory(irp->AssociatedIrp.SystemBuffer, &created, sizeof created);
        return Complete(irp, STATUS_SUCCESS, sizeof created);
    }
    if (known && !NT_SUCCESS(created)) return Complete(irp, STATUS_INVALID_HANDLE, 0);
    return BridgeOf(device->DriverObject)->control(device, irp);
}

// Waits until no file object the driver opened on the device is left.
void WaitForLastClose(PDEVICE_OBJECT device) {
    for (;;) {
        bool open = false;
        KIRQL irql;
        KeAcquireSpinLock(&Gaps->fileLock, &irql);
        KeClearEvent(&Gaps->fileClosed);
        for (const KnownFile& entry : Gaps->files) {
            open = open || (entry.file != NULL && entry.device == device && NT_SUCCESS(entry.created));
        }
        KeReleaseSpinLock(&Gaps->fileLock, irql);
        if (!open) return;
        KeWaitForSingleObject(&Gaps->fileClosed, Executive, KernelMode, FALSE, NULL);
    }
}

NTSTATUS NTAPI BridgePnp(PDEVICE_OBJECT device, PIRP irp) {
    if (IoGetCurrentIrpStackLocation(irp)->MinorFunction == IRP_MN_REMOVE_DEVICE) WaitForLastClose(device);
    return BridgeOf(device->DriverObject)->pnp(device, irp);
}

void BridgeDispatch(PDRIVER_OBJECT driver) {
    KIRQL irql;
    KeAcquireSpinLock(&Gaps->fileLock, &irql);
    BridgedDriver* slot = BridgeOf(driver);
    const bool already = slot != NULL;
    for (ULONG i = 0; slot == NULL && i < kMaximumDrivers; ++i) {
        if (Gaps->drivers[i].driver == NULL) slot = &Gaps->drivers[i];
    }
    if (slot != NULL && !already) {
        *slot = {driver, driver->MajorFunction[IRP_MJ_CREATE], driver->MajorFunction[IRP_MJ_CLOSE],
                 driver->MajorFunction[IRP_MJ_DEVICE_CONTROL], driver->MajorFunction[IRP_MJ_PNP]};
    }
    KeReleaseSpinLock(&Gaps->fileLock, irql);
    if (slot == NULL || already) return;
    driver->MajorFunction[IRP_MJ_CREATE] = BridgeCreate;
    driver->MajorFunction[IRP_MJ_CLOSE] = BridgeClose;
    driver->MajorFunction[IRP_MJ_DEVICE_CONTROL] = BridgeControl;
    driver->MajorFunction[IRP_MJ_PNP] = BridgePnp;
}

// ---------------------------------------------------------------------------
// 6. Kernel mutexes

// A kernel mutex, not one of Wine's kernel objects (thread objects, whose
// Type differs, and objects it made from handles, marked in Blink).
bool IsMutex(PVOID object) {
    const auto* header = static_cast<const DISPATCHER_HEADER*>(object);
    return header->Type == kMutantObject && reinterpret_cast<ULONG_PTR>(header->WaitListHead.Blink) != kWineKernelObject;
}

bool TryAcquire(PKMUTEX mutex) {
    const PKTHREAD me = KeGetCurrentThread();
    KIRQL irql;
    KeAcquireSpinLock(&Gaps->mutexLock, &irql);
    const bool free = mutex->Header.SignalState > 0;
    const bool mine = free || mutex->OwnerThread == reinterpret_cast<struct _KTHREAD*>(me);
    if (mine) {
        --mutex->Header.SignalState;
        mutex->OwnerThread = reinterpret_cast<struct _KTHREAD*>(me);
    }
    KeReleaseSpinLock(&Gaps->mutexLock, irql);
    return mine;
}

} // namespace

VOID NTAPI StandInKeInitializeMutex(PRKMUTEX Mutex, ULONG Level) {
    UNREFERENCED_PARAMETER(Level);
    RtlZeroMemory(Mutex, sizeof(KMUTEX));
    Mutex->Header.Type = kMutantObject;
    Mutex->Header.Size = sizeof(KMUTEX) / sizeof(LONG);
    Mutex->Header.SignalState = 1;
}

LONG NTAPI StandInKeReleaseMutex(PRKMUTEX Mutex, BOOLEAN Wait) {
    UNREFERENCED_PARAMETER(Wait);
    KIRQL irql;
    KeAcquireSpinLock(&Gaps->mutexLock, &irql);
    const LONG previous = Mutex->Header.SignalState;
    if (previous < 1 && ++Mutex->Header.SignalState == 1) Mutex->OwnerThread = NULL;
    KeReleaseSpinLock(&Gaps->mutexLock, irql);
    return previous;
}

NTSTATUS NTAPI StandInKeWaitForSingleObject(PVOID Object, KWAIT_REASON WaitReason, KPROCESSOR_MODE WaitMode,
                                            BOOLEAN Alertable, PLARGE_INTEGER Timeout) {
    if (!IsMutex(Object)) return KeWaitForSingleObject(Object, WaitReason, WaitMode, Alertable, Timeout);
    auto* mutex = static_cast<PRKMUTEX>(Object);
    // A relative time-out counts from now; an absolute one is system time.
    LARGE_INTEGER deadline{};
    if (Timeout != NULL) {
        KeQuerySystemTime(&deadline);
        deadline.QuadPart = Timeout->QuadPart < 0 ? deadline.QuadPart - Timeout->QuadPart : Timeout->QuadPart;
    }
    LARGE_INTEGER retry;
    retry.QuadPart = kMutexRetry;
    while (!TryAcquire(mutex)) {
        if (Timeout != NULL) {
            LARGE_INTEGER now;
            KeQuerySystemTime(&now);
            if (now.QuadPart >= deadline.QuadPart) return STATUS_TIMEOUT;
        }
        KeDelayExecutionThread(KernelMode, FALSE, &retry);
    }
    return STATUS_SUCCESS;
}

namespace {

void BindMutexes(PVOID image) {
    QvRebindImport(image, "ntoskrnl.exe", "KeInitializeMutex", reinterpret_cast<PVOID>(&StandInKeInitializeMutex));
    QvRebindImport(image, "ntoskrnl.exe", "KeReleaseMutex", reinterpret_cast<PVOID>(&StandInKeReleaseMutex));
    QvRebindImport(image, "ntoskrnl.exe", "KeWaitForSingleObject", reinterpret_cast<PVOID>(&StandInKeWaitForSingleObject));
}

} // namespace

NTSTATUS StartWineGaps() {
    Gaps = static_cast<WineGaps*>(ExAllocatePoolWithTag(NonPagedPool, sizeof(WineGaps), kTag));
    if (Gaps == NULL) return STATUS_INSUFFICIENT_RESOURCES;
    RtlZeroMemory(Gaps, sizeof(WineGaps));
    KeInitializeSpinLock(&Gaps->timerLock);
    KeInitializeSpinLock(&Gaps->fileLock);
    KeInitializeSpinLock(&Gaps->mutexLock);
    KeInitializeEvent(&Gaps->stopTicking, NotificationEvent, FALSE);
    KeInitializeEvent(&Gaps->fileClosed, NotificationEvent, FALSE);
    HANDLE thread;
    const NTSTATUS status = PsCreateSystemThread(&thread, THREAD_ALL_ACCESS, NULL, NULL, NULL, TickTimers, NULL);
    if (!NT_SUCCESS(status)) {
        ExFreePoolWithTag(Gaps, kTag);
        Gaps = NULL;
        return status;
    }
    ObReferenceObjectByHandle(thread, THREAD_ALL_ACCESS, NULL, KernelMode, &Gaps->ticker, NULL);
    ZwClose(thread);
    return STATUS_SUCCESS;
}

// The bus unloads only when Wine stops its host process, after every device
// is removed; the driver's dispatch table is left as it is, since the driver
// may be gone already.
void StopWineGaps() {
    if (Gaps == NULL) return;
    KeSetEvent(&Gaps->stopTicking, IO_NO_INCREMENT, FALSE);
    if (Gaps->ticker != NULL) {
        KeWaitForSingleObject(Gaps->ticker, Executive, KernelMode, FALSE, NULL);
        ObDereferenceObject(Gaps->ticker);
    }
    ExFreePoolWithTag(Gaps, kTag);
    Gaps = NULL;
}

void BridgeFunctionDriver(PDEVICE_OBJECT pdo) {
    PDEVICE_OBJECT above = pdo->AttachedDevice;
    if (Gaps == NULL || above == NULL || above->DriverObject == NULL || above->DriverObject->DriverStart == NULL) return;
    PVOID image = above->DriverObject->DriverStart;
    UNICODE_STRING acquire = Text(L"KeAcquireSpinLockAtDpcLevel");
    UNICODE_STRING release = Text(L"KeReleaseSpinLockFromDpcLevel");
    WineAcquireAtDpcLevel = reinterpret_cast<SpinLockRoutine>(MmGetSystemRoutineAddress(&acquire));
    WineReleaseFromDpcLevel = reinterpret_cast<SpinLockRoutine>(MmGetSystemRoutineAddress(&release));
    if (WineAcquireAtDpcLevel != NULL && WineReleaseFromDpcLevel != NULL) {
        QvRebindImport(image, "ntoskrnl.exe", "KefAcquireSpinLockAtDpcLevel", reinterpret_cast<PVOID>(&ForwardAcquireAtDpcLevel));
        QvRebindImport(image, "ntoskrnl.exe", "KefReleaseSpinLockFromDpcLevel", reinterpret_cast<PVOID>(&ForwardReleaseFromDpcLevel));
    }
    QvRebindImport(image, "ntoskrnl.exe", "IoInitializeTimer", reinterpret_cast<PVOID>(&StandInIoInitializeTimer));
    QvRebindImport(image, "ntoskrnl.exe", "IoStartTimer", reinterpret_cast<PVOID>(&StandInIoStartTimer));
    QvRebindImport(image, "ntoskrnl.exe", "IoStopTimer", reinterpret_cast<PVOID>(&StandInIoStopTimer));
    QvRebindImport(image, "ntoskrnl.exe", "IoDeleteDevice", reinterpret_cast<PVOID>(&StandInIoDeleteDevice));
    BindMutexes(image);
    // The smart card library the driver imports from, found by one of its
    // routines: its mutexes are waited for by the driver's threads too.
    if (PVOID library = QvImageContaining(QvImportedRoutine(image, "smclib.sys", "SmartcardDeviceControl"))) {
        BindMutexes(library);
    }
    BridgeDispatch(above->DriverObject);
}
