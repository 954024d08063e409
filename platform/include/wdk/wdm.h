// The kernel surface the driver compiles against: executive, kernel, I/O
// manager, object manager and run-time library, with the WDK's names, types
// and semantics. Implemented in user mode by the emulation in platform/.
//
// Routines that the WDK offers as macros or inline functions are ordinary
// functions here where the emulation must watch them (marking an IRP pending,
// setting a cancel routine), so that the verifier sees every use.
#pragma once

#include "ntdef.h"
#include "ntstatus.h"

#ifdef __cplusplus
extern "C" {
#endif

// ---------------------------------------------------------------------------
// IRQL

#define PASSIVE_LEVEL 0
#define LOW_LEVEL 0
#define APC_LEVEL 1
#define DISPATCH_LEVEL 2
#define HIGH_LEVEL 31

KIRQL NTAPI KeGetCurrentIrql(void);
void NTAPI KeRaiseIrql(KIRQL NewIrql, PKIRQL OldIrql);
void NTAPI KeLowerIrql(KIRQL NewIrql);
KIRQL NTAPI KeRaiseIrqlToDpcLevel(void);

// Pageable routines begin with PAGED_CODE(); running one above APC_LEVEL is a
// bug check, as it would be a page fault at raised IRQL on Windows.
void NTAPI QvCheckPagedCode(const char* File, int Line);
#define PAGED_CODE() QvCheckPagedCode(__FILE__, __LINE__)

ULONG NTAPI KeGetCurrentProcessorNumber(void);

__attribute__((noreturn)) void NTAPI KeBugCheckEx(ULONG BugCheckCode, ULONG_PTR P1, ULONG_PTR P2, ULONG_PTR P3,
                                                   ULONG_PTR P4);

// ---------------------------------------------------------------------------
// Dispatcher objects

typedef LONG KPRIORITY;

#define IO_NO_INCREMENT 0
#define EVENT_INCREMENT 1

typedef enum _EVENT_TYPE { NotificationEvent = 0, SynchronizationEvent = 1 } EVENT_TYPE;

typedef enum _KWAIT_REASON {
    Executive = 0,
    FreePage,
    PageIn,
    PoolAllocation,
    DelayExecution,
    Suspended,
    UserRequest,
    WrExecutive,
} KWAIT_REASON;

typedef enum _WAIT_TYPE { WaitAll = 0, WaitAny = 1 } WAIT_TYPE;

// Dispatcher object types kept in DISPATCHER_HEADER.Type.
#define QV_OBJECT_EVENT_NOTIFICATION 0
#define QV_OBJECT_EVENT_SYNCHRONIZATION 1
#define QV_OBJECT_MUTANT 2
#define QV_OBJECT_THREAD 6

typedef struct _DISPATCHER_HEADER {
    UCHAR Type;
    UCHAR Inserted; // set by the emulation once the object is initialised
    USHORT Reserved;
    LONG SignalState;
    LIST_ENTRY WaitListHead; // wait blocks of the threads waiting here
} DISPATCHER_HEADER;

typedef struct _KEVENT {
    DISPATCHER_HEADER Header;
} KEVENT, *PKEVENT, *PRKEVENT;

typedef struct _KTHREAD* PKTHREAD;
typedef struct _KTHREAD* PETHREAD;
typedef struct _KTHREAD* PRKTHREAD;

typedef struct _KMUTANT {
    DISPATCHER_HEADER Header; // SignalState 1 when free, 1 - recursion while owned
    LIST_ENTRY MutantListEntry;
    PKTHREAD OwnerThread;
    BOOLEAN Abandoned;
    UCHAR ApcDisable;
} KMUTANT, *PKMUTANT, KMUTEX, *PKMUTEX, *PRKMUTEX;

void NTAPI KeInitializeEvent(PRKEVENT Event, EVENT_TYPE Type, BOOLEAN State);
LONG NTAPI KeSetEvent(PRKEVENT Event, KPRIORITY Increment, BOOLEAN Wait);
void NTAPI KeClearEvent(PRKEVENT Event);
LONG NTAPI KeResetEvent(PRKEVENT Event);
LONG NTAPI KeReadStateEvent(PRKEVENT Event);

void NTAPI KeInitializeMutex(PRKMUTEX Mutex, ULONG Level);
LONG NTAPI KeReleaseMutex(PRKMUTEX Mutex, BOOLEAN Wait);
LONG NTAPI KeReadStateMutex(PRKMUTEX Mutex);

NTSTATUS NTAPI KeWaitForSingleObject(PVOID Object, KWAIT_REASON WaitReason, KPROCESSOR_MODE WaitMode,
                                     BOOLEAN Alertable, PLARGE_INTEGER Timeout);
#define KeWaitForMutexObject KeWaitForSingleObject
NTSTATUS NTAPI KeDelayExecutionThread(KPROCESSOR_MODE WaitMode, BOOLEAN Alertable, PLARGE_INTEGER Interval);

// ---------------------------------------------------------------------------
// Time

void NTAPI KeQuerySystemTime(PLARGE_INTEGER CurrentTime);
void NTAPI KeQueryTickCount(PLARGE_INTEGER TickCount);
ULONG NTAPI KeQueryTimeIncrement(void);
LARGE_INTEGER NTAPI RtlExtendedIntegerMultiply(LARGE_INTEGER Multiplicand, LONG Multiplier);

// ---------------------------------------------------------------------------
// Spin locks and interlocked operations

void NTAPI KeInitializeSpinLock(PKSPIN_LOCK SpinLock);
void NTAPI KeAcquireSpinLock(PKSPIN_LOCK SpinLock, PKIRQL OldIrql);
void NTAPI KeReleaseSpinLock(PKSPIN_LOCK SpinLock, KIRQL NewIrql);
void NTAPI KeAcquireSpinLockAtDpcLevel(PKSPIN_LOCK SpinLock);
void NTAPI KeReleaseSpinLockFromDpcLevel(PKSPIN_LOCK SpinLock);
void NTAPI IoAcquireCancelSpinLock(PKIRQL Irql);
void NTAPI IoReleaseCancelSpinLock(KIRQL Irql);

LONG NTAPI InterlockedExchange(LONG volatile* Target, LONG Value);
LONG NTAPI InterlockedIncrement(LONG volatile* Addend);
LONG NTAPI InterlockedDecrement(LONG volatile* Addend);
LONG NTAPI InterlockedCompareExchange(LONG volatile* Destination, LONG Exchange, LONG Comparand);
PVOID NTAPI InterlockedExchangePointer(PVOID volatile* Target, PVOID Value);
PVOID NTAPI InterlockedCompareExchangePointer(PVOID volatile* Destination, PVOID Exchange, PVOID Comparand);

// ---------------------------------------------------------------------------
// Objects, handles and system threads

typedef struct _OBJECT_TYPE* POBJECT_TYPE;
extern POBJECT_TYPE* PsThreadType;

typedef struct _OBJECT_ATTRIBUTES {
    ULONG Length;
    HANDLE RootDirectory;
    PUNICODE_STRING ObjectName;
    ULONG Attributes;
    PVOID SecurityDescriptor;
    PVOID SecurityQualityOfService;
} OBJECT_ATTRIBUTES, *POBJECT_ATTRIBUTES;

#define OBJ_KERNEL_HANDLE 0x00000200L
#define InitializeObjectAttributes(p, n, a, r, s) \
    do {                                          \
        (p)->Length = sizeof(OBJECT_ATTRIBUTES);  \
        (p)->RootDirectory = (r);                 \
        (p)->Attributes = (a);                    \
        (p)->ObjectName = (n);                    \
        (p)->SecurityDescriptor = (s);            \
        (p)->SecurityQualityOfService = NULL;     \
    } while (0)

typedef struct _CLIENT_ID {
    HANDLE UniqueProcess;
    HANDLE UniqueThread;
} CLIENT_ID, *PCLIENT_ID;

typedef struct _OBJECT_HANDLE_INFORMATION {
    ULONG HandleAttributes;
    ACCESS_MASK GrantedAccess;
} OBJECT_HANDLE_INFORMATION, *POBJECT_HANDLE_INFORMATION;

#define THREAD_ALL_ACCESS 0x001FFFFFL
#define SYNCHRONIZE 0x00100000L

typedef void(NTAPI KSTART_ROUTINE)(PVOID StartContext);
typedef KSTART_ROUTINE* PKSTART_ROUTINE;

NTSTATUS NTAPI PsCreateSystemThread(PHANDLE ThreadHandle, ULONG DesiredAccess, POBJECT_ATTRIBUTES ObjectAttributes,
                                    HANDLE ProcessHandle, PCLIENT_ID ClientId, PKSTART_ROUTINE StartRoutine,
                                    PVOID StartContext);
__attribute__((noreturn)) NTSTATUS NTAPI PsTerminateSystemThread(NTSTATUS ExitStatus);
PKTHREAD NTAPI KeGetCurrentThread(void);
#define PsGetCurrentThread() ((PETHREAD)KeGetCurrentThread())

NTSTATUS NTAPI ObReferenceObjectByHandle(HANDLE Handle, ACCESS_MASK DesiredAccess, POBJECT_TYPE ObjectType,
                                         KPROCESSOR_MODE AccessMode, PVOID* Object,
                                         POBJECT_HANDLE_INFORMATION HandleInformation);
LONG_PTR NTAPI ObfReferenceObject(PVOID Object);
LONG_PTR NTAPI ObfDereferenceObject(PVOID Object);
#define ObReferenceObject(o) ObfReferenceObject(o)
#define ObDereferenceObject(o) ObfDereferenceObject(o)
NTSTATUS NTAPI ZwClose(HANDLE Handle);

// ---------------------------------------------------------------------------
// Pool

typedef enum _POOL_TYPE {
    NonPagedPool = 0,
    PagedPool = 1,
    NonPagedPoolMustSucceed = 2,
    NonPagedPoolCacheAligned = 4,
    PagedPoolCacheAligned = 5,
    NonPagedPoolNx = 512,
} POOL_TYPE;

// The emulation records the call site of every allocation, so a leak report
// names the line that allocated the block.
PVOID NTAPI ExAllocatePoolWithTag(POOL_TYPE PoolType, SIZE_T NumberOfBytes, ULONG Tag,
                                  const char* File = __builtin_FILE(), int Line = __builtin_LINE());
PVOID NTAPI ExAllocatePool(POOL_TYPE PoolType, SIZE_T NumberOfBytes, const char* File = __builtin_FILE(),
                           int Line = __builtin_LINE());
void NTAPI ExFreePool(PVOID P);
void NTAPI ExFreePoolWithTag(PVOID P, ULONG Tag);

// ---------------------------------------------------------------------------
// Run-time library

#define RtlZeroMemory(Destination, Length) __builtin_memset((Destination), 0, (Length))
#define RtlFillMemory(Destination, Length, Fill) __builtin_memset((Destination), (Fill), (Length))
#define RtlCopyMemory(Destination, Source, Length) __builtin_memcpy((Destination), (Source), (Length))
#define RtlMoveMemory(Destination, Source, Length) __builtin_memmove((Destination), (Source), (Length))
#define RtlEqualMemory(A, B, Length) (__builtin_memcmp((A), (B), (Length)) == 0)
SIZE_T NTAPI RtlCompareMemory(const void* Source1, const void* Source2, SIZE_T Length);

void NTAPI RtlInitUnicodeString(PUNICODE_STRING DestinationString, PCWSTR SourceString);
void NTAPI RtlInitAnsiString(PANSI_STRING DestinationString, PCSZ SourceString);
void NTAPI RtlFreeUnicodeString(PUNICODE_STRING UnicodeString);
void NTAPI RtlFreeAnsiString(PANSI_STRING AnsiString);
NTSTATUS NTAPI RtlUnicodeStringToAnsiString(PANSI_STRING DestinationString, PCUNICODE_STRING SourceString,
                                            BOOLEAN AllocateDestinationString);
NTSTATUS NTAPI RtlAnsiStringToUnicodeString(PUNICODE_STRING DestinationString, const ANSI_STRING* SourceString,
                                            BOOLEAN AllocateDestinationString);
void NTAPI RtlCopyUnicodeString(PUNICODE_STRING DestinationString, PCUNICODE_STRING SourceString);
NTSTATUS NTAPI RtlAppendUnicodeToString(PUNICODE_STRING Destination, PCWSTR Source);
NTSTATUS NTAPI RtlAppendUnicodeStringToString(PUNICODE_STRING Destination, PCUNICODE_STRING Source);
BOOLEAN NTAPI RtlEqualUnicodeString(PCUNICODE_STRING String1, PCUNICODE_STRING String2,
                                    BOOLEAN CaseInSensitive);

// ---------------------------------------------------------------------------
// I/O manager

#ifdef __cplusplus
}
#endif
#include "wdmio.h"
