// PLACEHOLDER, to be deleted when the power work (DispatchPower) is merged:
// power requests go down unchanged meanwhile.
#include "device.h"

NTSTATUS NTAPI DispatchPower(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
    PDEVICE_EXTENSION deviceExtension = static_cast<PDEVICE_EXTENSION>(DeviceObject->DeviceExtension);
    PoStartNextPowerIrp(Irp);
    IoSkipCurrentIrpStackLocation(Irp);
    return PoCallDriver(deviceExtension->SmartcardExtension.ReaderExtension->LowerDevice, Irp);
}
