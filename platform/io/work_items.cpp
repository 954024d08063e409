// Work items: a driver's routine run later by a system worker thread at
// PASSIVE_LEVEL. While an item is queued (until its routine returns) it holds
// a reference to its device object, so that the device, and with it the
// driver, outlive the routine even if the device is deleted meanwhile.
#include <string>

#include "io/io_state.h"
#include "kernel/dispatcher.h"
#include "kernel/placement_rules.h"
#include "kernel/pool.h"
#include "kernel/race_annotations.h"
#include "kernel/scheduler.h"

// The object behind PIO_WORKITEM. Drivers only ever hold the pointer.
struct _IO_WORKITEM {
    PDEVICE_OBJECT DeviceObject;
    PIO_WORKITEM_ROUTINE Routine;
    PVOID Context;
    BOOLEAN Queued;
};

namespace qv::io {

namespace {

// Work items come from the pool, so that one the driver never frees shows
// in the audit at unload like any other leak.
constexpr ULONG kWorkItemTag = QV_POOL_TAG('I', 'o', 'W', 'k');
// Windows runs work items on several threads; two are enough to let two
// items run at once.
constexpr int kWorkerThreads = 2;

void ReleaseDevice(PDEVICE_OBJECT device) {
    DeviceTable& devices = Io().Internals().devices;
    if (DeviceRecord* record = devices.Find(device)) {
        record->references -= 1;
        devices.FreeIfUnused(device);
    }
}

void RunItem(PIO_WORKITEM item) {
    const PIO_WORKITEM_ROUTINE routine = item->Routine;
    const PVOID context = item->Context;
    const PDEVICE_OBJECT device = item->DeviceObject;
    // Dequeued before it runs: the routine may queue its item again or free it.
    item->Queued = FALSE;
    CheckDriverRoutine(routine, "a work item routine");
    routine(device, context);
    SimThread& me = *K().Sched().Current();
    const KIRQL irql = me.Irql();
    if (irql != PASSIVE_LEVEL) {
        K().Violation("work-item-returned-at-raised-irql", bugcode::WORKER_THREAD_RETURNED_AT_BAD_IRQL,
                      reinterpret_cast<ULONG_PTR>(routine), irql, Ptr(context), Ptr(item),
                      "a work item routine returned at IRQL " + std::to_string(irql));
        K().Sched().SetIrql(PASSIVE_LEVEL);
    }
    if (!me.kernelState.ownedMutexes.empty()) {
        K().Violation("work-item-returned-owning-mutex", bugcode::SYSTEM_EXIT_OWNED_MUTEX,
                      reinterpret_cast<ULONG_PTR>(routine), Ptr(context), Ptr(item), 0,
                      "a work item routine returned while it owns a mutex");
        me.kernelState.ownedMutexes.clear();
    }
    ReleaseDevice(device);
}

void WorkerLoop() {
    WorkItemQueue& queue = Io().Internals().work;
    for (;;) {
        while (queue.items.empty()) KeWaitForSingleObject(&queue.ready, Executive, KernelMode, FALSE, nullptr);
        PIO_WORKITEM item = queue.items.front();
        queue.items.pop_front();
        // What the queuing thread wrote before it queued the item happens
        // before the routine, also when the worker found the item without
        // waiting for the queue's event (a worker just started, or one back
        // from the previous item).
        race::Acquire(item);
        RunItem(item);
    }
}

void StartWorkers(WorkItemQueue& queue) {
    if (queue.started) return;
    queue.started = true;
    KeInitializeEvent(&queue.ready, SynchronizationEvent, FALSE);
    for (int i = 1; i <= kWorkerThreads; ++i)
        K().Sched().Create("worker " + std::to_string(i), ThreadKind::Worker, &WorkerLoop);
}

} // namespace
} // namespace qv::io

using namespace qv;
using namespace qv::io;

extern "C" {

PIO_WORKITEM NTAPI IoAllocateWorkItem(PDEVICE_OBJECT DeviceObject) {
    QV_CHECK_CALLER();
    RequireIrqlAtMost(DISPATCH_LEVEL, "IoAllocateWorkItem");
    Io().Internals().devices.Require(DeviceObject, "IoAllocateWorkItem");
    auto* item = static_cast<PIO_WORKITEM>(
        K().PoolAllocator().Allocate(NonPagedPool, sizeof(IO_WORKITEM), kWorkItemTag, __FILE__, __LINE__));
    if (item == nullptr) return nullptr;
    item->DeviceObject = DeviceObject;
    item->Routine = nullptr;
    item->Context = nullptr;
    item->Queued = FALSE;
    return item;
}

void NTAPI IoFreeWorkItem(PIO_WORKITEM IoWorkItem) {
    QV_CHECK_CALLER();
    RequireIrqlAtMost(DISPATCH_LEVEL, "IoFreeWorkItem");
    if (IoWorkItem->Queued) {
        K().Violation("work-item-freed-while-queued", bugcode::DRIVER_VERIFIER_DETECTED_VIOLATION,
                      violation::WorkItemFreedWhileQueued, Ptr(IoWorkItem),
                      reinterpret_cast<ULONG_PTR>(IoWorkItem->Routine), 0,
                      "IoFreeWorkItem of a work item that is still queued");
        return;
    }
    K().PoolAllocator().Free(IoWorkItem, kWorkItemTag);
}

void NTAPI IoQueueWorkItem(PIO_WORKITEM IoWorkItem, PIO_WORKITEM_ROUTINE WorkerRoutine, WORK_QUEUE_TYPE QueueType,
                           PVOID Context) {
    QV_CHECK_CALLER();
    UNREFERENCED_PARAMETER(QueueType);
    RequireIrqlAtMost(DISPATCH_LEVEL, "IoQueueWorkItem");
    IoManager::State& io = Io().Internals();
    if (IoWorkItem->Queued) {
        K().Violation("work-item-queued-twice", bugcode::DRIVER_VERIFIER_DETECTED_VIOLATION,
                      violation::WorkItemQueuedTwice, Ptr(IoWorkItem), reinterpret_cast<ULONG_PTR>(WorkerRoutine), 0,
                      "IoQueueWorkItem of a work item that is queued already");
        return;
    }
    DeviceRecord& device = io.devices.Require(IoWorkItem->DeviceObject, "IoQueueWorkItem");
    device.references += 1;
    IoWorkItem->Routine = WorkerRoutine;
    IoWorkItem->Context = Context;
    IoWorkItem->Queued = TRUE;
    StartWorkers(io.work);
    race::Release(IoWorkItem);
    io.work.items.push_back(IoWorkItem);
    KeSetEvent(&io.work.ready, IO_NO_INCREMENT, FALSE);
}

} // extern "C"
