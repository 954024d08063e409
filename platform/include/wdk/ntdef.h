// Basic Windows kernel types, as the WDK spells them. Sizes follow 32-bit
// Windows where the driver relies on them (ULONG is 32 bits, WCHAR 16 bits);
// pointer-sized types follow the host so the emulation can run natively.
#pragma once

#include <stdarg.h>
#include <stddef.h>
#include <stdint.h>

#define NTAPI
#define IN
#define OUT
#define OPTIONAL
#define VOID void
#define UNREFERENCED_PARAMETER(P) ((void)(P))
// Members that Windows aligns to the pointer size, so that 64-bit Windows
// (and the emulation, which runs with 64-bit pointers) lays them out alike.
#define POINTER_ALIGNMENT __attribute__((aligned(sizeof(void*))))

typedef void* PVOID;
typedef void** PPVOID;
typedef char CHAR; // plain char, as on Windows (signed there and here)
typedef uint8_t UCHAR;
typedef int16_t SHORT;
typedef int16_t CSHORT;
typedef uint16_t USHORT;
typedef int32_t LONG;
typedef uint32_t ULONG;
typedef int64_t LONGLONG;
typedef uint64_t ULONGLONG;
typedef uint8_t BOOLEAN;
typedef uint8_t BYTE;
typedef intptr_t LONG_PTR;
typedef uintptr_t ULONG_PTR;
typedef size_t SIZE_T;
typedef ULONG_PTR KAFFINITY;
typedef LONG NTSTATUS;
typedef void* HANDLE;
typedef HANDLE* PHANDLE;
typedef ULONG ACCESS_MASK;
typedef UCHAR KIRQL;
typedef KIRQL* PKIRQL;
typedef CHAR KPROCESSOR_MODE;
typedef ULONG_PTR KSPIN_LOCK;
typedef KSPIN_LOCK* PKSPIN_LOCK;

// The driver is compiled with 16-bit wchar_t (as on Windows), so L"..."
// literals are WCHAR strings there; the emulation sees the same two bytes
// as char16_t.
#if defined(__WCHAR_MAX__) && (__WCHAR_MAX__ == 0xffff || __WCHAR_MAX__ == 0x7fff)
typedef wchar_t WCHAR;
#else
typedef char16_t WCHAR;
#endif

typedef CHAR* PCHAR;
typedef UCHAR* PUCHAR;
typedef USHORT* PUSHORT;
typedef LONG* PLONG;
typedef ULONG* PULONG;
typedef ULONG_PTR* PULONG_PTR;
typedef BOOLEAN* PBOOLEAN;
typedef WCHAR* PWCH;
typedef WCHAR* PWSTR;
typedef const WCHAR* PCWSTR;
typedef CHAR* PSTR;
typedef const CHAR* PCSTR;
typedef const CHAR* PCCH;
typedef const char* PCSZ;

#define TRUE 1
#define FALSE 0

typedef union _LARGE_INTEGER {
    struct {
        ULONG LowPart;
        LONG HighPart;
    } u;
    LONGLONG QuadPart;
} LARGE_INTEGER, *PLARGE_INTEGER;

typedef union _ULARGE_INTEGER {
    struct {
        ULONG LowPart;
        ULONG HighPart;
    } u;
    ULONGLONG QuadPart;
} ULARGE_INTEGER, *PULARGE_INTEGER;

typedef struct _LIST_ENTRY {
    struct _LIST_ENTRY* Flink;
    struct _LIST_ENTRY* Blink;
} LIST_ENTRY, *PLIST_ENTRY;

typedef struct _UNICODE_STRING {
    USHORT Length;        // bytes, without a terminator
    USHORT MaximumLength; // bytes
    PWCH Buffer;
} UNICODE_STRING, *PUNICODE_STRING;
typedef const UNICODE_STRING* PCUNICODE_STRING;

typedef struct _STRING {
    USHORT Length;
    USHORT MaximumLength;
    PCHAR Buffer;
} STRING, ANSI_STRING, *PSTRING, *PANSI_STRING;

typedef struct _GUID {
    ULONG Data1;
    USHORT Data2;
    USHORT Data3;
    UCHAR Data4[8];
} GUID, *PGUID;
typedef const GUID* LPCGUID;

#define NT_SUCCESS(Status) (((NTSTATUS)(Status)) >= 0)
#define NT_ERROR(Status) ((((ULONG)(Status)) >> 30) == 3)

#define FIELD_OFFSET(type, field) ((LONG)offsetof(type, field))
#define CONTAINING_RECORD(address, type, field) \
    ((type*)((PCHAR)(address) - (ULONG_PTR)offsetof(type, field)))
#define ARRAYSIZE(a) (sizeof(a) / sizeof((a)[0]))
#define RTL_NUMBER_OF(a) ARRAYSIZE(a)

#define KernelMode 0
#define UserMode 1
typedef enum _MODE { KernelModeValue = 0, UserModeValue = 1 } MODE;

// Pool tags are written as multi-character literals in reverse byte order on
// Windows ('4SCS' is "SCS4" in memory). This macro builds the same value
// without relying on multi-character literals.
#define QV_POOL_TAG(a, b, c, d) \
    ((ULONG)(UCHAR)(a) | ((ULONG)(UCHAR)(b) << 8) | ((ULONG)(UCHAR)(c) << 16) | ((ULONG)(UCHAR)(d) << 24))
