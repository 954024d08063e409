// Shows the race detector at work on the emulated kernel: built only in the
// ThreadSanitizer build, run by CTest.
//
//   qvtsanprobe ordered   counters that a DPC and a thread share under a spin
//                         lock, ordered by an event, or by a thread's start and
//                         end: ThreadSanitizer must stay quiet.
//   qvtsanprobe racy      the same, plus one counter that a DPC and a thread
//                         update with nothing between them: exactly that one
//                         must be reported.
#include <cstdio>
#include <string_view>

#include "machine/machine.h"
#include "kernel/scheduler.h"

namespace {

struct Shared {
    int value = 0;
    KSPIN_LOCK lock = 0;
    KEVENT done;
};

// The "driver" routines: plain memory accesses, instrumented.
__attribute__((noinline)) void RacyDriverCounter(Shared& shared) { shared.value = shared.value + 1; }
__attribute__((noinline)) void OrderedDriverCounter(Shared& shared) { shared.value = shared.value + 1; }

void QueueDpc(Shared& shared, bool locked, bool racy) {
    qv::K().Sched().QueueDpc("counter", [&shared, locked, racy] {
        if (locked) KeAcquireSpinLockAtDpcLevel(&shared.lock);
        racy ? RacyDriverCounter(shared) : OrderedDriverCounter(shared);
        if (locked) KeReleaseSpinLockFromDpcLevel(&shared.lock);
        KeSetEvent(&shared.done, IO_NO_INCREMENT, FALSE);
    });
}

void Wait(KEVENT& event) { KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr); }

// A DPC and the thread both update under the spin lock.
void UnderSpinLock() {
    Shared shared;
    KeInitializeEvent(&shared.done, NotificationEvent, FALSE);
    QueueDpc(shared, true, false);
    KIRQL old;
    KeAcquireSpinLock(&shared.lock, &old);
    OrderedDriverCounter(shared);
    KeReleaseSpinLock(&shared.lock, old);
    Wait(shared.done);
}

// The thread updates before queuing the DPC and after its event.
void OrderedByEvent() {
    Shared shared;
    KeInitializeEvent(&shared.done, NotificationEvent, FALSE);
    OrderedDriverCounter(shared);
    QueueDpc(shared, false, false);
    Wait(shared.done);
    OrderedDriverCounter(shared);
}

// A system thread updates between its creator's update and the creator's
// wait for its end.
void OrderedByThreadStartAndEnd() {
    Shared shared;
    OrderedDriverCounter(shared);
    HANDLE handle = nullptr;
    PsCreateSystemThread(&handle, THREAD_ALL_ACCESS, nullptr, nullptr, nullptr,
                         [](PVOID context) { OrderedDriverCounter(*static_cast<Shared*>(context)); }, &shared);
    PVOID thread = nullptr;
    ObReferenceObjectByHandle(handle, SYNCHRONIZE, nullptr, KernelMode, &thread, nullptr);
    ZwClose(handle);
    KeWaitForSingleObject(thread, Executive, KernelMode, FALSE, nullptr);
    ObDereferenceObject(thread);
    OrderedDriverCounter(shared);
}

// The bug: the DPC and the thread update with nothing ordering them.
void Racy() {
    Shared shared;
    KeInitializeEvent(&shared.done, NotificationEvent, FALSE);
    QueueDpc(shared, false, true);
    RacyDriverCounter(shared);
    Wait(shared.done);
}

} // namespace

int main(int argc, char** argv) {
    const std::string_view mode = argc > 1 ? argv[1] : "";
    if (mode != "ordered" && mode != "racy") {
        std::fprintf(stderr, "usage: qvtsanprobe ordered|racy\n");
        return 2;
    }
    qv::Machine machine;
    const qv::RunResult result = machine.RunThread("probe", [mode] {
        UnderSpinLock();
        OrderedByEvent();
        OrderedByThreadStartAndEnd();
        if (mode == "racy") Racy();
    });
    std::printf("probe %.*s: %s\n", static_cast<int>(mode.size()), mode.data(),
                std::string(qv::OutcomeName(result.outcome)).c_str());
    return result.Ok() ? 0 : 1;
}
