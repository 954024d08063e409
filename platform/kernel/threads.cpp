// System threads, thread objects and their handles, and ZwClose for every
// handle of the object manager.
#include <string>

#include "kernel/object_faults.h"
#include "kernel/placement_rules.h"
#include "kernel/pool.h"
#include "kernel/scheduler.h"

struct _OBJECT_TYPE {
    const char* Name;
};

namespace {
// The object type of threads, exported by the kernel as PsThreadType. It is
// constant data, shared by every emulated kernel.
_OBJECT_TYPE threadObjectType{"Thread"};
POBJECT_TYPE threadObjectTypePointer = &threadObjectType;
} // namespace

extern "C" {
POBJECT_TYPE* PsThreadType = &threadObjectTypePointer;
}

using namespace qv;

namespace {

// Thread objects are the only objects with references the emulation counts;
// any other pointer handed to ObReferenceObject is accepted as it is.
SimThread* ThreadFromObject(PVOID object) { return K().Sched().FromObjectPointer(object); }

void ReleaseReference(SimThread& thread, PVOID object, const char* routine) {
    if (thread.references <= 0) {
        K().Violation("object-over-dereferenced", bugcode::REFERENCE_BY_POINTER,
                      reinterpret_cast<ULONG_PTR>(*PsThreadType), reinterpret_cast<ULONG_PTR>(object), 0, 0,
                      std::string(routine) + " on thread object '" + thread.Name() + "' that holds no reference");
    }
    thread.references -= 1;
    if (thread.references == 0) K().Sched().Unreferenced(thread);
}

// A thread handle holds a reference to its thread object; closing the
// handle gives it back.
void CloseThreadHandle(void* object) {
    auto& thread = *static_cast<SimThread*>(object);
    ReleaseReference(thread, thread.Object(), "ZwClose");
}

constexpr HandleType kThreadHandle{"Thread", &CloseThreadHandle};

} // namespace

extern "C" {

NTSTATUS NTAPI PsCreateSystemThread(PHANDLE ThreadHandle, ULONG DesiredAccess, POBJECT_ATTRIBUTES ObjectAttributes,
                                    HANDLE ProcessHandle, PCLIENT_ID ClientId, PKSTART_ROUTINE StartRoutine,
                                    PVOID StartContext) {
    QV_CHECK_CALLER();
    UNREFERENCED_PARAMETER(DesiredAccess);
    UNREFERENCED_PARAMETER(ObjectAttributes);
    UNREFERENCED_PARAMETER(ProcessHandle);
    const KIRQL irql = CurrentIrql();
    if (irql != PASSIVE_LEVEL) {
        K().Violation("thread-create-irql", bugcode::IRQL_NOT_LESS_OR_EQUAL, reinterpret_cast<ULONG_PTR>(StartRoutine),
                      irql, 0, 0, "PsCreateSystemThread above PASSIVE_LEVEL");
    }
    SwitchPoint();
    Scheduler& sched = K().Sched();
    const unsigned number = sched.CreatedOfKind(ThreadKind::System);
    SimThread& thread = sched.Create("system thread " + std::to_string(number + 1), ThreadKind::System,
                                     [StartRoutine, StartContext] {
                                         CheckDriverRoutine(StartRoutine, "a system thread's start routine");
                                         StartRoutine(StartContext);
                                     });
    thread.references = 1; // the handle
    *ThreadHandle = K().Handles().Insert(kThreadHandle, &thread);
    if (ClientId != nullptr) {
        ClientId->UniqueProcess = reinterpret_cast<HANDLE>(static_cast<ULONG_PTR>(4));
        ClientId->UniqueThread = reinterpret_cast<HANDLE>(static_cast<ULONG_PTR>(thread.Id()));
    }
    return STATUS_SUCCESS;
}

NTSTATUS NTAPI PsTerminateSystemThread(NTSTATUS ExitStatus) {
    QV_CHECK_CALLER();
    UNREFERENCED_PARAMETER(ExitStatus);
    SimThread* me = K().Sched().Current();
    if (me == nullptr || me->Kind() != ThreadKind::System) {
        K().Fatal("terminate-outside-system-thread", bugcode::DRIVER_VERIFIER_DETECTED_VIOLATION,
                  violation::TerminateNonSystemThread, 0, 0, 0,
                  "PsTerminateSystemThread called outside a system thread");
    }
    K().Sched().ExitCurrent();
}

PKTHREAD NTAPI KeGetCurrentThread(void) {
    QV_CHECK_CALLER();
    return K().Sched().CurrentObject();
}

NTSTATUS NTAPI ObReferenceObjectByHandle(HANDLE Handle, ACCESS_MASK DesiredAccess, POBJECT_TYPE ObjectType,
                                         KPROCESSOR_MODE AccessMode, PVOID* Object,
                                         POBJECT_HANDLE_INFORMATION HandleInformation) {
    QV_CHECK_CALLER();
    UNREFERENCED_PARAMETER(DesiredAccess);
    UNREFERENCED_PARAMETER(AccessMode);
    SwitchPoint();
    if (const auto failure = ObjectManagerFaults().TakeReferenceFailure()) return *failure;
    auto* thread = static_cast<SimThread*>(K().Handles().Find(Handle, kThreadHandle));
    if (thread == nullptr) return STATUS_INVALID_HANDLE;
    if (ObjectType != nullptr && ObjectType != *PsThreadType) return STATUS_OBJECT_TYPE_MISMATCH;
    thread->references += 1;
    *Object = thread->Object();
    if (HandleInformation != nullptr) {
        HandleInformation->HandleAttributes = 0;
        HandleInformation->GrantedAccess = THREAD_ALL_ACCESS;
    }
    return STATUS_SUCCESS;
}

LONG_PTR NTAPI ObfReferenceObject(PVOID Object) {
    SimThread* thread = ThreadFromObject(Object);
    if (thread == nullptr) return 1;
    return thread->references += 1;
}

LONG_PTR NTAPI ObfDereferenceObject(PVOID Object) {
    QV_CHECK_CALLER();
    SimThread* thread = ThreadFromObject(Object);
    if (thread == nullptr) return 0;
    ReleaseReference(*thread, Object, "ObDereferenceObject");
    return thread->references;
}

NTSTATUS NTAPI ZwClose(HANDLE Handle) {
    QV_CHECK_CALLER();
    const KIRQL irql = CurrentIrql();
    if (irql != PASSIVE_LEVEL) {
        K().Violation("zwclose-irql", bugcode::IRQL_NOT_LESS_OR_EQUAL, reinterpret_cast<ULONG_PTR>(Handle), irql, 0, 0,
                      "ZwClose above PASSIVE_LEVEL");
    }
    // The handle's type knows what closing it means.
    return K().Handles().Close(Handle) ? STATUS_SUCCESS : STATUS_INVALID_HANDLE;
}

} // extern "C"
