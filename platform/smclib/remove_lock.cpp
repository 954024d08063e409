// The library's remove lock: every open handle and every request in the
// driver holds it once; removal refuses new holds and waits for the last one.
//
// The lock is built on the kernel's own primitives (a spin lock, a
// notification event), self-contained in the library's record behind
// OsData. Releasing a hold that was never taken, or ending the library's use
// of the extension while holds remain, is a verifier violation.
#include "smclib/library_host.h"
#include "smclib/library_state.h"

using namespace qv;
using namespace qv::smclib;
using qv::smclib::host::RequireIrqlAtMost;

namespace {

// Gives back one hold; the caller holds data.removeLock.lock. Returns whether
// that was the last hold after removal began, so that the waiter may go.
bool DropHold(PSMARTCARD_EXTENSION SmartcardExtension, RemoveLockState& lock, const char* caller) {
    if (lock.holds <= 0) {
        host::Violation(libviolation::RemoveLockReleasedWithoutHold, reinterpret_cast<ULONG_PTR>(SmartcardExtension), 0, 0,
                        "%s released the smart card library's remove lock without a hold", caller);
    }
    --lock.holds;
    return lock.removing && lock.holds == 0;
}

} // namespace

extern "C" {

NTSTATUS NTAPI SmartcardAcquireRemoveLock(PSMARTCARD_EXTENSION SmartcardExtension) {
    QV_LIBRARY_CHECK_CALLER();
    RequireIrqlAtMost(DISPATCH_LEVEL, "SmartcardAcquireRemoveLock");
    RemoveLockState& lock = LibraryOf(SmartcardExtension, "SmartcardAcquireRemoveLock").removeLock;
    KIRQL irql;
    KeAcquireSpinLock(&lock.lock, &irql);
    const bool refused = lock.removing;
    if (!refused) ++lock.holds;
    KeReleaseSpinLock(&lock.lock, irql);
    return refused ? STATUS_DELETE_PENDING : STATUS_SUCCESS;
}

VOID NTAPI SmartcardReleaseRemoveLock(PSMARTCARD_EXTENSION SmartcardExtension) {
    QV_LIBRARY_CHECK_CALLER();
    RequireIrqlAtMost(DISPATCH_LEVEL, "SmartcardReleaseRemoveLock");
    RemoveLockState& lock = LibraryOf(SmartcardExtension, "SmartcardReleaseRemoveLock").removeLock;
    KIRQL irql;
    KeAcquireSpinLock(&lock.lock, &irql);
    // The event is set while the spin lock is held: the waiter takes the lock
    // once more before it returns, so it cannot free the record while this
    // thread still touches it.
    if (DropHold(SmartcardExtension, lock, "SmartcardReleaseRemoveLock")) KeSetEvent(&lock.released, IO_NO_INCREMENT, FALSE);
    KeReleaseSpinLock(&lock.lock, irql);
}

// Gives back the caller's own hold (the one it took for the remove request)
// and returns once every other holder has released; no hold is granted from
// the moment it is called.
VOID NTAPI SmartcardReleaseRemoveLockAndWait(PSMARTCARD_EXTENSION SmartcardExtension) {
    QV_LIBRARY_CHECK_CALLER();
    RequireIrqlAtMost(PASSIVE_LEVEL, "SmartcardReleaseRemoveLockAndWait");
    RemoveLockState& lock = LibraryOf(SmartcardExtension, "SmartcardReleaseRemoveLockAndWait").removeLock;
    KIRQL irql;
    KeAcquireSpinLock(&lock.lock, &irql);
    lock.removing = true;
    const bool last = DropHold(SmartcardExtension, lock, "SmartcardReleaseRemoveLockAndWait");
    KeReleaseSpinLock(&lock.lock, irql);
    if (!last) {
        KeWaitForSingleObject(&lock.released, Executive, KernelMode, FALSE, nullptr);
        // The last releaser set the event under the spin lock; passing
        // through the lock once more waits until it has let go of it.
        KeAcquireSpinLock(&lock.lock, &irql);
        KeReleaseSpinLock(&lock.lock, irql);
    }
}

} // extern "C"
