// Where the driver's code and constant data lie in the Windows image. The
// entry routine runs once, at load, and goes into INIT, which the loader
// discards after initialisation. The add-device, create/close and unload
// routines, and the default vendor strings, are needed only at
// PASSIVE_LEVEL and go into the pageable PAGE sections. Everything else
// stays resident, since completion, timer and cancel routines and the code
// that runs under spin locks may run at DISPATCH_LEVEL, where a page fault
// is fatal. A pageable routine begins with PAGED_CODE(), which the emulated
// kernel turns into a bug check when it runs above APC_LEVEL.
//
// The emulated build lays the same sections out, with the same names, in
// its ELF program. The emulated kernel reads the program's section table as
// Windows' loader reads the image's, and enforces what Driver Verifier's
// IRQL checking would: pageable code that raises IRQL to DISPATCH_LEVEL (a
// spin lock, KeRaiseIrql) or that the kernel calls at DISPATCH_LEVEL, and
// INIT code that runs once its driver's entry routine has returned, are bug
// checks (docs/verifier-rules.md).
#pragma once

// Routines that run only while the driver loads.
#define QV_INIT_CODE __attribute__((section("INIT")))
// Pageable routines.
#define QV_PAGED_CODE __attribute__((section("PAGE")))
// Pageable constant data (only constants: a writable variable in the same
// section would be a section type conflict).
#define QV_PAGED_DATA __attribute__((section("PAGEDATA")))
