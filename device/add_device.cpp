// Add-device: one functional device object per reader, with its records at
// their initial values, registered with the smart card library, attached to
// the USB device stack and with its device interface registered (disabled
// until the reader starts). Runs at PASSIVE_LEVEL in the Plug and Play
// manager's context, so it lies in pageable code.
#include "card.h"
#include "device.h"

namespace {

// Clock and data rates the reader offers the card.
constexpr ULONG READER_CLOCK_KHZ = 3571;
constexpr ULONG READER_DEFAULT_DATA_RATE = 9600;
constexpr ULONG READER_MAX_DATA_RATE = 38400;
constexpr ULONG READER_MAX_IFSD = 254;
constexpr UCHAR READER_IFD_VERSION_MAJOR = 1;

// The level the reader mutex is initialised at.
constexpr ULONG READER_MUTEX_LEVEL = 1;

// Read access to the device's hardware key.
constexpr ACCESS_MASK REGISTRY_KEY_READ = 0x20019;

// Takes the lowest free unit number; MAXIMUM_READER_UNITS when none is free.
// Only add-device and removal touch UnitInUse, both in the Plug and Play
// manager's context, one at a time, so no lock is needed.
QV_PAGED_CODE ULONG TakeUnitNumber() {
    PAGED_CODE();
    for (ULONG unit = 0; unit < MAXIMUM_READER_UNITS; ++unit) {
        if (UnitInUse[unit] == 0) {
            UnitInUse[unit] = 1;
            return unit;
        }
    }
    return MAXIMUM_READER_UNITS;
}

template <class Counted> QV_PAGED_CODE VOID SetDefaultString(Counted* Target, const UCHAR* Text, ULONG Length) {
    PAGED_CODE();
    RtlZeroMemory(Target->Buffer, sizeof(Target->Buffer));
    const ULONG copied = Length < sizeof(Target->Buffer) ? Length : sizeof(Target->Buffer);
    RtlCopyMemory(Target->Buffer, Text, copied);
    Target->Length = static_cast<USHORT>(copied);
}

// The library record's fixed values, the callbacks and the buffer sizes.
QV_PAGED_CODE VOID FillSmartcardRecord(PSMARTCARD_EXTENSION SmartcardExtension, ULONG Unit) {
    PAGED_CODE();
    SetReaderFunctions(SmartcardExtension);

    SetDefaultString(&SmartcardExtension->VendorAttr.VendorName, DefaultVendorName, DEFAULT_VENDOR_NAME_LENGTH);
    SetDefaultString(&SmartcardExtension->VendorAttr.IfdType, DefaultIfdType, DEFAULT_IFD_TYPE_LENGTH);
    SmartcardExtension->VendorAttr.UnitNo = Unit;
    SmartcardExtension->VendorAttr.IfdVersion.VersionMajor = READER_IFD_VERSION_MAJOR;
    SmartcardExtension->VendorAttr.IfdVersion.VersionMinor = 0;
    SmartcardExtension->VendorAttr.IfdVersion.BuildNumber = 0;
    SmartcardExtension->VendorAttr.IfdSerialNo.Length = 0;

    SmartcardExtension->ReaderCapabilities.SupportedProtocols = SCARD_PROTOCOL_T0 | SCARD_PROTOCOL_T1;
    SmartcardExtension->ReaderCapabilities.ReaderType = SCARD_READER_TYPE_USB;
    SmartcardExtension->ReaderCapabilities.MechProperties = 0;
    SmartcardExtension->ReaderCapabilities.Channel = 0;
    SmartcardExtension->ReaderCapabilities.CLKFrequency.Default = READER_CLOCK_KHZ;
    SmartcardExtension->ReaderCapabilities.CLKFrequency.Max = READER_CLOCK_KHZ;
    SmartcardExtension->ReaderCapabilities.DataRate.Default = READER_DEFAULT_DATA_RATE;
    SmartcardExtension->ReaderCapabilities.DataRate.Max = READER_MAX_DATA_RATE;
    SmartcardExtension->ReaderCapabilities.MaxIFSD = READER_MAX_IFSD;

    SmartcardExtension->Version = SMCLIB_VERSION;
    SmartcardExtension->SmartcardRequest.BufferSize = SMARTCARD_BUFFER_SIZE;
    SmartcardExtension->SmartcardReply.BufferSize = SMARTCARD_BUFFER_SIZE;
}

// The strings the registry override allocates; whatever holds a buffer at
// the end of add-device is freed there.
struct VENDOR_OVERRIDE {
    HANDLE Key;
    UNICODE_STRING VendorName;
    UNICODE_STRING IfdType;
    ANSI_STRING VendorNameAnsi;
    ANSI_STRING IfdTypeAnsi;
};

// A string the registry routine filled in: a buffer, an even length, and
// the length within the buffer.
QV_PAGED_CODE BOOLEAN IsWholeString(const UNICODE_STRING* Text) {
    PAGED_CODE();
    return Text->Buffer != NULL && (Text->Length % sizeof(WCHAR)) == 0 && Text->Length <= Text->MaximumLength;
}

// Replaces the default vendor and reader-type names with "VendorName" and
// "IfdType" from the device's hardware key, both or neither, and only when
// both are from 1 to MAXIMUM_ATTR_STRING_LENGTH bytes in ANSI. A failure
// anywhere leaves the defaults.
QV_PAGED_CODE VOID ReadVendorOverride(PDEVICE_OBJECT PhysicalDeviceObject, PSMARTCARD_EXTENSION SmartcardExtension,
                                      VENDOR_OVERRIDE* Override) {
    PAGED_CODE();
    static const WCHAR emptyString[] = L"";

    if (!NT_SUCCESS(IoOpenDeviceRegistryKey(PhysicalDeviceObject, PLUGPLAY_REGKEY_DEVICE, REGISTRY_KEY_READ,
                                            &Override->Key))) {
        Override->Key = NULL;
        return;
    }

    RTL_QUERY_REGISTRY_TABLE table[3];
    RtlZeroMemory(table, sizeof(table));
    table[0].Flags = RTL_QUERY_REGISTRY_DIRECT;
    table[0].Name = const_cast<PWSTR>(L"VendorName");
    table[0].EntryContext = &Override->VendorName;
    table[0].DefaultType = REG_SZ;
    table[0].DefaultData = const_cast<PWSTR>(emptyString);
    table[0].DefaultLength = 0;
    table[1].Flags = RTL_QUERY_REGISTRY_DIRECT;
    table[1].Name = const_cast<PWSTR>(L"IfdType");
    table[1].EntryContext = &Override->IfdType;
    table[1].DefaultType = REG_SZ;
    table[1].DefaultData = const_cast<PWSTR>(emptyString);
    table[1].DefaultLength = 0;

    if (!NT_SUCCESS(RtlQueryRegistryValues(RTL_REGISTRY_HANDLE, static_cast<PCWSTR>(Override->Key), table, NULL,
                                           NULL))) {
        return;
    }
    // A direct query stores a value that is not a string (a REG_DWORD, say)
    // over the UNICODE_STRING itself, leaving a length without a buffer; the
    // hardware key is not ours to trust, so only whole strings are read.
    if (!IsWholeString(&Override->VendorName) || !IsWholeString(&Override->IfdType)) return;
    if (!NT_SUCCESS(RtlUnicodeStringToAnsiString(&Override->VendorNameAnsi, &Override->VendorName, TRUE))) return;
    if (!NT_SUCCESS(RtlUnicodeStringToAnsiString(&Override->IfdTypeAnsi, &Override->IfdType, TRUE))) return;

    const USHORT vendorLength = Override->VendorNameAnsi.Length;
    const USHORT ifdLength = Override->IfdTypeAnsi.Length;
    if (vendorLength == 0 || vendorLength > MAXIMUM_ATTR_STRING_LENGTH || ifdLength == 0 ||
        ifdLength > MAXIMUM_ATTR_STRING_LENGTH) {
        return;
    }
    RtlCopyMemory(SmartcardExtension->VendorAttr.VendorName.Buffer, Override->VendorNameAnsi.Buffer, vendorLength);
    SmartcardExtension->VendorAttr.VendorName.Length = vendorLength;
    RtlCopyMemory(SmartcardExtension->VendorAttr.IfdType.Buffer, Override->IfdTypeAnsi.Buffer, ifdLength);
    SmartcardExtension->VendorAttr.IfdType.Length = ifdLength;
}

QV_PAGED_CODE VOID ReleaseVendorOverride(VENDOR_OVERRIDE* Override) {
    PAGED_CODE();
    if (Override->VendorName.Buffer != NULL) RtlFreeUnicodeString(&Override->VendorName);
    if (Override->IfdType.Buffer != NULL) RtlFreeUnicodeString(&Override->IfdType);
    if (Override->VendorNameAnsi.Buffer != NULL) RtlFreeAnsiString(&Override->VendorNameAnsi);
    if (Override->IfdTypeAnsi.Buffer != NULL) RtlFreeAnsiString(&Override->IfdTypeAnsi);
    if (Override->Key != NULL) ZwClose(Override->Key);
}

} // namespace

