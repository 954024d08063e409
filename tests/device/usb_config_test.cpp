// The reader's USB configuration: descriptor reads, the selected
// interface and its pipe slots, dropping the configuration, descriptors the
// driver must not believe, and allocation failures on every step.
#include <gtest/gtest.h>

#include <cstring>

#include "kernel/pool.h"
#include "link/link_fixture.h"
#include "usb_config.h"

namespace qv::test {
namespace {

// Runs body on the bed without configuring first; both the run and the
// shutdown (with its unload audit) must end cleanly.
void RunUnconfigured(LinkBed& t, const std::function<void()>& body) {
    RunResult run = t.bed.Run(body);
    EXPECT_TRUE(run.Ok()) << "seed " << t.seed << "\n" << run.report;
    RunResult end = t.bed.Shutdown();
    EXPECT_TRUE(end.Ok()) << "seed " << t.seed << "\n" << end.report;
}

// Size of the pool block at address, 0 when there is none.
std::size_t PoolBlockSize(const void* address) {
    for (const PoolBlockInfo& block : K().PoolAllocator().Outstanding()) {
        if (block.address == address) return block.size;
    }
    return 0;
}

bool AnyPoolBlockOfSize(std::size_t size) {
    for (const PoolBlockInfo& block : K().PoolAllocator().Outstanding()) {
        if (block.tag == READER_POOL_TAG && block.size == size) return true;
    }
    return false;
}

TEST(ConfigureUsbDevice, ShortDescriptorIsReadOnceIntoTheFirstBlock) {
    ForEachSeed([](LinkBed& t) {
        RunUnconfigured(t, [&] {
            ASSERT_EQ(t.bed.Configure(0), STATUS_SUCCESS);
            EXPECT_EQ(PoolBlockSize(t.Reader().UsbConfig->ConfigurationDescriptor), USB_CONFIGURATION_FIRST_READ_SIZE);
            EXPECT_EQ(t.Reader().UsbConfig->ConfigurationDescriptor->wTotalLength, 32);
            // Device descriptor, one configuration read, the select.
            EXPECT_EQ(t.bed.Bus().Counters().controlRequests, 3u);
        });
    });
}

TEST(ConfigureUsbDevice, LongDescriptorIsReadAgainAtItsLength) {
    ForEachSeed([](LinkBed& t) {
        t.reader.SetDescriptors(Bytes(t.reader.DeviceDescriptor().begin(), t.reader.DeviceDescriptor().end()),
                                ConfigurationDescriptorOfLength(600));
        RunUnconfigured(t, [&] {
            ASSERT_EQ(t.bed.Configure(0), STATUS_SUCCESS);
            EXPECT_EQ(PoolBlockSize(t.Reader().UsbConfig->ConfigurationDescriptor), 600u);
            EXPECT_FALSE(AnyPoolBlockOfSize(USB_CONFIGURATION_FIRST_READ_SIZE)) << "the first block is freed";
            EXPECT_EQ(t.bed.Bus().Counters().controlRequests, 4u);
            EXPECT_NE(t.Reader().UsbConfig->PipeSlots, nullptr) << "the parser walked past the padding";
        });
    });
}

TEST(ConfigureUsbDevice, KeepsTheInterfaceAndPointsOneSlotAtEachPipe) {
    for (ULONG transferSize : {READER_MAX_TRANSFER_SIZE, 1024u}) {
        ForEachSeed([transferSize](LinkBed& t) {
            RunUnconfigured(t, [&] {
                t.Reader().MaxTransferSize = transferSize;
                ASSERT_EQ(t.bed.Configure(0), STATUS_SUCCESS);
                const USB_CONFIG& config = *t.Reader().UsbConfig;
                ASSERT_NE(config.Interface, nullptr);
                ASSERT_NE(config.PipeSlots, nullptr);
                EXPECT_NE(config.ConfigurationHandle, nullptr);
                EXPECT_EQ(config.DeviceDescriptor->bLength, 18);
                ASSERT_EQ(config.Interface->NumberOfPipes, 2u);
                const PUSBD_PIPE_INFORMATION pipes = config.Interface->Pipes;
                for (ULONG i = 0; i < 2; ++i) {
                    EXPECT_EQ(config.PipeSlots[i].PipeInfo, pipes + i) << "slot " << i;
                    EXPECT_EQ(pipes[i].MaximumTransferSize, transferSize) << "pipe " << i;
                }
                EXPECT_EQ(pipes[USB_INPUT_PIPE_SLOT].EndpointAddress, kInEndpoint);
                EXPECT_EQ(pipes[USB_OUTPUT_PIPE_SLOT].EndpointAddress, kOutEndpoint);
            });
            EXPECT_EQ(t.reader.Configurations(), (std::vector<std::uint8_t>{1, 0}));
        });
    }
}

TEST(UnconfigureUsbDevice, FailedRequestLeavesTheHolder) {
    ForEachSeed([](LinkBed& t) {
        RunUnconfigured(t, [&] {
            ASSERT_EQ(t.bed.Configure(0), STATUS_SUCCESS);
            const USB_CONFIG before = *t.Reader().UsbConfig;
            PUSB_CONFIG holder = t.Reader().UsbConfig;
            t.reader.acceptConfiguration = false;
            EXPECT_FALSE(NT_SUCCESS(t.bed.Unconfigure(0)));
            ASSERT_EQ(t.Reader().UsbConfig, holder);
            EXPECT_EQ(std::memcmp(&before, holder, sizeof before), 0) << "every block still in place";
            t.reader.acceptConfiguration = true;
            EXPECT_EQ(t.bed.Unconfigure(0), STATUS_SUCCESS);
            EXPECT_EQ(t.Reader().UsbConfig, nullptr);
        });
    });
}

TEST(UnconfigureUsbDevice, WithoutAHolderStillSendsTheRequest) {
    ForEachSeed([](LinkBed& t) {
        RunUnconfigured(t, [&] { EXPECT_EQ(t.bed.Unconfigure(0), STATUS_SUCCESS); });
        ASSERT_FALSE(t.reader.Configurations().empty());
        EXPECT_EQ(t.reader.Configurations().front(), 0);
    });
}

// A holder that a failed deconfiguring request left is not lost when the
// reader is started again (the unload audit would find it).
TEST(ConfigureUsbDevice, StartAfterAFailedStopReplacesTheOldHolder) {
    ForEachSeed([](LinkBed& t) {
        RunUnconfigured(t, [&] {
            ASSERT_EQ(t.bed.Configure(0), STATUS_SUCCESS);
            t.reader.acceptConfiguration = false;
            EXPECT_FALSE(NT_SUCCESS(t.bed.Unconfigure(0)));
            t.reader.acceptConfiguration = true;
            EXPECT_EQ(t.bed.Configure(0), STATUS_SUCCESS);
        });
    });
}

// Configuration descriptors that must not be handed to the select request.
TEST(ConfigureUsbDevice, UnbelievableDescriptorsFailTheConfiguration) {
    auto withTotal = [](std::uint16_t total) {
        Bytes bytes = ConfigurationDescriptorOfLength(32);
        bytes[2] = static_cast<std::uint8_t>(total);
        bytes[3] = static_cast<std::uint8_t>(total >> 8);
        return bytes;
    };
    Bytes wrongType = ConfigurationDescriptorOfLength(32);
    wrongType[1] = 0x04;
    struct Case {
        const char* what;
        Bytes descriptor;
    } const cases[] = {
        {"no bytes delivered", {}},
        {"shorter than a configuration descriptor", Bytes{9, 2, 32, 0}},
        {"wTotalLength below the header", withTotal(5)},
        {"wTotalLength beyond any reader's configuration", withTotal(60000)},
        {"fewer bytes than wTotalLength", withTotal(40)},
        {"not a configuration descriptor", wrongType},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        ForEachSeed([&](LinkBed& t) {
            t.reader.SetDescriptors(Bytes(t.reader.DeviceDescriptor().begin(), t.reader.DeviceDescriptor().end()),
                                    c.descriptor);
            RunUnconfigured(t, [&] {
                EXPECT_EQ(t.bed.Configure(0), STATUS_DEVICE_DATA_ERROR);
                ASSERT_NE(t.Reader().UsbConfig, nullptr);
                EXPECT_EQ(t.Reader().UsbConfig->Interface, nullptr);
                EXPECT_EQ(t.Reader().UsbConfig->PipeSlots, nullptr);
            });
            ASSERT_FALSE(t.reader.Configurations().empty());
            EXPECT_EQ(t.reader.Configurations().front(), 0) << "nothing was selected, only the teardown's request";
        });
    }
}

// Every pool allocation of the configuration, made to fail in turn. Each
// failure leaves a holder in a state the rest of the driver can live with
// (no pipe slot into a missing interface copy, no slots reported as a
// success) and nothing behind after the teardown.
TEST(ConfigureUsbDevice, AllocationFailuresLeaveAConsistentHolder) {
    bool sawInterfaceCopyFail = false;
    for (std::uint64_t nth = 1; nth <= 10; ++nth) {
        SCOPED_TRACE("allocation " + std::to_string(nth));
        LinkBed t(nth);
        RunUnconfigured(t, [&] {
            K().PoolAllocator().FailAfter(nth);
            const NTSTATUS status = t.bed.Configure(0);
            K().PoolAllocator().SetFaults({});
            PUSB_CONFIG config = t.Reader().UsbConfig;
            if (status == STATUS_SUCCESS) {
                ASSERT_NE(config, nullptr);
                EXPECT_NE(config->PipeSlots, nullptr);
                return;
            }
            EXPECT_EQ(status, STATUS_INSUFFICIENT_RESOURCES);
            if (config == nullptr) return;
            if (config->Interface == nullptr) {
                EXPECT_EQ(config->PipeSlots, nullptr);
            }
            if (config->ConfigurationHandle != nullptr && config->Interface == nullptr) sawInterfaceCopyFail = true;
        });
    }
    EXPECT_TRUE(sawInterfaceCopyFail);
}

} // namespace
} // namespace qv::test
