// A stand-in for the smart card driver library, for loading the driver
// image under Wine, whose kernel emulation has no smclib.sys. It exports
// every documented routine with the documented stack size so that the
// image's imports bind; the routines do no work and fail where they can.
// It is never shipped with the driver.
#include "qvwdk.h"

extern "C" {

NTSTATUS NTAPI SmartcardInitialize(PSMARTCARD_EXTENSION) { return STATUS_NOT_IMPLEMENTED; }
VOID NTAPI SmartcardExit(PSMARTCARD_EXTENSION) {}
NTSTATUS NTAPI SmartcardDeviceControl(PSMARTCARD_EXTENSION, PIRP) { return STATUS_NOT_IMPLEMENTED; }
NTSTATUS NTAPI SmartcardCreateLink(PUNICODE_STRING, PUNICODE_STRING) { return STATUS_NOT_IMPLEMENTED; }
NTSTATUS NTAPI SmartcardDeleteLink(PUNICODE_STRING) { return STATUS_NOT_IMPLEMENTED; }
VOID NTAPI SmartcardLogError(PVOID, NTSTATUS, PUNICODE_STRING, ULONG) {}
NTSTATUS NTAPI SmartcardAcquireRemoveLock(PSMARTCARD_EXTENSION) { return STATUS_NOT_IMPLEMENTED; }
NTSTATUS NTAPI SmartcardAcquireRemoveLockWithTag(PSMARTCARD_EXTENSION) { return STATUS_NOT_IMPLEMENTED; }
VOID NTAPI SmartcardReleaseRemoveLock(PSMARTCARD_EXTENSION) {}
VOID NTAPI SmartcardReleaseRemoveLockWithTag(PSMARTCARD_EXTENSION) {}
VOID NTAPI SmartcardReleaseRemoveLockAndWait(PSMARTCARD_EXTENSION) {}
NTSTATUS NTAPI SmartcardUpdateCardCapabilities(PSMARTCARD_EXTENSION) { return STATUS_NOT_IMPLEMENTED; }
NTSTATUS NTAPI SmartcardT0Request(PSMARTCARD_EXTENSION) { return STATUS_NOT_IMPLEMENTED; }
NTSTATUS NTAPI SmartcardT0Reply(PSMARTCARD_EXTENSION) { return STATUS_NOT_IMPLEMENTED; }
NTSTATUS NTAPI SmartcardT1Request(PSMARTCARD_EXTENSION) { return STATUS_NOT_IMPLEMENTED; }
NTSTATUS NTAPI SmartcardT1Reply(PSMARTCARD_EXTENSION) { return STATUS_NOT_IMPLEMENTED; }
NTSTATUS NTAPI SmartcardRawRequest(PSMARTCARD_EXTENSION) { return STATUS_NOT_IMPLEMENTED; }
NTSTATUS NTAPI SmartcardRawReply(PSMARTCARD_EXTENSION) { return STATUS_NOT_IMPLEMENTED; }
VOID NTAPI SmartcardInvertData(PUCHAR, ULONG) {}
ULONG NTAPI SmartcardGetDebugLevel(void) { return 0; }
VOID NTAPI SmartcardSetDebugLevel(ULONG) {}

// The library's own entry point; a kernel-mode export driver's DriverEntry
// is not called when it is loaded as an import, so this only satisfies the
// image format.
NTSTATUS NTAPI DllInitialize(PUNICODE_STRING) { return STATUS_SUCCESS; }

} // extern "C"
