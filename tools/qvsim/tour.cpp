#include "tour.h"

#include <chrono>
#include <cstdio>
#include <string>

#include "io/io_manager.h"
#include "machine/machine.h"
#include "kernel/scheduler.h"

namespace qvsim {

namespace {

constexpr ULONG kTourTag = QV_POOL_TAG('T', 'o', 'u', 'r');
constexpr int kRunSeconds = 4;
constexpr LONGLONG kPollWorkMs = 20;
constexpr LONGLONG kMutexPatienceMs = 300;
constexpr LONGLONG kHoldMs = 350;
constexpr LONGLONG kRestMs = 400;
constexpr int kApplicationRounds = 3;

// The tour's device: a poller woken by the once-a-second I/O timer and two
// applications, all sharing the device through one mutex, as the reader
// driver's own threads will.
struct TourExtension {
    KEVENT Tick;
    KMUTEX Mutex;
    LONG Stop;
    LONG Polls;
    PVOID PollThread;
};

void Say(const std::string& text) {
    qv::KernelCore& k = qv::K();
    k.Events().Log(k.Now(), k.Sched().CurrentName(), "tour", text);
}

void Sleep(LONGLONG milliseconds) {
    LARGE_INTEGER interval;
    interval.QuadPart = -milliseconds * static_cast<LONGLONG>(qv::kTicksPerMillisecond);
    KeDelayExecutionThread(KernelMode, FALSE, &interval);
}

void NTAPI TourTimer(PDEVICE_OBJECT, PVOID context) {
    auto* extension = static_cast<TourExtension*>(context);
    Say("I/O timer fires at IRQL " + std::to_string(KeGetCurrentIrql()) + ", wakes the poller");
    KeSetEvent(&extension->Tick, IO_NO_INCREMENT, FALSE);
}

void NTAPI TourPoller(PVOID context) {
    auto* extension = static_cast<TourExtension*>(context);
    for (;;) {
        KeWaitForSingleObject(&extension->Tick, Executive, KernelMode, FALSE, nullptr);
        KeClearEvent(&extension->Tick);
        if (extension->Stop) break;
        KeWaitForSingleObject(&extension->Mutex, Executive, KernelMode, FALSE, nullptr);
        const LONG poll = InterlockedIncrement(&extension->Polls);
        Say("poll " + std::to_string(poll) + " holds the mutex for " + std::to_string(kPollWorkMs) + " ms");
        Sleep(kPollWorkMs);
        KeReleaseMutex(&extension->Mutex, FALSE);
    }
    Say("poller ends");
    PsTerminateSystemThread(STATUS_SUCCESS);
}

NTSTATUS NTAPI TourEntry(PDRIVER_OBJECT driver, PUNICODE_STRING) {
    PDEVICE_OBJECT device = nullptr;
    NTSTATUS status = IoCreateDevice(driver, sizeof(TourExtension), nullptr, FILE_DEVICE_UNKNOWN, 0, FALSE, &device);
    if (!NT_SUCCESS(status)) return status;
    auto* extension = static_cast<TourExtension*>(device->DeviceExtension);
    KeInitializeEvent(&extension->Tick, NotificationEvent, FALSE);
    KeInitializeMutex(&extension->Mutex, 0);
    status = IoInitializeTimer(device, TourTimer, extension);
    if (!NT_SUCCESS(status)) IoDeleteDevice(device);
    return status;
}

void NTAPI TourUnload(PDRIVER_OBJECT) {}

void Application(TourExtension* extension) {
    for (int round = 1; round <= kApplicationRounds; ++round) {
        LARGE_INTEGER patience;
        patience.QuadPart = -kMutexPatienceMs * static_cast<LONGLONG>(qv::kTicksPerMillisecond);
        if (KeWaitForSingleObject(&extension->Mutex, Executive, KernelMode, FALSE, &patience) == STATUS_TIMEOUT) {
            Say("round " + std::to_string(round) + ": gave up on the mutex after " +
                std::to_string(kMutexPatienceMs) + " ms");
        } else {
            Say("round " + std::to_string(round) + ": has the mutex");
            Sleep(kHoldMs);
            KeReleaseMutex(&extension->Mutex, FALSE);
        }
        Sleep(kRestMs);
    }
}

} // namespace

int RunTour(std::uint64_t seed, bool realTime) {
    std::printf("qvsim: seed %llu\n", static_cast<unsigned long long>(seed));
    std::printf("qvsim: booting the emulated kernel (%s time, 2 processors)\n", realTime ? "real" : "virtual");
    qv::MachineConfig config;
    config.seed = seed;
    config.realTime = realTime;
    qv::Machine machine(config);
    machine.Events().SetListener([](std::uint64_t time, std::string_view thread, std::string_view category,
                                   std::string_view text) {
        std::printf("[%11.6f s] %-16.*s %-6.*s %.*s\n", static_cast<double>(time) / qv::kTicksPerSecond,
                    static_cast<int>(thread.size()), thread.data(), static_cast<int>(category.size()),
                    category.data(), static_cast<int>(text.size()), text.data());
    });

    TourExtension* extension = nullptr;
    PDRIVER_OBJECT driver = nullptr;
    machine.Spawn("boot", [&] {
        NTSTATUS status = STATUS_SUCCESS;
        driver = qv::Io().LoadDriver(u"\\Driver\\Tour", TourEntry, &status);
        if (driver == nullptr || !NT_SUCCESS(status)) {
            Say("driver failed to load");
            return;
        }
        driver->DriverUnload = TourUnload;
        PDEVICE_OBJECT device = driver->DeviceObject;
        extension = static_cast<TourExtension*>(device->DeviceExtension);
        // A pool block lives as long as the run, to show the pool audit.
        void* scratch = ExAllocatePoolWithTag(NonPagedPool, 64, kTourTag);

        HANDLE handle = nullptr;
        PsCreateSystemThread(&handle, THREAD_ALL_ACCESS, nullptr, nullptr, nullptr, TourPoller, extension);
        ObReferenceObjectByHandle(handle, THREAD_ALL_ACCESS, *PsThreadType, KernelMode, &extension->PollThread,
                                  nullptr);
        ZwClose(handle);

        qv::K().Spawn("application A", [extension] { Application(extension); });
        qv::K().Spawn("application B", [extension] { Application(extension); });

        Say("starting the I/O timer");
        IoStartTimer(device);
        Sleep(kRunSeconds * 1000);
        IoStopTimer(device);
        Say("timer stopped; telling the poller to end");
        InterlockedExchange(&extension->Stop, 1);
        KeSetEvent(&extension->Tick, IO_NO_INCREMENT, FALSE);
        KeWaitForSingleObject(extension->PollThread, Executive, KernelMode, FALSE, nullptr);
        ObDereferenceObject(extension->PollThread);
        ExFreePoolWithTag(scratch, kTourTag);
        IoDeleteDevice(device);
        qv::Io().UnloadDriver(driver);
        Say("driver unloaded; nothing left behind");
    });

    const auto wallStart = std::chrono::steady_clock::now();
    const qv::RunResult result = machine.Run();
    const std::chrono::duration<double> wall = std::chrono::steady_clock::now() - wallStart;
    std::printf("qvsim: run %s after %.3f s of virtual time (%.3f s on this host)\n",
                std::string(qv::OutcomeName(result.outcome)).c_str(),
                static_cast<double>(result.endTime) / qv::kTicksPerSecond, wall.count());
    if (!result.Ok()) std::printf("%s", result.report.c_str());
    std::printf("qvsim: digest %016llx\n", static_cast<unsigned long long>(result.digest));
    return result.Ok() ? 0 : 1;
}

} // namespace qvsim
