// The device's life through the driver's own routines: add-device with its
// unit numbers, failure paths and legacy platform, the Plug and Play
// requests row by row, one handle at a time, the gate in front of the card
// services and the vendor attribute the driver answers itself.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "card.h"
#include "card/tracking_fixture.h"
#include "cards/card_catalogue.h"
#include "device.h"
#include "link.h"
#include "kernel/object_faults.h"
#include "kernel/pool.h"
#include "pnp/pnp_manager.h"
#include "pnp/pnp_platform.h"
#include "harness/reader_machine.h"
#include "smclib/event_log.h"
#include "support/kernel_run.h"
#include "support/seed_run.h"
#include "harness/seeds.h"
#include "usb/usb_bus.h"
#include "usb_reader.h"


namespace qv::test {
namespace {

using harness::ReaderMachine;

constexpr NTSTATUS kLogCode = READER_ADD_FAILED_LOG_CODE;

struct Machine {
    explicit Machine(std::uint64_t seed = 1) : machine(Config(seed)) {
        for (auto& reader : readers) reader = std::make_unique<sim::UsbReader>(sim::ReaderOptions{}, sim::MakeCard("dual", seed));
    }
    static MachineConfig Config(std::uint64_t seed) {
        MachineConfig config;
        config.seed = seed;
        return config;
    }
    void Run(const std::function<void()>& body) {
        RunResult run = machine.Run(body);
        EXPECT_TRUE(run.Ok()) << run.report;
        RunResult end = machine.Shutdown();
        EXPECT_TRUE(end.Ok()) << end.report;
    }
    std::size_t LogEntries() { return smclib::EventLog().Entries().size(); }
    ReaderMachine machine;
    std::array<std::unique_ptr<sim::UsbReader>, 6> readers;
};

TEST(AddDevice, FifthReaderIsRefusedAndAFreedUnitIsReused) {
    Machine m;
    m.Run([&] {
        for (ULONG unit = 0; unit < MAXIMUM_READER_UNITS; ++unit) {
            auto added = m.machine.Plug(*m.readers[unit]);
            ASSERT_EQ(added.status, STATUS_SUCCESS);
            EXPECT_EQ(m.machine.Readers()[added.index].unit, unit);
        }
        const std::size_t before = m.LogEntries();
        auto fifth = m.machine.Plug(*m.readers[4]);
        EXPECT_EQ(fifth.status, STATUS_INSUFFICIENT_RESOURCES);
        EXPECT_EQ(m.LogEntries(), before) << "a refused fifth reader writes no log entry";
        EXPECT_EQ(m.readers[4]->Attached(), true);

        EXPECT_EQ(m.machine.Pnp(1, IRP_MN_REMOVE_DEVICE), STATUS_SUCCESS);
        auto sixth = m.machine.Plug(*m.readers[5]);
        ASSERT_EQ(sixth.status, STATUS_SUCCESS);
        EXPECT_EQ(m.machine.Readers()[sixth.index].unit, 1u);
    });
}

TEST(AddDevice, RecordsStartAtTheirInitialValues) {
    Machine m;
    m.Run([&] {
        auto added = m.machine.Plug(*m.readers[0], {}, harness::PlugStart::Held);
        ASSERT_EQ(added.status, STATUS_SUCCESS);
        PDEVICE_OBJECT device = m.machine.Readers()[0].device;
        EXPECT_EQ(device->Flags & (DO_BUFFERED_IO | DO_POWER_PAGABLE | DO_DEVICE_INITIALIZING),
                  ULONG{DO_BUFFERED_IO | DO_POWER_PAGABLE});
        EXPECT_EQ(device->DeviceType, ULONG{FILE_DEVICE_SMARTCARD});
        PDEVICE_EXTENSION extension = m.machine.Extension(0);
        SMARTCARD_EXTENSION& card = extension->SmartcardExtension;
        EXPECT_EQ(card.Version, ULONG{SMCLIB_VERSION});
        EXPECT_EQ(card.VendorAttr.VendorName.Length, 15);
        EXPECT_STREQ(reinterpret_cast<const char*>(card.VendorAttr.VendorName.Buffer), "Vantrel/Orsund");
        EXPECT_EQ(card.VendorAttr.IfdType.Length, 14);
        EXPECT_EQ(card.ReaderFunction[RDF_IOCTL_VENDOR], &VendorIoctl);
        EXPECT_EQ(card.OsData->DeviceObject, device);
        EXPECT_NE(extension->PnPDeviceName.Buffer, nullptr);
        EXPECT_FALSE(extension->LegacyOs);
        EXPECT_EQ(KeReadStateEvent(&extension->ReaderClosed), 1);
        EXPECT_EQ(KeReadStateEvent(&extension->ReaderStarted), 0);
        PREADER_EXTENSION reader = card.ReaderExtension;
        EXPECT_EQ(reader->PowerState, READER_POWERED);
        EXPECT_EQ(reader->MaxTransferSize, READER_MAX_TRANSFER_SIZE);
        EXPECT_NE(reader->ReaderMutex, nullptr);
        EXPECT_EQ(reader->UsbConfig, nullptr);
        EXPECT_EQ(KeReadStateEvent(&reader->LinkIdle), 1);
    });
}

// Every allocation add-device makes, failed in turn: either the reader is
// added whole or nothing is left behind (the unload audit at Shutdown), the
// unit number is free again, and a log entry is written only for the
// failures that write one.
TEST(AddDevice, AllocationFailureSweepLeavesNothingBehind) {
    for (std::uint64_t nth = 1; nth <= 40; ++nth) {
        Machine m(nth);
        bool added = false;
        m.Run([&] {
            const std::size_t before = m.LogEntries();
            K().PoolAllocator().FailAfter(nth);
            auto result = m.machine.Plug(*m.readers[0], {}, harness::PlugStart::Held);
            K().PoolAllocator().FailAfter(1u << 30);
            added = result.status == STATUS_SUCCESS;
            if (!added) {
                EXPECT_LE(m.LogEntries() - before, 1u) << "allocation " << nth;
                EXPECT_EQ(UnitInUse[0], 0) << "allocation " << nth;
                EXPECT_EQ(m.readers[0]->Attached(), true);
            } else {
                EXPECT_EQ(m.LogEntries(), before);
            }
        });
        if (added && nth > 1) break; // past the last allocation add-device makes
    }
}

TEST(AddDevice, LegacyPlatformMakesTheLibrarysLinkAndRemovesCleanly) {
    Machine m;
    m.Run([&] {
        // A platform with WDM 1.0 only.
        pnp::Platform().SetWdmVersion(1, 0);
        auto added = m.machine.Plug(*m.readers[0]);
        EXPECT_EQ(added.status, STATUS_SUCCESS);
        ASSERT_NE(m.machine.Extension(0), nullptr);
        EXPECT_TRUE(m.machine.Extension(0)->LegacyOs);
        ASSERT_EQ(m.machine.Pnp(0, IRP_MN_START_DEVICE), STATUS_SUCCESS);
        // Removal with no handle open: the remove path gives back exactly the
        // holds it took.
        EXPECT_EQ(m.machine.Pnp(0, IRP_MN_QUERY_REMOVE_DEVICE), STATUS_SUCCESS);
        EXPECT_EQ(m.machine.Pnp(0, IRP_MN_REMOVE_DEVICE), STATUS_SUCCESS);
        EXPECT_EQ(UnitInUse[0], 0);
    });
}

struct Override {
    std::u16string vendor;
    std::u16string ifd;
    bool setVendor = true;
    bool setIfd = true;
    std::string wantVendor;
    std::string wantIfd;
};

// The vendor strings from the hardware key: both or neither, each from 1 to
// 32 bytes; a missing value reads as empty.
TEST(AddDevice, RegistryOverridesFollowTheirLengthRules) {
    const std::string defVendor("Vantrel/Orsund\0", 15);
    const std::string defIfd("QV-38N/QV-39N\0", 14);
    const std::u16string thirtyTwo(32, u'v');
    const std::u16string thirtyThree(33, u'v');
    const std::vector<Override> cases = {
        {u"Acme", u"Reader 7", true, true, "Acme", "Reader 7"},
        {u"Acme", u"", true, false, defVendor, defIfd},
        {thirtyTwo, u"X", true, true, std::string(32, 'v'), "X"},
        {thirtyThree, u"X", true, true, defVendor, defIfd},
        {u"", u"X", true, true, defVendor, defIfd},
    };
    for (const Override& c : cases) {
        Machine m;
        m.Run([&] {
            auto added = m.machine.Plug(*m.readers[0], [&](PDEVICE_OBJECT pdo) {
                if (c.setVendor) pnp::Platform().SetHardwareString(pdo, u"VendorName", c.vendor);
                if (c.setIfd) pnp::Platform().SetHardwareString(pdo, u"IfdType", c.ifd);
            });
            ASSERT_EQ(added.status, STATUS_SUCCESS);
            const auto& attr = m.machine.Extension(0)->SmartcardExtension.VendorAttr;
            EXPECT_EQ(std::string(reinterpret_cast<const char*>(attr.VendorName.Buffer), attr.VendorName.Length),
                      c.wantVendor);
            EXPECT_EQ(std::string(reinterpret_cast<const char*>(attr.IfdType.Buffer), attr.IfdType.Length), c.wantIfd);
            EXPECT_EQ(pnp::Platform().OpenKeys(), 0u) << "the key is closed again";
        });
    }
}

TEST(AddDevice, LegacyPlatformDoesNotReadTheRegistry) {
    Machine m;
    m.Run([&] {
        pnp::Platform().SetWdmVersion(1, 0);
        auto added = m.machine.Plug(*m.readers[0], [&](PDEVICE_OBJECT pdo) {
            pnp::Platform().SetHardwareString(pdo, u"VendorName", u"Acme");
            pnp::Platform().SetHardwareString(pdo, u"IfdType", u"Reader");
        });
        ASSERT_EQ(added.status, STATUS_SUCCESS);
        EXPECT_EQ(m.machine.Extension(0)->SmartcardExtension.VendorAttr.VendorName.Length, 15);
        EXPECT_NE(m.machine.Extension(0)->DosLinkName.Buffer, nullptr);
    });
}

TEST(RemoveReaderDevice, NullDeviceObjectIsIgnored) {
    Machine m;
    m.Run([] { RemoveReaderDevice(nullptr); });
}

// ---- Plug and Play, row by row ---------------------------------------------

TEST(Pnp, StartSendsTheStartSequenceAndEnablesRequests) {
    Machine m;
    m.Run([&] {
        ASSERT_EQ(m.machine.Plug(*m.readers[0]).status, STATUS_SUCCESS);
        ASSERT_EQ(m.machine.Pnp(0, IRP_MN_START_DEVICE), STATUS_SUCCESS);
        PDEVICE_EXTENSION extension = m.machine.Extension(0);
        EXPECT_EQ(KeReadStateEvent(&extension->ReaderStarted), 1);
        EXPECT_EQ(extension->SmartcardExtension.ReaderCapabilities.CurrentState, ULONG{SCARD_ABSENT});
        EXPECT_NE(extension->SmartcardExtension.ReaderExtension->UsbConfig, nullptr);
        ASSERT_EQ(m.machine.Open(0), STATUS_SUCCESS);
        const ULONG id = SCARD_ATTR_VENDOR_NAME;
        auto name = m.machine.DeviceControl(0, IOCTL_SMARTCARD_GET_ATTRIBUTE,
                                            std::span(reinterpret_cast<const std::uint8_t*>(&id), 4), 32);
        EXPECT_EQ(name.status, STATUS_SUCCESS);
        EXPECT_EQ(extension->IoCount, 0);
        EXPECT_EQ(m.machine.Close(0), STATUS_SUCCESS);
    });
}

// The polling thread is made, but the object manager will not give a
// reference to it (Windows refuses a handle closed meanwhile, say). Without
// the reference the stop could neither tell the thread to end nor wait for
// it, and after the removal it would wait on freed records. The start
// instead ends the thread at once, without a poll, and fails with that
// status; the manager removes the reader, and the unload audit that follows
// the last device finds no thread of the driver still running. Both on the
// first start and on a restart after a stop.
TEST(Pnp, AStartWhosePollingThreadCannotBeReferencedEndsItAndFails) {
    constexpr NTSTATUS kRefused = STATUS_INVALID_HANDLE;
    constexpr std::array<std::uint8_t, 2> kCardStatus{READER_COMMAND_CLASS, 0x31};
    for (std::uint64_t seed : harness::RunSeeds()) {
        for (bool restart : {false, true}) {
            SCOPED_TRACE(testing::Message() << "seed " << seed << (restart ? ", restart" : ", first start"));
            Machine m(seed);
            std::atomic<unsigned> polls = 0; // counted where the bus completes, read here
            m.machine.Bus().SetObserver([&](const usb::TransferEvent& event) {
                if (event.kind == usb::TransferKind::Out &&
                    std::ranges::search(event.data, kCardStatus).begin() != event.data.end()) {
                    ++polls;
                }
            });
            m.Run([&] {
                if (restart) {
                    ASSERT_EQ(m.machine.Plug(*m.readers[0]).started, STATUS_SUCCESS);
                    ASSERT_EQ(m.machine.Pnp(0, IRP_MN_STOP_DEVICE), STATUS_SUCCESS);
                    ObjectManagerFaults().FailReferenceByHandle(kRefused);
                    polls = 0;
                    EXPECT_EQ(m.machine.Pnp(0, IRP_MN_START_DEVICE), kRefused);
                } else {
                    const auto added = m.machine.Plug(*m.readers[0], [&](PDEVICE_OBJECT) {
                        ObjectManagerFaults().FailReferenceByHandle(kRefused);
                    });
                    EXPECT_EQ(added.status, STATUS_SUCCESS);
                    EXPECT_EQ(added.started, kRefused);
                }
                EXPECT_EQ(polls, 0u) << "the thread ended without polling";
                EXPECT_EQ(m.machine.Readers()[0].device, nullptr) << "a reader whose start failed is removed";
                EXPECT_EQ(pnp::Manager().Driver(), nullptr) << "unloaded, with its audit, after the last device";
                EXPECT_EQ(UnitInUse[0], 0);
            });
        }
    }
}

TEST(Pnp, StopThenStartRunsTheSequenceAgain) {
    Machine m;
    m.Run([&] {
        ASSERT_EQ(m.machine.Plug(*m.readers[0]).status, STATUS_SUCCESS);
        ASSERT_EQ(m.machine.Pnp(0, IRP_MN_START_DEVICE), STATUS_SUCCESS);
        EXPECT_EQ(m.machine.Pnp(0, IRP_MN_QUERY_STOP_DEVICE), STATUS_SUCCESS);
        PDEVICE_EXTENSION extension = m.machine.Extension(0);
        EXPECT_EQ(KeReadStateEvent(&extension->ReaderStarted), 0);
        EXPECT_EQ(extension->SmartcardExtension.ReaderExtension->PollEnabled, 0u);
        EXPECT_EQ(m.machine.Pnp(0, IRP_MN_STOP_DEVICE), STATUS_SUCCESS);
        EXPECT_EQ(extension->SmartcardExtension.ReaderExtension->UsbConfig, nullptr);
        extension->SmartcardExtension.ReaderCapabilities.CurrentState = SCARD_PRESENT;
        EXPECT_EQ(m.machine.Pnp(0, IRP_MN_START_DEVICE), STATUS_SUCCESS);
        EXPECT_EQ(extension->SmartcardExtension.ReaderCapabilities.CurrentState, ULONG{SCARD_ABSENT});
        EXPECT_EQ(KeReadStateEvent(&extension->ReaderStarted), 1);
    });
}

// A query-stop refused because a request is inside is followed by its
// cancel; the count of requests inside stays exact through it, so it is 0
// again (not below) when the request has ended, and a later query-stop is
// answered from the truth.
TEST(Pnp, RefusedQueryStopAndItsCancelKeepTheCountOfRequestsInside) {
    for (std::uint64_t seed : harness::RunSeeds(4)) {
        Machine m(seed);
        m.Run([&] {
            ASSERT_EQ(m.machine.Plug(*m.readers[0]).started, STATUS_SUCCESS);
            ASSERT_EQ(m.machine.Open(0), STATUS_SUCCESS);
            PDEVICE_EXTENSION extension = m.machine.Extension(0);
            PREADER_EXTENSION reader = extension->SmartcardExtension.ReaderExtension;
            // The card is seen, so a power request reaches the reader; holding
            // the reader's mutex then keeps it inside the driver.
            ASSERT_EQ(PollCardStatus(&extension->SmartcardExtension), STATUS_SUCCESS);
            KeWaitForSingleObject(reader->ReaderMutex, Executive, KernelMode, FALSE, nullptr);
            NTSTATUS powered = STATUS_PENDING;
            KEVENT ended;
            KeInitializeEvent(&ended, NotificationEvent, FALSE);
            K().Spawn("app", [&] {
                const ULONG reset = SCARD_COLD_RESET;
                powered = m.machine
                              .DeviceControl(0, IOCTL_SMARTCARD_POWER,
                                             std::span(reinterpret_cast<const std::uint8_t*>(&reset), 4), 64)
                              .status;
                KeSetEvent(&ended, IO_NO_INCREMENT, FALSE);
            });
            LARGE_INTEGER delay;
            delay.QuadPart = -10 * 1000 * 20;
            KeDelayExecutionThread(KernelMode, FALSE, &delay);
            KIRQL irql;
            KeAcquireSpinLock(&extension->SpinLock, &irql);
            const LONG inside = extension->IoCount;
            KeReleaseSpinLock(&extension->SpinLock, irql);
            EXPECT_EQ(inside, 1) << "seed " << seed;
            EXPECT_EQ(m.machine.Pnp(0, IRP_MN_QUERY_STOP_DEVICE), STATUS_DEVICE_BUSY) << "seed " << seed;
            KeReleaseMutex(reader->ReaderMutex, FALSE);
            KeWaitForSingleObject(&ended, Executive, KernelMode, FALSE, nullptr);
            EXPECT_NE(powered, STATUS_PENDING) << "seed " << seed;
            KeAcquireSpinLock(&extension->SpinLock, &irql);
            const LONG after = extension->IoCount;
            KeReleaseSpinLock(&extension->SpinLock, irql);
            EXPECT_EQ(after, 0) << "seed " << seed;
            EXPECT_EQ(m.machine.Pnp(0, IRP_MN_QUERY_STOP_DEVICE), STATUS_SUCCESS) << "seed " << seed;
            EXPECT_EQ(m.machine.Pnp(0, IRP_MN_CANCEL_STOP_DEVICE), STATUS_SUCCESS) << "seed " << seed;
            EXPECT_EQ(m.machine.Close(0), STATUS_SUCCESS);
        });
    }
}

// A request sent while the start sequence runs waits until it is over: the
// sequence's reader commands take no mutex, so nothing may share the link.
TEST(Pnp, RequestsWaitUntilTheStartSequenceIsOver) {
    for (std::uint64_t seed : harness::RunSeeds(4)) {
        Machine m(seed);
        m.Run([&] {
            ASSERT_EQ(m.machine.Plug(*m.readers[0], {}, harness::PlugStart::Held).status, STATUS_SUCCESS);
            PDEVICE_EXTENSION extension = m.machine.Extension(0);
            bool startOverWhenServed = false;
            KEVENT ended;
            KeInitializeEvent(&ended, NotificationEvent, FALSE);
            PDEVICE_OBJECT device = m.machine.Readers()[0].device;
            K().Spawn("app", [&] {
                const NTSTATUS status = m.machine.DeviceControl(0, IOCTL_SMARTCARD_GET_STATE, {}, 4).status;
                // The USB configuration and the I/O timer come early and late
                // in the sequence; both are there once it is over.
                startOverWhenServed = status == STATUS_SUCCESS &&
                                      extension->SmartcardExtension.ReaderExtension->UsbConfig != nullptr &&
                                      device->Timer != nullptr;
                KeSetEvent(&ended, IO_NO_INCREMENT, FALSE);
            });
            EXPECT_EQ(m.machine.Pnp(0, IRP_MN_START_DEVICE), STATUS_SUCCESS) << "seed " << seed;
            KeWaitForSingleObject(&ended, Executive, KernelMode, FALSE, nullptr);
            EXPECT_TRUE(startOverWhenServed) << "seed " << seed;
            EXPECT_EQ(KeReadStateEvent(&extension->ReaderStarted), 1);
        });
    }
}

TEST(Pnp, CancelStopStartsRequestsAgain) {
    Machine m;
    m.Run([&] {
        ASSERT_EQ(m.machine.Plug(*m.readers[0]).status, STATUS_SUCCESS);
        ASSERT_EQ(m.machine.Pnp(0, IRP_MN_START_DEVICE), STATUS_SUCCESS);
        EXPECT_EQ(m.machine.Pnp(0, IRP_MN_QUERY_STOP_DEVICE), STATUS_SUCCESS);
        PDEVICE_EXTENSION extension = m.machine.Extension(0);
        EXPECT_EQ(m.machine.Pnp(0, IRP_MN_CANCEL_STOP_DEVICE), STATUS_SUCCESS);
        EXPECT_EQ(extension->IoCount, 0);
        EXPECT_EQ(KeReadStateEvent(&extension->ReaderStarted), 1);
    });
}

TEST(Pnp, QueryRemoveWithAHandleOpenIsRefusedAndTheInterfaceStaysOn) {
    Machine m;
    m.Run([&] {
        ASSERT_EQ(m.machine.Plug(*m.readers[0]).status, STATUS_SUCCESS);
        ASSERT_EQ(m.machine.Pnp(0, IRP_MN_START_DEVICE), STATUS_SUCCESS);
        ASSERT_EQ(m.machine.Open(0), STATUS_SUCCESS);
        EXPECT_EQ(m.machine.Pnp(0, IRP_MN_QUERY_REMOVE_DEVICE), STATUS_UNSUCCESSFUL);
        // The interface was switched back on: enabling it again finds it on.
        EXPECT_EQ(IoSetDeviceInterfaceState(&m.machine.Extension(0)->PnPDeviceName, TRUE), STATUS_OBJECT_NAME_EXISTS);
        EXPECT_EQ(m.machine.Close(0), STATUS_SUCCESS);
        EXPECT_EQ(m.machine.Pnp(0, IRP_MN_QUERY_REMOVE_DEVICE), STATUS_SUCCESS);
        EXPECT_EQ(m.machine.Pnp(0, IRP_MN_CANCEL_REMOVE_DEVICE), STATUS_SUCCESS);
        EXPECT_EQ(m.machine.Pnp(0, IRP_MN_QUERY_REMOVE_DEVICE), STATUS_SUCCESS);
        EXPECT_EQ(m.machine.Pnp(0, IRP_MN_REMOVE_DEVICE), STATUS_SUCCESS);
    });
}

TEST(Pnp, SurpriseRemovalFailsNewRequestsAndRemoveFollowsTheClose) {
    Machine m;
    m.Run([&] {
        ASSERT_EQ(m.machine.Plug(*m.readers[0]).status, STATUS_SUCCESS);
        ASSERT_EQ(m.machine.Pnp(0, IRP_MN_START_DEVICE), STATUS_SUCCESS);
        ASSERT_EQ(m.machine.Open(0), STATUS_SUCCESS);
        EXPECT_EQ(m.machine.Unplug(0), STATUS_SUCCESS);
        auto state = m.machine.DeviceControl(0, IOCTL_SMARTCARD_GET_STATE, {}, 4);
        EXPECT_EQ(state.status, STATUS_DEVICE_REMOVED);
        EXPECT_EQ(m.machine.Close(0), STATUS_SUCCESS);
        EXPECT_EQ(m.machine.Readers()[0].device, nullptr);
    });
}

// ---- Request dispatch --------------------------------------------------------

TEST(Dispatch, OneHandleAtATime) {
    Machine m;
    m.Run([&] {
        ASSERT_EQ(m.machine.Plug(*m.readers[0]).status, STATUS_SUCCESS);
        ASSERT_EQ(m.machine.Open(0), STATUS_SUCCESS);
        // A second application: the I/O manager passes the open on (only an
        // exclusive PDO would make it refuse it) and the driver refuses it,
        // leaving the first handle as it was.
        EXPECT_EQ(m.machine.Open(0), STATUS_UNSUCCESSFUL);
        EXPECT_EQ(m.machine.DeviceControl(0, IOCTL_SMARTCARD_GET_STATE, {}, 4).status, STATUS_SUCCESS);
        EXPECT_EQ(m.machine.Close(0), STATUS_SUCCESS);
        EXPECT_EQ(m.machine.Open(0), STATUS_SUCCESS);
        EXPECT_EQ(m.machine.Close(0), STATUS_SUCCESS);
    });
}

// An open or close sent straight to the driver, past the I/O manager's
// check of the exclusive device: the driver's own one-handle rule is what
// is under test.
NTSTATUS SendCreateOrClose(PDEVICE_OBJECT device, UCHAR major) {
    PIRP irp = IoAllocateIrp(device->StackSize, FALSE);
    IoGetNextIrpStackLocation(irp)->MajorFunction = major;
    // The driver completes opens and closes before it returns.
    const NTSTATUS status = IoCallDriver(device, irp);
    EXPECT_EQ(irp->IoStatus.Status, status);
    IoFreeIrp(irp);
    return status;
}

// Two opens arrive together: one succeeds. Then the winner's close meets a
// third open: whichever comes first, ReaderClosed says afterwards whether a
// handle is open, and the reader can be opened again once none is.
TEST(Dispatch, OpensArrivingTogetherAdmitOneHandle) {
    int thirdOpenWon = 0;
    int thirdOpenRefused = 0;
    for (const std::uint64_t seed : harness::RunSeeds(32)) {
        Machine m(seed);
        m.Run([&] {
            ASSERT_EQ(m.machine.Plug(*m.readers[0]).status, STATUS_SUCCESS);
            PDEVICE_OBJECT device = m.machine.Readers()[0].device;
            PDEVICE_EXTENSION extension = m.machine.Extension(0);
            // Runs each step at once on its own thread and waits for all.
            auto together = [&](std::vector<std::function<void()>> steps) {
                std::vector<KEVENT> done(steps.size());
                for (std::size_t i = 0; i < steps.size(); ++i) {
                    KeInitializeEvent(&done[i], NotificationEvent, FALSE);
                    K().Spawn("step " + std::to_string(i), [&, i] {
                        steps[i]();
                        KeSetEvent(&done[i], IO_NO_INCREMENT, FALSE);
                    });
                }
                for (KEVENT& event : done) KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr);
            };

            NTSTATUS first = STATUS_PENDING;
            NTSTATUS second = STATUS_PENDING;
            together({[&] { first = SendCreateOrClose(device, IRP_MJ_CREATE); },
                      [&] { second = SendCreateOrClose(device, IRP_MJ_CREATE); }});
            EXPECT_EQ((first == STATUS_SUCCESS) + (second == STATUS_SUCCESS), 1) << "seed " << seed;
            EXPECT_EQ((first == STATUS_UNSUCCESSFUL) + (second == STATUS_UNSUCCESSFUL), 1) << "seed " << seed;
            EXPECT_EQ(KeReadStateEvent(&extension->ReaderClosed), 0) << "seed " << seed;

            NTSTATUS third = STATUS_PENDING;
            together({[&] { EXPECT_EQ(SendCreateOrClose(device, IRP_MJ_CLOSE), STATUS_SUCCESS); },
                      [&] { third = SendCreateOrClose(device, IRP_MJ_CREATE); }});
            if (third == STATUS_SUCCESS) {
                ++thirdOpenWon;
                EXPECT_EQ(KeReadStateEvent(&extension->ReaderClosed), 0) << "a handle is open, seed " << seed;
                EXPECT_EQ(SendCreateOrClose(device, IRP_MJ_CLOSE), STATUS_SUCCESS);
            } else {
                ++thirdOpenRefused;
                EXPECT_EQ(third, STATUS_UNSUCCESSFUL) << "seed " << seed;
            }
            EXPECT_EQ(KeReadStateEvent(&extension->ReaderClosed), 1) << "no handle is open, seed " << seed;
            EXPECT_EQ(SendCreateOrClose(device, IRP_MJ_CREATE), STATUS_SUCCESS) << "seed " << seed;
            EXPECT_EQ(SendCreateOrClose(device, IRP_MJ_CLOSE), STATUS_SUCCESS) << "seed " << seed;
        });
    }
    // The seeds ran the close and the third open in both orders.
    EXPECT_GT(thirdOpenWon, 0);
    EXPECT_GT(thirdOpenRefused, 0);
}

// Two applications open the reader at the same moment. The I/O manager
// lets both reach the driver, which tests ReaderClosed and clears it in one
// step: exactly one gets the handle, whatever the interleaving, and the one
// refused leaves no hold on the remove lock behind (the reader opens again
// and is removed without waiting).
TEST(Dispatch, TwoOpensAtOnceLeaveOneHandle) {
    OnEachSeedAndScheduling(16, [&](SeedRun& seedRun) {
        const std::uint64_t seed = seedRun.seed;
        const std::string& where = seedRun.where;
        ReaderMachine& machine = seedRun.machine;
        sim::UsbReader reader(sim::ReaderOptions{}, sim::MakeCard("dual", seed));
        seedRun.Run([&] {
            ASSERT_EQ(machine.Plug(reader).status, STATUS_SUCCESS);
            const std::u16string link = machine.Link(0);
            std::unique_ptr<harness::AppHandle> handles[2];
            NTSTATUS statuses[2] = {STATUS_PENDING, STATUS_PENDING};
            KEVENT opened[2];
            for (int i = 0; i < 2; ++i) {
                KeInitializeEvent(&opened[i], NotificationEvent, FALSE);
                K().Spawn("application " + std::to_string(i), [&, i] {
                    statuses[i] = harness::AppHandle::Open(link, handles[i]);
                    KeSetEvent(&opened[i], IO_NO_INCREMENT, FALSE);
                });
            }
            for (KEVENT& event : opened) KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr);
            EXPECT_EQ(std::count(std::begin(statuses), std::end(statuses), STATUS_SUCCESS), 1) << where;
            EXPECT_EQ(std::count(std::begin(statuses), std::end(statuses), STATUS_UNSUCCESSFUL), 1) << where;
            for (auto& handle : handles) handle.reset();
            EXPECT_EQ(machine.Open(0), STATUS_SUCCESS) << where;
            EXPECT_EQ(machine.Close(0), STATUS_SUCCESS) << where;
        });
    });
}

