// The smart card library's lifetime calls, SmartcardInitialize and
// SmartcardExit. The side services (SmartcardCreateLink, SmartcardLogError)
// belong to the system the library runs in: library_services.cpp on the
// emulated machine.
#include <new>

#include "smclib/library_host.h"
#include "smclib/library_state.h"

namespace qv::smclib {

namespace {

// Allocates a request or reply buffer of at least the library's minimum.
PUCHAR AllocateBuffer(ULONG& size) {
    if (size < MIN_BUFFER_SIZE) size = MIN_BUFFER_SIZE;
    return static_cast<PUCHAR>(ExAllocatePoolWithTag(NonPagedPool, size, kLibraryTag));
}

} // namespace

LibraryOsData& LibraryOf(PSMARTCARD_EXTENSION SmartcardExtension, const char* caller) {
    auto* data = SmartcardExtension == nullptr ? nullptr : reinterpret_cast<LibraryOsData*>(SmartcardExtension->OsData);
    if (data == nullptr || data->signature != kLibrarySignature) {
        host::Violation(libviolation::ExtensionNotInitialized, reinterpret_cast<ULONG_PTR>(SmartcardExtension), 0, 0,
                        "%s was called on a smart card extension that SmartcardInitialize has not set up", caller);
    }
    return *data;
}

} // namespace qv::smclib

using namespace qv;
using namespace qv::smclib;
using qv::smclib::host::RequireIrqlAtMost;

extern "C" {

NTSTATUS NTAPI SmartcardInitialize(PSMARTCARD_EXTENSION SmartcardExtension) {
    QV_LIBRARY_CHECK_CALLER();
    RequireIrqlAtMost(PASSIVE_LEVEL, "SmartcardInitialize");
    auto* existing = reinterpret_cast<LibraryOsData*>(SmartcardExtension->OsData);
    if (existing != nullptr && existing->signature == kLibrarySignature) {
        host::Violation(libviolation::InitializedTwice, reinterpret_cast<ULONG_PTR>(SmartcardExtension), 0, 0,
                        "SmartcardInitialize was called twice on one smart card extension");
    }

    void* block = ExAllocatePoolWithTag(NonPagedPool, sizeof(LibraryOsData), kLibraryTag);
    if (block == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
    ULONG requestSize = SmartcardExtension->SmartcardRequest.BufferSize;
    ULONG replySize = SmartcardExtension->SmartcardReply.BufferSize;
    PUCHAR request = AllocateBuffer(requestSize);
    PUCHAR reply = request == nullptr ? nullptr : AllocateBuffer(replySize);
    if (request == nullptr || reply == nullptr) {
        if (request != nullptr) ExFreePoolWithTag(request, kLibraryTag);
        ExFreePoolWithTag(block, kLibraryTag);
        return STATUS_INSUFFICIENT_RESOURCES;
    }

    auto* data = new (block) LibraryOsData{};
    data->signature = kLibrarySignature;
    KeInitializeMutex(&data->head.Mutex, 0);
    KeInitializeSpinLock(&data->head.SpinLock);
    KeInitializeSpinLock(&data->removeLock.lock);
    KeInitializeEvent(&data->removeLock.released, NotificationEvent, FALSE);

    SmartcardExtension->OsData = &data->head;
    SmartcardExtension->SmartcardRequest.Buffer = request;
    SmartcardExtension->SmartcardRequest.BufferSize = requestSize;
    SmartcardExtension->SmartcardRequest.BufferLength = 0;
    SmartcardExtension->SmartcardReply.Buffer = reply;
    SmartcardExtension->SmartcardReply.BufferSize = replySize;
    SmartcardExtension->SmartcardReply.BufferLength = 0;
    return STATUS_SUCCESS;
}

VOID NTAPI SmartcardExit(PSMARTCARD_EXTENSION SmartcardExtension) {
    QV_LIBRARY_CHECK_CALLER();
    RequireIrqlAtMost(PASSIVE_LEVEL, "SmartcardExit");
    LibraryOsData& data = LibraryOf(SmartcardExtension, "SmartcardExit");
    if (data.removeLock.holds != 0) {
        host::Violation(libviolation::ExitWithRemoveLockHeld, reinterpret_cast<ULONG_PTR>(SmartcardExtension), 0, 0,
                        "SmartcardExit was called while %ld hold(s) on the library's remove lock were outstanding",
                        static_cast<long>(data.removeLock.holds));
    }
    EndT1Exchange(SmartcardExtension, data);
    if (SmartcardExtension->SmartcardRequest.Buffer != nullptr) {
        ExFreePoolWithTag(SmartcardExtension->SmartcardRequest.Buffer, kLibraryTag);
    }
    if (SmartcardExtension->SmartcardReply.Buffer != nullptr) {
        ExFreePoolWithTag(SmartcardExtension->SmartcardReply.Buffer, kLibraryTag);
    }
    SmartcardExtension->SmartcardRequest.Buffer = nullptr;
    SmartcardExtension->SmartcardReply.Buffer = nullptr;
    SmartcardExtension->OsData = nullptr;
    data.signature = 0;
    data.~LibraryOsData();
    ExFreePoolWithTag(&data, kLibraryTag);
}

} // extern "C"
