// SmartcardDeviceControl against a fake reader: buffer checks with exact-size
// buffers, card-state checks before the reader functions, the attributes the
// library answers itself, vendor hand-off, and the card waits.
#include <gtest/gtest.h>

#include "smclib/library_state.h"
#include "harness/seeds.h"
#include "smclib/fake_reader.h"

namespace qv::test {
namespace {

// A control request with wrong sizes: its status, and that no reader
// function ran.
struct BadSizeCase {
    const char* name;
    ULONG code;
    std::vector<UCHAR> input;
    ULONG outputLength;
    ULONG cardState;
    NTSTATUS expected;
};

std::vector<UCHAR> TransmitHeader(ULONG protocol, ULONG pciLength, std::size_t extra = 0) {
    std::vector<UCHAR> bytes = Ulong(protocol);
    const std::vector<UCHAR> length = Ulong(pciLength);
    bytes.insert(bytes.end(), length.begin(), length.end());
    bytes.resize(bytes.size() + extra, 0x00);
    return bytes;
}

std::vector<UCHAR> Prefix(std::vector<UCHAR> bytes, std::size_t length) {
    bytes.resize(length);
    return bytes;
}

TEST(SmclibDeviceControl, EveryControlCodeRefusesWrongBufferSizesWithItsStatus) {
    const std::vector<BadSizeCase> cases = {
        {"power without input", IOCTL_SMARTCARD_POWER, {}, 64, SCARD_PRESENT, STATUS_INVALID_PARAMETER},
        {"power with 3 input bytes", IOCTL_SMARTCARD_POWER, Prefix(Ulong(SCARD_COLD_RESET), 3), 64, SCARD_PRESENT,
         STATUS_INVALID_PARAMETER},
        {"attribute id of 3 bytes", IOCTL_SMARTCARD_GET_ATTRIBUTE, Prefix(Ulong(SCARD_ATTR_VENDOR_NAME), 3), 64,
         SCARD_PRESENT, STATUS_INVALID_PARAMETER},
        {"vendor name one byte short", IOCTL_SMARTCARD_GET_ATTRIBUTE, Ulong(SCARD_ATTR_VENDOR_NAME),
         sizeof kVendorName - 2, SCARD_PRESENT, STATUS_BUFFER_TOO_SMALL},
        {"ifd type one byte short", IOCTL_SMARTCARD_GET_ATTRIBUTE, Ulong(SCARD_ATTR_VENDOR_IFD_TYPE),
         sizeof kIfdType - 2, SCARD_PRESENT, STATUS_BUFFER_TOO_SMALL},
        {"version in 3 bytes", IOCTL_SMARTCARD_GET_ATTRIBUTE, Ulong(SCARD_ATTR_VENDOR_IFD_VERSION), 0, SCARD_PRESENT,
         STATUS_BUFFER_TOO_SMALL},
        {"max ifsd in 3 bytes", IOCTL_SMARTCARD_GET_ATTRIBUTE, Ulong(SCARD_ATTR_MAX_IFSD), 3, SCARD_PRESENT,
         STATUS_BUFFER_TOO_SMALL},
        {"presence in 0 bytes", IOCTL_SMARTCARD_GET_ATTRIBUTE, Ulong(SCARD_ATTR_ICC_PRESENCE), 0, SCARD_PRESENT,
         STATUS_BUFFER_TOO_SMALL},
        {"vendor attribute id of 2 bytes", IOCTL_SMARTCARD_GET_ATTRIBUTE,
         Prefix(Ulong(SCARD_ATTR_VALUE(SCARD_CLASS_VENDOR_DEFINED, 0x01F0)), 2), 4, SCARD_PRESENT,
         STATUS_INVALID_PARAMETER},
        {"set attribute without input", IOCTL_SMARTCARD_SET_ATTRIBUTE, {}, 0, SCARD_PRESENT, STATUS_INVALID_PARAMETER},
        {"transmit header of 7 bytes", IOCTL_SMARTCARD_TRANSMIT, Prefix(TransmitHeader(SCARD_PROTOCOL_T1, 8), 7),
         64, SCARD_SPECIFIC, STATUS_INVALID_PARAMETER},
        {"transmit pci length below the header", IOCTL_SMARTCARD_TRANSMIT, TransmitHeader(SCARD_PROTOCOL_T1, 4, 5),
         64, SCARD_SPECIFIC, STATUS_INVALID_PARAMETER},
        {"transmit pci length past the input", IOCTL_SMARTCARD_TRANSMIT, TransmitHeader(SCARD_PROTOCOL_T1, 14, 5),
         64, SCARD_SPECIFIC, STATUS_INVALID_PARAMETER},
        {"transmit reply below the header", IOCTL_SMARTCARD_TRANSMIT, TransmitHeader(SCARD_PROTOCOL_T1, 8, 5), 7,
         SCARD_SPECIFIC, STATUS_BUFFER_TOO_SMALL},
        {"set protocol with 3 input bytes", IOCTL_SMARTCARD_SET_PROTOCOL, Prefix(Ulong(SCARD_PROTOCOL_T1), 3), 4,
         SCARD_NEGOTIABLE, STATUS_INVALID_PARAMETER},
        {"set protocol with a 3-byte reply", IOCTL_SMARTCARD_SET_PROTOCOL, Ulong(SCARD_PROTOCOL_T1), 3,
         SCARD_NEGOTIABLE, STATUS_BUFFER_TOO_SMALL},
        {"state in 3 bytes", IOCTL_SMARTCARD_GET_STATE, {}, 3, SCARD_PRESENT, STATUS_BUFFER_TOO_SMALL},
        {"last error in 0 bytes", IOCTL_SMARTCARD_GET_LAST_ERROR, {}, 0, SCARD_PRESENT, STATUS_BUFFER_TOO_SMALL},
        {"not a smart-card code", CTL_CODE(FILE_DEVICE_UNKNOWN, 1, METHOD_BUFFERED, FILE_ANY_ACCESS), Ulong(1), 4,
         SCARD_PRESENT, STATUS_INVALID_DEVICE_REQUEST},
    };
    Machine machine;
    RunOk(machine, [&] {
        FakeReaderDevice reader;
        for (const BadSizeCase& c : cases) {
            reader.SetState(c.cardState);
            reader.Extension().CardCapabilities.Protocol.Selected = SCARD_PROTOCOL_T1;
            reader.Reader().calls.clear();
            const Reply reply = Send(reader.Device(), c.code, c.input, c.outputLength);
            EXPECT_EQ(reply.status, c.expected) << c.name;
            EXPECT_EQ(reply.returned, c.expected) << c.name;
            EXPECT_EQ(reply.information, 0u) << c.name;
            EXPECT_TRUE(reader.Reader().calls.empty()) << c.name << ": a reader function ran";
        }
    });
}

TEST(SmclibDeviceControl, StandardAttributesFillExactBuffers) {
    Machine machine;
    RunOk(machine, [&] {
        FakeReaderDevice reader;
        reader.SetState(SCARD_ABSENT);
        auto get = [&](ULONG attribute, ULONG room) {
            return Send(reader.Device(), IOCTL_SMARTCARD_GET_ATTRIBUTE, Ulong(attribute), room);
        };
        Reply name = get(SCARD_ATTR_VENDOR_NAME, sizeof kVendorName - 1);
        EXPECT_EQ(name.status, STATUS_SUCCESS);
        EXPECT_EQ(std::string(name.output.begin(), name.output.end()), kVendorName);
        EXPECT_EQ(AsUlong(get(SCARD_ATTR_VENDOR_IFD_VERSION, 4).output), 0x01020107u);
        EXPECT_EQ(AsUlong(get(SCARD_ATTR_CHANNEL_ID, 4).output), 0x00200003u);
        EXPECT_EQ(AsUlong(get(SCARD_ATTR_DEVICE_UNIT, 4).output), 2u);
        EXPECT_EQ(AsUlong(get(SCARD_ATTR_PROTOCOL_TYPES, 4).output), SCARD_PROTOCOL_T0 | SCARD_PROTOCOL_T1);
        EXPECT_EQ(AsUlong(get(SCARD_ATTR_DEFAULT_CLK, 4).output), kClockKHz);
        EXPECT_EQ(AsUlong(get(SCARD_ATTR_MAX_DATA_RATE, 4).output), kMaxDataRate);
        EXPECT_EQ(AsUlong(get(SCARD_ATTR_MAX_IFSD, 4).output), 254u);
        EXPECT_EQ(get(SCARD_ATTR_VENDOR_IFD_SERIAL_NO, 32).status, STATUS_NOT_SUPPORTED);
        EXPECT_EQ(get(SCARD_ATTR_VALUE(SCARD_CLASS_SECURITY, 0x0140), 32).status, STATUS_NOT_SUPPORTED);

        Reply absent = get(SCARD_ATTR_ICC_PRESENCE, 1);
        ASSERT_EQ(absent.output.size(), 1u);
        EXPECT_EQ(absent.output[0], 0);
        EXPECT_EQ(get(SCARD_ATTR_ATR_STRING, 64).status, STATUS_NO_MEDIA);
        EXPECT_EQ(get(SCARD_ATTR_CURRENT_IFSC, 4).status, STATUS_NO_MEDIA);

        reader.SetState(SCARD_PRESENT);
        EXPECT_EQ(get(SCARD_ATTR_ICC_PRESENCE, 1).output.at(0), 1);
        EXPECT_EQ(get(SCARD_ATTR_ATR_STRING, 64).status, STATUS_INVALID_DEVICE_STATE);
        EXPECT_EQ(get(SCARD_ATTR_CURRENT_BWT, 4).status, STATUS_INVALID_DEVICE_STATE);
        EXPECT_TRUE(reader.Reader().calls.empty());
    });
}

TEST(SmclibDeviceControl, PowerHandsTheResetToTheReaderAndTheLibraryParsesTheAtr) {
    Machine machine;
    RunOk(machine, [&] {
        FakeReaderDevice reader;
        reader.SetState(SCARD_ABSENT);
        Reply noCard = Send(reader.Device(), IOCTL_SMARTCARD_POWER, Ulong(SCARD_COLD_RESET), 64);
        EXPECT_EQ(noCard.status, STATUS_NO_MEDIA);
        EXPECT_TRUE(reader.Reader().calls.empty());

        reader.SetState(SCARD_PRESENT);
        reader.Reader().atr = {0x3B, 0xFA, 0x13, 0x00, 0xFF, 0x81, 0x31, 0xFB, 0x45, 0x80,
                               0x12, 0x39, 0x2F, 0x31, 0xC0, 0x73, 0xC7, 0x01, 0x49, 0x91};
        Reply atr = Send(reader.Device(), IOCTL_SMARTCARD_POWER, Ulong(SCARD_COLD_RESET), 33);
        EXPECT_EQ(atr.status, STATUS_SUCCESS);
        EXPECT_EQ(atr.output, reader.Reader().atr);
        ASSERT_EQ(reader.Reader().calls.size(), 1u);
        EXPECT_EQ(reader.Reader().calls[0].major, ULONG{IOCTL_SMARTCARD_POWER});
        EXPECT_EQ(reader.Reader().calls[0].minor, ULONG{SCARD_COLD_RESET});
        EXPECT_EQ(reader.Reader().calls[0].replyLength, 33u);
        EXPECT_EQ(reader.Extension().ReaderCapabilities.CurrentState, ULONG{SCARD_NEGOTIABLE});
        EXPECT_EQ(reader.Extension().T1.IFSC, 0xFB);
        EXPECT_EQ(reader.Extension().OsData->CurrentIrp, nullptr);
        EXPECT_EQ(reader.Extension().IoRequest.ReplyBuffer, nullptr);

        Reply string = Send(reader.Device(), IOCTL_SMARTCARD_GET_ATTRIBUTE, Ulong(SCARD_ATTR_ATR_STRING), 20);
        EXPECT_EQ(string.output, reader.Reader().atr);
        EXPECT_EQ(Send(reader.Device(), IOCTL_SMARTCARD_GET_ATTRIBUTE, Ulong(SCARD_ATTR_ATR_STRING), 19).status,
                  STATUS_BUFFER_TOO_SMALL);

        // The reply buffer one byte short of the ATR: the reader's refusal
        // comes back with no data.
        Reply small = Send(reader.Device(), IOCTL_SMARTCARD_POWER, Ulong(SCARD_WARM_RESET), 19);
        EXPECT_EQ(small.status, STATUS_BUFFER_TOO_SMALL);
        EXPECT_EQ(small.information, 0u);

        // Actions the library does not know still reach the reader, which refuses them.
        EXPECT_EQ(Send(reader.Device(), IOCTL_SMARTCARD_POWER, Ulong(3), 64).status, STATUS_INVALID_DEVICE_REQUEST);
    });
}

TEST(SmclibDeviceControl, ProtocolAndTransmitNeedTheCardInTheRightState) {
    Machine machine;
    RunOk(machine, [&] {
        FakeReaderDevice reader;
        reader.SetState(SCARD_POWERED);
        EXPECT_EQ(Send(reader.Device(), IOCTL_SMARTCARD_SET_PROTOCOL, Ulong(SCARD_PROTOCOL_T1), 4).status,
                  STATUS_INVALID_DEVICE_STATE);
        const std::vector<UCHAR> apdu = TransmitHeader(SCARD_PROTOCOL_T0, 8, 5);
        EXPECT_EQ(Send(reader.Device(), IOCTL_SMARTCARD_TRANSMIT, apdu, 64).status, STATUS_INVALID_DEVICE_STATE);
        EXPECT_TRUE(reader.Reader().calls.empty());

        reader.SetState(SCARD_PRESENT);
        ASSERT_EQ(Send(reader.Device(), IOCTL_SMARTCARD_POWER, Ulong(SCARD_COLD_RESET), 33).status, STATUS_SUCCESS);
        Reply chosen = Send(reader.Device(), IOCTL_SMARTCARD_SET_PROTOCOL, Ulong(SCARD_PROTOCOL_Tx), 4);
        EXPECT_EQ(chosen.status, STATUS_SUCCESS);
        EXPECT_EQ(AsUlong(chosen.output), ULONG{SCARD_PROTOCOL_T0});

        // A header naming a protocol other than the selected one.
        EXPECT_EQ(Send(reader.Device(), IOCTL_SMARTCARD_TRANSMIT, TransmitHeader(SCARD_PROTOCOL_T1, 8, 5), 64).status,
                  STATUS_INVALID_DEVICE_STATE);
        Reply echoed = Send(reader.Device(), IOCTL_SMARTCARD_TRANSMIT, apdu, 64);
        EXPECT_EQ(echoed.status, STATUS_SUCCESS);
        EXPECT_EQ(echoed.output, apdu);
        EXPECT_EQ(AsUlong(Send(reader.Device(), IOCTL_SMARTCARD_GET_STATE, {}, 4).output), ULONG{SCARD_SPECIFIC});
        EXPECT_EQ(AsUlong(Send(reader.Device(), IOCTL_SMARTCARD_GET_ATTRIBUTE,
                               Ulong(SCARD_ATTR_CURRENT_PROTOCOL_TYPE), 4).output),
                  ULONG{SCARD_PROTOCOL_T0});
    });
}

TEST(SmclibDeviceControl, VendorRequestsGoToTheVendorFunctionOrAreRefused) {
    Machine machine;
    RunOk(machine, [&] {
        FakeReaderDevice reader;
        const ULONG vendorAttribute = SCARD_ATTR_VALUE(SCARD_CLASS_VENDOR_DEFINED, 0x01F0);
        Reply attribute = Send(reader.Device(), IOCTL_SMARTCARD_GET_ATTRIBUTE, Ulong(vendorAttribute), 4);
        EXPECT_EQ(attribute.status, STATUS_SUCCESS);
        EXPECT_EQ(AsUlong(attribute.output), kVendorAnswer);
        ASSERT_EQ(reader.Reader().calls.size(), 1u);
        EXPECT_EQ(reader.Reader().calls[0].slot, ULONG{RDF_IOCTL_VENDOR});
        EXPECT_EQ(reader.Reader().calls[0].major, ULONG{IOCTL_SMARTCARD_GET_ATTRIBUTE});

        const ULONG vendorCode = SCARD_CTL_CODE(2048);
        EXPECT_EQ(Send(reader.Device(), vendorCode, {}, 4).status, STATUS_SUCCESS);
        EXPECT_EQ(reader.Reader().calls.back().major, vendorCode);
        EXPECT_EQ(Send(reader.Device(), SCARD_CTL_CODE(4096), {}, 4).status, STATUS_INVALID_DEVICE_REQUEST);

        reader.Extension().ReaderFunction[RDF_IOCTL_VENDOR] = nullptr;
        EXPECT_EQ(Send(reader.Device(), IOCTL_SMARTCARD_GET_ATTRIBUTE, Ulong(vendorAttribute), 4).status,
                  STATUS_NOT_SUPPORTED);
        reader.SetState(SCARD_PRESENT);
        EXPECT_EQ(Send(reader.Device(), IOCTL_SMARTCARD_EJECT, {}, 0).status, STATUS_NOT_SUPPORTED);
        EXPECT_EQ(Send(reader.Device(), IOCTL_SMARTCARD_SET_ATTRIBUTE, Ulong(SCARD_ATTR_MAX_IFSD), 0).status,
                  STATUS_NOT_SUPPORTED);
    });
}

TEST(SmclibDeviceControl, AReaderFunctionClaimingMoreBytesThanTheBufferIsCaught) {
    RunExpectingBugCheck(
        [] {
            FakeReaderDevice reader;
            reader.Reader().vendorOverstates = true;
            Send(reader.Device(), SCARD_CTL_CODE(2100), {}, 4);
        },
        bugcode::DRIVER_VERIFIER_DETECTED_VIOLATION, smclib::libviolation::ReplyLongerThanBuffer);
}

TEST(SmclibDeviceControl, CardWaitsAnswerAtOnceOrPendUntilTheTrackingCompletesThem) {
    Machine machine;
    RunOk(machine, [&] {
        FakeReaderDevice reader;
        reader.SetState(SCARD_PRESENT);
        EXPECT_EQ(Send(reader.Device(), IOCTL_SMARTCARD_IS_PRESENT, {}, 0).status, STATUS_SUCCESS);
        EXPECT_TRUE(reader.Reader().calls.empty());

        ControlRequestInFlight absent(reader.Device(), IOCTL_SMARTCARD_IS_ABSENT, {}, 0);
        EXPECT_EQ(absent.Returned(), STATUS_PENDING);
        EXPECT_FALSE(absent.Done());
        EXPECT_EQ(reader.Extension().OsData->NotificationIrp, absent.Irp());
        ASSERT_EQ(reader.Reader().calls.size(), 1u);
        EXPECT_EQ(reader.Reader().calls[0].slot, ULONG{RDF_CARD_TRACKING});
        EXPECT_EQ(reader.Reader().calls[0].major, ULONG{IOCTL_SMARTCARD_IS_ABSENT});

        // A second wait while one is pending is refused; the first goes on.
        EXPECT_EQ(Send(reader.Device(), IOCTL_SMARTCARD_IS_ABSENT, {}, 0).status, STATUS_DEVICE_BUSY);
        EXPECT_EQ(reader.Extension().OsData->NotificationIrp, absent.Irp());

        // The card goes: the poll takes the IRP out and completes it.
        reader.SetState(SCARD_ABSENT);
        KIRQL irql;
        KeAcquireSpinLock(&reader.Extension().OsData->SpinLock, &irql);
        PIRP irp = static_cast<PIRP>(
            InterlockedExchangePointer(reinterpret_cast<PVOID volatile*>(&reader.Extension().OsData->NotificationIrp),
                                       nullptr));
        KeReleaseSpinLock(&reader.Extension().OsData->SpinLock, irql);
        ASSERT_EQ(irp, absent.Irp());
        irp->IoStatus.Status = STATUS_SUCCESS;
        irp->IoStatus.Information = 0;
        IoCompleteRequest(irp, IO_NO_INCREMENT);
        EXPECT_EQ(absent.Finish().status, STATUS_SUCCESS);
    });
}

TEST(SmclibDeviceControl, ACardWaitTheReaderRefusesIsCompletedWithItsStatus) {
    Machine machine;
    RunOk(machine, [&] {
        FakeReaderDevice reader;
        reader.SetState(SCARD_ABSENT);
        reader.Reader().trackingStatus = STATUS_DEVICE_NOT_READY;
        ControlRequestInFlight present(reader.Device(), IOCTL_SMARTCARD_IS_PRESENT, {}, 0);
        EXPECT_EQ(present.Returned(), STATUS_PENDING);
        const Reply reply = present.Finish();
        EXPECT_EQ(reply.status, STATUS_DEVICE_NOT_READY);
        EXPECT_EQ(reader.Extension().OsData->NotificationIrp, nullptr);

        reader.Extension().ReaderFunction[RDF_CARD_TRACKING] = nullptr;
        EXPECT_EQ(Send(reader.Device(), IOCTL_SMARTCARD_IS_PRESENT, {}, 0).status, STATUS_NOT_SUPPORTED);
    });
}

} // namespace
} // namespace qv::test

