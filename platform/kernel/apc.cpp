// Kernel APCs and the kernel's part of a thread's end.
//
// An APC is work that must run on one particular thread: the I/O manager
// finishes a request built by IoBuildDeviceIoControlRequest this way, on the
// thread that asked for it, because the caller's buffers, status block and
// event belong to that thread. It runs only while the thread is below
// APC_LEVEL: a thread that waits at APC_LEVEL for such a request waits for
// ever, as it would on Windows.
#include <string>

#include "kernel/kernel.h"
#include "kernel/race_annotations.h"
#include "kernel/scheduler.h"

namespace qv {

void QueueKernelApc(SimThread& thread, std::function<void()> fn) {
    // What the queuer did (completing the request, say) happens before the
    // APC runs on its thread.
    race::Release(&thread.kernelState);
    thread.kernelState.kernelApcs.push_back(std::move(fn));
    Scheduler& sched = K().Sched();
    if (&thread == sched.Current()) {
        DeliverKernelApcs(thread);
        return;
    }
    // A wait below APC_LEVEL is interrupted for the APC and then resumed.
    if (thread.GetState() == SimThread::State::Waiting && thread.Irql() < APC_LEVEL &&
        thread.Kind() != ThreadKind::Dpc) {
        sched.Wake(thread, kStatusKernelApc);
    }
}

void DeliverKernelApcs(SimThread& thread) {
    ThreadKernelState& state = thread.kernelState;
    Scheduler& sched = K().Sched();
    if (&thread != sched.Current() || state.inApc || thread.Irql() >= APC_LEVEL || K().BugChecked()) return;
    state.inApc = true;
    while (!state.kernelApcs.empty()) {
        race::Acquire(&state);
        std::function<void()> apc = std::move(state.kernelApcs.front());
        state.kernelApcs.pop_front();
        // The I/O manager's completion APC is a special kernel APC: it runs
        // at APC_LEVEL.
        sched.SetIrql(APC_LEVEL);
        apc();
        sched.SetIrql(PASSIVE_LEVEL);
    }
    state.inApc = false;
}

void RunThreadExit(SimThread& thread) {
    ThreadKernelState& state = thread.kernelState;
    if (!state.ownedMutexes.empty()) {
        PRKMUTEX mutex = state.ownedMutexes.front();
        K().Violation("mutex-held-at-thread-exit", bugcode::THREAD_TERMINATE_HELD_MUTEX,
                      reinterpret_cast<ULONG_PTR>(thread.Object()), reinterpret_cast<ULONG_PTR>(mutex), 0, 0,
                      "thread '" + thread.Name() + "' ended while it owns " +
                          std::to_string(state.ownedMutexes.size()) + " mutex(es)");
    }
    // The I/O manager cancels the requests the thread leaves behind.
    K().RunThreadExitRoutine(thread);
    DeliverKernelApcs(thread);
}

} // namespace qv