TEST(Dispatch, VersionAttributeIsBuiltFromTheReaderInformation) {
    Machine m;
    m.Run([&] {
        ASSERT_EQ(m.machine.Plug(*m.readers[0]).status, STATUS_SUCCESS);
        ASSERT_EQ(m.machine.Pnp(0, IRP_MN_START_DEVICE), STATUS_SUCCESS);
        PREADER_EXTENSION reader = m.machine.Extension(0)->SmartcardExtension.ReaderExtension;
        reader->ReaderInfo[11] = 0x31;
        reader->ReaderInfo[13] = 0x32;
        reader->ReaderInfo[14] = 0x33;
        reader->ReaderInfo[15] = 0x34;
        const ULONG id = ATTR_READER_VERSION;
        const auto input = std::span(reinterpret_cast<const std::uint8_t*>(&id), 4);
        auto version = m.machine.DeviceControl(0, IOCTL_SMARTCARD_GET_ATTRIBUTE, input, 4);
        EXPECT_EQ(version.status, STATUS_SUCCESS);
        EXPECT_EQ(version.output, (std::vector<std::uint8_t>{0x04, 0x00, 0x23, 0x01}));
        auto small = m.machine.DeviceControl(0, IOCTL_SMARTCARD_GET_ATTRIBUTE, input, 3);
        EXPECT_EQ(small.status, STATUS_BUFFER_TOO_SMALL);
        EXPECT_EQ(small.information, 0u);
        // Fewer than four input bytes: there is no attribute id to read.
        auto shortInput = m.machine.DeviceControl(0, IOCTL_SMARTCARD_GET_ATTRIBUTE, input.first(3), 4);
        EXPECT_EQ(shortInput.status, STATUS_INVALID_PARAMETER);
        auto confiscate = m.machine.DeviceControl(0, IOCTL_SMARTCARD_CONFISCATE, {}, 0);
        EXPECT_EQ(confiscate.status, STATUS_INVALID_PARAMETER);
        EXPECT_EQ(m.machine.Extension(0)->IoCount, 0);
    });
}

