// Storms: applications sending requests on several readers, synchronous
// and overlapped (card waits they cancel), through handles opened on the
// readers' interfaces, while the Plug and Play manager stops and restarts
// the readers, removes them and has one pulled out. Every request
// ends (with its result or a clear failure), nothing is completed twice (the
// I/O manager's verifier), nothing deadlocks (the run ends), and nothing is
// left at unload (the audit at Shutdown).
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <string>
#include <string_view>

#include <array>
#include <memory>
#include <random>

#include "cards/card_catalogue.h"
#include "device.h"
#include "harness/app_client.h"
#include "harness/reader_machine.h"
#include "pnp/pnp_manager.h"
#include "pnp/pnp_platform.h"
#include "support/kernel_run.h"
#include "support/seed_run.h"
#include "harness/seeds.h"
#include "usb_reader.h"

namespace qv::test {
namespace {

constexpr std::size_t kReaders = 3;
constexpr int kRequestsPerApp = 12;
constexpr int kControlRounds = 4;

bool AcceptableEnd(NTSTATUS status) {
    return status == STATUS_SUCCESS || status == STATUS_DEVICE_REMOVED || status == STATUS_BUFFER_TOO_SMALL ||
           status == STATUS_IO_TIMEOUT || status == STATUS_INVALID_DEVICE_STATE || status == STATUS_NO_MEDIA ||
           status == STATUS_INVALID_HANDLE || status == STATUS_DEVICE_NOT_CONNECTED || status == STATUS_CANCELLED ||
           status == STATUS_UNSUCCESSFUL || status == STATUS_NO_SUCH_DEVICE;
}

// On the legacy platform a query-remove is not refused for an open handle:
// the removal is then pending while the application goes on, and the remove
// request follows its close.
void Storm(bool legacy) {
    OnEachSeed(harness::kDefaultSeedCount, [&](SeedRun& seedRun) {
        const std::uint64_t seed = seedRun.seed;
        harness::ReaderMachine& machine = seedRun.machine;
        std::array<std::unique_ptr<sim::UsbReader>, kReaders> readers;
        for (auto& reader : readers) reader = std::make_unique<sim::UsbReader>(sim::ReaderOptions{}, sim::MakeCard("dual", seed));
        std::mt19937_64 random(seed);
        // Shared by the applications' simulated threads: counted atomically.
        std::atomic<int> unexpected = 0;
        std::atomic<int> sent = 0;
        std::atomic<int> ended = 0;
        std::atomic<int> succeeded = 0;

        bool pulledOut = false;
        seedRun.Run([&] {
            if (legacy) pnp::Platform().SetWdmVersion(1, 0);
            std::array<KEVENT, kReaders> appDone;
            for (std::size_t i = 0; i < kReaders; ++i) {
                ASSERT_EQ(machine.Plug(*readers[i]).status, STATUS_SUCCESS);
                ASSERT_EQ(machine.Pnp(i, IRP_MN_START_DEVICE), STATUS_SUCCESS);
                ASSERT_EQ(machine.Open(i), STATUS_SUCCESS);
                KeInitializeEvent(&appDone[i], NotificationEvent, FALSE);
            }
            for (std::size_t i = 0; i < kReaders; ++i) {
                K().Spawn("app" + std::to_string(i), [&, i] {
                    const ULONG id = SCARD_ATTR_VENDOR_NAME;
                    const auto attr = std::span(reinterpret_cast<const std::uint8_t*>(&id), sizeof(id));
                    for (int n = 0; n < kRequestsPerApp; ++n) {
                        ++sent;
                        NTSTATUS status = STATUS_PENDING;
                        if (n % 3 == 2) {
                            // Overlapped: a card wait on the handle, cancelled
                            // by the application if it has not ended.
                            harness::AppHandle* handle = machine.Handle(i);
                            if (handle == nullptr) {
                                status = STATUS_INVALID_HANDLE;
                            } else {
                                auto wait = handle->ControlAsync(n % 2 == 0 ? IOCTL_SMARTCARD_IS_PRESENT
                                                                            : IOCTL_SMARTCARD_IS_ABSENT,
                                                                 {}, 0);
                                LARGE_INTEGER pause;
                                pause.QuadPart = -10 * 1000 * static_cast<LONGLONG>(1 + (seed + n) % 7);
                                KeDelayExecutionThread(KernelMode, FALSE, &pause);
                                wait->Cancel();
                                status = wait->Wait();
                            }
                        } else {
                            status = n % 2 == 0 ? machine.DeviceControl(i, IOCTL_SMARTCARD_GET_STATE, {}, 4).status
                                                : machine.DeviceControl(i, IOCTL_SMARTCARD_GET_ATTRIBUTE, attr, 32).status;
                        }
                        ++ended;
                        if (status == STATUS_SUCCESS) ++succeeded;
                        if (!AcceptableEnd(status)) ++unexpected;
                        if (status == STATUS_DEVICE_REMOVED) break;
                    }
                    machine.Close(i);
                    KeSetEvent(&appDone[i], IO_NO_INCREMENT, FALSE);
                });
            }
            // The controller: rebalances and asks for orderly removals while
            // requests are in flight, then pulls one reader out under its
            // application and removes the others in order once their
            // applications are done.
            for (int round = 0; round < kControlRounds; ++round) {
                const std::size_t i = random() % kReaders;
                if (machine.Readers()[i].device == nullptr || machine.Readers()[i].pulled) continue;
                if (random() % 4 == 0) {
                    // Refused while the handle is open, except on the legacy
                    // platform, where the remove follows the close.
                    machine.Pnp(i, IRP_MN_REMOVE_DEVICE);
                } else if (machine.Pnp(i, IRP_MN_QUERY_STOP_DEVICE) == STATUS_SUCCESS) {
                    machine.Pnp(i, IRP_MN_STOP_DEVICE);
                    machine.Pnp(i, IRP_MN_START_DEVICE);
                } else {
                    machine.Pnp(i, IRP_MN_CANCEL_STOP_DEVICE);
                }
                LARGE_INTEGER delay;
                delay.QuadPart = -10 * 1000 * static_cast<LONGLONG>(random() % 40);
                KeDelayExecutionThread(KernelMode, FALSE, &delay);
            }
            const std::size_t pulled = random() % kReaders;
            pulledOut = machine.Unplug(pulled) == STATUS_SUCCESS;
            for (std::size_t i = 0; i < kReaders; ++i) {
                KeWaitForSingleObject(&appDone[i], Executive, KernelMode, FALSE, nullptr);
                if (i == pulled || machine.Readers()[i].device == nullptr) continue;
                if (machine.Pnp(i, IRP_MN_QUERY_REMOVE_DEVICE) == STATUS_SUCCESS) machine.Pnp(i, IRP_MN_REMOVE_DEVICE);
            }
        }, [&] {
            EXPECT_EQ(unexpected.load(), 0) << "seed " << seed;
            EXPECT_EQ(sent.load(), ended.load()) << "seed " << seed;
            EXPECT_GT(succeeded.load(), 0) << "seed " << seed << ": the storm served nothing";
        });
        // The Plug and Play manager sent the pull-out and the removals, and
        // unloaded the driver (with its audit) after the last reader.
        const pnp::PnpManager& manager = machine.Machine().Pnp();
        const auto requests = [&](std::string_view request) {
            return std::ranges::count_if(manager.Sent(), [&](const std::string& line) { return line.starts_with(request); });
        };
        EXPECT_EQ(requests("SURPRISE_REMOVAL"), pulledOut ? 1 : 0) << "seed " << seed;
        EXPECT_EQ(requests("REMOVE_DEVICE"), static_cast<long>(kReaders)) << "seed " << seed;
        EXPECT_EQ(manager.Loads(), 1u) << "seed " << seed;
        EXPECT_EQ(manager.Unloads(), 1u) << "seed " << seed;
    });
}

TEST(LifecycleStorm, RequestsOnSeveralReadersWhileTheyStopStartAndGo) { Storm(false); }

TEST(LifecycleStorm, RequestsWhileRemovalsWaitForTheHandlesOnTheLegacyPlatform) { Storm(true); }

} // namespace
} // namespace qv::test
