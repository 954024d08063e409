#include "kernel/placement_rules.h"

#include <string>
#include <string_view>

#include "kernel/image_sections.h"
#include "kernel/kernel.h"

namespace qv {

namespace {

ULONG_PTR Address(const void* address) { return reinterpret_cast<ULONG_PTR>(address); }

std::string Where(const void* address, ImageSection section) { return ImageSections::Describe(address, section); }

// INIT is gone once the entry routine has returned: running there is a
// fault on a freed page, which Windows reports as a page fault in
// non-paged memory, or as an IRQL fault at DISPATCH_LEVEL and above, where
// no page fault may be taken at all.
void DiscardedCodeRuns(std::string_view rule, const void* address, const std::string& what) {
    const KIRQL irql = CurrentIrql();
    if (irql >= DISPATCH_LEVEL) {
        K().Violation(rule, bugcode::DRIVER_IRQL_NOT_LESS_OR_EQUAL, Address(address), irql, violation::FaultOnExecute,
                      Address(address), what);
    } else {
        K().Violation(rule, bugcode::PAGE_FAULT_IN_NONPAGED_AREA, Address(address), violation::NonPagedFaultOnExecute,
                      Address(address), violation::NonPagedFaultFreedPte, what);
    }
}

// Pageable code at DISPATCH_LEVEL: under IRQL checking its page has just been
// trimmed, and fetching it faults where no page fault may be taken.
void PageableCodeRuns(std::string_view rule, const void* address, KIRQL irql, const std::string& what) {
    K().Violation(rule, bugcode::DRIVER_IRQL_NOT_LESS_OR_EQUAL, Address(address), irql, violation::FaultOnExecute,
                  Address(address), what);
}

void CheckInitCaller(const void* returnAddress, const char* routine) {
    if (!HasKernel() || K().DriverEntryRunning()) return;
    DiscardedCodeRuns("init-code-after-load", returnAddress,
                      std::string(routine) + " called from INIT code at " + Where(returnAddress, ImageSection::Init) +
                          ", which its driver's loader discarded when the entry routine returned");
}

} // namespace

void CheckCaller(const void* returnAddress, const char* routine) {
    if (ImageSections::OfProcess().Of(returnAddress) == ImageSection::Init) CheckInitCaller(returnAddress, routine);
}

void CheckCallerAtIrql(const void* returnAddress, KIRQL irql, const char* routine) {
    switch (ImageSections::OfProcess().Of(returnAddress)) {
    case ImageSection::Init:
        CheckInitCaller(returnAddress, routine);
        break;
    case ImageSection::PagedCode:
        if (irql >= DISPATCH_LEVEL && HasKernel()) {
            PageableCodeRuns("paged-code-at-dispatch", returnAddress, irql,
                             "pageable code at " + Where(returnAddress, ImageSection::PagedCode) +
                                 " goes on at IRQL " + std::to_string(irql) + " after " + routine);
        }
        break;
    default:
        break;
    }
}

void CheckDriverRoutineAddress(const void* routine, const char* what) {
    switch (ImageSections::OfProcess().Of(routine)) {
    case ImageSection::Init:
        if (!K().DriverEntryRunning()) {
            DiscardedCodeRuns("init-routine-called-after-load", routine,
                              std::string(what) + " at " + Where(routine, ImageSection::Init) +
                                  " called after its driver's entry routine returned, when INIT is discarded");
        }
        break;
    case ImageSection::PagedCode:
        if (const KIRQL irql = CurrentIrql(); irql >= DISPATCH_LEVEL) {
            PageableCodeRuns("paged-routine-called-at-dispatch", routine, irql,
                             std::string(what) + " at " + Where(routine, ImageSection::PagedCode) +
                                 " is pageable and was called at IRQL " + std::to_string(irql));
        }
        break;
    default:
        break;
    }
}

} // namespace qv