// The library hands every vendor-class attribute but the version, read or
// set, to the driver's vendor callback. The reader has no such attribute, so
// the application must hear STATUS_NOT_SUPPORTED with no data, not a success
// for a request that did nothing; setting the version, which is read-only,
// is refused too and leaves it as it was. Standard attributes still come
// from the library.
TEST(Dispatch, VendorAttributesOtherThanTheVersionAreNotSupported) {
    Machine m;
    m.Run([&] {
        ASSERT_EQ(m.machine.Plug(*m.readers[0]).started, STATUS_SUCCESS);
        ASSERT_EQ(m.machine.Open(0), STATUS_SUCCESS);
        auto ulongs = [](std::initializer_list<ULONG> values) {
            std::vector<std::uint8_t> bytes;
            for (ULONG value : values) {
                const auto* raw = reinterpret_cast<const std::uint8_t*>(&value);
                bytes.insert(bytes.end(), raw, raw + sizeof(value));
            }
            return bytes;
        };
        const ULONG otherVendor = SCARD_ATTR_VALUE(SCARD_CLASS_VENDOR_DEFINED, 0x01F1);
        const std::vector<std::uint8_t> version = ulongs({ATTR_READER_VERSION});
        const auto before = m.machine.DeviceControl(0, IOCTL_SMARTCARD_GET_ATTRIBUTE, version, 4);
        ASSERT_EQ(before.status, STATUS_SUCCESS);

        const auto get = m.machine.DeviceControl(0, IOCTL_SMARTCARD_GET_ATTRIBUTE, ulongs({otherVendor}), 32);
        EXPECT_EQ(get.status, STATUS_NOT_SUPPORTED);
        EXPECT_EQ(get.information, 0u);
        const auto set = m.machine.DeviceControl(0, IOCTL_SMARTCARD_SET_ATTRIBUTE, ulongs({otherVendor, 7}), 0);
        EXPECT_EQ(set.status, STATUS_NOT_SUPPORTED);
        const auto setVersion =
            m.machine.DeviceControl(0, IOCTL_SMARTCARD_SET_ATTRIBUTE, ulongs({ATTR_READER_VERSION, 0x09090009}), 0);
        EXPECT_EQ(setVersion.status, STATUS_NOT_SUPPORTED);
        const auto after = m.machine.DeviceControl(0, IOCTL_SMARTCARD_GET_ATTRIBUTE, version, 4);
        EXPECT_EQ(after.status, STATUS_SUCCESS);
        EXPECT_EQ(after.output, before.output);

        const auto name = m.machine.DeviceControl(0, IOCTL_SMARTCARD_GET_ATTRIBUTE, ulongs({SCARD_ATTR_VENDOR_NAME}), 32);
        EXPECT_EQ(name.status, STATUS_SUCCESS);
        EXPECT_EQ(name.information, 15u);
        EXPECT_EQ(m.machine.Close(0), STATUS_SUCCESS);
        EXPECT_EQ(m.machine.Extension(0)->IoCount, 0);
    });
}

