// SmartcardInitialize / SmartcardExit, SmartcardCreateLink, SmartcardLogError
// and the T=1 entry points that wait for data exchange.
#include <gtest/gtest.h>

#include <string>

#include "smclib/event_log.h"
#include "smclib/fake_reader.h"
#include "smclib/library_state.h"

namespace qv::test {
namespace {

TEST(SmclibLifetime, InitializeAllocatesAtLeastTheMinimumBuffersAndExitFreesThem) {
    Machine machine;
    RunOk(machine, [&] {
        SMARTCARD_EXTENSION ext{};
        ext.Version = SMCLIB_VERSION;
        ext.SmartcardRequest.BufferSize = 16; // below the minimum
        ext.SmartcardReply.BufferSize = 600;
        ASSERT_EQ(SmartcardInitialize(&ext), STATUS_SUCCESS);
        ASSERT_NE(ext.OsData, nullptr);
        EXPECT_EQ(ext.SmartcardRequest.BufferSize, ULONG{MIN_BUFFER_SIZE});
        EXPECT_EQ(ext.SmartcardReply.BufferSize, 600u);
        EXPECT_EQ(ext.OsData->NotificationIrp, nullptr);
        // The whole buffers are usable (the pool's guards check it on exit).
        std::memset(ext.SmartcardRequest.Buffer, 0x5A, ext.SmartcardRequest.BufferSize);
        std::memset(ext.SmartcardReply.Buffer, 0x5A, ext.SmartcardReply.BufferSize);
        // Without a transmit request there is nothing to build, and nothing to answer.
        EXPECT_EQ(SmartcardT1Request(&ext), STATUS_INVALID_PARAMETER);
        EXPECT_EQ(SmartcardT1Reply(&ext), STATUS_INVALID_DEVICE_STATE);
        SmartcardExit(&ext);
        EXPECT_EQ(ext.OsData, nullptr);
        EXPECT_EQ(ext.SmartcardRequest.Buffer, nullptr);
    });
}

TEST(SmclibLifetime, InitializeReportsAPoolShortageAndLeavesNothingBehind) {
    MachineConfig config;
    config.poolFaults.failPerMillion = 1'000'000;
    config.poolFaults.onlyTag = smclib::kLibraryTag;
    Machine machine(config);
    RunOk(machine, [&] {
        SMARTCARD_EXTENSION ext{};
        ext.Version = SMCLIB_VERSION;
        EXPECT_EQ(SmartcardInitialize(&ext), STATUS_INSUFFICIENT_RESOURCES);
        EXPECT_EQ(ext.OsData, nullptr);
        EXPECT_EQ(ext.SmartcardRequest.Buffer, nullptr);
    });
}

TEST(SmclibLifetime, InitializingTwiceIsCaught) {
    RunExpectingBugCheck(
        [] {
            FakeReaderDevice reader;
            SmartcardInitialize(&reader.Extension());
        },
        bugcode::DRIVER_VERIFIER_DETECTED_VIOLATION, smclib::libviolation::InitializedTwice);
}

TEST(SmclibLifetime, LoggedErrorsAreKeptAndTraced) {
    Machine machine;
    std::vector<std::string> traced;
    machine.Events().SetListener([&](std::uint64_t, std::string_view, std::string_view category, std::string_view text) {
        if (category == "eventlog") traced.emplace_back(text);
    });
    int object = 0;
    RunOk(machine, [&] {
        SmartcardLogError(&object, static_cast<NTSTATUS>(0xC0100003), nullptr, 0);
        UNICODE_STRING insertion;
        RtlInitUnicodeString(&insertion, reinterpret_cast<PCWSTR>(u"QV-38N"));
        SmartcardLogError(&object, STATUS_INSUFFICIENT_RESOURCES, &insertion, 7);
    });
    const auto& entries = smclib::EventLog().Entries();
    ASSERT_EQ(entries.size(), 2u);
    EXPECT_EQ(entries[0].object, &object);
    EXPECT_EQ(static_cast<ULONG>(entries[0].errorCode), 0xC0100003u);
    EXPECT_TRUE(entries[0].insertion.empty());
    EXPECT_EQ(entries[1].insertion, u"QV-38N");
    EXPECT_EQ(entries[1].dumpData, 7u);
    ASSERT_EQ(traced.size(), 2u);
    EXPECT_NE(traced[0].find("0xC0100003"), std::string::npos) << traced[0];
    EXPECT_NE(traced[1].find("\"QV-38N\""), std::string::npos) << traced[1];
}

TEST(SmclibLifetime, LinksAreNumberedFromZeroAndFreedByTheCaller) {
    Machine machine;
    RunOk(machine, [&] {
        UNICODE_STRING device;
        RtlInitUnicodeString(&device, reinterpret_cast<PCWSTR>(u"\\Device\\QV0"));
        UNICODE_STRING first{};
        UNICODE_STRING second{};
        ASSERT_EQ(SmartcardCreateLink(&first, &device), STATUS_SUCCESS);
        ASSERT_EQ(SmartcardCreateLink(&second, &device), STATUS_SUCCESS);
        EXPECT_EQ(std::u16string(reinterpret_cast<const char16_t*>(first.Buffer), first.Length / 2),
                  u"\\DosDevices\\SCReader0");
        EXPECT_EQ(std::u16string(reinterpret_cast<const char16_t*>(second.Buffer), second.Length / 2),
                  u"\\DosDevices\\SCReader1");
        EXPECT_EQ(smclib::EventLog().Links().at(1).target, u"\\Device\\QV0");
        RtlFreeUnicodeString(&first);
        RtlFreeUnicodeString(&second);
    });
}

} // namespace
} // namespace qv::test
