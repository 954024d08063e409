// What the stand-in USB bus puts in for the kernel behaviour Wine 8.0 lacks
// (wine_gaps.cpp says what and why). Kernel half of the bus only.
#pragma once

#include "qvwdk.h"

// The ticking thread of the I/O timers and the bridge's tables: made when
// the bus loads, ended when it unloads.
NTSTATUS StartWineGaps();
void StopWineGaps();

// Points the function driver attached above pdo at the stand-ins. Called
// when the child's start request reaches the bus, before the driver's own
// start runs; harmless when called again.
void BridgeFunctionDriver(PDEVICE_OBJECT pdo);

// The kernel mutex as documented (wine_gaps.cpp, 6), for the bus's own
// locks as well.
VOID NTAPI StandInKeInitializeMutex(PRKMUTEX Mutex, ULONG Level);
LONG NTAPI StandInKeReleaseMutex(PRKMUTEX Mutex, BOOLEAN Wait);
NTSTATUS NTAPI StandInKeWaitForSingleObject(PVOID Object, KWAIT_REASON WaitReason, KPROCESSOR_MODE WaitMode,
                                            BOOLEAN Alertable, PLARGE_INTEGER Timeout);
