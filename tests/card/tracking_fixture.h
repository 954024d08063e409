// A started reader for the card-presence tests: configured, the link reset,
// the reader information read, command 9 sent and polling started the way
// the start sequence does, with helpers an application's side needs.
#pragma once

#include <algorithm>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "card.h"
#include "harness/reader_testbed.h"
#include "kernel/kernel.h"
#include "link.h"

namespace qv::test {

// Every scheduling the kernel's configuration offers, so that the races run
// under each: the seeded random switching with two processors, rarely and
// often, and one processor switching at almost every kernel call. (A
// further mode joins this list when the kernel gains one.)
struct SchedulingMode {
    std::string name;
    std::function<void(KernelConfig&)> apply;
};

inline std::vector<SchedulingMode> SchedulingModes() {
    return {
        {"uniform", [](KernelConfig&) {}},
        {"uniform-rare-switch", [](KernelConfig& c) { c.switchPercent = 10; }},
        {"uniform-one-cpu", [](KernelConfig& c) {
             c.processors = 1;
             c.switchPercent = 90;
         }},
    };
}

inline harness::TestbedConfig TrackingConfig(std::uint64_t seed, const SchedulingMode* mode = nullptr) {
    harness::TestbedConfig config = harness::TestbedConfig::ForSeed(seed);
    config.smartcard = true;
    if (mode != nullptr) mode->apply(config.kernel);
    return config;
}

// The start sequence up to and with polling. On a simulated thread.
inline NTSTATUS StartReader(harness::ReaderTestbed& bed) {
    NTSTATUS status = bed.Configure();
    if (!NT_SUCCESS(status)) return status;
    status = bed.SendCommand(READER_COMMAND_LINK_RESET).status;
    if (!NT_SUCCESS(status)) return status;
    bed.Reader().LinkSynchronized = 1;
    const harness::CommandResult info = bed.SendCommand(READER_COMMAND_READER_INFO);
    if (!info.Ok()) return info.status;
    if (info.reply.size() > READER_REPLY_DATA_OFFSET) {
        const std::size_t bytes = std::min<std::size_t>(info.reply.size() - READER_REPLY_DATA_OFFSET, READER_INFO_SIZE);
        std::copy_n(info.reply.begin() + READER_REPLY_DATA_OFFSET, bytes, bed.Reader().ReaderInfo);
    }
    status = bed.SendCommand(READER_COMMAND_SETUP).status;
    if (!NT_SUCCESS(status)) return status;
    return bed.StartPolling();
}

inline void SleepFor(std::uint64_t ms) {
    LARGE_INTEGER interval;
    interval.QuadPart = -static_cast<LONGLONG>(ms * kTicksPerMillisecond);
    KeDelayExecutionThread(KernelMode, FALSE, &interval);
}

inline ULONG CardState(harness::ReaderTestbed& bed) { return bed.Smartcard().ReaderCapabilities.CurrentState; }

inline harness::IoctlResult Power(harness::ReaderTestbed& bed, ULONG action) {
    const auto input = std::span(reinterpret_cast<const std::uint8_t*>(&action), sizeof(action));
    return bed.DeviceControl(IOCTL_SMARTCARD_POWER, input, 64);
}

} // namespace qv::test
