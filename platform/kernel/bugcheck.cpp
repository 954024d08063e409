#include "kernel/bugcheck.h"

#include <cstdio>
#include <sstream>

namespace qv {

const char* BugCheckName(ULONG code) {
    switch (code) {
    case 0:
        return "UNHANDLED_HOST_EXCEPTION";
    case bugcode::IRQL_NOT_GREATER_OR_EQUAL:
        return "IRQL_NOT_GREATER_OR_EQUAL";
    case bugcode::IRQL_NOT_LESS_OR_EQUAL:
        return "IRQL_NOT_LESS_OR_EQUAL";
    case bugcode::MAXIMUM_WAIT_OBJECTS_EXCEEDED:
        return "MAXIMUM_WAIT_OBJECTS_EXCEEDED";
    case bugcode::SYSTEM_EXIT_OWNED_MUTEX:
        return "SYSTEM_EXIT_OWNED_MUTEX";
    case bugcode::WORKER_THREAD_RETURNED_AT_BAD_IRQL:
        return "WORKER_THREAD_RETURNED_AT_BAD_IRQL";
    case bugcode::THREAD_TERMINATE_HELD_MUTEX:
        return "THREAD_TERMINATE_HELD_MUTEX";
    case bugcode::SPIN_LOCK_ALREADY_OWNED:
        return "SPIN_LOCK_ALREADY_OWNED";
    case bugcode::SPIN_LOCK_NOT_OWNED:
        return "SPIN_LOCK_NOT_OWNED";
    case bugcode::THREAD_NOT_MUTEX_OWNER:
        return "THREAD_NOT_MUTEX_OWNER";
    case bugcode::KMODE_EXCEPTION_NOT_HANDLED:
        return "KMODE_EXCEPTION_NOT_HANDLED";
    case bugcode::REFERENCE_BY_POINTER:
        return "REFERENCE_BY_POINTER";
    case bugcode::NO_MORE_IRP_STACK_LOCATIONS:
        return "NO_MORE_IRP_STACK_LOCATIONS";
    case bugcode::MULTIPLE_IRP_COMPLETE_REQUESTS:
        return "MULTIPLE_IRP_COMPLETE_REQUESTS";
    case bugcode::IRQL_GT_ZERO_AT_SYSTEM_SERVICE:
        return "IRQL_GT_ZERO_AT_SYSTEM_SERVICE";
    case bugcode::PAGE_FAULT_IN_NONPAGED_AREA:
        return "PAGE_FAULT_IN_NONPAGED_AREA";
    case bugcode::DRIVER_POWER_STATE_FAILURE:
        return "DRIVER_POWER_STATE_FAILURE";
    case bugcode::SPECIAL_POOL_DETECTED_MEMORY_CORRUPTION:
        return "SPECIAL_POOL_DETECTED_MEMORY_CORRUPTION";
    case bugcode::BAD_POOL_CALLER:
        return "BAD_POOL_CALLER";
    case bugcode::DRIVER_VERIFIER_DETECTED_VIOLATION:
        return "DRIVER_VERIFIER_DETECTED_VIOLATION";
    case bugcode::DRIVER_VERIFIER_IOMANAGER_VIOLATION:
        return "DRIVER_VERIFIER_IOMANAGER_VIOLATION";
    case bugcode::DRIVER_UNLOADED_WITHOUT_CANCELLING_PENDING_OPERATIONS:
        return "DRIVER_UNLOADED_WITHOUT_CANCELLING_PENDING_OPERATIONS";
    case bugcode::DRIVER_IRQL_NOT_LESS_OR_EQUAL:
        return "DRIVER_IRQL_NOT_LESS_OR_EQUAL";
    default:
        return "BUG_CHECK";
    }
}

std::string BugCheckInfo::Report() const {
    std::ostringstream out;
    char line[160];
    std::snprintf(line, sizeof line, "*** STOP 0x%08X (0x%llX, 0x%llX, 0x%llX, 0x%llX) %s\n", code,
                  static_cast<unsigned long long>(parameters[0]), static_cast<unsigned long long>(parameters[1]),
                  static_cast<unsigned long long>(parameters[2]), static_cast<unsigned long long>(parameters[3]),
                  BugCheckName(code));
    out << line;
    out << "    " << what << "\n";
    out << "    seed " << seed << ", thread '" << thread << "', virtual time " << time / 10'000 << " ms\n";
    if (!recentIrps.empty()) {
        out << "    last IRPs:\n";
        for (const auto& irp : recentIrps) out << "      " << irp << "\n";
    }
    return out.str();
}

BugCheckError::BugCheckError(BugCheckInfo info) : std::runtime_error(info.Report()), info_(std::move(info)) {}

} // namespace qv
