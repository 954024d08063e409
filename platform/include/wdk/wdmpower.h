// The power manager's routines for WDM drivers, as the Windows Driver Kit
// declares them (wdm.h). Power IRPs go down a stack with PoCallDriver; each
// driver tells the power manager with PoStartNextPowerIrp when it can take
// the next one (every driver, on the Windows versions before Vista this
// driver is built for); PoRequestPowerIrp asks for a device power request
// and calls the requester back once the stack has finished it.
#pragma once

#include "wdk/wdm.h"

#ifdef __cplusplus
extern "C" {
#endif

typedef void(NTAPI REQUEST_POWER_COMPLETE)(PDEVICE_OBJECT DeviceObject, UCHAR MinorFunction, POWER_STATE PowerState,
                                           PVOID Context, PIO_STATUS_BLOCK IoStatus);
typedef REQUEST_POWER_COMPLETE* PREQUEST_POWER_COMPLETE;

NTSTATUS NTAPI PoCallDriver(PDEVICE_OBJECT DeviceObject, PIRP Irp);
void NTAPI PoStartNextPowerIrp(PIRP Irp);
POWER_STATE NTAPI PoSetPowerState(PDEVICE_OBJECT DeviceObject, POWER_STATE_TYPE Type, POWER_STATE State);
NTSTATUS NTAPI PoRequestPowerIrp(PDEVICE_OBJECT DeviceObject, UCHAR MinorFunction, POWER_STATE PowerState,
                                 PREQUEST_POWER_COMPLETE CompletionFunction, PVOID Context, PIRP* Irp);

#ifdef __cplusplus
}
#endif
