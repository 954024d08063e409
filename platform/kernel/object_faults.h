// Failures of the object manager that a test can ask for, so that the paths
// of a driver that cannot get an object from a handle run: Windows fails
// ObReferenceObjectByHandle for a handle closed meanwhile, or one without
// the access asked for.
#pragma once

#include <optional>

#include "qvwdk.h"

namespace qv {

class ObjectFaults {
  public:
    // The next `count` calls of ObReferenceObjectByHandle fail with status
    // and take no reference.
    void FailReferenceByHandle(NTSTATUS status, unsigned count = 1) {
        status_ = status;
        remaining_ = count;
    }
    // The failure armed for this call, if any; spends one.
    std::optional<NTSTATUS> TakeReferenceFailure() {
        if (remaining_ == 0) return std::nullopt;
        --remaining_;
        return status_;
    }

  private:
    NTSTATUS status_ = STATUS_SUCCESS;
    unsigned remaining_ = 0;
};

} // namespace qv
