// The driver's entry and unload routines on the emulated I/O manager, and
// the placement rules behind them: the routines lie in the sections Windows
// gives them, a pageable routine that runs at DISPATCH_LEVEL stops the run,
// as the page fault would on Windows, and so does the entry routine once
// the loader has discarded it.
#include <gtest/gtest.h>

#include "io/io_manager.h"
#include "kernel/image_sections.h"
#include "support/kernel_run.h"
#include "device.h"
#include "qvscr.h"

namespace qv::test {
namespace {

constexpr char16_t kDriverName[] = u"\\Driver\\qvscr";

TEST(DriverEntry, InstallsItsRoutinesAndSucceeds) {
    Machine machine(MachineConfig{});
    RunOk(machine, [] {
        NTSTATUS status = STATUS_UNSUCCESSFUL;
        PDRIVER_OBJECT driver = Io().LoadDriver(kDriverName, &DriverEntry, &status);
        ASSERT_NE(driver, nullptr);
        EXPECT_EQ(status, STATUS_SUCCESS);
        EXPECT_EQ(driver->DriverUnload, &DriverUnload);
        EXPECT_EQ(driver->DriverExtension->AddDevice, &AddDevice);
        EXPECT_EQ(driver->MajorFunction[IRP_MJ_CREATE], &DispatchCreateClose);
        EXPECT_EQ(driver->MajorFunction[IRP_MJ_CLOSE], &DispatchCreateClose);
        EXPECT_EQ(driver->MajorFunction[IRP_MJ_CLEANUP], &DispatchCleanup);
        EXPECT_EQ(driver->MajorFunction[IRP_MJ_DEVICE_CONTROL], &DispatchDeviceControl);
        EXPECT_EQ(driver->MajorFunction[IRP_MJ_SYSTEM_CONTROL], &DispatchSystemControl);
        EXPECT_EQ(driver->MajorFunction[IRP_MJ_PNP], &DispatchPnp);
        EXPECT_EQ(driver->MajorFunction[IRP_MJ_POWER], &DispatchPower);
        // Every other request keeps the I/O manager's default handler.
        const PDRIVER_DISPATCH defaultHandler = driver->MajorFunction[IRP_MJ_READ];
        EXPECT_EQ(driver->MajorFunction[IRP_MJ_WRITE], defaultHandler);
        EXPECT_EQ(driver->MajorFunction[IRP_MJ_SHUTDOWN], defaultHandler);
        // Unloading with no device left behind passes the I/O manager's audit.
        Io().UnloadDriver(driver);
    });
}

TEST(DriverEntry, PageableUnloadAtDispatchLevelIsABugCheck) {
    RunResult result = RunExpectingBugCheck(
        [] {
            NTSTATUS status = STATUS_UNSUCCESSFUL;
            PDRIVER_OBJECT driver = Io().LoadDriver(kDriverName, &DriverEntry, &status);
            KIRQL old;
            KeRaiseIrql(DISPATCH_LEVEL, &old);
            driver->DriverUnload(driver);
        },
        bugcode::DRIVER_IRQL_NOT_LESS_OR_EQUAL);
    EXPECT_NE(result.report.find("driver_entry.cpp"), std::string::npos) << result.report;
}

TEST(DriverEntry, RoutinesLieInTheSectionsWindowsGivesThem) {
    auto of = [](auto* address) { return ImageSections::OfProcess().Of(reinterpret_cast<const void*>(address)); };
    EXPECT_EQ(of(&DriverEntry), ImageSection::Init);
    EXPECT_EQ(of(&DriverUnload), ImageSection::PagedCode);
    EXPECT_EQ(of(&AddDevice), ImageSection::PagedCode);
    EXPECT_EQ(of(&DispatchCreateClose), ImageSection::PagedCode);
    EXPECT_EQ(of(&DefaultVendorName), ImageSection::PagedData);
    EXPECT_EQ(of(&DefaultIfdType), ImageSection::PagedData);
    // What may run at DISPATCH_LEVEL stays resident.
    EXPECT_EQ(of(&DispatchDeviceControl), ImageSection::Resident);
    EXPECT_EQ(of(&DispatchPnp), ImageSection::Resident);
    EXPECT_EQ(of(&PollTimer), ImageSection::Resident);
}

TEST(DriverEntry, EntryRoutineRunAgainAfterLoadIsABugCheck) {
    RunExpectingBugCheck(
        [] {
            NTSTATUS status = STATUS_UNSUCCESSFUL;
            PDRIVER_OBJECT driver = Io().LoadDriver(kDriverName, &DriverEntry, &status);
            (void)DriverEntry(driver, nullptr);
        },
        bugcode::PAGE_FAULT_IN_NONPAGED_AREA);
}

TEST(DriverEntry, DefaultVendorStringsCarryTheirTerminators) {
    EXPECT_STREQ(reinterpret_cast<const char*>(DefaultVendorName), "Vantrel/Orsund");
    EXPECT_EQ(sizeof(DefaultVendorName), 15u);
    EXPECT_STREQ(reinterpret_cast<const char*>(DefaultIfdType), "QV-38N/QV-39N");
    EXPECT_EQ(sizeof(DefaultIfdType), 14u);
}

} // namespace
} // namespace qv::test
