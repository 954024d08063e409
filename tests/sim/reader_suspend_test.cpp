// The reader on a suspended port: the card loses its power at once, and on
// resume the firmware starts afresh while the card stays where it is.
#include <gtest/gtest.h>

#include "io/io_manager.h"
#include "power/power_manager.h"
#include "support/kernel_run.h"
#include "usb_reader.h"

namespace qv::test {
namespace {

TEST(ReaderSuspend, TheSystemsSleepSuspendsThePortAndTheCardLosesPower) {
    Machine machine;
    sim::UsbReader reader;
    usb::UsbBus& bus = machine.Usb();
    RunOk(machine, [&] {
        bus.Plug(reader, "reader");
        reader.CurrentCard().Reset(sim::ResetKind::Cold);
        ASSERT_TRUE(reader.CurrentCard().Powered());
        EXPECT_EQ(power::Sleep(PowerSystemSleeping3), STATUS_SUCCESS);
        EXPECT_TRUE(reader.Suspended());
        EXPECT_FALSE(reader.CurrentCard().Powered());
        reader.RemoveCard(); // pulled while asleep: the slot still tells
        EXPECT_EQ(power::Wake(), STATUS_SUCCESS);
        EXPECT_FALSE(reader.Suspended());
        EXPECT_FALSE(reader.CardInserted());
        bus.Shutdown();
    });
}

} // namespace
} // namespace qv::test
