// Small helpers shared by the tests that drive a whole reader machine.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "harness/reader_machine.h"
#include "support/kernel_run.h"

namespace qv::test {

// The machine's own tear-down and the unload audit. A machine a bug check
// stopped cannot run again; its report has been given already.
inline void ExpectCleanShutdown(harness::ReaderMachine& machine, const std::string& where) {
    if (machine.Machine().BugChecked()) return;
    RunResult end = machine.Shutdown();
    EXPECT_TRUE(end.Ok()) << where << "\n" << end.report;
}

// A control code's ULONG input as the bytes an application sends.
inline std::vector<std::uint8_t> AsInput(ULONG value) {
    std::vector<std::uint8_t> bytes(sizeof value);
    std::memcpy(bytes.data(), &value, sizeof value);
    return bytes;
}

// Lets virtual time pass on the calling simulated thread.
inline void Pause(std::int64_t milliseconds) {
    LARGE_INTEGER interval = Relative(milliseconds);
    KeDelayExecutionThread(KernelMode, FALSE, &interval);
}

// The first steps of most whole-machine tests: the reader plugged in as
// reader 0, started, and a handle opened on it. The first failure, or
// STATUS_SUCCESS.
inline NTSTATUS PlugStartAndOpen(harness::ReaderMachine& machine, usb::UsbDeviceModel& reader) {
    NTSTATUS status = machine.Plug(reader).status;
    if (NT_SUCCESS(status)) status = machine.Pnp(0, IRP_MN_START_DEVICE);
    if (NT_SUCCESS(status)) status = machine.Open(0);
    return status;
}

// Reader 0's card, once the poller has found it, powered by a cold reset and
// switched to T=0. The first failure, or STATUS_SUCCESS.
inline NTSTATUS ColdResetToT0(harness::ReaderMachine& machine) {
    NTSTATUS status = machine.DeviceControl(0, IOCTL_SMARTCARD_POWER, AsInput(SCARD_COLD_RESET), 64).status;
    if (NT_SUCCESS(status)) {
        status = machine.DeviceControl(0, IOCTL_SMARTCARD_SET_PROTOCOL, AsInput(SCARD_PROTOCOL_T0), 4).status;
    }
    return status;
}

} // namespace qv::test
