// Stand-ins for the smart card library calls the test bed uses, until the
// library's own implementation joins the platform. They are weak, so that
// the library's definitions take their place; they do the least the test
// bed needs and decode no request.
#include <cstring>

#include "qvwdk.h"

namespace {
constexpr ULONG kPendingTag = QV_POOL_TAG('S', 'c', 'L', 'b');
}

extern "C" {

__attribute__((weak)) NTSTATUS NTAPI SmartcardInitialize(PSMARTCARD_EXTENSION extension) {
    void* block = ExAllocatePoolWithTag(NonPagedPool, sizeof(OS_DEP_DATA), kPendingTag);
    if (block == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
    std::memset(block, 0, sizeof(OS_DEP_DATA));
    extension->OsData = static_cast<POS_DEP_DATA>(block);
    return STATUS_SUCCESS;
}

__attribute__((weak)) VOID NTAPI SmartcardExit(PSMARTCARD_EXTENSION extension) {
    if (extension->OsData != nullptr) ExFreePoolWithTag(extension->OsData, kPendingTag);
    extension->OsData = nullptr;
}

__attribute__((weak)) NTSTATUS NTAPI SmartcardDeviceControl(PSMARTCARD_EXTENSION, PIRP irp) {
    irp->IoStatus.Status = STATUS_NOT_IMPLEMENTED;
    irp->IoStatus.Information = 0;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return STATUS_NOT_IMPLEMENTED;
}

__attribute__((weak)) NTSTATUS NTAPI SmartcardUpdateCardCapabilities(PSMARTCARD_EXTENSION) { return STATUS_SUCCESS; }

} // extern "C"
