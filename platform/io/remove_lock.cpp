// The I/O remove lock: a count of the operations under way on a device, so
// that the remove request can wait for them to finish before the device
// goes. Like Driver Verifier, the emulation follows each acquisition by its
// tag and refuses a release that matches none, a second
// IoReleaseRemoveLockAndWait, and one by a caller that does not hold the lock.
#include <algorithm>
#include <string>

#include "io/io_state.h"
#include "kernel/placement_rules.h"
#include "kernel/scheduler.h"

namespace qv::io {

namespace {

std::vector<PVOID>& TagsOf(PIO_REMOVE_LOCK lock) { return Io().Internals().removeLockTags[lock]; }

// Takes one acquisition under tag off the lock's record; false if there is none.
bool DropTag(PIO_REMOVE_LOCK lock, PVOID tag) {
    std::vector<PVOID>& tags = TagsOf(lock);
    auto found = std::find(tags.begin(), tags.end(), tag);
    if (found == tags.end()) return false;
    tags.erase(found);
    return true;
}

void Release(PIO_REMOVE_LOCK lock) {
    if (InterlockedDecrement(&lock->Common.IoCount) == 0) KeSetEvent(&lock->Common.RemoveEvent, IO_NO_INCREMENT, FALSE);
}

} // namespace
} // namespace qv::io

using namespace qv;
using namespace qv::io;

extern "C" {

void NTAPI IoInitializeRemoveLockEx(PIO_REMOVE_LOCK Lock, ULONG AllocateTag, ULONG MaxLockedMinutes,
                                    ULONG HighWatermark, ULONG RemlockSize) {
    QV_CHECK_CALLER();
    UNREFERENCED_PARAMETER(AllocateTag);
    UNREFERENCED_PARAMETER(MaxLockedMinutes);
    UNREFERENCED_PARAMETER(HighWatermark);
    UNREFERENCED_PARAMETER(RemlockSize);
    RequireIrqlAtMost(PASSIVE_LEVEL, "IoInitializeRemoveLock");
    Lock->Common.Removed = FALSE;
    // The lock's own count, dropped by IoReleaseRemoveLockAndWait.
    Lock->Common.IoCount = 1;
    KeInitializeEvent(&Lock->Common.RemoveEvent, NotificationEvent, FALSE);
    TagsOf(Lock).clear();
}

NTSTATUS NTAPI IoAcquireRemoveLockEx(PIO_REMOVE_LOCK RemoveLock, PVOID Tag, PCSTR File, ULONG Line, ULONG RemlockSize) {
    QV_CHECK_CALLER();
    UNREFERENCED_PARAMETER(File);
    UNREFERENCED_PARAMETER(Line);
    UNREFERENCED_PARAMETER(RemlockSize);
    RequireIrqlAtMost(DISPATCH_LEVEL, "IoAcquireRemoveLock");
    InterlockedIncrement(&RemoveLock->Common.IoCount);
    if (RemoveLock->Common.Removed) {
        // Whatever arrives once removal has begun is turned away.
        Release(RemoveLock);
        return STATUS_DELETE_PENDING;
    }
    TagsOf(RemoveLock).push_back(Tag);
    return STATUS_SUCCESS;
}

void NTAPI IoReleaseRemoveLockEx(PIO_REMOVE_LOCK RemoveLock, PVOID Tag, ULONG RemlockSize) {
    QV_CHECK_CALLER();
    UNREFERENCED_PARAMETER(RemlockSize);
    RequireIrqlAtMost(DISPATCH_LEVEL, "IoReleaseRemoveLock");
    if (TagsOf(RemoveLock).empty()) {
        K().Violation("remove-lock-released-not-held", bugcode::DRIVER_VERIFIER_DETECTED_VIOLATION,
                      violation::RemoveLockReleasedNotHeld, Ptr(RemoveLock), Ptr(Tag), 0,
                      "IoReleaseRemoveLock of a remove lock nobody holds");
        return;
    }
    if (!DropTag(RemoveLock, Tag)) {
        K().Violation("remove-lock-tag-not-held", bugcode::DRIVER_VERIFIER_DETECTED_VIOLATION,
                      violation::RemoveLockTagNotHeld, Ptr(RemoveLock), Ptr(Tag), 0,
                      "IoReleaseRemoveLock with a tag under which the lock is not held");
        return;
    }
    Release(RemoveLock);
}

void NTAPI IoReleaseRemoveLockAndWaitEx(PIO_REMOVE_LOCK RemoveLock, PVOID Tag, ULONG RemlockSize) {
    QV_CHECK_CALLER();
    UNREFERENCED_PARAMETER(RemlockSize);
    RequireIrqlAtMost(PASSIVE_LEVEL, "IoReleaseRemoveLockAndWait");
    if (RemoveLock->Common.Removed) {
        K().Violation("remove-lock-waited-twice", bugcode::DRIVER_VERIFIER_DETECTED_VIOLATION,
                      violation::RemoveLockWaitedTwice, Ptr(RemoveLock), Ptr(Tag), 0,
                      "IoReleaseRemoveLockAndWait called a second time");
        return;
    }
    if (!DropTag(RemoveLock, Tag)) {
        K().Violation("remove-lock-wait-without-holding", bugcode::DRIVER_VERIFIER_DETECTED_VIOLATION,
                      violation::RemoveLockWaitWithoutHolding, Ptr(RemoveLock), Ptr(Tag), 0,
                      "IoReleaseRemoveLockAndWait by a caller that did not acquire the lock with this tag");
        return;
    }
    RemoveLock->Common.Removed = TRUE;
    // The caller's acquisition and the lock's own count go; then the wait is
    // for everyone else's.
    InterlockedDecrement(&RemoveLock->Common.IoCount);
    Release(RemoveLock);
    KeWaitForSingleObject(&RemoveLock->Common.RemoveEvent, Executive, KernelMode, FALSE, nullptr);
}

} // extern "C"
