// SmartcardDeviceControl: decodes a smart-card control request, checks its
// buffers and the card state, answers what the library knows itself, and
// hands the rest to the reader functions. The IRP is completed in one place,
// at the end, unless it was left pending as a card-tracking request.
//
// Requests run one at a time through the reader functions: the library's
// IoRequest and control-code members are one per reader, so the library
// serialises on OsData->Mutex.
#include "smclib/library_host.h"
#include "smclib/library_state.h"
#include "smclib/request.h"

using namespace qv;
using namespace qv::smclib;
using qv::smclib::host::RequireIrqlAtMost;

namespace {

// Vendor-defined smart-card control codes: functions 2048..4095.
constexpr ULONG kVendorFunctionFirst = 2048;
constexpr ULONG kVendorFunctionLast = 4095;
constexpr unsigned kDeviceTypeShift = 16;
constexpr unsigned kFunctionShift = 2;
constexpr ULONG kFunctionMask = 0xFFF;
constexpr unsigned kAttributeClassShift = 16;

bool IsVendorCode(ULONG code) {
    const ULONG function = (code >> kFunctionShift) & kFunctionMask;
    return (code >> kDeviceTypeShift) == FILE_DEVICE_SMARTCARD && function >= kVendorFunctionFirst &&
           function <= kVendorFunctionLast;
}

bool CardIn(PSMARTCARD_EXTENSION SmartcardExtension) {
    return SmartcardExtension->ReaderCapabilities.CurrentState > SCARD_ABSENT;
}

// Hands the request to a reader function with IoRequest filled in; a reader
// without that function refuses it.
NTSTATUS CallReader(PSMARTCARD_EXTENSION SmartcardExtension, ULONG slot, ULONG minor, ControlRequest& request) {
    auto function = SmartcardExtension->ReaderFunction[slot];
    if (function == nullptr) return STATUS_NOT_SUPPORTED;

    ULONG information = 0;
    SmartcardExtension->OsData->CurrentIrp = request.irp;
    SmartcardExtension->MajorIoControlCode = request.code;
    SmartcardExtension->MinorIoControlCode = minor;
    SmartcardExtension->IoRequest.Information = &information;
    SmartcardExtension->IoRequest.RequestBuffer = request.buffer;
    SmartcardExtension->IoRequest.RequestBufferLength = request.inputLength;
    SmartcardExtension->IoRequest.ReplyBuffer = request.buffer;
    SmartcardExtension->IoRequest.ReplyBufferLength = request.outputLength;

    host::CheckDriverRoutine(reinterpret_cast<const void*>(function), "a reader function");
    const NTSTATUS status = function(SmartcardExtension);

    SmartcardExtension->IoRequest.Information = nullptr;
    SmartcardExtension->IoRequest.RequestBuffer = nullptr;
    SmartcardExtension->IoRequest.ReplyBuffer = nullptr;
    SmartcardExtension->OsData->CurrentIrp = nullptr;
    if (information > request.outputLength) {
        host::Violation(libviolation::ReplyLongerThanBuffer, reinterpret_cast<ULONG_PTR>(request.irp), information,
                        request.outputLength, "a reader function reported %u reply bytes for a reply buffer of %u",
                        static_cast<unsigned>(information), static_cast<unsigned>(request.outputLength));
    }
    request.information = information;
    return status;
}

NTSTATUS Power(PSMARTCARD_EXTENSION SmartcardExtension, ControlRequest& request) {
    if (!request.HasInput(sizeof(ULONG))) return STATUS_INVALID_PARAMETER;
    const ULONG action = request.InputUlong();
    if (!CardIn(SmartcardExtension)) return STATUS_NO_MEDIA;
    // Actions other than down, cold and warm reset go to the reader, which
    // refuses what it does not know.
    const NTSTATUS status = CallReader(SmartcardExtension, RDF_CARD_POWER, action, request);
    // Whatever the card went through, a T=1 session with it is over.
    NoteCardReset(LibraryOf(SmartcardExtension, "SmartcardDeviceControl"));
    return status;
}

NTSTATUS Attribute(PSMARTCARD_EXTENSION SmartcardExtension, ControlRequest& request, bool set) {
    if (!request.HasInput(sizeof(ULONG))) return STATUS_INVALID_PARAMETER;
    const ULONG attribute = request.InputUlong();
    if ((attribute >> kAttributeClassShift) == SCARD_CLASS_VENDOR_DEFINED) {
        return CallReader(SmartcardExtension, RDF_IOCTL_VENDOR, 0, request);
    }
    // No standard attribute can be set through the library.
    if (set) return STATUS_NOT_SUPPORTED;
    return AnswerAttribute(SmartcardExtension, attribute, request);
}

NTSTATUS Transmit(PSMARTCARD_EXTENSION SmartcardExtension, ControlRequest& request) {
    if (!request.HasInput(sizeof(SCARD_IO_REQUEST))) return STATUS_INVALID_PARAMETER;
    SCARD_IO_REQUEST header;
    RtlCopyMemory(&header, request.buffer, sizeof header);
    if (header.cbPciLength < sizeof(SCARD_IO_REQUEST) || header.cbPciLength > request.inputLength) {
        return STATUS_INVALID_PARAMETER;
    }
    if (request.outputLength < sizeof(SCARD_IO_REQUEST)) return STATUS_BUFFER_TOO_SMALL;
    // The reply takes the header with its protocol data in front of the response.
    if (request.outputLength < header.cbPciLength) return STATUS_BUFFER_TOO_SMALL;
    if (!CardIn(SmartcardExtension)) return STATUS_NO_MEDIA;
    const SCARD_CARD_CAPABILITIES& card = SmartcardExtension->CardCapabilities;
    // The header names the one protocol selected for the card, nothing else.
    if (SmartcardExtension->ReaderCapabilities.CurrentState != SCARD_SPECIFIC ||
        header.dwProtocol != card.Protocol.Selected) {
        return STATUS_INVALID_DEVICE_STATE;
    }
    const NTSTATUS status = CallReader(SmartcardExtension, RDF_TRANSMIT, card.Protocol.Selected, request);
    EndT1Exchange(SmartcardExtension, LibraryOf(SmartcardExtension, "SmartcardDeviceControl"));
    return status;
}

NTSTATUS SetProtocol(PSMARTCARD_EXTENSION SmartcardExtension, ControlRequest& request) {
    if (!request.HasInput(sizeof(ULONG))) return STATUS_INVALID_PARAMETER;
    const ULONG protocols = request.InputUlong();
    if (request.outputLength < sizeof(ULONG)) return STATUS_BUFFER_TOO_SMALL;
    if (!CardIn(SmartcardExtension)) return STATUS_NO_MEDIA;
    // A mask without any protocol the library knows asks for nothing.
    if ((protocols & (SCARD_PROTOCOL_T0 | SCARD_PROTOCOL_T1 | SCARD_PROTOCOL_RAW)) == 0) {
        return STATUS_INVALID_DEVICE_REQUEST;
    }
    // A protocol is chosen for a card whose ATR the library has parsed.
    if (SmartcardExtension->ReaderCapabilities.CurrentState < SCARD_NEGOTIABLE) return STATUS_INVALID_DEVICE_STATE;
    return CallReader(SmartcardExtension, RDF_SET_PROTOCOL, protocols, request);
}

NTSTATUS Mechanical(PSMARTCARD_EXTENSION SmartcardExtension, ULONG slot, ControlRequest& request) {
    if (SmartcardExtension->ReaderFunction[slot] == nullptr) return STATUS_NOT_SUPPORTED;
    if (!CardIn(SmartcardExtension)) return STATUS_NO_MEDIA;
    return CallReader(SmartcardExtension, slot, 0, request);
}

// IOCTL_SMARTCARD_IS_PRESENT / IS_ABSENT. Answered at once when the card is
// already in the state asked for; otherwise the IRP is marked pending, stored
// in OsData->NotificationIrp and handed to the reader's card tracking, and
// STATUS_PENDING is returned: from then on the IRP belongs to the tracking.
NTSTATUS WaitForCard(PSMARTCARD_EXTENSION SmartcardExtension, ControlRequest& request, bool present) {
    POS_DEP_DATA os = SmartcardExtension->OsData;
    KIRQL irql;
    KeAcquireSpinLock(&os->SpinLock, &irql);
    // The state is read under the spin lock under which the card poll reports
    // a change: a change after this point finds the IRP stored.
    if (CardIn(SmartcardExtension) == present) {
        KeReleaseSpinLock(&os->SpinLock, irql);
        return STATUS_SUCCESS;
    }
    if (SmartcardExtension->ReaderFunction[RDF_CARD_TRACKING] == nullptr) {
        KeReleaseSpinLock(&os->SpinLock, irql);
        return STATUS_NOT_SUPPORTED;
    }
    if (os->NotificationIrp != nullptr) {
        // One wait at a time: a second one is refused, the first goes on.
        KeReleaseSpinLock(&os->SpinLock, irql);
        return STATUS_DEVICE_BUSY;
    }
    IoMarkIrpPending(request.irp);
    os->NotificationIrp = request.irp;
    KeReleaseSpinLock(&os->SpinLock, irql);

    SmartcardExtension->MajorIoControlCode = request.code;
    SmartcardExtension->MinorIoControlCode = 0;
    host::CheckDriverRoutine(reinterpret_cast<const void*>(SmartcardExtension->ReaderFunction[RDF_CARD_TRACKING]),
                             "the card-tracking reader function");
    const NTSTATUS status = SmartcardExtension->ReaderFunction[RDF_CARD_TRACKING](SmartcardExtension);
    if (status == STATUS_PENDING) return STATUS_PENDING;

    // The reader refused to track: take the IRP back, unless a poll, a
    // cancellation or a cleanup already took it, and complete it here.
    KeAcquireSpinLock(&os->SpinLock, &irql);
    PIRP taken = os->NotificationIrp == request.irp ? os->NotificationIrp : nullptr;
    if (taken != nullptr) os->NotificationIrp = nullptr;
    KeReleaseSpinLock(&os->SpinLock, irql);
    if (taken == nullptr || (IoSetCancelRoutine(taken, nullptr) == nullptr && taken->Cancel)) {
        return STATUS_PENDING; // whoever took it completes it
    }
    // Ours again: completed with the reader's status, though marked pending.
    request.markedPending = true;
    return status;
}

const char* ControlCodeName(ULONG code) {
    switch (code) {
    case IOCTL_SMARTCARD_POWER: return "IOCTL_SMARTCARD_POWER";
    case IOCTL_SMARTCARD_GET_ATTRIBUTE: return "IOCTL_SMARTCARD_GET_ATTRIBUTE";
    case IOCTL_SMARTCARD_SET_ATTRIBUTE: return "IOCTL_SMARTCARD_SET_ATTRIBUTE";
    case IOCTL_SMARTCARD_CONFISCATE: return "IOCTL_SMARTCARD_CONFISCATE";
    case IOCTL_SMARTCARD_TRANSMIT: return "IOCTL_SMARTCARD_TRANSMIT";
    case IOCTL_SMARTCARD_EJECT: return "IOCTL_SMARTCARD_EJECT";
    case IOCTL_SMARTCARD_SWALLOW: return "IOCTL_SMARTCARD_SWALLOW";
    case IOCTL_SMARTCARD_IS_PRESENT: return "IOCTL_SMARTCARD_IS_PRESENT";
    case IOCTL_SMARTCARD_IS_ABSENT: return "IOCTL_SMARTCARD_IS_ABSENT";
    case IOCTL_SMARTCARD_SET_PROTOCOL: return "IOCTL_SMARTCARD_SET_PROTOCOL";
    case IOCTL_SMARTCARD_GET_STATE: return "IOCTL_SMARTCARD_GET_STATE";
    case IOCTL_SMARTCARD_GET_LAST_ERROR: return "IOCTL_SMARTCARD_GET_LAST_ERROR";
    case IOCTL_SMARTCARD_GET_PERF_CNTR: return "IOCTL_SMARTCARD_GET_PERF_CNTR";
    default: return nullptr;
    }
}

// One line per request in the machine's trace (category "smclib").
void NoteRequest(const ControlRequest& request, NTSTATUS status) {
    const unsigned bytes = NT_ERROR(status) ? 0 : static_cast<unsigned>(request.information);
    if (const char* name = ControlCodeName(request.code)) {
        host::Note("%s in %u out %u -> %s, %u bytes", name, static_cast<unsigned>(request.inputLength),
                   static_cast<unsigned>(request.outputLength), host::StatusName(status), bytes);
    } else {
        host::Note("0x%08X in %u out %u -> %s, %u bytes", static_cast<unsigned>(request.code),
                   static_cast<unsigned>(request.inputLength), static_cast<unsigned>(request.outputLength),
                   host::StatusName(status), bytes);
    }
}

NTSTATUS Serve(PSMARTCARD_EXTENSION SmartcardExtension, ControlRequest& request) {
    switch (request.code) {
    case IOCTL_SMARTCARD_POWER:
        return Power(SmartcardExtension, request);
    case IOCTL_SMARTCARD_GET_ATTRIBUTE:
        return Attribute(SmartcardExtension, request, false);
    case IOCTL_SMARTCARD_SET_ATTRIBUTE:
        return Attribute(SmartcardExtension, request, true);
    case IOCTL_SMARTCARD_TRANSMIT:
        return Transmit(SmartcardExtension, request);
    case IOCTL_SMARTCARD_SET_PROTOCOL:
        return SetProtocol(SmartcardExtension, request);
    case IOCTL_SMARTCARD_EJECT:
        return Mechanical(SmartcardExtension, RDF_CARD_EJECT, request);
    case IOCTL_SMARTCARD_SWALLOW:
        return Mechanical(SmartcardExtension, RDF_READER_SWALLOW, request);
    case IOCTL_SMARTCARD_CONFISCATE:
        return Mechanical(SmartcardExtension, RDF_CARD_CONFISCATE, request);
    case IOCTL_SMARTCARD_IS_PRESENT:
        return WaitForCard(SmartcardExtension, request, true);
    case IOCTL_SMARTCARD_IS_ABSENT:
        return WaitForCard(SmartcardExtension, request, false);
    case IOCTL_SMARTCARD_GET_STATE:
        return request.AnswerUlong(SmartcardExtension->ReaderCapabilities.CurrentState);
    case IOCTL_SMARTCARD_GET_LAST_ERROR:
        return request.AnswerUlong(SmartcardExtension->LastError);
    case IOCTL_SMARTCARD_GET_PERF_CNTR:
        return STATUS_NOT_SUPPORTED; // the library keeps no performance counters
    default:
        if (IsVendorCode(request.code)) return CallReader(SmartcardExtension, RDF_IOCTL_VENDOR, 0, request);
        return STATUS_INVALID_DEVICE_REQUEST;
    }
}

} // namespace

