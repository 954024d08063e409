#include "harness/reader_testbed.h"

#include <algorithm>
#include <cstring>

#include "card.h"
#include "io/io_manager.h"
#include "link.h"
#include "usb_config.h"

namespace qv::harness {

namespace {

constexpr std::u16string_view kDriverName = u"\\Driver\\qvscr";
// MANUALLY_INITIATED_CRASH: stops the run when the test bed itself cannot be built.
constexpr ULONG kTestbedFailure = 0xE2;

// Until the driver's own dispatch routine exists, device-control requests
// reach the library the way it will hand them on: the device extension is
// the library's record. Runs at PASSIVE_LEVEL in the requester's thread; the
// library completes the IRP or leaves it pending.
NTSTATUS NTAPI TestbedDeviceControl(PDEVICE_OBJECT device, PIRP irp) {
    auto* extension = static_cast<PDEVICE_EXTENSION>(device->DeviceExtension);
    return SmartcardDeviceControl(&extension->SmartcardExtension, irp);
}

NTSTATUS NTAPI TestbedDriverEntry(PDRIVER_OBJECT driver, PUNICODE_STRING) {
    driver->MajorFunction[IRP_MJ_DEVICE_CONTROL] = &TestbedDeviceControl;
    // As the driver's entry routine will install it.
    driver->MajorFunction[IRP_MJ_CLEANUP] = &DispatchCleanup;
    return STATUS_SUCCESS;
}

// Fixed values of the library's record, as add-device sets them.
constexpr std::string_view kVendorName = "Vantrel/Orsund";
constexpr std::string_view kIfdType = "QV-38N/QV-39N";
constexpr ULONG kClockKhz = 3571;
constexpr ULONG kDefaultDataRate = 9600;
constexpr ULONG kMaxDataRate = 38400;
constexpr ULONG kMaxIfsd = 254;
constexpr UCHAR kIfdVersionMajor = 1;

template <class Counted> void SetCounted(Counted& target, std::string_view text) {
    // The text and its terminating zero.
    const std::size_t length = std::min(text.size() + 1, sizeof(target.Buffer));
    std::memset(target.Buffer, 0, sizeof(target.Buffer));
    std::memcpy(target.Buffer, text.data(), std::min(text.size(), length));
    target.Length = static_cast<USHORT>(length);
}

template <class T> T* AllocateZeroed() {
    void* block = ExAllocatePoolWithTag(NonPagedPool, sizeof(T), READER_POOL_TAG);
    if (block != nullptr) std::memset(block, 0, sizeof(T));
    return static_cast<T*>(block);
}

} // namespace

ReaderTestbed::ReaderTestbed(usb::UsbDeviceModel& model, TestbedConfig config)
    : model_(model), config_(std::move(config)), kernel_(config_.kernel), bus_(kernel_, config_.bus) {}

ReaderTestbed::~ReaderTestbed() {
    if (!shutDown_ && !kernel_.BugChecked()) Shutdown();
}

RunResult ReaderTestbed::Run(std::function<void()> body) {
    return kernel_.RunThread("testbed", [this, body = std::move(body)] {
        if (!built_) Build();
        body();
    });
}

RunResult ReaderTestbed::Shutdown() {
    shutDown_ = true;
    return kernel_.RunThread("testbed-shutdown", [this] { Teardown(); });
}

// What the driver's add-device routine does for the link: the device object
// with its DEVICE_EXTENSION, the zero-filled READER_EXTENSION with its
// initial values, the separate mutex block, and the attachment to the bus's
// device object. Pool that cannot be had here stops the run: the test bed is
// not what is under test.
void ReaderTestbed::Build() {
    built_ = true;
    NTSTATUS status = STATUS_UNSUCCESSFUL;
    driver_ = kernel_.Io().LoadDriver(kDriverName, &TestbedDriverEntry, &status);
    pdo_ = bus_.Plug(model_, config_.deviceName);

    status = IoCreateDevice(driver_, sizeof(DEVICE_EXTENSION), nullptr, FILE_DEVICE_SMARTCARD, 0, TRUE, &device_);
    if (!NT_SUCCESS(status)) {
        kernel_.RaiseBugCheck(kTestbedFailure, status, 0, 0, 0, "test bed: IoCreateDevice failed");
    }
    auto* extension = static_cast<PDEVICE_EXTENSION>(device_->DeviceExtension);
    std::memset(extension, 0, sizeof(DEVICE_EXTENSION));

    reader_ = AllocateZeroed<READER_EXTENSION>();
    PKMUTEX mutex = AllocateZeroed<KMUTEX>();
    if (reader_ == nullptr || mutex == nullptr) {
        kernel_.RaiseBugCheck(kTestbedFailure, STATUS_INSUFFICIENT_RESOURCES, 0, 0, 0,
                              "test bed: no pool for the reader");
    }
    KeInitializeMutex(mutex, 0);
    reader_->ReaderMutex = mutex;
    reader_->PowerState = READER_POWERED;
    reader_->MaxTransferSize = READER_MAX_TRANSFER_SIZE;
    KeInitializeEvent(&reader_->LinkIdle, NotificationEvent, TRUE);
    reader_->DeviceObject = device_;
    extension->SmartcardExtension.ReaderExtension = reader_;

    reader_->LowerDevice = IoAttachDeviceToDeviceStack(device_, pdo_);
    // The start sequence ties the I/O timer to the card poll; the card
    // services stop and restart it around every card operation, so it is
    // there from the start (it only runs once started).
    IoInitializeTimer(device_, &PollTimer, extension);
    if (config_.smartcard) BuildSmartcard();
    device_->Flags &= ~DO_DEVICE_INITIALIZING;
}

// The library's side of add-device: the record's fixed values and the
// callbacks first, then SmartcardInitialize, then the device object into
// the OsData it made.
void ReaderTestbed::BuildSmartcard() {
    SMARTCARD_EXTENSION& card = Smartcard();
    card.Version = SMCLIB_VERSION;
    SetCounted(card.VendorAttr.VendorName, kVendorName);
    SetCounted(card.VendorAttr.IfdType, kIfdType);
    card.VendorAttr.UnitNo = 0;
    card.VendorAttr.IfdVersion.VersionMajor = kIfdVersionMajor;
    card.VendorAttr.IfdVersion.VersionMinor = 0;
    card.VendorAttr.IfdVersion.BuildNumber = 0;
    card.VendorAttr.IfdSerialNo.Length = 0;
    SetReaderFunctions(&card);
    card.ReaderCapabilities.SupportedProtocols = SCARD_PROTOCOL_T0 | SCARD_PROTOCOL_T1;
    card.ReaderCapabilities.ReaderType = SCARD_READER_TYPE_USB;
    card.ReaderCapabilities.MechProperties = 0;
    card.ReaderCapabilities.Channel = 0;
    card.ReaderCapabilities.CLKFrequency.Default = kClockKhz;
    card.ReaderCapabilities.CLKFrequency.Max = kClockKhz;
    card.ReaderCapabilities.DataRate.Default = kDefaultDataRate;
    card.ReaderCapabilities.DataRate.Max = kMaxDataRate;
    card.ReaderCapabilities.MaxIFSD = kMaxIfsd;
    card.SmartcardRequest.BufferSize = SMARTCARD_BUFFER_SIZE;
    card.SmartcardReply.BufferSize = SMARTCARD_BUFFER_SIZE;
    const NTSTATUS status = SmartcardInitialize(&card);
    if (!NT_SUCCESS(status)) {
        kernel_.RaiseBugCheck(kTestbedFailure, status, 0, 0, 0, "test bed: SmartcardInitialize failed");
    }
    card.OsData->DeviceObject = device_;
    // Until the poller reports it, the card in the slot counts as present.
    card.ReaderCapabilities.CurrentState = SCARD_PRESENT;
    smartcardReady_ = true;
}

void ReaderTestbed::Teardown() {
    if (built_ && device_ != nullptr) {
        // The card services restart the I/O timer after every request; a
        // device goes with its timer stopped, as the stop path leaves it.
        IoStopTimer(device_);
        StopPolling();
        // An application closes its handle before the device goes: a wait
        // still pending ends with the cleanup.
        if (smartcardReady_ && Outstanding() != 0) Cleanup();
        Reap();
        if (smartcardReady_) SmartcardExit(&Smartcard());
        smartcardReady_ = false;
        // A device that is gone cannot be unconfigured; its holder is freed
        // all the same, as the remove path must.
        if (!NT_SUCCESS(UnconfigureUsbDevice(device_))) FreeUsbConfiguration(reader_);
        if (reader_->LowerDevice != nullptr) IoDetachDevice(reader_->LowerDevice);
        ExFreePoolWithTag(reader_->ReaderMutex, READER_POOL_TAG);
        ExFreePoolWithTag(reader_, READER_POOL_TAG);
        reader_ = nullptr;
        IoDeleteDevice(device_);
        device_ = nullptr;
    }
    bus_.Shutdown();
    if (driver_ != nullptr) {
        kernel_.Io().UnloadDriver(driver_);
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
