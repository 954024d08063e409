#include "harness/reader_testbed.h"

#include <algorithm>
#include <cstring>

#include "io/io_manager.h"
#include "link.h"
#include "usb_config.h"

namespace qv::harness {

namespace {

constexpr std::u16string_view kDriverName = u"\\Driver\\qvscr";
// MANUALLY_INITIATED_CRASH: stops the run when the test bed itself cannot be built.
constexpr ULONG kTestbedFailure = 0xE2;

// The test bed's driver object serves only as the owner of the reader's
// device object: nothing sends it requests, so its dispatch table stays the
// I/O manager's default.
NTSTATUS NTAPI TestbedDriverEntry(PDRIVER_OBJECT, PUNICODE_STRING) { return STATUS_SUCCESS; }

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
    device_->Flags &= ~DO_DEVICE_INITIALIZING;
}

void ReaderTestbed::Teardown() {
    if (built_ && device_ != nullptr) {
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

SMARTCARD_EXTENSION& ReaderTestbed::Smartcard() {
    return static_cast<PDEVICE_EXTENSION>(device_->DeviceExtension)->SmartcardExtension;
}

} // namespace qv::harness
