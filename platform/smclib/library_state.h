// The smart card library's private state for one reader, and the checks
// that the library makes of its callers, Driver Verifier style.
//
// SmartcardInitialize allocates OS_DEP_DATA as the head of a larger record
// of the library's own: the driver sees only the head, the library reaches
// the rest from SmartcardExtension->OsData.
#pragma once

#include "qvwdk.h"
#include "smclib/t1_session.h"

namespace qv::smclib {

// Pool tag of everything the library allocates on a driver's behalf.
inline constexpr ULONG kLibraryTag = QV_POOL_TAG('S', 'm', 'C', 'l');

// DRIVER_VERIFIER_DETECTED_VIOLATION parameter 1 values of the library's own
// checks (Windows has no numbers for them).
namespace libviolation {
inline constexpr ULONG_PTR RemoveLockReleasedWithoutHold = 0x51C1; // release with no acquisition outstanding
inline constexpr ULONG_PTR ExitWithRemoveLockHeld = 0x51C2;        // SmartcardExit while requests still hold the lock
inline constexpr ULONG_PTR ExtensionNotInitialized = 0x51C3;       // a library call before SmartcardInitialize / after SmartcardExit
inline constexpr ULONG_PTR ReplyLongerThanBuffer = 0x51C4;         // a reader function reported more bytes than the reply buffer holds
inline constexpr ULONG_PTR InitializedTwice = 0x51C5;              // SmartcardInitialize on an extension already initialised
} // namespace libviolation

// The library's remove lock: the number of holds, and whether removal has
// begun. Guarded by its own spin lock.
struct RemoveLockState {
    KSPIN_LOCK lock = 0;
    LONG holds = 0;
    bool removing = false;
    KEVENT released; // notification event, set once removal began and no hold is left
};

struct LibraryOsData {
    OS_DEP_DATA head; // first: SmartcardExtension->OsData points here
    ULONG signature;
    RemoveLockState removeLock;
    ULONG cardResets = 0; // counts every new ATR: a T=1 session ends with it
    T1Session t1;
};

inline constexpr ULONG kLibrarySignature = 0x534D434C; // "SMCL"

// The library's record behind an initialised extension; a bug check when the
// extension was never initialised or has been handed to SmartcardExit.
LibraryOsData& LibraryOf(PSMARTCARD_EXTENSION SmartcardExtension, const char* caller);

// A new ATR: the card starts T=1 afresh, and so does the library.
void NoteCardReset(LibraryOsData& data);
// Ends a T=1 exchange the reader function left unfinished and frees what it
// held; called when a transmit request ends and at SmartcardExit.
void EndT1Exchange(PSMARTCARD_EXTENSION SmartcardExtension, LibraryOsData& data);

} // namespace qv::smclib
