// What the kernel keeps per thread beyond scheduling: kernel APCs waiting to
// run, the wait blocks of a wait on dispatcher objects, the mutexes the
// thread owns, and the raised IRQL that KeSetEvent's Wait TRUE leaves behind.
// Kept apart from the scheduler so that its internals can change freely.
#pragma once

#include <deque>
#include <functional>
#include <vector>

#include "qvwdk.h"

namespace qv {

class SimThread;

// The status of a wait that was interrupted to run kernel APCs; the wait
// routines then run the APCs and wait again (STATUS_KERNEL_APC on Windows).
inline constexpr NTSTATUS kStatusKernelApc = 0x00000100;

struct ThreadKernelState {
    // Kernel APCs queued to the thread. They run on the thread, in order,
    // whenever it runs below APC_LEVEL, and interrupt a wait below APC_LEVEL.
    std::deque<std::function<void()>> kernelApcs;
    bool inApc = false;

    // The wait in progress on dispatcher objects: the blocks linked into the
    // objects' wait lists (the thread's own, or the caller's array).
    KWAIT_BLOCK ownBlocks[THREAD_WAIT_OBJECTS]{};
    PKWAIT_BLOCK waitBlocks = nullptr;
    ULONG waitCount = 0;

    // Mutexes the thread owns, in the order it took them.
    std::vector<PRKMUTEX> ownedMutexes;

    // KeSetEvent or KeReleaseMutex with Wait TRUE returned at DISPATCH_LEVEL;
    // the wait that must follow lowers IRQL back to this.
    bool waitNext = false;
    KIRQL waitNextIrql = PASSIVE_LEVEL;
};

// Queues fn as a kernel APC to thread; when thread is the caller and may take
// it now, it runs at once.
void QueueKernelApc(SimThread& thread, std::function<void()> fn);
// Runs the caller's queued kernel APCs if it is below APC_LEVEL.
void DeliverKernelApcs(SimThread& thread);
// What the kernel does on a thread before it ends: its I/O is cancelled and
// waited for, and a mutex it still owns is a bug check.
void RunThreadExit(SimThread& thread);

} // namespace qv
