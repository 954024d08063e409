// The reader driver as the emulated Plug and Play manager loads it.
#pragma once

#include "qvscr.h"

namespace qv::harness {

// The entry point handed to the Plug and Play manager for the reader
// driver. Windows maps a fresh copy of the image at every load, so the
// driver's writable data starts as the image has it. Here the image stays in
// the process from one machine to the next, so this zeroes the driver's
// writable data (UnitInUse, its only writable global) and then calls
// DriverEntry. Without it a machine stopped by a bug check, which never
// removes its readers, would leave their unit numbers taken for every later
// machine in the process.
NTSTATUS NTAPI LoadFreshDriverImage(PDRIVER_OBJECT DriverObject, PUNICODE_STRING RegistryPath);

} // namespace qv::harness