// A request sent before the start waits for it; one that waits when removal
// begins ends with STATUS_DEVICE_REMOVED instead of holding up the removal.
TEST(Dispatch, WaitingRequestEndsWhenTheReaderIsRemoved) {
    for (std::uint64_t seed : harness::RunSeeds()) {
        Machine m(seed);
        m.Run([&] {
            ASSERT_EQ(m.machine.Plug(*m.readers[0], {}, harness::PlugStart::Held).status, STATUS_SUCCESS);
            NTSTATUS waited = STATUS_PENDING;
            KEVENT ended;
            KeInitializeEvent(&ended, NotificationEvent, FALSE);
            K().Spawn("app", [&] {
                waited = m.machine.DeviceControl(0, IOCTL_SMARTCARD_GET_STATE, {}, 4).status;
                KeSetEvent(&ended, IO_NO_INCREMENT, FALSE);
            });
            LARGE_INTEGER delay;
            delay.QuadPart = -10 * 1000 * 50;
            KeDelayExecutionThread(KernelMode, FALSE, &delay);
            EXPECT_EQ(waited, STATUS_PENDING) << "seed " << seed;
            EXPECT_EQ(m.machine.Pnp(0, IRP_MN_REMOVE_DEVICE), STATUS_SUCCESS);
            KeWaitForSingleObject(&ended, Executive, KernelMode, FALSE, nullptr);
            EXPECT_EQ(waited, STATUS_DEVICE_REMOVED) << "seed " << seed;
        });
    }
}

// A wait a kernel-mode caller sent without a handle and left pending ends
// with the removal when the machine is switched off; its sender frees the
// IRP as it completes, before the driver unloads after its last reader and
// the unload audit counts the IRPs still live.
TEST(Dispatch, KernelModeWaitEndedByTheLastRemovalIsFreedBeforeTheUnload) {
    for (std::uint64_t seed : harness::RunSeeds()) {
        Machine m(seed);
        m.Run([&] {
            ASSERT_EQ(m.machine.Plug(*m.readers[0]).status, STATUS_SUCCESS);
            harness::AsyncRequest& wait = m.machine.SendAsync(0, IOCTL_SMARTCARD_IS_PRESENT);
            EXPECT_FALSE(wait.done) << "seed " << seed;
        });
    }
}

} // namespace
} // namespace qv::test
