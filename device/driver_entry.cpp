// The driver's entry point and its unload routine. The entry point runs once,
// when the I/O manager loads the image, and lies in the section the loader
// discards after initialisation; unloading happens at PASSIVE_LEVEL after
// Plug and Play has removed every reader, so its routine is pageable.
#include "device.h"

// IRQL: PASSIVE_LEVEL. Installs the driver's routines in the driver object;
// the registry path is not looked at. Every other major function keeps the
// I/O manager's default handler. Always succeeds.
extern "C" QV_INIT_CODE NTSTATUS NTAPI DriverEntry(PDRIVER_OBJECT DriverObject, PUNICODE_STRING RegistryPath) {
    PAGED_CODE();
    UNREFERENCED_PARAMETER(RegistryPath);

    DriverObject->MajorFunction[IRP_MJ_CREATE] = DispatchCreateClose;
    DriverObject->MajorFunction[IRP_MJ_CLOSE] = DispatchCreateClose;
    DriverObject->MajorFunction[IRP_MJ_CLEANUP] = DispatchCleanup;
    DriverObject->MajorFunction[IRP_MJ_DEVICE_CONTROL] = DispatchDeviceControl;
    DriverObject->MajorFunction[IRP_MJ_SYSTEM_CONTROL] = DispatchSystemControl;
    DriverObject->MajorFunction[IRP_MJ_PNP] = DispatchPnp;
    DriverObject->MajorFunction[IRP_MJ_POWER] = DispatchPower;
    DriverObject->DriverExtension->AddDevice = AddDevice;
    DriverObject->DriverUnload = DriverUnload;
    return STATUS_SUCCESS;
}

// IRQL: PASSIVE_LEVEL. Nothing is left to release: the remove path has
// already deleted every device object by the time the driver unloads.
QV_PAGED_CODE VOID NTAPI DriverUnload(PDRIVER_OBJECT DriverObject) {
    PAGED_CODE();
    UNREFERENCED_PARAMETER(DriverObject);
}
