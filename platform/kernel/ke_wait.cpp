// KeWaitForMultipleObjects: a wait for any or for all of several dispatcher
// objects, with the thread's own wait blocks for up to THREAD_WAIT_OBJECTS
// objects and the caller's array beyond that.
#include <string>
#include <vector>

#include "kernel/dispatcher.h"
#include "kernel/placement_rules.h"
#include "kernel/scheduler.h"

using namespace qv;

extern "C" {

NTSTATUS NTAPI KeWaitForMultipleObjects(ULONG Count, PVOID Object[], WAIT_TYPE WaitType, KWAIT_REASON WaitReason,
                                        KPROCESSOR_MODE WaitMode, BOOLEAN Alertable, PLARGE_INTEGER Timeout,
                                        PKWAIT_BLOCK WaitBlockArray) {
    QV_CHECK_CALLER();
    UNREFERENCED_PARAMETER(WaitReason);
    UNREFERENCED_PARAMETER(WaitMode);
    UNREFERENCED_PARAMETER(Alertable);
    BeginWait(Object, Timeout, "KeWaitForMultipleObjects");
    if (Count > MAXIMUM_WAIT_OBJECTS || (Count > THREAD_WAIT_OBJECTS && WaitBlockArray == nullptr)) {
        K().Violation("wait-objects-exceeded", bugcode::MAXIMUM_WAIT_OBJECTS_EXCEEDED, Count,
                      reinterpret_cast<ULONG_PTR>(WaitBlockArray), 0, 0,
                      "KeWaitForMultipleObjects for " + std::to_string(Count) + " objects" +
                          (WaitBlockArray == nullptr ? " without a wait block array" : ""));
        return STATUS_INVALID_PARAMETER;
    }
    std::vector<DISPATCHER_HEADER*> objects(Count);
    for (ULONG i = 0; i < Count; ++i) {
        objects[i] = static_cast<DISPATCHER_HEADER*>(Object[i]);
        CheckInitialisedObject(*objects[i], "KeWaitForMultipleObjects");
    }
    SwitchPoint();
    SimThread* me = K().Sched().Current();
    std::vector<KWAIT_BLOCK> hostBlocks(Count);
    PKWAIT_BLOCK blocks = WaitBlockArray != nullptr ? WaitBlockArray
                          : me != nullptr           ? me->kernelState.ownBlocks
                                                    : hostBlocks.data();
    return WaitForObjects(Count, objects.data(), WaitType, blocks, Timeout);
}

} // extern "C"
