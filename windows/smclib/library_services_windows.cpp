// The smart card library's exports that depend on the system it runs in,
// inside a Windows kernel image for the end-to-end run under Wine, and the
// library's own entry points. The freestanding library sources
// (platform/smclib/) bring the rest.
#include "qvwdk.h"

namespace {

// Readers' links are "\DosDevices\SCReader0" .. "\DosDevices\SCReader9".
constexpr WCHAR kLinkPrefix[] = L"\\DosDevices\\SCReader";
constexpr ULONG kLinkPrefixCharacters = sizeof(kLinkPrefix) / sizeof(WCHAR) - 1;
constexpr ULONG kMaximumLinks = MAXIMUM_SMARTCARD_READERS;
constexpr ULONG kStringTag = QV_POOL_TAG('S', 'm', 'C', 's');

ULONG DebugLevel = 0;

} // namespace

extern "C" {

// The first free name of \DosDevices\SCReaderN becomes a link to the
// device; the caller owns the name and frees it with RtlFreeUnicodeString.
NTSTATUS NTAPI SmartcardCreateLink(PUNICODE_STRING LinkName, PUNICODE_STRING DeviceName) {
    if (LinkName == NULL || DeviceName == NULL || DeviceName->Buffer == NULL) return STATUS_INVALID_PARAMETER;
    const ULONG bytes = (kLinkPrefixCharacters + 2) * sizeof(WCHAR);
    auto* buffer = static_cast<PWCH>(ExAllocatePoolWithTag(PagedPool, bytes, kStringTag));
    if (buffer == NULL) return STATUS_INSUFFICIENT_RESOURCES;
    RtlCopyMemory(buffer, kLinkPrefix, kLinkPrefixCharacters * sizeof(WCHAR));
    buffer[kLinkPrefixCharacters + 1] = 0;
    LinkName->Buffer = buffer;
    LinkName->Length = static_cast<USHORT>((kLinkPrefixCharacters + 1) * sizeof(WCHAR));
    LinkName->MaximumLength = static_cast<USHORT>(bytes);
    for (ULONG number = 0; number < kMaximumLinks; ++number) {
        buffer[kLinkPrefixCharacters] = static_cast<WCHAR>(L'0' + number);
        const NTSTATUS status = IoCreateSymbolicLink(LinkName, DeviceName);
        if (status != STATUS_OBJECT_NAME_COLLISION) {
            if (!NT_SUCCESS(status)) {
                ExFreePoolWithTag(buffer, kStringTag);
                LinkName->Buffer = NULL;
                LinkName->Length = LinkName->MaximumLength = 0;
            }
            return status;
        }
    }
    ExFreePoolWithTag(buffer, kStringTag);
    LinkName->Buffer = NULL;
    LinkName->Length = LinkName->MaximumLength = 0;
    return STATUS_OBJECT_NAME_COLLISION;
}

NTSTATUS NTAPI SmartcardDeleteLink(PUNICODE_STRING LinkName) { return IoDeleteSymbolicLink(LinkName); }

// Wine keeps no system event log for drivers (its IoWriteErrorLogEntry is
// a stub that stops the process), so the entry goes to the debug output.
VOID NTAPI SmartcardLogError(PVOID Object, NTSTATUS ErrorCode, PUNICODE_STRING Insertion, ULONG DumpData) {
    DbgPrint("smclib: event log 0x%08lX for object %p, insertion %wZ, dump data 0x%08lX\n",
             static_cast<ULONG>(ErrorCode), Object, Insertion, DumpData);
}

// The library's T=0 and raw helpers: this driver shapes T=0 itself, so
// they only refuse.
NTSTATUS NTAPI SmartcardT0Request(PSMARTCARD_EXTENSION) { return STATUS_NOT_SUPPORTED; }
NTSTATUS NTAPI SmartcardT0Reply(PSMARTCARD_EXTENSION) { return STATUS_NOT_SUPPORTED; }
NTSTATUS NTAPI SmartcardRawRequest(PSMARTCARD_EXTENSION) { return STATUS_NOT_SUPPORTED; }
NTSTATUS NTAPI SmartcardRawReply(PSMARTCARD_EXTENSION) { return STATUS_NOT_SUPPORTED; }

// Inverse convention: each byte's bits reversed and complemented.
VOID NTAPI SmartcardInvertData(PUCHAR Buffer, ULONG Length) {
    for (ULONG i = 0; i < Length; ++i) {
        UCHAR in = Buffer[i];
        UCHAR out = 0;
        for (int bit = 0; bit < 8; ++bit) out = static_cast<UCHAR>((out << 1) | ((in >> bit) & 1));
        Buffer[i] = static_cast<UCHAR>(~out);
    }
}

ULONG NTAPI SmartcardGetDebugLevel(void) { return DebugLevel; }
VOID NTAPI SmartcardSetDebugLevel(ULONG Level) { DebugLevel = Level; }

NTSTATUS NTAPI SmartcardAcquireRemoveLockWithTag(PSMARTCARD_EXTENSION SmartcardExtension) {
    return SmartcardAcquireRemoveLock(SmartcardExtension);
}
VOID NTAPI SmartcardReleaseRemoveLockWithTag(PSMARTCARD_EXTENSION SmartcardExtension) {
    SmartcardReleaseRemoveLock(SmartcardExtension);
}

// An export driver's entry points: DriverEntry is never called for a
// library loaded as an import, DllInitialize and DllUnload are.
NTSTATUS NTAPI DriverEntry(PDRIVER_OBJECT, PUNICODE_STRING) { return STATUS_SUCCESS; }
NTSTATUS NTAPI DllInitialize(PUNICODE_STRING) { return STATUS_SUCCESS; }
NTSTATUS NTAPI DllUnload(void) { return STATUS_SUCCESS; }

} // extern "C"
