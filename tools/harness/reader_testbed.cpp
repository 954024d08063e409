#include "harness/reader_testbed.h"

#include <algorithm>
#include <cstring>

#include "card.h"
#include "device.h"
#include "harness/driver_image.h"
#include "io/io_manager.h"
#include "link.h"
#include "pnp/pnp_manager.h"
#include "usb_config.h"

namespace qv::harness {

namespace {

constexpr std::u16string_view kDriverName = u"\\Driver\\qvscr";
// MANUALLY_INITIATED_CRASH: stops the run when the test bed itself cannot be built.
constexpr ULONG kTestbedFailure = 0xE2;

} // namespace

ReaderTestbed::ReaderTestbed(usb::UsbDeviceModel& model, TestbedConfig config)
    : model_(model), config_(std::move(config)), machine_(config_.machine, config_.bus) {
    machine_.Pnp().SetFunctionDriver(std::u16string(kDriverName), &LoadFreshDriverImage);
}

ReaderTestbed::~ReaderTestbed() {
    if (!shutDown_ && !machine_.BugChecked()) Shutdown();
}

RunResult ReaderTestbed::Run(std::function<void()> body) {
    return machine_.RunThread("testbed", [this, body = std::move(body)] {
        if (!built_) Build();
        body();
    });
}

RunResult ReaderTestbed::Shutdown() {
    shutDown_ = true;
    return machine_.RunThread("testbed-shutdown", [this] { Teardown(); });
}

// The bus reports the reader and the Plug and Play manager loads the driver
// through its own entry point and calls its add-device routine, so every
// request below reaches the driver's dispatch routines. The manager holds
// the start back: the test bed drives the link and the card services
// without the start sequence. Whatever cannot be built here stops the run:
// the test bed is not what is under test.
void ReaderTestbed::Build() {
    built_ = true;
    pdo_ = machine_.Usb().Plug(model_, config_.deviceName);
    const pnp::Arrival arrival = pnp::Manager().Arrive(pdo_, /*holdStart=*/true);
    if (!NT_SUCCESS(arrival.added)) {
        machine_.Kernel().RaiseBugCheck(kTestbedFailure, static_cast<ULONG>(arrival.added), 0, 0, 0,
                              "test bed: AddDevice failed");
    }
    driver_ = pnp::Manager().Driver();
    device_ = pdo_->AttachedDevice;
    auto* extension = static_cast<PDEVICE_EXTENSION>(device_->DeviceExtension);
    reader_ = extension->SmartcardExtension.ReaderExtension;
    reader_->DeviceObject = device_;
    // The card services stop and restart the I/O timer around their work;
    // the test bed drives them without the start sequence, so it sets the
    // timer up as the start does.
    IoInitializeTimer(device_, &PollTimer, extension);
    if (config_.smartcard) {
        // Requests pass once the reader counts as started; the card in the
        // slot counts as present until a poll says otherwise.
        Smartcard().ReaderCapabilities.CurrentState = SCARD_PRESENT;
        SetPnpReady(extension, TRUE);
        smartcardReady_ = true;
    }
}

// The device goes the way a reader whose start never came goes: the Plug
// and Play manager sends the remove request, the driver's remove path stops
// what runs, unconfigures the device (freeing the holder even when the
// device is gone) and deletes it, and the manager unloads the driver after
// its last device, which runs the unload audit.
void ReaderTestbed::Teardown() {
    if (built_ && device_ != nullptr) {
        // The card services restart the I/O timer after every request; the
        // polling the test bed started is its own to end.
        IoStopTimer(device_);
        StopPolling();
        // An application closes its handle before the device goes: a wait
        // still pending ends with the cleanup.
        if (smartcardReady_ && Outstanding() != 0) Cleanup();
        Reap();
        smartcardReady_ = false;
        (void)pnp::Manager().Remove(pdo_);
        reader_ = nullptr;
        device_ = nullptr;
        driver_ = nullptr;
    }
    machine_.Usb().Shutdown();
    if (driver_ != nullptr) {
        machine_.Io().UnloadDriver(driver_);
        driver_ = nullptr;
    }
}

NTSTATUS ReaderTestbed::Configure() { return ConfigureUsbDevice(device_); }

NTSTATUS ReaderTestbed::Unconfigure() { return UnconfigureUsbDevice(device_); }

CommandResult ReaderTestbed::SendCommand(ULONG number, std::span<const std::uint8_t> payload) {
    // The payload hand-over belongs to the link like the rest of its
    // members: only under ReaderMutex, or another thread's command could
    // overwrite it before it is sent.
    KeWaitForSingleObject(reader_->ReaderMutex, Executive, KernelMode, FALSE, nullptr);
    const std::size_t length = std::min<std::size_t>(payload.size(), sizeof(reader_->CommandBlock));
    std::copy_n(payload.begin(), length, reader_->CommandBlock);
    reader_->CommandLength = static_cast<ULONG>(length);
    CommandResult result;
    result.status = SendReaderCommand(number, &Smartcard());
    const std::size_t replied = std::min<std::size_t>(reader_->ReplyLength, sizeof(reader_->ReplyData));
    result.reply.assign(reader_->ReplyData, reader_->ReplyData + replied);
    KeReleaseMutex(reader_->ReaderMutex, FALSE);
    return result;
}

IoctlResult ReaderTestbed::DeviceControl(ULONG code, std::span<const std::uint8_t> input, ULONG outputLength) {
    IoctlResult result;
    // Separate buffers, as an application passes them; the I/O manager
    // makes the one system buffer of buffered I/O from them.
    std::vector<std::uint8_t> in(input.begin(), input.end());
    std::vector<std::uint8_t> out(outputLength);
    KEVENT done;
    KeInitializeEvent(&done, NotificationEvent, FALSE);
    IO_STATUS_BLOCK ioStatus{};
    PIRP irp = IoBuildDeviceIoControlRequest(code, device_, in.empty() ? nullptr : in.data(),
                                             static_cast<ULONG>(in.size()), out.empty() ? nullptr : out.data(),
                                             outputLength, FALSE, &done, &ioStatus);
    if (irp == nullptr) {
        result.status = STATUS_INSUFFICIENT_RESOURCES;
        return result;
    }
    NTSTATUS status = IoCallDriver(device_, irp);
    if (status == STATUS_PENDING) {
        KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, nullptr);
        status = ioStatus.Status;
    }
    result.status = status;
    result.information = ioStatus.Information;
    const std::size_t copied = std::min<std::size_t>(ioStatus.Information, out.size());
    result.output.assign(out.begin(), out.begin() + static_cast<std::ptrdiff_t>(copied));
    return result;
}

SMARTCARD_EXTENSION& ReaderTestbed::Smartcard() {
    return static_cast<PDEVICE_EXTENSION>(device_->DeviceExtension)->SmartcardExtension;
}

} // namespace qv::harness