// IRQL: PASSIVE_LEVEL, in the Plug and Play manager's context. Creates the
// reader's device object above PhysicalDeviceObject; on failure nothing is
// left behind and the unit number taken is free again.
QV_PAGED_CODE NTSTATUS NTAPI AddDevice(PDRIVER_OBJECT DriverObject,
                                                    PDEVICE_OBJECT PhysicalDeviceObject) {
    PAGED_CODE();
    PDEVICE_OBJECT deviceObject = NULL;
    PDEVICE_EXTENSION deviceExtension = NULL;
    PSMARTCARD_EXTENSION smartcardExtension = NULL;
    PREADER_EXTENSION readerExtension = NULL;
    VENDOR_OVERRIDE override;
    RtlZeroMemory(&override, sizeof(override));
    NTSTATUS status = STATUS_SUCCESS;

    const ULONG unit = TakeUnitNumber();
    if (unit == MAXIMUM_READER_UNITS) {
        // Four readers are served already; nothing was created.
        TraceUnit(unit, TRACE_ERROR, "add-device refused: %lu readers are served already\n", MAXIMUM_READER_UNITS);
        return STATUS_INSUFFICIENT_RESOURCES;
    }

    status = IoCreateDevice(DriverObject, sizeof(DEVICE_EXTENSION), NULL, FILE_DEVICE_SMARTCARD, 0, TRUE,
                            &deviceObject);
    if (!NT_SUCCESS(status)) {
        TraceUnit(unit, TRACE_ERROR, "add-device failed: IoCreateDevice 0x%08lX\n", status);
        deviceObject = NULL;
        // No device object carries the unit number: give it back here.
        UnitInUse[unit] = 0;
        SmartcardLogError(DriverObject, READER_ADD_FAILED_LOG_CODE, NULL, 0);
        goto Cleanup;
    }
    deviceExtension = static_cast<PDEVICE_EXTENSION>(deviceObject->DeviceExtension);
    smartcardExtension = &deviceExtension->SmartcardExtension;
    // At once, so that the clean-up frees this unit number and no other.
    smartcardExtension->VendorAttr.UnitNo = unit;

    deviceExtension->LegacyOs =
        IoIsWdmVersionAvailable(WDM_MAJOR_VERSION_CHECKED, WDM_MINOR_VERSION_CHECKED) ? FALSE : TRUE;

    KeInitializeSpinLock(&deviceExtension->SpinLock);
    KeInitializeEvent(&deviceExtension->ReaderRemoved, NotificationEvent, FALSE);
    KeInitializeEvent(&deviceExtension->ReaderStarted, NotificationEvent, FALSE);
    KeInitializeEvent(&deviceExtension->ReaderClosed, NotificationEvent, TRUE);
    deviceExtension->HandleOpen = 0;
    KeInitializeEvent(&deviceExtension->PollEvent, NotificationEvent, FALSE);
    KeInitializeEvent(&deviceExtension->RequestsIdle, NotificationEvent, TRUE);
    // Not started yet, and the system is working: the gate opens at start.
    deviceExtension->PnpReady = FALSE;
    deviceExtension->PowerReady = TRUE;

    readerExtension =
        static_cast<PREADER_EXTENSION>(ExAllocatePoolWithTag(NonPagedPool, sizeof(READER_EXTENSION), READER_POOL_TAG));
    if (readerExtension == NULL) {
        TraceUnit(unit, TRACE_ERROR, "allocation failed: the reader's record\n");
        SmartcardLogError(DriverObject, READER_ADD_FAILED_LOG_CODE, NULL, 0);
        status = STATUS_INSUFFICIENT_RESOURCES;
        goto Cleanup;
    }
    RtlZeroMemory(readerExtension, sizeof(READER_EXTENSION));
    smartcardExtension->ReaderExtension = readerExtension;

    // Every card service and the poller wait on this mutex; a reader without
    // it cannot work, so a block that cannot be had fails the device like
    // the reader record it belongs to.
    readerExtension->ReaderMutex =
        static_cast<PKMUTEX>(ExAllocatePoolWithTag(NonPagedPool, sizeof(KMUTEX), READER_POOL_TAG));
    if (readerExtension->ReaderMutex == NULL) {
        TraceUnit(unit, TRACE_ERROR, "allocation failed: the reader's mutex\n");
        SmartcardLogError(DriverObject, READER_ADD_FAILED_LOG_CODE, NULL, 0);
        status = STATUS_INSUFFICIENT_RESOURCES;
        goto Cleanup;
    }
    KeInitializeMutex(readerExtension->ReaderMutex, READER_MUTEX_LEVEL);
    KeInitializeEvent(&readerExtension->LinkIdle, NotificationEvent, TRUE);
    readerExtension->MaxTransferSize = READER_MAX_TRANSFER_SIZE;

    FillSmartcardRecord(smartcardExtension, unit);
    readerExtension->PowerState = READER_POWERED;

    status = SmartcardInitialize(smartcardExtension);
    if (status != STATUS_SUCCESS) {
        TraceUnit(unit, TRACE_ERROR, "add-device failed: SmartcardInitialize 0x%08lX\n", status);
        SmartcardLogError(DriverObject, READER_ADD_FAILED_LOG_CODE, NULL, 0);
        goto Cleanup;
    }
    smartcardExtension->OsData->DeviceObject = deviceObject;

    readerExtension->LowerDevice = IoAttachDeviceToDeviceStack(deviceObject, PhysicalDeviceObject);
    if (readerExtension->LowerDevice == NULL) {
        TraceUnit(unit, TRACE_ERROR, "add-device failed: no device to attach to\n");
        status = STATUS_UNSUCCESSFUL;
        goto Cleanup;
    }

    // Registered now, enabled when the reader starts. A failure here does not
    // stop the steps that follow; it becomes the result.
    status = IoRegisterDeviceInterface(PhysicalDeviceObject, &GUID_DEVINTERFACE_SMARTCARD_READER, NULL,
                                       &deviceExtension->PnPDeviceName);
    if (deviceExtension->LegacyOs) {
        status = SmartcardCreateLink(&deviceExtension->DosLinkName, &deviceExtension->PnPDeviceName);
    }

    deviceObject->Flags |= DO_BUFFERED_IO;
    deviceObject->Flags |= DO_POWER_PAGABLE;
    deviceObject->Flags &= ~DO_DEVICE_INITIALIZING;

    if (!deviceExtension->LegacyOs) ReadVendorOverride(PhysicalDeviceObject, smartcardExtension, &override);

Cleanup:
    ReleaseVendorOverride(&override);
    TraceUnit(unit, NT_SUCCESS(status) ? TRACE_STATE : TRACE_ERROR, "AddDevice out 0x%08lX\n", status);
    if (status != STATUS_SUCCESS) {
        // The tear-down gives back one hold on the library's remove lock and
        // waits for the rest, as the remove request does with the hold it
        // took on entry. Nobody else holds it yet; take the one it gives back.
        if (smartcardExtension != NULL && smartcardExtension->OsData != NULL) {
            (void)SmartcardAcquireRemoveLock(smartcardExtension);
        }
        RemoveReaderDevice(deviceObject);
    }
    return status;
}
