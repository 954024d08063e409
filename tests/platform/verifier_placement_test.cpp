// Where driver code lies, and what Driver Verifier's IRQL checking makes of
// it: small routines placed in the pageable and INIT sections by the
// driver's own macros do what a driver must not, and the run stops with the
// fault Windows would raise; beside each, the legal use that looks alike.
#include <gtest/gtest.h>

#include <functional>

#include "io/io_manager.h"
#include "kernel/image_sections.h"
#include "placement.h"
#include "support/kernel_run.h"

namespace qv::test {
namespace {

// Each test routine must stay in the section its attribute names, so none
// is inlined into its (resident) caller.
#define QV_TEST_PAGED QV_PAGED_CODE __attribute__((noinline))
#define QV_TEST_INIT QV_INIT_CODE __attribute__((noinline))

ImageSection SectionOf(const void* address) { return ImageSections::OfProcess().Of(address); }

// Queues a deferred routine and gives it the millisecond it needs to run,
// at DISPATCH_LEVEL.
void RunDeferredRoutine(PKDEFERRED_ROUTINE routine) {
    KDPC dpc;
    KeInitializeDpc(&dpc, routine, nullptr);
    KeInsertQueueDpc(&dpc, nullptr, nullptr);
    LARGE_INTEGER pause = Relative(1);
    KeDelayExecutionThread(KernelMode, FALSE, &pause);
}

// ---- Pageable code -----------------------------------------------------------

QV_TEST_PAGED void PagedTakesSpinLock(PKSPIN_LOCK lock) {
    KIRQL irql;
    KeAcquireSpinLock(lock, &irql);
    KeReleaseSpinLock(lock, irql);
}

QV_TEST_PAGED void PagedTakesCancelSpinLock() {
    KIRQL irql;
    IoAcquireCancelSpinLock(&irql);
    IoReleaseCancelSpinLock(irql);
}

QV_TEST_PAGED void PagedRaisesIrql(KIRQL level) {
    KIRQL old;
    KeRaiseIrql(level, &old);
    KeLowerIrql(old);
}

QV_TEST_PAGED void PagedRaisesToDpcLevel() { KeLowerIrql(KeRaiseIrqlToDpcLevel()); }

QV_TEST_PAGED void PagedTakesSpinLockAtDpcLevel(PKSPIN_LOCK lock) {
    KeAcquireSpinLockAtDpcLevel(lock);
    KeReleaseSpinLockFromDpcLevel(lock);
}

// KeSetEvent with Wait TRUE returns at DISPATCH_LEVEL until the wait after it.
QV_TEST_PAGED void PagedSignalsAndWaits(PKEVENT signal, PKEVENT reply) {
    KeSetEvent(signal, IO_NO_INCREMENT, TRUE);
    KeWaitForSingleObject(reply, Executive, KernelMode, FALSE, nullptr);
}

__attribute__((noinline)) void ResidentTakesSpinLock(PKSPIN_LOCK lock) {
    KIRQL irql;
    KeAcquireSpinLock(lock, &irql);
    KeReleaseSpinLock(lock, irql);
}

// Pageable code may call resident code that holds a lock for it: the
// pageable caller itself never runs at DISPATCH_LEVEL.
QV_TEST_PAGED void PagedCallsResidentLocker(PKSPIN_LOCK lock) { ResidentTakesSpinLock(lock); }

QV_TEST_PAGED VOID NTAPI PagedDeferredRoutine(PKDPC, PVOID, PVOID, PVOID) {}

QV_TEST_PAGED VOID NTAPI PagedThreadStart(PVOID context) {
    KeSetEvent(static_cast<PKEVENT>(context), IO_NO_INCREMENT, FALSE);
    PsTerminateSystemThread(STATUS_SUCCESS);
}

// The run stopped as fetching a trimmed pageable page at DISPATCH_LEVEL
// stops Windows: DRIVER_IRQL_NOT_LESS_OR_EQUAL, an instruction fetch from
// `address`, which lies in PAGE.
void ExpectPageableFetch(std::function<void()> body, const void* address = nullptr) {
    const RunResult result = RunExpectingBugCheck(std::move(body), bugcode::DRIVER_IRQL_NOT_LESS_OR_EQUAL);
    if (!result.bugCheck) return;
    const ULONG_PTR* p = result.bugCheck->parameters;
    EXPECT_EQ(SectionOf(reinterpret_cast<const void*>(p[0])), ImageSection::PagedCode) << result.report;
    if (address != nullptr) {
        EXPECT_EQ(p[0], reinterpret_cast<ULONG_PTR>(address)) << result.report;
    }
    EXPECT_EQ(p[1], ULONG_PTR{DISPATCH_LEVEL}) << result.report;
    EXPECT_EQ(p[2], violation::FaultOnExecute) << result.report;
    EXPECT_EQ(p[3], p[0]) << result.report;
}

TEST(VerifierPlacement, TheDriversMacrosPlaceCodeInItsSections) {
    EXPECT_EQ(SectionOf(reinterpret_cast<const void*>(&PagedTakesSpinLock)), ImageSection::PagedCode);
    EXPECT_EQ(SectionOf(reinterpret_cast<const void*>(&ResidentTakesSpinLock)), ImageSection::Resident);
    static QV_PAGED_DATA const char pagedText[] = "pageable";
    EXPECT_EQ(SectionOf(pagedText), ImageSection::PagedData);
    EXPECT_TRUE(ImageSections::OfProcess().Has(ImageSection::Init));
}

TEST(VerifierPlacement, PageableCodeThatRaisesIrqlToDispatchLevel) {
    ExpectPageableFetch([] {
        KSPIN_LOCK lock;
        KeInitializeSpinLock(&lock);
        PagedTakesSpinLock(&lock);
    });
    ExpectPageableFetch([] { PagedTakesCancelSpinLock(); });
    ExpectPageableFetch([] { PagedRaisesIrql(DISPATCH_LEVEL); });
    ExpectPageableFetch([] { PagedRaisesToDpcLevel(); });
    ExpectPageableFetch([] {
        KEVENT signal, reply;
        KeInitializeEvent(&signal, NotificationEvent, FALSE);
        KeInitializeEvent(&reply, NotificationEvent, TRUE);
        PagedSignalsAndWaits(&signal, &reply);
    });
    // Already at DISPATCH_LEVEL, where its caller raised it.
    ExpectPageableFetch([] {
        KSPIN_LOCK lock;
        KeInitializeSpinLock(&lock);
        KIRQL old;
        KeRaiseIrql(DISPATCH_LEVEL, &old);
        PagedTakesSpinLockAtDpcLevel(&lock);
        KeLowerIrql(old);
    });
    // APC_LEVEL is no trouble for pageable code, nor is a lock that a
    // resident routine takes and gives back before returning to it.
    Machine machine;
    RunOk(machine, [] {
        PagedRaisesIrql(APC_LEVEL);
        KSPIN_LOCK lock;
        KeInitializeSpinLock(&lock);
        PagedCallsResidentLocker(&lock);
        ResidentTakesSpinLock(&lock);
    });
}

TEST(VerifierPlacement, PageableRoutineCalledAtDispatchLevel) {
    // Deferred routines run at DISPATCH_LEVEL.
    ExpectPageableFetch([] { RunDeferredRoutine(&PagedDeferredRoutine); },
                        reinterpret_cast<const void*>(&PagedDeferredRoutine));
    // A system thread starts at PASSIVE_LEVEL: its start routine may be pageable.
    Machine machine;
    RunOk(machine, [] {
        KEVENT started;
        KeInitializeEvent(&started, NotificationEvent, FALSE);
        HANDLE thread = nullptr;
        ASSERT_EQ(PsCreateSystemThread(&thread, 0, nullptr, nullptr, nullptr, &PagedThreadStart, &started),
                  STATUS_SUCCESS);
        KeWaitForSingleObject(&started, Executive, KernelMode, FALSE, nullptr);
        ZwClose(thread);
    });
}

// ---- INIT code -------------------------------------------------------------

QV_TEST_INIT void InitReadsTheClock() {
    LARGE_INTEGER now;
    KeQuerySystemTime(&now);
}

QV_TEST_INIT VOID NTAPI InitUnload(PDRIVER_OBJECT) {}

QV_TEST_INIT VOID NTAPI InitDeferredRoutine(PKDPC, PVOID, PVOID, PVOID) {}

QV_TEST_INIT NTSTATUS NTAPI InitEntry(PDRIVER_OBJECT, PUNICODE_STRING) {
    InitReadsTheClock(); // INIT calls INIT while the driver loads
    return STATUS_SUCCESS;
}

// An entry routine that leaves its unload routine in INIT.
QV_TEST_INIT NTSTATUS NTAPI EntryWithUnloadInInit(PDRIVER_OBJECT driver, PUNICODE_STRING) {
    driver->DriverUnload = &InitUnload;
    return STATUS_SUCCESS;
}

PDRIVER_OBJECT LoadTestDriver(PDRIVER_INITIALIZE entry) {
    NTSTATUS status = STATUS_UNSUCCESSFUL;
    PDRIVER_OBJECT driver = Io().LoadDriver(u"\\Driver\\PlacementTest", entry, &status);
    EXPECT_EQ(status, STATUS_SUCCESS);
    return driver;
}

// The run stopped as running discarded INIT code stops Windows: a fault on
// a freed page, PAGE_FAULT_IN_NONPAGED_AREA below DISPATCH_LEVEL and
// DRIVER_IRQL_NOT_LESS_OR_EQUAL at it, an instruction fetch from `address`,
// which lies in INIT.
void ExpectDiscardedFetch(std::function<void()> body, KIRQL irql, const void* address = nullptr) {
    const bool high = irql >= DISPATCH_LEVEL;
    const RunResult result = RunExpectingBugCheck(
        std::move(body), high ? bugcode::DRIVER_IRQL_NOT_LESS_OR_EQUAL : bugcode::PAGE_FAULT_IN_NONPAGED_AREA);
    if (!result.bugCheck) return;
    const ULONG_PTR* p = result.bugCheck->parameters;
    EXPECT_EQ(SectionOf(reinterpret_cast<const void*>(p[0])), ImageSection::Init) << result.report;
    if (address != nullptr) {
        EXPECT_EQ(p[0], reinterpret_cast<ULONG_PTR>(address)) << result.report;
    }
    if (high) {
        EXPECT_EQ(p[1], ULONG_PTR{irql}) << result.report;
        EXPECT_EQ(p[2], violation::FaultOnExecute) << result.report;
        EXPECT_EQ(p[3], p[0]) << result.report;
    } else {
        EXPECT_EQ(p[1], violation::NonPagedFaultOnExecute) << result.report;
        EXPECT_EQ(p[2], p[0]) << result.report;
        EXPECT_EQ(p[3], violation::NonPagedFaultFreedPte) << result.report;
    }
}

TEST(VerifierPlacement, InitCodeCallingTheKernelAfterLoad) {
    ExpectDiscardedFetch(
        [] {
            PDRIVER_OBJECT driver = LoadTestDriver(&InitEntry);
            InitReadsTheClock();
            Io().UnloadDriver(driver);
        },
        PASSIVE_LEVEL);
    ExpectDiscardedFetch(
        [] {
            Io().UnloadDriver(LoadTestDriver(&InitEntry));
            KIRQL old;
            KeRaiseIrql(DISPATCH_LEVEL, &old);
            InitReadsTheClock();
            KeLowerIrql(old);
        },
        DISPATCH_LEVEL);
    // While the entry routine runs, INIT is there, and it is there again
    // for the next load.
    Machine machine;
    RunOk(machine, [] {
        Io().UnloadDriver(LoadTestDriver(&InitEntry));
        Io().UnloadDriver(LoadTestDriver(&InitEntry));
    });
}

TEST(VerifierPlacement, InitRoutineCalledAfterLoad) {
    ExpectDiscardedFetch([] { Io().UnloadDriver(LoadTestDriver(&EntryWithUnloadInInit)); }, PASSIVE_LEVEL,
                         reinterpret_cast<const void*>(&InitUnload));
    ExpectDiscardedFetch([] { RunDeferredRoutine(&InitDeferredRoutine); }, DISPATCH_LEVEL,
                         reinterpret_cast<const void*>(&InitDeferredRoutine));
}

} // namespace
} // namespace qv::test
