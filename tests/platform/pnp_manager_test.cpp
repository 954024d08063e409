// The Plug and Play manager with a small function driver over a small bus:
// load and unload, the order of requests for rebalance, orderly removal
// and surprise removal, removal held back by open handles, handles and
// overlapped requests from the application side, and the verifier's rules
// for a driver's remove handling.
#include <gtest/gtest.h>

#include <algorithm>
#include <functional>

#include "harness/app_client.h"
#include "kernel/pool.h"
#include "platform/io_test_drivers.h"
#include "platform/pnp_test_driver.h"
#include "pnp/pnp_manager.h"
#include "pnp/pnp_platform.h"
#include "harness/seeds.h"

namespace qv::test {
namespace {

constexpr GUID kReaderClass = {0x50DD5230, 0xBA8A, 0x11D1, {0xBF, 0x5D, 0x00, 0x00, 0xF8, 0x05, 0xF5, 0x30}};

// The bus: its PDOs answer the state changes with success and are deleted
// on remove once their device has gone.
struct BusPdo {
    bool gone = false;
};

NTSTATUS NTAPI BusPnp(PDEVICE_OBJECT pdo, PIRP irp) {
    auto& port = *static_cast<BusPdo*>(pdo->DeviceExtension);
    const UCHAR minor = IoGetCurrentIrpStackLocation(irp)->MinorFunction;
    NTSTATUS status = irp->IoStatus.Status;
    if (minor == IRP_MN_START_DEVICE) status = port.gone ? STATUS_NO_SUCH_DEVICE : STATUS_SUCCESS;
    else if (minor <= IRP_MN_CANCEL_STOP_DEVICE || minor == IRP_MN_SURPRISE_REMOVAL) status = STATUS_SUCCESS;
    irp->IoStatus.Status = status;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    if (minor == IRP_MN_REMOVE_DEVICE && port.gone) IoDeleteDevice(pdo);
    return status;
}

NTSTATUS NTAPI BusEntry(PDRIVER_OBJECT driver, PUNICODE_STRING) {
    driver->MajorFunction[IRP_MJ_PNP] = &BusPnp;
    return STATUS_SUCCESS;
}

struct Bus {
    PDRIVER_OBJECT driver = nullptr;
    Bus() { driver = Load(u"\\Driver\\TestBus", &BusEntry); }
    // An exclusive PDO is what a device's INF asks the bus for.
    PDEVICE_OBJECT Plug(bool exclusive = false) {
        PDEVICE_OBJECT pdo = nullptr;
        EXPECT_EQ(IoCreateDevice(driver, sizeof(BusPdo), nullptr, FILE_DEVICE_UNKNOWN, 0, exclusive ? TRUE : FALSE, &pdo),
                  STATUS_SUCCESS);
        new (pdo->DeviceExtension) BusPdo{};
        pdo->Flags &= ~DO_DEVICE_INITIALIZING;
        return pdo;
    }
    static void Unplug(PDEVICE_OBJECT pdo) { static_cast<BusPdo*>(pdo->DeviceExtension)->gone = true; }
    // Deletes the PDOs still present and unloads.
    void Shutdown() {
        while (driver->DeviceObject != nullptr) IoDeleteDevice(driver->DeviceObject);
        Io().UnloadDriver(driver);
    }
};

// The function driver registers a reader interface on every device and
// enables it, so that applications find it.
void Expose(PDEVICE_OBJECT pdo) {
    UNICODE_STRING link{};
    ASSERT_EQ(IoRegisterDeviceInterface(pdo, &kReaderClass, nullptr, &link), STATUS_SUCCESS);
    ASSERT_EQ(IoSetDeviceInterfaceState(&link, TRUE), STATUS_SUCCESS);
    RtlFreeUnicodeString(&link);
}

std::vector<std::string> PnpSeen(const pnpdrv::Log& log) {
    std::vector<std::string> pnp;
    for (const std::string& entry : log.seen)
        if (entry.starts_with("pnp")) pnp.push_back(entry.substr(0, entry.find(" status")));
    return pnp;
}

class PnpManagerTest : public ::testing::Test {
  protected:
    void SetUp() override { pnpdrv::Current() = &log_; }
    void TearDown() override { pnpdrv::Current() = nullptr; }
    // Runs the body on a machine whose Plug and Play manager has the test
    // driver as the function driver of the bus's devices.
    static void OnBus(const std::function<void(Bus&, pnp::PnpManager&)>& body) {
        Machine machine;
        RunOk(machine, [&] {
            Bus bus;
            pnp::PnpManager& manager = pnp::Manager();
            manager.SetFunctionDriver(u"\\Driver\\PnpTest", &pnpdrv::Entry);
            body(bus, manager);
            bus.Shutdown();
        });
    }
    pnpdrv::Log log_;
};

TEST_F(PnpManagerTest, LoadsOnTheFirstDeviceStartsEachAndUnloadsAfterTheLast) {
    OnBus([this](Bus& bus, pnp::PnpManager& manager) {
        PDEVICE_OBJECT first = bus.Plug();
        PDEVICE_OBJECT second = bus.Plug();
        EXPECT_EQ(manager.DeviceArrived(first), STATUS_SUCCESS);
        EXPECT_EQ(manager.DeviceArrived(second), STATUS_SUCCESS);
        EXPECT_EQ(log_.entries, 1u);
        EXPECT_EQ(manager.Node(first)->state, pnp::DeviceState::Started);
        // The start reached the driver with the status Windows initialises.
        EXPECT_EQ(log_.seen[1], "pnp 0 status " + std::to_string(static_cast<ULONG>(STATUS_NOT_SUPPORTED)));

        EXPECT_EQ(manager.RemoveOrderly(first), STATUS_SUCCESS);
        EXPECT_EQ(log_.unloads, 0u);
        EXPECT_EQ(manager.RemoveOrderly(second), STATUS_SUCCESS);
        EXPECT_EQ(log_.unloads, 1u);
        EXPECT_EQ(manager.Driver(), nullptr);

        // A new device loads the driver again: DriverEntry once per load.
        PDEVICE_OBJECT third = bus.Plug();
        EXPECT_EQ(manager.DeviceArrived(third), STATUS_SUCCESS);
        EXPECT_EQ(log_.entries, 2u);
        Bus::Unplug(third);
        EXPECT_EQ(manager.DevicePulled(third), STATUS_SUCCESS);
        EXPECT_EQ(log_.unloads, 2u);
    });
}

TEST_F(PnpManagerTest, RebalanceAndRefusedQueriesFollowTheDocumentedOrder) {
    OnBus([this](Bus& bus, pnp::PnpManager& manager) {
        PDEVICE_OBJECT pdo = bus.Plug();
        ASSERT_EQ(manager.DeviceArrived(pdo), STATUS_SUCCESS);
        EXPECT_EQ(manager.Rebalance(pdo), STATUS_SUCCESS);
        log_.behaviour.refuseQueryStop = true;
        EXPECT_EQ(manager.Rebalance(pdo), STATUS_DEVICE_BUSY);
        log_.behaviour.refuseQueryRemove = true;
        EXPECT_EQ(manager.RemoveOrderly(pdo), STATUS_UNSUCCESSFUL);
        EXPECT_EQ(manager.Node(pdo)->state, pnp::DeviceState::Started);
        // Requests Windows would not send in this state are not sent.
        EXPECT_EQ(manager.Stop(pdo), STATUS_INVALID_DEVICE_STATE);
        EXPECT_EQ(manager.CancelRemove(pdo), STATUS_INVALID_DEVICE_STATE);
        log_.behaviour.refuseQueryRemove = false;
        EXPECT_EQ(manager.RemoveOrderly(pdo), STATUS_SUCCESS);
        const std::vector<std::string> expected = {"pnp 0", "pnp 5", "pnp 4", "pnp 0", "pnp 5",
                                                   "pnp 6", "pnp 1", "pnp 3", "pnp 1", "pnp 2"};
        EXPECT_EQ(PnpSeen(log_), expected);
    });
}

// A start held back (resources still being assigned) is sent when asked
// for, or the device is removed without ever starting; a remove held after
// its query waits for Remove or CancelRemove, even with no handle open.
TEST_F(PnpManagerTest, HeldStartAndHeldRemoveWaitToBeAskedFor) {
    OnBus([this](Bus& bus, pnp::PnpManager& manager) {
        PDEVICE_OBJECT held = bus.Plug();
        const pnp::Arrival arrival = manager.Arrive(held, /*holdStart=*/true);
        EXPECT_EQ(arrival.added, STATUS_SUCCESS);
        EXPECT_EQ(arrival.started, STATUS_PENDING);
        EXPECT_EQ(manager.Node(held)->state, pnp::DeviceState::Added);
        EXPECT_EQ(manager.QueryStop(held), STATUS_INVALID_DEVICE_STATE);
        EXPECT_EQ(manager.Start(held), STATUS_SUCCESS);
        EXPECT_EQ(manager.Start(held), STATUS_INVALID_DEVICE_STATE) << "started once";

        EXPECT_EQ(manager.QueryRemove(held, pnp::AfterQueryRemove::Wait), STATUS_SUCCESS);
        EXPECT_EQ(manager.Node(held)->state, pnp::DeviceState::RemovePending);
        EXPECT_EQ(manager.CancelRemove(held), STATUS_SUCCESS);
        EXPECT_EQ(manager.QueryRemove(held, pnp::AfterQueryRemove::Wait), STATUS_SUCCESS);
        EXPECT_EQ(manager.Remove(held), STATUS_SUCCESS);
        EXPECT_EQ(manager.Node(held), nullptr);

        PDEVICE_OBJECT never = bus.Plug();
        ASSERT_EQ(manager.Arrive(never, true).added, STATUS_SUCCESS);
        EXPECT_EQ(manager.Remove(never), STATUS_SUCCESS);
        const std::vector<std::string> expected = {"pnp 0", "pnp 1", "pnp 3", "pnp 1", "pnp 2", "pnp 2"};
        EXPECT_EQ(PnpSeen(log_), expected);
        EXPECT_EQ(log_.unloads, 2u);
    });
}

TEST_F(PnpManagerTest, AFailedStartEndsInRemoval) {
    OnBus([this](Bus& bus, pnp::PnpManager& manager) {
        log_.behaviour.failStart = true;
        PDEVICE_OBJECT pdo = bus.Plug();
        EXPECT_EQ(manager.DeviceArrived(pdo), STATUS_DEVICE_CONFIGURATION_ERROR);
        EXPECT_EQ(manager.Node(pdo), nullptr);
        EXPECT_EQ(log_.unloads, 1u);
    });
}

// A restart that fails while an application holds a handle: the device is
// reported surprise-removed (its driver must fail what it held for the
// start), its interface goes, and the remove follows the last close.
TEST_F(PnpManagerTest, AFailedRestartWithAHandleOpenIsASurpriseRemoval) {
    OnBus([this](Bus& bus, pnp::PnpManager& manager) {
        PDEVICE_OBJECT pdo = bus.Plug();
        ASSERT_EQ(manager.DeviceArrived(pdo), STATUS_SUCCESS);
        Expose(pdo);
        std::unique_ptr<harness::AppHandle> handle;
        ASSERT_EQ(harness::AppHandle::Open(harness::FindReaders()[0], handle), STATUS_SUCCESS);
        ASSERT_EQ(manager.QueryStop(pdo), STATUS_SUCCESS);
        ASSERT_EQ(manager.Stop(pdo), STATUS_SUCCESS);
        log_.behaviour.failStart = true;
        EXPECT_EQ(manager.Start(pdo), STATUS_DEVICE_CONFIGURATION_ERROR);
        ASSERT_NE(manager.Node(pdo), nullptr);
        EXPECT_EQ(manager.Node(pdo)->state, pnp::DeviceState::SurpriseRemoved);
        EXPECT_EQ(PnpSeen(log_).back(), "pnp " + std::to_string(IRP_MN_SURPRISE_REMOVAL));
        EXPECT_TRUE(harness::FindReaders().empty());
        handle->Close();
        EXPECT_EQ(manager.Node(pdo), nullptr);
        EXPECT_EQ(PnpSeen(log_).back(), "pnp " + std::to_string(IRP_MN_REMOVE_DEVICE));
        EXPECT_EQ(log_.unloads, 1u);
    });
}

TEST_F(PnpManagerTest, AddDeviceFailureUnderThePoolFaultPlanLeavesTheDriverUnloaded) {
    OnBus([this](Bus& bus, pnp::PnpManager& manager) {
        PDEVICE_OBJECT pdo = bus.Plug();
        K().PoolAllocator().FailAfter(1);
        EXPECT_EQ(manager.DeviceArrived(pdo), STATUS_INSUFFICIENT_RESOURCES);
        EXPECT_EQ(log_.entries, 1u);
        EXPECT_EQ(log_.unloads, 1u);
    });
}

// Surprise removal with a handle open and a request pending: the request
// is cancelled by the application, the handle is closed (cleanup, then
// close once the request has been reaped), and only then comes the remove.
TEST_F(PnpManagerTest, PulledDeviceIsRemovedAfterTheLastHandleCloses) {
    for (std::uint64_t seed : harness::RunSeeds(4)) {
        MachineConfig config;
        config.seed = seed;
        Machine machine(config);
        log_ = pnpdrv::Log{};
        RunOk(machine, [this] {
            Bus bus;
            pnp::PnpManager& manager = pnp::Manager();
            manager.SetFunctionDriver(u"\\Driver\\PnpTest", &pnpdrv::Entry);
            PDEVICE_OBJECT pdo = bus.Plug(true);
            ASSERT_EQ(manager.DeviceArrived(pdo), STATUS_SUCCESS);
            Expose(pdo);
            ASSERT_EQ(harness::FindReaders().size(), 1u);
            std::unique_ptr<harness::AppHandle> handle;
            ASSERT_EQ(harness::AppHandle::Open(harness::FindReaders()[0], handle), STATUS_SUCCESS);
            std::unique_ptr<harness::AppHandle> second;
            EXPECT_EQ(harness::AppHandle::Open(harness::FindReaders()[0], second), STATUS_ACCESS_DENIED);

            const std::uint8_t input[] = {1, 2, 3};
            std::vector<std::uint8_t> output;
            EXPECT_EQ(handle->Control(pnpdrv::kEcho, input, 2, &output), STATUS_SUCCESS);
            EXPECT_EQ(output, (std::vector<std::uint8_t>{2, 3}));

            std::shared_ptr<harness::AppRequest> held = handle->ControlAsync(pnpdrv::kHold, {}, 0);
            EXPECT_FALSE(held->Completed());
            Bus::Unplug(pdo);
            manager.DevicePulled(pdo);
            // The interface went with the device; the remove waits for the handle.
            EXPECT_TRUE(harness::FindReaders().empty());
            ASSERT_NE(manager.Node(pdo), nullptr);
            EXPECT_EQ(manager.Node(pdo)->state, pnp::DeviceState::SurpriseRemoved);
            std::unique_ptr<harness::AppHandle> late;
            EXPECT_NE(harness::AppHandle::Open(u"\\??\\gone", late), STATUS_SUCCESS);

            handle->Close(); // cleanup now; close waits for the held request
            EXPECT_NE(manager.Node(pdo), nullptr);
            EXPECT_TRUE(held->Cancel());
            EXPECT_EQ(held->Wait(), STATUS_CANCELLED);
            EXPECT_EQ(manager.Node(pdo), nullptr);
            EXPECT_EQ(log_.unloads, 1u);
            const std::vector<std::string> tail(log_.seen.end() - 3, log_.seen.end());
            EXPECT_EQ(tail, (std::vector<std::string>{"cleanup", "close",
                                                      "pnp 2 status " + std::to_string(static_cast<ULONG>(STATUS_NOT_SUPPORTED))}))
                << "seen: " << log_.seen.size();
            bus.Shutdown();
        });
    }
}

// The I/O manager refuses a second handle only when the device object the
// name refers to, the PDO, is exclusive; a function driver that creates its
// FDO exclusive sees the second open and answers it itself.
TEST_F(PnpManagerTest, OnlyAnExclusivePdoRefusesASecondHandle) {
    log_.behaviour.exclusive = true;
    OnBus([this](Bus& bus, pnp::PnpManager& manager) {
        for (const bool exclusivePdo : {false, true}) {
            PDEVICE_OBJECT pdo = bus.Plug(exclusivePdo);
            ASSERT_EQ(manager.DeviceArrived(pdo), STATUS_SUCCESS);
            Expose(pdo);
            const auto creates = [this] { return std::count(log_.seen.begin(), log_.seen.end(), "create"); };
            std::unique_ptr<harness::AppHandle> first;
            std::unique_ptr<harness::AppHandle> second;
            ASSERT_EQ(harness::AppHandle::Open(harness::FindReaders()[0], first), STATUS_SUCCESS);
            const auto before = creates();
            EXPECT_EQ(harness::AppHandle::Open(harness::FindReaders()[0], second),
                      exclusivePdo ? STATUS_ACCESS_DENIED : STATUS_SUCCESS);
            EXPECT_EQ(creates() - before, exclusivePdo ? 0 : 1) << "exclusive PDO " << exclusivePdo;
            second.reset();
            first.reset();
            Bus::Unplug(pdo);
            manager.DevicePulled(pdo);
        }
    });
}

TEST_F(PnpManagerTest, RemoveThatLeavesTheDeviceIsAViolation) {
    log_.behaviour.keepDeviceOnRemove = true;
    RunExpectingBugCheck(
        [] {
            Bus bus;
            pnp::PnpManager& manager = pnp::Manager();
            manager.SetFunctionDriver(u"\\Driver\\PnpTest", &pnpdrv::Entry);
            PDEVICE_OBJECT pdo = bus.Plug();
            manager.DeviceArrived(pdo);
            manager.RemoveOrderly(pdo);
        },
        bugcode::DRIVER_VERIFIER_DETECTED_VIOLATION, 0x5140);
}

TEST_F(PnpManagerTest, FailedRemoveIsAViolation) {
    log_.behaviour.failRemove = true;
    RunExpectingBugCheck(
        [] {
            Bus bus;
            pnp::PnpManager& manager = pnp::Manager();
            manager.SetFunctionDriver(u"\\Driver\\PnpTest", &pnpdrv::Entry);
            PDEVICE_OBJECT pdo = bus.Plug();
            manager.DeviceArrived(pdo);
            manager.RemoveOrderly(pdo);
        },
        bugcode::DRIVER_VERIFIER_DETECTED_VIOLATION, 0x5141);
}

} // namespace
} // namespace qv::test
