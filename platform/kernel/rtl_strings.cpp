// Counted strings and memory comparison of the run-time library.
#include <algorithm>
#include <cstring>

#include "kernel/kernel.h"
#include "kernel/placement_rules.h"

namespace {

// The tag of string buffers that the run-time library allocates for its
// callers; they free them with RtlFreeUnicodeString / RtlFreeAnsiString.
constexpr ULONG kStringTag = QV_POOL_TAG('S', 't', 'r', 'g');
constexpr USHORT kMaxCountedBytes = 0xFFFE;
constexpr char kUnmappable = '?';
constexpr unsigned kAsciiLimit = 0x80;

USHORT WideLength(PCWSTR text) {
    std::size_t count = 0;
    while (text[count] != 0) ++count;
    return static_cast<USHORT>(std::min<std::size_t>(count * sizeof(WCHAR), kMaxCountedBytes - sizeof(WCHAR)));
}

WCHAR UpperAscii(WCHAR c) { return (c >= 'a' && c <= 'z') ? static_cast<WCHAR>(c - 'a' + 'A') : c; }

} // namespace

extern "C" {

SIZE_T NTAPI RtlCompareMemory(const void* Source1, const void* Source2, SIZE_T Length) {
    QV_CHECK_CALLER();
    const auto* a = static_cast<const unsigned char*>(Source1);
    const auto* b = static_cast<const unsigned char*>(Source2);
    SIZE_T same = 0;
    while (same < Length && a[same] == b[same]) ++same;
    return same;
}

void NTAPI RtlInitUnicodeString(PUNICODE_STRING DestinationString, PCWSTR SourceString) {
    QV_CHECK_CALLER();
    if (SourceString == nullptr) {
        DestinationString->Length = DestinationString->MaximumLength = 0;
        DestinationString->Buffer = nullptr;
        return;
    }
    DestinationString->Length = WideLength(SourceString);
    DestinationString->MaximumLength = static_cast<USHORT>(DestinationString->Length + sizeof(WCHAR));
    DestinationString->Buffer = const_cast<PWCH>(SourceString);
}

void NTAPI RtlInitAnsiString(PANSI_STRING DestinationString, PCSZ SourceString) {
    QV_CHECK_CALLER();
    if (SourceString == nullptr) {
        DestinationString->Length = DestinationString->MaximumLength = 0;
        DestinationString->Buffer = nullptr;
        return;
    }
    const auto length = static_cast<USHORT>(std::min<std::size_t>(std::strlen(SourceString), kMaxCountedBytes - 1));
    DestinationString->Length = length;
    DestinationString->MaximumLength = static_cast<USHORT>(length + 1);
    DestinationString->Buffer = reinterpret_cast<PCHAR>(const_cast<char*>(SourceString));
}

void NTAPI RtlFreeUnicodeString(PUNICODE_STRING UnicodeString) {
    QV_CHECK_CALLER();
    if (UnicodeString->Buffer != nullptr) ExFreePoolWithTag(UnicodeString->Buffer, kStringTag);
    UnicodeString->Buffer = nullptr;
    UnicodeString->Length = UnicodeString->MaximumLength = 0;
}

void NTAPI RtlFreeAnsiString(PANSI_STRING AnsiString) {
    QV_CHECK_CALLER();
    if (AnsiString->Buffer != nullptr) ExFreePoolWithTag(AnsiString->Buffer, kStringTag);
    AnsiString->Buffer = nullptr;
    AnsiString->Length = AnsiString->MaximumLength = 0;
}

NTSTATUS NTAPI RtlUnicodeStringToAnsiString(PANSI_STRING DestinationString, PCUNICODE_STRING SourceString,
                                            BOOLEAN AllocateDestinationString) {
    QV_CHECK_CALLER();
    const USHORT characters = static_cast<USHORT>(SourceString->Length / sizeof(WCHAR));
    NTSTATUS status = STATUS_SUCCESS;
    USHORT copied = characters;
    if (AllocateDestinationString) {
        DestinationString->MaximumLength = static_cast<USHORT>(characters + 1);
        DestinationString->Buffer =
            static_cast<PCHAR>(ExAllocatePoolWithTag(NonPagedPool, DestinationString->MaximumLength, kStringTag));
        if (DestinationString->Buffer == nullptr) {
            DestinationString->Length = DestinationString->MaximumLength = 0;
            return STATUS_INSUFFICIENT_RESOURCES;
        }
    } else if (DestinationString->MaximumLength <= characters) {
        // As on Windows: convert what fits and say the buffer overflowed.
        if (DestinationString->MaximumLength == 0) return STATUS_BUFFER_OVERFLOW;
        copied = static_cast<USHORT>(DestinationString->MaximumLength - 1);
        status = STATUS_BUFFER_OVERFLOW;
    }
    for (USHORT i = 0; i < copied; ++i) {
        const WCHAR c = SourceString->Buffer[i];
        DestinationString->Buffer[i] = c < kAsciiLimit ? static_cast<CHAR>(c) : kUnmappable;
    }
    DestinationString->Buffer[copied] = 0;
    DestinationString->Length = copied;
    return status;
}

NTSTATUS NTAPI RtlAnsiStringToUnicodeString(PUNICODE_STRING DestinationString, const ANSI_STRING* SourceString,
                                            BOOLEAN AllocateDestinationString) {
    QV_CHECK_CALLER();
    const USHORT characters = SourceString->Length;
    const auto bytes = static_cast<USHORT>(characters * sizeof(WCHAR));
    if (AllocateDestinationString) {
        DestinationString->MaximumLength = static_cast<USHORT>(bytes + sizeof(WCHAR));
        DestinationString->Buffer =
            static_cast<PWCH>(ExAllocatePoolWithTag(NonPagedPool, DestinationString->MaximumLength, kStringTag));
        if (DestinationString->Buffer == nullptr) {
            DestinationString->Length = DestinationString->MaximumLength = 0;
            return STATUS_INSUFFICIENT_RESOURCES;
        }
    } else if (DestinationString->MaximumLength < bytes + sizeof(WCHAR)) {
        return STATUS_BUFFER_OVERFLOW;
    }
    for (USHORT i = 0; i < characters; ++i)
        DestinationString->Buffer[i] = static_cast<WCHAR>(static_cast<UCHAR>(SourceString->Buffer[i]));
    DestinationString->Buffer[characters] = 0;
    DestinationString->Length = bytes;
    return STATUS_SUCCESS;
}

void NTAPI RtlCopyUnicodeString(PUNICODE_STRING DestinationString, PCUNICODE_STRING SourceString) {
    QV_CHECK_CALLER();
    if (SourceString == nullptr || SourceString->Buffer == nullptr) {
        DestinationString->Length = 0;
        return;
    }
    const USHORT bytes = std::min(SourceString->Length, DestinationString->MaximumLength);
    std::memmove(DestinationString->Buffer, SourceString->Buffer, bytes);
    DestinationString->Length = bytes;
    if (bytes + sizeof(WCHAR) <= DestinationString->MaximumLength)
        DestinationString->Buffer[bytes / sizeof(WCHAR)] = 0;
}

NTSTATUS NTAPI RtlAppendUnicodeStringToString(PUNICODE_STRING Destination, PCUNICODE_STRING Source) {
    QV_CHECK_CALLER();
    if (Source->Length == 0) return STATUS_SUCCESS;
    if (Destination->Length + Source->Length > Destination->MaximumLength) return STATUS_BUFFER_TOO_SMALL;
    std::memmove(reinterpret_cast<unsigned char*>(Destination->Buffer) + Destination->Length, Source->Buffer,
                 Source->Length);
    Destination->Length = static_cast<USHORT>(Destination->Length + Source->Length);
    if (Destination->Length + sizeof(WCHAR) <= Destination->MaximumLength)
        Destination->Buffer[Destination->Length / sizeof(WCHAR)] = 0;
    return STATUS_SUCCESS;
}

NTSTATUS NTAPI RtlAppendUnicodeToString(PUNICODE_STRING Destination, PCWSTR Source) {
    QV_CHECK_CALLER();
    if (Source == nullptr) return STATUS_SUCCESS;
    UNICODE_STRING source;
    RtlInitUnicodeString(&source, Source);
    return RtlAppendUnicodeStringToString(Destination, &source);
}

BOOLEAN NTAPI RtlEqualUnicodeString(PCUNICODE_STRING String1, PCUNICODE_STRING String2, BOOLEAN CaseInSensitive) {
    QV_CHECK_CALLER();
    if (String1->Length != String2->Length) return FALSE;
    for (USHORT i = 0; i < String1->Length / sizeof(WCHAR); ++i) {
        WCHAR a = String1->Buffer[i];
        WCHAR b = String2->Buffer[i];
        if (CaseInSensitive) {
            a = UpperAscii(a);
            b = UpperAscii(b);
        }
        if (a != b) return FALSE;
    }
    return TRUE;
}

} // extern "C"
