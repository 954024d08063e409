// The driver's own invariants are asserted, not turned into a status. Where
// the driver used to answer a null record or buffer that only its own
// mistake could bring with an error status, which its caller would have
// taken for a reader's failure, a broken invariant now stops the run with
// the bug check of a failed NT_ASSERT: KMODE_EXCEPTION_NOT_HANDLED, with
// STATUS_ASSERTION_FAILURE. Checks of what comes from outside (the reader,
// the card, the caller, the registry) keep their statuses; their tests are
// with their routines.
#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <string>

#include "card.h"
#include "device.h"
#include "link.h"
#include "support/kernel_run.h"
#include "usb_config.h"

namespace qv::test {
namespace {

// Records as the driver's own mistake could leave them: a reader's device
// object whose reader record is gone, a library record without one, and a
// reader record with nothing in it. Zero-filled and never used past the
// assertion.
struct BrokenRecords {
    DEVICE_EXTENSION deviceExtension{};
    DEVICE_OBJECT device{};
    READER_EXTENSION reader{};
    SMARTCARD_EXTENSION withoutReader{};
    SMARTCARD_EXTENSION withReader{};
    DEVICE_OBJECT lower{};

    BrokenRecords() {
        device.DeviceExtension = &deviceExtension;
        withReader.ReaderExtension = &reader;
    }
};

struct Broken {
    const char* what;
    std::function<void(BrokenRecords&)> body;
};

TEST(DriverInvariants, ABrokenInvariantIsABugCheckNotAStatus) {
    UCHAR header[2] = {0xD0, 0x31};
    const Broken cases[] = {
        {"BuildCommand without a destination",
         [&](BrokenRecords&) {
             ULONG length = 0;
             (void)BuildCommand(nullptr, 10, header, 2, nullptr, 0, &length);
         }},
        {"BuildCommand without a header",
         [](BrokenRecords&) {
             UCHAR destination[10];
             ULONG length = 0;
             (void)BuildCommand(destination, 10, nullptr, 2, nullptr, 0, &length);
         }},
        {"BuildCommand with payload bytes that are not there",
         [&](BrokenRecords&) {
             UCHAR destination[10];
             ULONG length = 0;
             (void)BuildCommand(destination, 10, header, 2, nullptr, 1, &length);
         }},
        {"CheckReplyBlock without a block", [](BrokenRecords&) { (void)CheckReplyBlock(nullptr, nullptr); }},
        {"LinkExchange of command bytes that are not there",
         [](BrokenRecords& r) { (void)LinkExchange(nullptr, 2, &r.withReader, KindInformation); }},
        {"LinkExchange without a reader record",
         [](BrokenRecords& r) { (void)LinkExchange(nullptr, 0, &r.withoutReader, KindResynch); }},
        {"SendReaderCommand without a reader record",
         [](BrokenRecords& r) { (void)SendReaderCommand(READER_COMMAND_CARD_STATUS, &r.withoutReader); }},
        {"UsbExchange without a reader record", [](BrokenRecords& r) { (void)UsbExchange(&r.withoutReader); }},
        {"UsbReceiveBlock without a reader record",
         [](BrokenRecords& r) { (void)UsbReceiveBlock(&r.withoutReader); }},
        {"ReaderReplyStatus without a reader record",
         [](BrokenRecords&) {
             UCHAR status = 0;
             (void)ReaderReplyStatus(nullptr, &status);
         }},
        {"SubmitUrb on a device without its reader record",
         [](BrokenRecords& r) {
             URB urb{};
             (void)SubmitUrb(&r.device, &urb);
         }},
        {"SubmitUrb without a URB",
         [](BrokenRecords& r) {
             r.deviceExtension.SmartcardExtension.ReaderExtension = &r.reader;
             r.reader.LowerDevice = &r.lower;
             (void)SubmitUrb(&r.device, nullptr);
         }},
        {"ResetUsbPipe on a device without its reader record",
         [](BrokenRecords& r) { (void)ResetUsbPipe(&r.device, USB_INPUT_PIPE_SLOT); }},
        {"ConfigureUsbDevice on a device without its reader record",
         [](BrokenRecords& r) { (void)ConfigureUsbDevice(&r.device); }},
        {"SelectUsbConfiguration without a holder",
         [](BrokenRecords& r) {
             r.deviceExtension.SmartcardExtension.ReaderExtension = &r.reader;
             (void)SelectUsbConfiguration(&r.device, nullptr);
         }},
        {"UnconfigureUsbDevice on a device without its reader record",
         [](BrokenRecords& r) { (void)UnconfigureUsbDevice(&r.device); }},
        {"StopReader without a device object", [](BrokenRecords&) { StopReader(nullptr); }},
    };
    for (const Broken& broken : cases) {
        SCOPED_TRACE(broken.what);
        auto records = std::make_unique<BrokenRecords>();
        const RunResult result = RunExpectingBugCheck([&] { broken.body(*records); },
                                                      bugcode::KMODE_EXCEPTION_NOT_HANDLED,
                                                      static_cast<ULONG>(STATUS_ASSERTION_FAILURE));
        EXPECT_NE(result.report.find("NT_ASSERT("), std::string::npos) << result.report;
    }
}

} // namespace
} // namespace qv::test