namespace qv::test {
namespace {

// A card-absent wait races the poll that sees the card go. The library reads
// the state and stores the IRP under OsData->SpinLock, the poll changes the
// state before it takes that lock to report: whichever comes first, the wait
// ends, answered at once or completed by the poll, exactly once.
TEST(SmclibDeviceControl, ACardWaitRacingTheChangeItWaitsForIsNeverLost) {
    int atOnce = 0;
    int byPoll = 0;
    for (const unsigned processors : {1u, 2u}) {
        for (const std::uint64_t seed : harness::RunSeeds(64)) {
            MachineConfig config;
            config.seed = seed;
            config.processors = processors;
            Machine machine(config);
            bool answeredAtOnce = false;
            bool completedByPoll = false;
            RunOk(machine, [&] {
                FakeReaderDevice reader;
                reader.SetState(SCARD_PRESENT);
                KEVENT polled;
                KeInitializeEvent(&polled, NotificationEvent, FALSE);
                K().Spawn("poll", [&] {
                    POS_DEP_DATA os = reader.Extension().OsData;
                    reader.SetState(SCARD_ABSENT);
                    KIRQL irql;
                    KeAcquireSpinLock(&os->SpinLock, &irql);
                    auto irp = static_cast<PIRP>(
                        InterlockedExchangePointer(reinterpret_cast<PVOID volatile*>(&os->NotificationIrp), nullptr));
                    if (irp != nullptr) {
                        irp->IoStatus.Status = STATUS_SUCCESS;
                        irp->IoStatus.Information = 0;
                        IoCompleteRequest(irp, IO_NO_INCREMENT);
                        completedByPoll = true;
                    }
                    KeReleaseSpinLock(&os->SpinLock, irql);
                    KeSetEvent(&polled, IO_NO_INCREMENT, FALSE);
                });
                ControlRequestInFlight wait(reader.Device(), IOCTL_SMARTCARD_IS_ABSENT, {}, 0);
                answeredAtOnce = wait.Returned() == STATUS_SUCCESS;
                EXPECT_EQ(wait.Finish().status, STATUS_SUCCESS) << "seed " << seed;
                KeWaitForSingleObject(&polled, Executive, KernelMode, FALSE, nullptr);
                EXPECT_EQ(reader.Extension().OsData->NotificationIrp, nullptr) << "seed " << seed;
            });
            EXPECT_NE(answeredAtOnce, completedByPoll) << "seed " << seed << ", processors " << processors;
            atOnce += answeredAtOnce;
            byPoll += completedByPoll;
        }
    }
    EXPECT_GT(atOnce, 0);
    EXPECT_GT(byPoll, 0);
}

} // namespace
} // namespace qv::test

