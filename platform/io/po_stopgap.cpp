// STOPGAP until the power manager is merged (branch issue13, whose
// platform/power/po_routines.cpp defines these for real): power requests go
// down like any other, and there is no queue of power requests to release.
// Delete this file when merging it.
#include "qvwdk.h"

extern "C" {
NTSTATUS NTAPI PoCallDriver(PDEVICE_OBJECT DeviceObject, PIRP Irp) { return IoCallDriver(DeviceObject, Irp); }
void NTAPI PoStartNextPowerIrp(PIRP) {}
}
