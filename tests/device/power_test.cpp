// The reader follows the system to sleep and back: one D3 request per
// sleep, the reader powered down and its port suspended, and on wake one D0
// request, the link resynchronised by the poll after power-up and requests
// admitted again.
#include <gtest/gtest.h>

#include <algorithm>
#include <memory>

#include "cards/card_catalogue.h"
#include "device.h"
#include "harness/reader_machine.h"
#include "io/io_state.h"
#include "power/power_manager.h"
#include "support/kernel_run.h"
#include "support/seeds.h"
#include "usb_reader.h"

namespace qv::test {
namespace {

using harness::ReaderMachine;

KernelConfig Seeded(std::uint64_t seed) {
    KernelConfig config;
    config.seed = seed;
    return config;
}

std::size_t Count(const std::vector<std::string>& journal, const std::string& line) {
    return static_cast<std::size_t>(std::count(journal.begin(), journal.end(), line));
}

TEST(DriverPower, EachSleepingStateAsksForD3OnceAndWakeBringsTheReaderBack) {
    for (SYSTEM_POWER_STATE state : {PowerSystemSleeping1, PowerSystemSleeping2, PowerSystemSleeping3,
                                     PowerSystemHibernate, PowerSystemShutdown}) {
        for (std::uint64_t seed : TestSeeds(4)) {
            ReaderMachine machine(Seeded(seed));
            sim::UsbReader reader(sim::ReaderOptions{}, sim::MakeCard("dual", seed));
            RunResult run = machine.Run([&] {
                ASSERT_EQ(machine.Plug(reader).status, STATUS_SUCCESS);
                ASSERT_EQ(machine.Pnp(0, IRP_MN_START_DEVICE), STATUS_SUCCESS);
                PDEVICE_EXTENSION extension = machine.Extension(0);
                PREADER_EXTENSION readerExtension = extension->SmartcardExtension.ReaderExtension;

                ASSERT_EQ(power::Sleep(state), STATUS_SUCCESS);
                EXPECT_EQ(readerExtension->PowerState, READER_POWERED_DOWN);
                EXPECT_TRUE(reader.Suspended());
                EXPECT_EQ(KeReadStateEvent(&extension->ReaderStarted), 0) << "the sleep query closed the gate";
                const auto asleep = power::Journal();
                EXPECT_EQ(Count(asleep, "request set D3 -> " + K().Io().Internals().devices.Label(
                                                                    machine.Readers()[0].device)),
                          1u);

                ASSERT_EQ(power::Wake(), STATUS_SUCCESS);
                EXPECT_EQ(readerExtension->PowerState, READER_POWERED);
                EXPECT_FALSE(reader.Suspended());
                EXPECT_EQ(readerExtension->LinkSynchronized, 1u) << "the poll after power-up resynchronised";
                EXPECT_NE(KeReadStateEvent(&extension->ReaderStarted), 0);
                EXPECT_EQ(readerExtension->PollEnabled, 0u) << "the next tick is skipped";
                EXPECT_EQ(machine.Pnp(0, IRP_MN_REMOVE_DEVICE), STATUS_SUCCESS);
            });
            EXPECT_TRUE(run.Ok()) << "seed " << seed << "\n" << run.report;
            RunResult end = machine.Shutdown();
            EXPECT_TRUE(end.Ok()) << "seed " << seed << "\n" << end.report;
        }
    }
}

} // namespace
} // namespace qv::test