namespace qv::test {
namespace {

TEST(SmclibDeviceControl, RequestsTheLibraryAnswersOrRefusesItself) {
    Machine machine;
    RunOk(machine, [&] {
        FakeReaderDevice reader;
        reader.Extension().LastError = 0x1F;
        EXPECT_EQ(AsUlong(Send(reader.Device(), IOCTL_SMARTCARD_GET_LAST_ERROR, {}, 4).output), 0x1Fu);
        EXPECT_EQ(AsUlong(Send(reader.Device(), IOCTL_SMARTCARD_GET_STATE, {}, 8).output), ULONG{SCARD_ABSENT});
        EXPECT_EQ(Send(reader.Device(), IOCTL_SMARTCARD_GET_PERF_CNTR, {}, 64).status, STATUS_NOT_SUPPORTED);
        EXPECT_EQ(Send(reader.Device(), IOCTL_SMARTCARD_SWALLOW, {}, 0).status, STATUS_NOT_SUPPORTED);
        reader.Extension().ReaderFunction[RDF_READER_SWALLOW] = &FakeTracking;
        EXPECT_EQ(Send(reader.Device(), IOCTL_SMARTCARD_SWALLOW, {}, 0).status, STATUS_NO_MEDIA);
        EXPECT_EQ(Send(reader.Device(), IOCTL_SMARTCARD_SET_PROTOCOL, Ulong(SCARD_PROTOCOL_T1), 4).status,
                  STATUS_NO_MEDIA);
        EXPECT_EQ(Send(reader.Device(), IOCTL_SMARTCARD_TRANSMIT, std::vector<UCHAR>(8 + 5, 0), 64).status,
                  STATUS_INVALID_PARAMETER); // a header that names a PCI length of 0
        // An extension of an older layout is refused before anything is decoded.
        reader.Extension().Version = SMCLIB_VERSION - 1;
        EXPECT_EQ(Send(reader.Device(), IOCTL_SMARTCARD_GET_STATE, {}, 4).status, STATUS_INVALID_PARAMETER);
        reader.Extension().Version = SMCLIB_VERSION;
        EXPECT_TRUE(reader.Reader().calls.empty());
    });
}

} // namespace
} // namespace qv::test
