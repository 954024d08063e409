// Add-device failing at each of its steps, through the Plug and Play
// manager as Windows calls it: every allocation (IoCreateDevice's included)
// failed in turn, the attachment refused, the interface registration and the
// library's link failing, the registry override failing in each of its
// ways, for a first reader and for a second one. Whatever fails, nothing is
// left behind (no device object above the bus's, no link, no open key, no
// unit number, and the first reader's unit stays taken; the manager unloads the
// driver when no device is left, and its unload audit reports any block
// still allocated), and an event-log entry is written exactly for the steps
// that write one. Also the legacy platform's link: deleted with the reader,
// its name free for the next one.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <iterator>
#include <memory>
#include <string>
#include <vector>

#include "cards/card_catalogue.h"
#include "device.h"
#include "harness/reader_machine.h"
#include "io/io_state.h"
#include "kernel/pool.h"
#include "pnp/pnp_manager.h"
#include "pnp/pnp_platform.h"
#include "smclib/event_log.h"
#include "support/kernel_run.h"
#include "usb_reader.h"

namespace qv::test {
namespace {

using harness::PlugStart;
using harness::ReaderMachine;

constexpr NTSTATUS kLogCode = READER_ADD_FAILED_LOG_CODE;
// More allocations than add-device and its registry override make.
constexpr std::uint64_t kMaxAllocations = 60;

MachineConfig Seeded(std::uint64_t seed) {
    MachineConfig config;
    config.seed = seed;
    return config;
}

// The step of add-device an allocation belongs to, told by where it is made.
enum class Step { CreateDevice, ReaderRecords, Library, Interface, Link, Override, Other };

Step StepOf(const std::string& site) {
    if (site.find("IoCreateDevice") != std::string::npos) return Step::CreateDevice;
    if (site.find("add_device") != std::string::npos) return Step::ReaderRecords;
    // The library's link name is a string block of its own.
    if (site.find("library_services") != std::string::npos && site.ends_with("Strg")) return Step::Link;
    if (site.find("library_lifetime") != std::string::npos || site.find("smclib") != std::string::npos)
        return Step::Library;
    if (site.find("device_interfaces") != std::string::npos) return Step::Interface;
    if (site.find("registry") != std::string::npos || site.find("rtl_strings") != std::string::npos)
        return Step::Override;
    return Step::Other;
}

struct Outcome {
    NTSTATUS status = STATUS_PENDING;
    std::vector<smclib::EventLogEntry> entries; // written during add-device
    bool deviceAbove = false;
    std::size_t links = 0;
    std::size_t linksBefore = 0; // the first reader's, when there is one
    std::size_t openKeys = 0;
    std::array<UCHAR, MAXIMUM_READER_UNITS> unitsInUse{};
    std::string failedSite; // the allocation the fault plan failed; empty when none
};

// The units taken before the failing add-device: none, or unit 0 when a
// first reader is already there.
std::array<UCHAR, MAXIMUM_READER_UNITS> UnitsBefore(bool second) {
    std::array<UCHAR, MAXIMUM_READER_UNITS> units{};
    units[0] = second ? 1 : 0;
    return units;
}

// Plugs one reader with the nth allocation from the report on failed; the
// start is held back, so only add-device runs. With `first`, that reader is
// plugged and started before, so the failing one is the second, with unit 1.
Outcome PlugWithFailure(ReaderMachine& machine, sim::UsbReader& reader, std::uint64_t nth, bool legacy,
                        sim::UsbReader* first = nullptr) {
    Outcome outcome;
    machine.Machine().Events().SetListener(
        [&](std::uint64_t, std::string_view, std::string_view category, std::string_view text) {
            const std::string line(text);
            const auto at = line.find(") at ");
            if (category == "pool" && at != std::string::npos && line.ends_with(" fails")) {
                // "... ('Strg') at file:line fails": the tag, then the site.
                const auto tag = line.find("('");
                outcome.failedSite = line.substr(at + 5, line.size() - at - 5 - 6);
                if (tag != std::string::npos) outcome.failedSite += " " + line.substr(tag + 2, 4);
            }
        });
    RunResult run = machine.Run([&] {
        if (legacy) pnp::Platform().SetWdmVersion(1, 0);
        if (first != nullptr) {
            ASSERT_EQ(machine.Plug(*first).started, STATUS_SUCCESS);
        }
        outcome.linksBefore = pnp::Platform().SymbolicLinks();
        const std::size_t before = smclib::EventLog().Entries().size();
        auto added = machine.Plug(
            reader,
            [&](PDEVICE_OBJECT pdo) {
                // Values for the override, so that its allocations are made.
                pnp::Platform().SetHardwareString(pdo, u"VendorName", u"Acme");
                pnp::Platform().SetHardwareString(pdo, u"IfdType", u"Reader 7");
                K().PoolAllocator().FailAfter(nth);
            },
            PlugStart::Held);
        K().PoolAllocator().FailAfter(std::uint64_t{1} << 40);
        outcome.status = added.status;
        const auto& entries = smclib::EventLog().Entries();
        outcome.entries.assign(entries.begin() + static_cast<std::ptrdiff_t>(before), entries.end());
        outcome.deviceAbove = machine.Readers()[added.index].pdo->AttachedDevice != nullptr;
        outcome.links = pnp::Platform().SymbolicLinks();
        outcome.openKeys = pnp::Platform().OpenKeys();
        std::copy(std::begin(UnitInUse), std::end(UnitInUse), outcome.unitsInUse.begin());
    });
    EXPECT_TRUE(run.Ok()) << "allocation " << nth << "\n" << run.report;
    machine.Machine().Events().SetListener({});
    return outcome;
}

void ExpectNothingLeft(const Outcome& o, const std::string& where, bool second) {
    EXPECT_FALSE(o.deviceAbove) << where;
    EXPECT_EQ(o.links, o.linksBefore) << where;
    EXPECT_EQ(o.openKeys, 0u) << where;
    EXPECT_EQ(o.unitsInUse, UnitsBefore(second)) << where << ": the unit this add-device took, and no other, is free";
}

void ExpectOneEntry(const Outcome& o, const std::string& where) {
    ASSERT_EQ(o.entries.size(), 1u) << where;
    EXPECT_EQ(o.entries[0].errorCode, kLogCode) << where;
}

// Every allocation in turn, on the platform with device interfaces and on the
// legacy one, for a first reader (unit 0) or a second (unit 1). The failed
// allocation's site names the step, and the step says what add-device must
// have done.
void SweepAllocations(bool legacy, bool second = false) {
    std::array<bool, static_cast<std::size_t>(Step::Other) + 1> seen{};
    bool completed = false;
    for (std::uint64_t nth = 1; nth <= kMaxAllocations && !completed; ++nth) {
        ReaderMachine machine(Seeded(nth));
        sim::UsbReader firstReader(sim::ReaderOptions{}, sim::MakeCard("dual", nth));
        sim::UsbReader reader(sim::ReaderOptions{}, sim::MakeCard("dual", nth));
        const Outcome o = PlugWithFailure(machine, reader, nth, legacy, second ? &firstReader : nullptr);
        const std::string where = std::string(legacy ? "legacy, " : "") + (second ? "second reader, " : "") +
                                  "allocation " + std::to_string(nth) + " at " +
                                  (o.failedSite.empty() ? "(none)" : o.failedSite);
        if (o.failedSite.empty()) {
            // Past the last allocation add-device makes.
            EXPECT_EQ(o.status, STATUS_SUCCESS) << where;
            EXPECT_TRUE(o.entries.empty()) << where;
            completed = true;
        } else {
            const Step step = StepOf(o.failedSite);
            seen[static_cast<std::size_t>(step)] = true;
            switch (step) {
            case Step::CreateDevice:
            case Step::ReaderRecords:
            case Step::Library:
                EXPECT_EQ(o.status, STATUS_INSUFFICIENT_RESOURCES) << where;
                ExpectOneEntry(o, where);
                ExpectNothingLeft(o, where, second);
                break;
            case Step::Interface:
            case Step::Link:
                EXPECT_FALSE(NT_SUCCESS(o.status)) << where;
                EXPECT_TRUE(o.entries.empty()) << where;
                ExpectNothingLeft(o, where, second);
                break;
            case Step::Override:
                // The defaults stay; the reader is added all the same.
                EXPECT_EQ(o.status, STATUS_SUCCESS) << where;
                EXPECT_TRUE(o.entries.empty()) << where;
                EXPECT_EQ(o.openKeys, 0u) << where;
                break;
            case Step::Other: ADD_FAILURE() << "an allocation of no known step: " << where; break;
            }
        }
        RunResult end = machine.Shutdown();
        EXPECT_TRUE(end.Ok()) << where << "\n" << end.report;
    }
    EXPECT_TRUE(completed) << "add-device made more than " << kMaxAllocations << " allocations";
    for (Step step : {Step::CreateDevice, Step::ReaderRecords, Step::Library, Step::Interface})
        EXPECT_TRUE(seen[static_cast<std::size_t>(step)]) << "step " << static_cast<int>(step) << " never failed";
    if (legacy) {
        EXPECT_TRUE(seen[static_cast<std::size_t>(Step::Link)]) << "the link never failed";
    } else {
        EXPECT_TRUE(seen[static_cast<std::size_t>(Step::Override)]) << "the override never failed";
    }
}

TEST(AddDeviceFailure, EveryAllocationFailedInTurnLeavesNothingBehind) { SweepAllocations(false); }

TEST(AddDeviceFailure, EveryAllocationFailedInTurnOnTheLegacyPlatform) { SweepAllocations(true); }

// The same for a second reader, whose unit is 1 while the first reader keeps
// unit 0. Add-device must know which unit it took before anything that can
// fail: a clean-up that read the unit from a record not yet filled in would
// free the first reader's unit 0 and leak its own.
TEST(AddDeviceFailure, EveryAllocationFailedInTurnForASecondReaderFreesOnlyItsOwnUnit) {
    SweepAllocations(false, true);
}

// The bus deletes its device between the report and add-device: the stack
// takes no new device, and add-device fails without a log entry.
TEST(AddDeviceFailure, AttachmentRefusedLeavesNothingAndLogsNothing) {
    ReaderMachine machine(Seeded(3));
    sim::UsbReader reader(sim::ReaderOptions{}, sim::MakeCard("dual", 3));
    RunResult run = machine.Run([&] {
        const std::size_t before = smclib::EventLog().Entries().size();
        PDEVICE_OBJECT bus = nullptr;
        auto added = machine.Plug(
            reader,
            [&](PDEVICE_OBJECT pdo) {
                bus = pdo;
                Io().Internals().devices.Find(pdo)->deletePending = true;
            },
            PlugStart::Held);
        Io().Internals().devices.Find(bus)->deletePending = false;
        EXPECT_EQ(added.status, STATUS_UNSUCCESSFUL);
        EXPECT_EQ(smclib::EventLog().Entries().size(), before);
        EXPECT_EQ(bus->AttachedDevice, nullptr);
        EXPECT_EQ(UnitInUse[0], 0);
        EXPECT_EQ(pnp::Manager().Driver(), nullptr) << "a driver left without devices is unloaded";
    });
    EXPECT_TRUE(run.Ok()) << run.report;
    RunResult end = machine.Shutdown();
    EXPECT_TRUE(end.Ok()) << end.report;
}

// Every name the library hands out is taken: the link fails, and with it
// add-device, with the library's status and no log entry.
TEST(AddDeviceFailure, LegacyLinkWithEveryNameTakenFailsTheAdd) {
    ReaderMachine machine(Seeded(4));
    sim::UsbReader reader(sim::ReaderOptions{}, sim::MakeCard("dual", 4));
    RunResult run = machine.Run([&] {
        pnp::Platform().SetWdmVersion(1, 0);
        std::vector<std::u16string> names;
        for (ULONG number = 0; number < MAXIMUM_SMARTCARD_READERS; ++number) {
            names.push_back(u"\\DosDevices\\SCReader" + std::u16string(1, static_cast<char16_t>(u'0' + number)));
            ASSERT_TRUE(pnp::Platform().AddLink(names.back(), u"\\Device\\Other"));
        }
        const std::size_t before = smclib::EventLog().Entries().size();
        auto added = machine.Plug(reader, {}, PlugStart::Held);
        EXPECT_EQ(added.status, STATUS_OBJECT_NAME_COLLISION);
        EXPECT_EQ(smclib::EventLog().Entries().size(), before);
        EXPECT_EQ(machine.Readers()[0].pdo->AttachedDevice, nullptr);
        EXPECT_EQ(pnp::Platform().SymbolicLinks(), names.size()) << "no link of its own is left";
        EXPECT_EQ(UnitInUse[0], 0);
        for (const auto& name : names) pnp::Platform().DeleteLink(name);
    });
    EXPECT_TRUE(run.Ok()) << run.report;
    RunResult end = machine.Shutdown();
    EXPECT_TRUE(end.Ok()) << end.report;
}

// The override's failures that are not allocations: a key that cannot be
// opened, and values of the wrong type, which the query refuses. The
// defaults stay, the reader is added, and the key is closed again.
TEST(AddDeviceFailure, RegistryOverrideFailuresKeepTheDefaults) {
    for (int variant = 0; variant < 2; ++variant) {
        ReaderMachine machine(Seeded(5));
        sim::UsbReader reader(sim::ReaderOptions{}, sim::MakeCard("dual", 5));
        RunResult run = machine.Run([&] {
            const std::size_t before = smclib::EventLog().Entries().size();
            auto added = machine.Plug(reader, [&](PDEVICE_OBJECT pdo) {
                pnp::Platform().SetHardwareString(pdo, u"VendorName", u"Acme");
                pnp::Platform().SetHardwareString(pdo, u"IfdType", u"Reader 7");
                if (variant == 0) pnp::Platform().FailKeyOpen(pdo, STATUS_ACCESS_DENIED);
                else pnp::Platform().SetHardwareValue(pdo, u"VendorName", pnp::RegistryValue::Dword(7));
            });
            ASSERT_EQ(added.status, STATUS_SUCCESS) << "variant " << variant;
            const auto& attr = machine.Extension(0)->SmartcardExtension.VendorAttr;
            EXPECT_EQ(attr.VendorName.Length, 15) << "variant " << variant;
            EXPECT_EQ(attr.IfdType.Length, 14) << "variant " << variant;
            EXPECT_EQ(pnp::Platform().OpenKeys(), 0u) << "variant " << variant;
            EXPECT_EQ(smclib::EventLog().Entries().size(), before) << "variant " << variant;
        });
        EXPECT_TRUE(run.Ok()) << run.report;
        RunResult end = machine.Shutdown();
        EXPECT_TRUE(end.Ok()) << end.report;
    }
}

// ---- The legacy platform's link ----------------------------------------------

// The application opens the reader by the library's link; when the reader is
// removed the link goes with it, and the next reader gets the same name.
TEST(AddDevice, LegacyLinkIsDeletedOnRemovalAndItsNameReused) {
    ReaderMachine machine(Seeded(6));
    std::array<std::unique_ptr<sim::UsbReader>, 2> readers;
    for (auto& reader : readers) reader = std::make_unique<sim::UsbReader>(sim::ReaderOptions{}, sim::MakeCard("dual", 6));
    RunResult run = machine.Run([&] {
        pnp::Platform().SetWdmVersion(1, 0);
        ASSERT_EQ(machine.Plug(*readers[0]).started, STATUS_SUCCESS);
        const std::u16string link = machine.Link(0);
        EXPECT_EQ(link, u"\\DosDevices\\SCReader0");
        ASSERT_TRUE(pnp::Platform().LinkTarget(link).has_value());
        ASSERT_EQ(machine.Open(0), STATUS_SUCCESS);
        EXPECT_EQ(machine.DeviceControl(0, IOCTL_SMARTCARD_GET_STATE, {}, 4).status, STATUS_SUCCESS);
        EXPECT_EQ(machine.Close(0), STATUS_SUCCESS);
        EXPECT_EQ(machine.Pnp(0, IRP_MN_REMOVE_DEVICE), STATUS_SUCCESS);
        EXPECT_EQ(machine.Readers()[0].device, nullptr);
        EXPECT_FALSE(pnp::Platform().LinkTarget(link).has_value()) << "the link went with the reader";
        EXPECT_EQ(pnp::Platform().SymbolicLinks(), 0u);

        ASSERT_EQ(machine.Plug(*readers[1]).started, STATUS_SUCCESS);
        EXPECT_EQ(machine.Link(1), link) << "the freed name is the first free one again";
        // A reader pulled out loses its link too, once its handle is closed.
        ASSERT_EQ(machine.Open(1), STATUS_SUCCESS);
        EXPECT_EQ(machine.Unplug(1), STATUS_SUCCESS);
        EXPECT_TRUE(pnp::Platform().LinkTarget(link).has_value()) << "kept while the handle is open";
        EXPECT_EQ(machine.Close(1), STATUS_SUCCESS);
        EXPECT_FALSE(pnp::Platform().LinkTarget(link).has_value());
    });
    EXPECT_TRUE(run.Ok()) << run.report;
    RunResult end = machine.Shutdown();
    EXPECT_TRUE(end.Ok()) << end.report;
}

} // namespace
} // namespace qv::test
