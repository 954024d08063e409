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
#include "harness/reader_machine.h"
#include "harness/seeds.h"
#include "machine/machine.h"
#include "link.h"

namespace qv::test {

inline harness::HeldReader TrackingConfig(std::uint64_t seed, const harness::ScheduleVariant* mode = nullptr) {
    harness::HeldReader config = harness::HeldReader::ForSeed(seed);
    config.admitRequests = true;
    if (mode != nullptr) mode->apply(config.machine);
    return config;
}

// The start sequence up to and with polling. On a simulated thread.
inline NTSTATUS StartReader(harness::ReaderMachine& bed) {
    NTSTATUS status = bed.Configure(0);
    if (!NT_SUCCESS(status)) return status;
    status = bed.SendCommand(0, READER_COMMAND_LINK_RESET).status;
    if (!NT_SUCCESS(status)) return status;
    bed.Reader(0).LinkSynchronized = 1;
    const harness::CommandResult info = bed.SendCommand(0, READER_COMMAND_READER_INFO);
    if (!info.Ok()) return info.status;
    if (info.reply.size() > READER_REPLY_DATA_OFFSET) {
        const std::size_t bytes = std::min<std::size_t>(info.reply.size() - READER_REPLY_DATA_OFFSET, READER_INFO_SIZE);
        std::copy_n(info.reply.begin() + READER_REPLY_DATA_OFFSET, bytes, bed.Reader(0).ReaderInfo);
    }
    status = bed.SendCommand(0, READER_COMMAND_SETUP).status;
    if (!NT_SUCCESS(status)) return status;
    return bed.StartPolling(0);
}

inline void SleepFor(std::uint64_t ms) {
    LARGE_INTEGER interval;
    interval.QuadPart = -static_cast<LONGLONG>(ms * kTicksPerMillisecond);
    KeDelayExecutionThread(KernelMode, FALSE, &interval);
}

// Reads the driver's card state the way the driver's own threads do: under
// ReaderMutex, which the poll and every card operation hold while they
// change the card state, the ATR and the reader's ATR cache. On a simulated
// thread at PASSIVE_LEVEL; waits for a poll or card operation under way.
template <class Read> auto UnderReaderMutex(harness::ReaderMachine& bed, Read read) {
    PKMUTEX mutex = bed.Reader(0).ReaderMutex;
    KeWaitForSingleObject(mutex, Executive, KernelMode, FALSE, nullptr);
    const auto value = read();
    KeReleaseMutex(mutex, FALSE);
    return value;
}

inline ULONG CardState(harness::ReaderMachine& bed) {
    return UnderReaderMutex(bed, [&] { return bed.Smartcard(0).ReaderCapabilities.CurrentState; });
}

// What the driver knows of the card, read at one instant under ReaderMutex.
struct CardView {
    ULONG state = 0;
    UCHAR atrLength = 0;
    ULONG protocol = 0;
    ULONG atrCacheLength = 0; // the reader's kept ATR
};

inline CardView ViewCard(harness::ReaderMachine& bed) {
    return UnderReaderMutex(bed, [&] {
        const SMARTCARD_EXTENSION& card = bed.Smartcard(0);
        return CardView{card.ReaderCapabilities.CurrentState, card.CardCapabilities.ATR.Length,
                        card.CardCapabilities.Protocol.Selected, bed.Reader(0).AtrCacheLength};
    });
}

inline ULONG AtrCacheLength(harness::ReaderMachine& bed) { return ViewCard(bed).atrCacheLength; }

// The pending tracking request, read under OsData->SpinLock as the poll,
// the cancel routine and the cleanup read it.
inline PIRP PendingTracking(harness::ReaderMachine& bed) {
    POS_DEP_DATA os = bed.Smartcard(0).OsData;
    KIRQL irql;
    KeAcquireSpinLock(&os->SpinLock, &irql);
    PIRP irp = os->NotificationIrp;
    KeReleaseSpinLock(&os->SpinLock, irql);
    return irp;
}

inline harness::IoctlResult Power(harness::ReaderMachine& bed, ULONG action) {
    const auto input = std::span(reinterpret_cast<const std::uint8_t*>(&action), sizeof(action));
    return bed.DeviceControl(0, IOCTL_SMARTCARD_POWER, input, 64);
}

} // namespace qv::test
