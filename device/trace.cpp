// The driver's trace (include/trace.h): one line to the kernel debugger per
// call, with the reader's unit in front, and the names it prints. Resident:
// completion, cancel and timer routines trace at DISPATCH_LEVEL.
#include "qvscr.h"

namespace {

// "qvscr0: " to "qvscr3: "; a unit that is none of these (add-device found
// none free) shows as '?'.
constexpr CHAR TRACE_PREFIX[] = "qvscr?: ";
constexpr ULONG TRACE_PREFIX_UNIT = 5;
constexpr ULONG TRACE_PREFIX_SIZE = sizeof(TRACE_PREFIX);
static_assert(MAXIMUM_READER_UNITS <= 10, "a unit is one digit in the prefix");

VOID TraceV(ULONG Unit, ULONG Level, PCSTR Format, va_list Arguments) {
    CHAR prefix[TRACE_PREFIX_SIZE];
    RtlCopyMemory(prefix, TRACE_PREFIX, sizeof(prefix));
    if (Unit < MAXIMUM_READER_UNITS) prefix[TRACE_PREFIX_UNIT] = static_cast<CHAR>('0' + Unit);
    (void)vDbgPrintExWithPrefix(prefix, DPFLTR_IHVDRIVER_ID, Level, Format, Arguments);
}

} // namespace

VOID TraceUnit(ULONG Unit, ULONG Level, PCSTR Format, ...) {
    va_list arguments;
    va_start(arguments, Format);
    TraceV(Unit, Level, Format, arguments);
    va_end(arguments);
}

VOID TraceReader(const SMARTCARD_EXTENSION* SmartcardExtension, ULONG Level, PCSTR Format, ...) {
    va_list arguments;
    va_start(arguments, Format);
    TraceV(SmartcardExtension->VendorAttr.UnitNo, Level, Format, arguments);
    va_end(arguments);
}

VOID TraceDevice(PDEVICE_OBJECT DeviceObject, ULONG Level, PCSTR Format, ...) {
    va_list arguments;
    va_start(arguments, Format);
    TraceV(static_cast<PDEVICE_EXTENSION>(DeviceObject->DeviceExtension)->SmartcardExtension.VendorAttr.UnitNo, Level,
           Format, arguments);
    va_end(arguments);
}

VOID TraceRequest(ULONG Unit, PCSTR Name, PCSTR Major, ULONG Code, const NTSTATUS* Status) {
    if (Name != NULL && Status == NULL) TraceUnit(Unit, TRACE_REQUEST, "%s in\n", Name);
    else if (Name != NULL) TraceUnit(Unit, TRACE_REQUEST, "%s out 0x%08lX\n", Name, *Status);
    else if (Status == NULL) TraceUnit(Unit, TRACE_REQUEST, "%s 0x%lX in\n", Major, Code);
    else TraceUnit(Unit, TRACE_REQUEST, "%s 0x%lX out 0x%08lX\n", Major, Code, *Status);
}

PCSTR ControlCodeName(ULONG IoControlCode) {
    switch (IoControlCode) {
    case IOCTL_SMARTCARD_POWER:
        return "IOCTL_SMARTCARD_POWER";
    case IOCTL_SMARTCARD_GET_ATTRIBUTE:
        return "IOCTL_SMARTCARD_GET_ATTRIBUTE";
    case IOCTL_SMARTCARD_SET_ATTRIBUTE:
        return "IOCTL_SMARTCARD_SET_ATTRIBUTE";
    case IOCTL_SMARTCARD_TRANSMIT:
        return "IOCTL_SMARTCARD_TRANSMIT";
    case IOCTL_SMARTCARD_EJECT:
        return "IOCTL_SMARTCARD_EJECT";
    case IOCTL_SMARTCARD_SWALLOW:
        return "IOCTL_SMARTCARD_SWALLOW";
    case IOCTL_SMARTCARD_IS_PRESENT:
        return "IOCTL_SMARTCARD_IS_PRESENT";
    case IOCTL_SMARTCARD_IS_ABSENT:
        return "IOCTL_SMARTCARD_IS_ABSENT";
    case IOCTL_SMARTCARD_SET_PROTOCOL:
        return "IOCTL_SMARTCARD_SET_PROTOCOL";
    case IOCTL_SMARTCARD_GET_STATE:
        return "IOCTL_SMARTCARD_GET_STATE";
    default:
        return NULL;
    }
}

PCSTR PnpMinorName(UCHAR MinorFunction) {
    switch (MinorFunction) {
    case IRP_MN_START_DEVICE:
        return "IRP_MN_START_DEVICE";
    case IRP_MN_QUERY_REMOVE_DEVICE:
        return "IRP_MN_QUERY_REMOVE_DEVICE";
    case IRP_MN_REMOVE_DEVICE:
        return "IRP_MN_REMOVE_DEVICE";
    case IRP_MN_CANCEL_REMOVE_DEVICE:
        return "IRP_MN_CANCEL_REMOVE_DEVICE";
    case IRP_MN_STOP_DEVICE:
        return "IRP_MN_STOP_DEVICE";
    case IRP_MN_QUERY_STOP_DEVICE:
        return "IRP_MN_QUERY_STOP_DEVICE";
    case IRP_MN_CANCEL_STOP_DEVICE:
        return "IRP_MN_CANCEL_STOP_DEVICE";
    case IRP_MN_SURPRISE_REMOVAL:
        return "IRP_MN_SURPRISE_REMOVAL";
    default:
        return NULL;
    }
}

PCSTR CardStateName(ULONG State) {
    switch (State) {
    case SCARD_UNKNOWN:
        return "SCARD_UNKNOWN";
    case SCARD_ABSENT:
        return "SCARD_ABSENT";
    case SCARD_PRESENT:
        return "SCARD_PRESENT";
    case SCARD_SWALLOWED:
        return "SCARD_SWALLOWED";
    case SCARD_POWERED:
        return "SCARD_POWERED";
    case SCARD_NEGOTIABLE:
        return "SCARD_NEGOTIABLE";
    case SCARD_SPECIFIC:
        return "SCARD_SPECIFIC";
    default:
        return "SCARD_?";
    }
}
