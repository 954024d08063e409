// Bug check codes and the record of a bug check. Codes and parameter
// meanings are those of Windows where one exists; the few checks that have
// no Windows counterpart use DRIVER_VERIFIER_DETECTED_VIOLATION with a
// parameter 1 in the 0x51xx range, named below.
#pragma once

#include <cstdint>
#include <stdexcept>
#include <string>
#include <vector>

#include "qvwdk.h"

namespace qv {

namespace bugcode {
inline constexpr ULONG IRQL_NOT_GREATER_OR_EQUAL = 0x09;
inline constexpr ULONG IRQL_NOT_LESS_OR_EQUAL = 0x0A;
inline constexpr ULONG MAXIMUM_WAIT_OBJECTS_EXCEEDED = 0x0C;
inline constexpr ULONG SPIN_LOCK_ALREADY_OWNED = 0x0F;
inline constexpr ULONG SPIN_LOCK_NOT_OWNED = 0x10;
inline constexpr ULONG THREAD_NOT_MUTEX_OWNER = 0x11;
inline constexpr ULONG KMODE_EXCEPTION_NOT_HANDLED = 0x1E;
inline constexpr ULONG REFERENCE_BY_POINTER = 0x18;
inline constexpr ULONG NO_MORE_IRP_STACK_LOCATIONS = 0x35;
inline constexpr ULONG SYSTEM_EXIT_OWNED_MUTEX = 0x39;
inline constexpr ULONG MULTIPLE_IRP_COMPLETE_REQUESTS = 0x44;
inline constexpr ULONG IRQL_GT_ZERO_AT_SYSTEM_SERVICE = 0x4A;
inline constexpr ULONG PAGE_FAULT_IN_NONPAGED_AREA = 0x50;
inline constexpr ULONG DRIVER_POWER_STATE_FAILURE = 0x9F;
inline constexpr ULONG SPECIAL_POOL_DETECTED_MEMORY_CORRUPTION = 0xC1;
inline constexpr ULONG BAD_POOL_CALLER = 0xC2;
inline constexpr ULONG DRIVER_VERIFIER_DETECTED_VIOLATION = 0xC4;
inline constexpr ULONG DRIVER_VERIFIER_IOMANAGER_VIOLATION = 0xC9;
inline constexpr ULONG DRIVER_UNLOADED_WITHOUT_CANCELLING_PENDING_OPERATIONS = 0xCE;
inline constexpr ULONG DRIVER_IRQL_NOT_LESS_OR_EQUAL = 0xD1;
inline constexpr ULONG WORKER_THREAD_RETURNED_AT_BAD_IRQL = 0xE1;
inline constexpr ULONG THREAD_TERMINATE_HELD_MUTEX = 0x4000008A;
} // namespace bugcode

// Parameter 1 values of the codes above.
namespace violation {
// DRIVER_VERIFIER_DETECTED_VIOLATION
inline constexpr ULONG_PTR ZeroByteAllocation = 0x00;
inline constexpr ULONG_PTR PagedAllocationAboveApc = 0x01;
inline constexpr ULONG_PTR NonPagedAllocationAboveDispatch = 0x02;
inline constexpr ULONG_PTR FreeOfUnknownAddress = 0x10;
inline constexpr ULONG_PTR PagedFreeAboveApc = 0x11;
inline constexpr ULONG_PTR FreeAboveDispatch = 0x12;
inline constexpr ULONG_PTR FreedPoolHoldsActiveTimer = 0x15;
inline constexpr ULONG_PTR RaiseIrqlToLower = 0x30;
inline constexpr ULONG_PTR LowerIrqlToHigher = 0x31;
inline constexpr ULONG_PTR PoolLeakOnUnload = 0x62;
inline constexpr ULONG_PTR SpinLockReleaseWrongIrql = 0x20015; // DDI compliance rule IrqlKeReleaseSpinLock
inline constexpr ULONG_PTR SetEventWaitAboveApc = 0x20016;     // DDI compliance rule IrqlKeSetEvent
// Checks of this emulation that Windows has no number for.
inline constexpr ULONG_PTR PendingReturnedWithoutMark = 0x5101;
inline constexpr ULONG_PTR IrpLeftAtDeviceDelete = 0x5102;
inline constexpr ULONG_PTR UninitialisedObject = 0x5103;
inline constexpr ULONG_PTR TerminateNonSystemThread = 0x5104;
inline constexpr ULONG_PTR NotALiveIrp = 0x5181;          // freed or bogus IRP handed to the I/O manager
inline constexpr ULONG_PTR NotALiveDevice = 0x5182;       // freed or bogus device, or deleted twice
inline constexpr ULONG_PTR TimerNotInitialized = 0x5183;  // IoStartTimer/IoStopTimer without IoInitializeTimer
inline constexpr ULONG_PTR DeletedWhileAttached = 0x5184; // deleting a device still attached to one below
inline constexpr ULONG_PTR NotALiveDriver = 0x5185;
inline constexpr ULONG_PTR PendingReturnedNotPropagated = 0x5105; // completion routine ignored PendingReturned
inline constexpr ULONG_PTR MarkedPendingReturnedOther = 0x5106;   // IoMarkIrpPending, then not STATUS_PENDING
inline constexpr ULONG_PTR CalledWithCancelRoutine = 0x5107;      // IoCallDriver with a cancel routine set
inline constexpr ULONG_PTR IrpFreedWhilePending = 0x5108;         // IoFreeIrp/IoReuseIrp of an IRP still below
inline constexpr ULONG_PTR CompletionRoutineChangedIrql = 0x5109;
inline constexpr ULONG_PTR InformationBeyondBuffer = 0x510A;      // buffered request: Information > output length
inline constexpr ULONG_PTR ReleaseMutexWaitAboveApc = 0x510B;
inline constexpr ULONG_PTR StopTimerInTimerRoutine = 0x510C;
inline constexpr ULONG_PTR WaitTrueNotFollowedByWait = 0x510D;    // KeSetEvent/KeReleaseMutex Wait TRUE, then no wait
inline constexpr ULONG_PTR RemoveLockReleasedNotHeld = 0x5110;
inline constexpr ULONG_PTR RemoveLockTagNotHeld = 0x5111;
inline constexpr ULONG_PTR RemoveLockWaitedTwice = 0x5112;
inline constexpr ULONG_PTR RemoveLockWaitWithoutHolding = 0x5113;
inline constexpr ULONG_PTR WorkItemQueuedTwice = 0x5120;
inline constexpr ULONG_PTR WorkItemFreedWhileQueued = 0x5121;
inline constexpr ULONG_PTR StallTooLong = 0x5130;                 // KeStallExecutionProcessor beyond 50 us
inline constexpr ULONG_PTR RemoveLeftDevice = 0x5140;             // a device still attached above the PDO after remove
inline constexpr ULONG_PTR RemoveFailed = 0x5141;                 // IRP_MN_REMOVE_DEVICE failed
inline constexpr ULONG_PTR PowerIrpSentWithIoCallDriver = 0x5150; // a power IRP sent without PoCallDriver
// DRIVER_POWER_STATE_FAILURE
inline constexpr ULONG_PTR PowerIrpWithoutStartNext = 0x500; // completed without PoStartNextPowerIrp
// BAD_POOL_CALLER
inline constexpr ULONG_PTR PoolFreedTwice = 0x07;
inline constexpr ULONG_PTR PoolFreedWithWrongTag = 0x0A;
// DRIVER_VERIFIER_IOMANAGER_VIOLATION
inline constexpr ULONG_PTR FreeOfNonIrp = 0x01;
inline constexpr ULONG_PTR FreeOfThreadedIrp = 0x02; // IoFreeIrp of an IRP still associated with a thread
inline constexpr ULONG_PTR IrqlChangedByDispatch = 0x05;
inline constexpr ULONG_PTR CompletedWithPending = 0x06;
inline constexpr ULONG_PTR CompletedWithCancelRoutine = 0x07;
inline constexpr ULONG_PTR TimerInitializedTwice = 0x0A;
inline constexpr ULONG_PTR CompletedAboveDispatch = 0x0E;
inline constexpr ULONG_PTR CallDriverAboveDispatch = 0x10;
// DRIVER_IRQL_NOT_LESS_OR_EQUAL and IRQL_NOT_LESS_OR_EQUAL: parameter 3, the
// access that faulted (bit 0 a write, bit 3 an instruction fetch)
inline constexpr ULONG_PTR FaultOnExecute = 0x08;
// PAGE_FAULT_IN_NONPAGED_AREA: parameter 2, the access (Windows 10 on x86
// and x64: 0 read, 2 write, 0x10 execute), and parameter 4, the kind of
// fault (0: the page table entry is marked free, as for discarded INIT)
inline constexpr ULONG_PTR NonPagedFaultOnExecute = 0x10;
inline constexpr ULONG_PTR NonPagedFaultFreedPte = 0x00;
} // namespace violation

// Parameter 3 of DRIVER_UNLOADED_WITHOUT_CANCELLING_PENDING_OPERATIONS: what
// the unloading driver left behind.
enum class Leftover : ULONG_PTR { Devices = 1, Irps = 2, Threads = 3 };

// Bug check code name, for reports ("MULTIPLE_IRP_COMPLETE_REQUESTS").
const char* BugCheckName(ULONG code);

struct BugCheckInfo {
    ULONG code = 0;
    ULONG_PTR parameters[4] = {};
    std::string what;   // one sentence on the violation
    std::string thread; // the simulated thread that ran into it
    std::uint64_t seed = 0;
    std::uint64_t time = 0; // virtual time, 100 ns units
    std::vector<std::string> recentIrps;

    std::string Report() const;
};

// Thrown when a bug check happens in host context (outside a simulated
// thread), where there is no scheduler to return to.
class BugCheckError : public std::runtime_error {
  public:
    explicit BugCheckError(BugCheckInfo info);
    const BugCheckInfo& Info() const { return info_; }

  private:
    BugCheckInfo info_;
};

} // namespace qv
