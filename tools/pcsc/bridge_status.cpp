#include "pcsc/bridge_status.h"

namespace qv::pcsc {

Outcome OutcomeFromStatus(NTSTATUS status) {
    if (NT_SUCCESS(status)) return Outcome::Ok;
    switch (status) {
    // The card is not there, or went during the request.
    case STATUS_NO_MEDIA:
    case STATUS_NO_MEDIA_IN_DEVICE:
        return Outcome::NoCard;
    // The reader is gone or going: pulled out, removal pending, or its
    // stack no longer answers.
    case STATUS_DEVICE_REMOVED:
    case STATUS_DELETE_PENDING:
    case STATUS_NO_SUCH_DEVICE:
    case STATUS_DEVICE_NOT_CONNECTED:
    case STATUS_OBJECT_NAME_NOT_FOUND:
        return Outcome::NoDevice;
    case STATUS_IO_TIMEOUT:
        return Outcome::Timeout;
    case STATUS_NOT_SUPPORTED:
    case STATUS_INVALID_DEVICE_REQUEST:
        return Outcome::NotSupported;
    case STATUS_BUFFER_TOO_SMALL:
    case STATUS_BUFFER_OVERFLOW:
        return Outcome::BufferTooSmall;
    default:
        return Outcome::Failed;
    }
}

} // namespace qv::pcsc
