// A stand-in for the smart card library's SmartcardDeviceControl, until the
// library's own implementation joins the platform. They are weak, so that
// the library's definitions take their place; they do the least the test
// bed needs and decode no request.
#include "qvwdk.h"

extern "C" {

__attribute__((weak)) NTSTATUS NTAPI SmartcardDeviceControl(PSMARTCARD_EXTENSION, PIRP irp) {
    irp->IoStatus.Status = STATUS_NOT_IMPLEMENTED;
    irp->IoStatus.Information = 0;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return STATUS_NOT_IMPLEMENTED;
}

} // extern "C"