extern "C" NTSTATUS NTAPI SmartcardDeviceControl(PSMARTCARD_EXTENSION SmartcardExtension, PIRP Irp) {
    QV_LIBRARY_CHECK_CALLER();
    RequireIrqlAtMost(PASSIVE_LEVEL, "SmartcardDeviceControl");
    LibraryOsData& data = LibraryOf(SmartcardExtension, "SmartcardDeviceControl");
    const PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);

    ControlRequest request;
    request.irp = Irp;
    request.code = stack->Parameters.DeviceIoControl.IoControlCode;
    request.inputLength = stack->Parameters.DeviceIoControl.InputBufferLength;
    request.outputLength = stack->Parameters.DeviceIoControl.OutputBufferLength;
    request.buffer = static_cast<PUCHAR>(Irp->AssociatedIrp.SystemBuffer);

    NTSTATUS status;
    if (SmartcardExtension->Version < SMCLIB_VERSION) {
        // An extension of an older layout than this library's.
        status = STATUS_INVALID_PARAMETER;
    } else if (stack->MajorFunction != IRP_MJ_DEVICE_CONTROL) {
        status = STATUS_INVALID_DEVICE_REQUEST;
    } else {
        KeWaitForSingleObject(&data.head.Mutex, Executive, KernelMode, FALSE, nullptr);
        status = Serve(SmartcardExtension, request);
        KeReleaseMutex(&data.head.Mutex, FALSE);
    }
    NoteRequest(request, status);
    if (status == STATUS_PENDING) return STATUS_PENDING; // the IRP is the tracking's now

    // The one place where the library completes a request. Errors carry no data.
    Irp->IoStatus.Status = status;
    Irp->IoStatus.Information = NT_ERROR(status) ? 0 : request.information;
    IoCompleteRequest(Irp, IO_NO_INCREMENT);
    // A request once marked pending must be reported pending, however it ended.
    return request.markedPending ? STATUS_PENDING : status;
}
