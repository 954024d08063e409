// A reader for testing the smart card library without the driver: a device
// whose extension starts with the SMARTCARD_EXTENSION, reader functions that
// record their calls and answer as a simple honest reader would, and helpers
// that send smart-card control requests with exact-size pool buffers (whose
// guard bytes catch any write past them when the buffer is freed).
#pragma once

#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <memory>
#include <new>
#include <span>
#include <vector>

#include "io/io_manager.h"
#include "smclib/event_log.h"
#include "support/kernel_run.h"

namespace qv::test {

struct ReaderCall {
    ULONG slot;
    ULONG major;
    ULONG minor;
    ULONG requestLength;
    ULONG replyLength;
};

struct FakeReader {
    SMARTCARD_EXTENSION extension; // first: the device extension is the library's record
    std::vector<ReaderCall> calls;
    std::vector<UCHAR> atr = {0x3B, 0x02, 0x14, 0x50};
    NTSTATUS trackingStatus = STATUS_PENDING;
    bool vendorOverstates = false; // the vendor function claims one byte more than the buffer holds
};

inline FakeReader& ReaderOf(PSMARTCARD_EXTENSION extension) {
    return *reinterpret_cast<FakeReader*>(extension);
}

inline void Record(PSMARTCARD_EXTENSION extension, ULONG slot) {
    ReaderOf(extension).calls.push_back({slot, extension->MajorIoControlCode, extension->MinorIoControlCode,
                                         extension->IoRequest.RequestBufferLength,
                                         extension->IoRequest.ReplyBufferLength});
}

inline NTSTATUS NTAPI FakePower(PSMARTCARD_EXTENSION extension) {
    Record(extension, RDF_CARD_POWER);
    FakeReader& reader = ReaderOf(extension);
    auto& card = extension->CardCapabilities;
    card.ATR.Length = 0;
    extension->ReaderCapabilities.CurrentState = SCARD_PRESENT;
    switch (extension->MinorIoControlCode) {
    case SCARD_POWER_DOWN:
        card.Protocol.Selected = 0;
        return STATUS_SUCCESS;
    case SCARD_COLD_RESET:
    case SCARD_WARM_RESET:
        break;
    default:
        return STATUS_INVALID_DEVICE_REQUEST;
    }
    std::memcpy(card.ATR.Buffer, reader.atr.data(), reader.atr.size());
    card.ATR.Length = static_cast<UCHAR>(reader.atr.size());
    extension->ReaderCapabilities.CurrentState = SCARD_POWERED;
    if (extension->IoRequest.ReplyBufferLength < reader.atr.size()) return STATUS_BUFFER_TOO_SMALL;
    std::memcpy(extension->IoRequest.ReplyBuffer, reader.atr.data(), reader.atr.size());
    *extension->IoRequest.Information = static_cast<ULONG>(reader.atr.size());
    return SmartcardUpdateCardCapabilities(extension);
}

inline NTSTATUS NTAPI FakeSetProtocol(PSMARTCARD_EXTENSION extension) {
    Record(extension, RDF_SET_PROTOCOL);
    auto& card = extension->CardCapabilities;
    const ULONG mask = extension->MinorIoControlCode & card.Protocol.Supported;
    if (mask == 0) return STATUS_INVALID_DEVICE_REQUEST;
    card.Protocol.Selected = (mask & SCARD_PROTOCOL_T0) ? SCARD_PROTOCOL_T0 : SCARD_PROTOCOL_T1;
    std::memcpy(extension->IoRequest.ReplyBuffer, &card.Protocol.Selected, sizeof(ULONG));
    *extension->IoRequest.Information = sizeof(ULONG);
    extension->ReaderCapabilities.CurrentState = SCARD_SPECIFIC;
    return STATUS_SUCCESS;
}

// Echoes the request behind the header, as far as the reply buffer takes it.
inline NTSTATUS NTAPI FakeTransmit(PSMARTCARD_EXTENSION extension) {
    Record(extension, RDF_TRANSMIT);
    const ULONG length = std::min(extension->IoRequest.RequestBufferLength, extension->IoRequest.ReplyBufferLength);
    std::memmove(extension->IoRequest.ReplyBuffer, extension->IoRequest.RequestBuffer, length);
    *extension->IoRequest.Information = length;
    return STATUS_SUCCESS;
}

inline NTSTATUS NTAPI FakeTracking(PSMARTCARD_EXTENSION extension) {
    Record(extension, RDF_CARD_TRACKING);
    return ReaderOf(extension).trackingStatus;
}

inline constexpr ULONG kVendorAnswer = 0x11223344;

inline NTSTATUS NTAPI FakeVendor(PSMARTCARD_EXTENSION extension) {
    Record(extension, RDF_IOCTL_VENDOR);
    const ULONG room = extension->IoRequest.ReplyBufferLength;
    if (ReaderOf(extension).vendorOverstates) {
        *extension->IoRequest.Information = room + 1;
        return STATUS_SUCCESS;
    }
    if (room < sizeof(ULONG)) return STATUS_BUFFER_TOO_SMALL;
    std::memcpy(extension->IoRequest.ReplyBuffer, &kVendorAnswer, sizeof(ULONG));
    *extension->IoRequest.Information = sizeof(ULONG);
    return STATUS_SUCCESS;
}

inline NTSTATUS NTAPI FakeDispatch(PDEVICE_OBJECT device, PIRP irp) {
    auto* reader = static_cast<FakeReader*>(device->DeviceExtension);
    return SmartcardDeviceControl(&reader->extension, irp);
}

inline NTSTATUS NTAPI FakeEntry(PDRIVER_OBJECT driver, PUNICODE_STRING) {
    driver->MajorFunction[IRP_MJ_DEVICE_CONTROL] = &FakeDispatch;
    return STATUS_SUCCESS;
}

inline constexpr char kVendorName[] = "QV Test";
inline constexpr char kIfdType[] = "Fake Reader";
inline constexpr ULONG kClockKHz = 3571;
inline constexpr ULONG kDataRate = 9600;
inline constexpr ULONG kMaxDataRate = 115200;

// A loaded fake reader with an initialised library record; torn down in the
// reverse order. Lives on a simulated thread.
class FakeReaderDevice {
  public:
    FakeReaderDevice() {
        NTSTATUS status = STATUS_UNSUCCESSFUL;
        driver_ = Io().LoadDriver(u"\\Driver\\FakeReader", &FakeEntry, &status);
        EXPECT_EQ(status, STATUS_SUCCESS);
        EXPECT_EQ(IoCreateDevice(driver_, sizeof(FakeReader), nullptr, FILE_DEVICE_SMARTCARD, 0, FALSE, &device_),
                  STATUS_SUCCESS);
        std::memset(device_->DeviceExtension, 0, sizeof(FakeReader));
        reader_ = new (device_->DeviceExtension) FakeReader{};
        SMARTCARD_EXTENSION& ext = reader_->extension;
        ext.Version = SMCLIB_VERSION;
        std::memcpy(ext.VendorAttr.VendorName.Buffer, kVendorName, sizeof kVendorName - 1);
        ext.VendorAttr.VendorName.Length = sizeof kVendorName - 1;
        std::memcpy(ext.VendorAttr.IfdType.Buffer, kIfdType, sizeof kIfdType - 1);
        ext.VendorAttr.IfdType.Length = sizeof kIfdType - 1;
        ext.VendorAttr.UnitNo = 2;
        ext.VendorAttr.IfdVersion = {0x0107, 0x02, 0x01};
        ext.ReaderCapabilities.SupportedProtocols = SCARD_PROTOCOL_T0 | SCARD_PROTOCOL_T1;
        ext.ReaderCapabilities.ReaderType = SCARD_READER_TYPE_USB;
        ext.ReaderCapabilities.Channel = 3;
        ext.ReaderCapabilities.CLKFrequency = {kClockKHz, kClockKHz};
        ext.ReaderCapabilities.DataRate = {kDataRate, kMaxDataRate};
        ext.ReaderCapabilities.MaxIFSD = 254;
        ext.ReaderCapabilities.CurrentState = SCARD_ABSENT;
        ext.ReaderFunction[RDF_CARD_POWER] = &FakePower;
        ext.ReaderFunction[RDF_SET_PROTOCOL] = &FakeSetProtocol;
        ext.ReaderFunction[RDF_TRANSMIT] = &FakeTransmit;
        ext.ReaderFunction[RDF_CARD_TRACKING] = &FakeTracking;
        ext.ReaderFunction[RDF_IOCTL_VENDOR] = &FakeVendor;
        EXPECT_EQ(SmartcardInitialize(&ext), STATUS_SUCCESS);
        ext.OsData->DeviceObject = device_;
    }
    ~FakeReaderDevice() {
        SmartcardExit(&reader_->extension);
        reader_->~FakeReader();
        IoDeleteDevice(device_);
        Io().UnloadDriver(driver_);
    }
    FakeReaderDevice(const FakeReaderDevice&) = delete;
    FakeReaderDevice& operator=(const FakeReaderDevice&) = delete;

    PDEVICE_OBJECT Device() const { return device_; }
    FakeReader& Reader() const { return *reader_; }
    SMARTCARD_EXTENSION& Extension() const { return reader_->extension; }
    void SetState(ULONG state) const { reader_->extension.ReaderCapabilities.CurrentState = state; }

  private:
    PDRIVER_OBJECT driver_ = nullptr;
    PDEVICE_OBJECT device_ = nullptr;
    FakeReader* reader_ = nullptr;
};

struct Reply {
    NTSTATUS returned = 0;
    NTSTATUS status = 0;
    ULONG_PTR information = 0;
    std::vector<UCHAR> output; // the first `information` bytes of the system buffer
};

// One control request in flight: an IRP of its own with an exact-size pool
// system buffer, and an event its completion routine sets.
class ControlRequestInFlight {
  public:
    ControlRequestInFlight(PDEVICE_OBJECT device, ULONG code, std::span<const UCHAR> input, ULONG outputLength)
        : state_(std::make_unique<State>()) {
        KeInitializeEvent(&state_->done, NotificationEvent, FALSE);
        const ULONG inputLength = static_cast<ULONG>(input.size());
        const ULONG size = std::max(inputLength, outputLength);
        if (size != 0) {
            buffer_ = static_cast<PUCHAR>(ExAllocatePoolWithTag(NonPagedPool, size, QV_POOL_TAG('T', 'e', 's', 't')));
            std::memset(buffer_, 0xEE, size);
            if (inputLength != 0) std::memcpy(buffer_, input.data(), inputLength);
        }
        irp_ = IoAllocateIrp(device->StackSize, FALSE);
        irp_->AssociatedIrp.SystemBuffer = buffer_;
        PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp_);
        next->MajorFunction = IRP_MJ_DEVICE_CONTROL;
        next->Parameters.DeviceIoControl.IoControlCode = code;
        next->Parameters.DeviceIoControl.InputBufferLength = inputLength;
        next->Parameters.DeviceIoControl.OutputBufferLength = outputLength;
        IoSetCompletionRoutine(irp_, &Completed, state_.get(), TRUE, TRUE, TRUE);
        returned_ = IoCallDriver(device, irp_);
    }
    ~ControlRequestInFlight() {
        if (irp_ != nullptr) Finish();
    }
    ControlRequestInFlight(const ControlRequestInFlight&) = delete;
    ControlRequestInFlight& operator=(const ControlRequestInFlight&) = delete;

    PIRP Irp() const { return irp_; }
    NTSTATUS Returned() const { return returned_; }
    bool Done() const { return KeReadStateEvent(&state_->done) != 0; }

    // Waits for completion, collects the answer and frees IRP and buffer
    // (the pool checks the buffer's guard bytes there).
    Reply Finish() {
        KeWaitForSingleObject(&state_->done, Executive, KernelMode, FALSE, nullptr);
        Reply reply;
        reply.returned = returned_;
        reply.status = irp_->IoStatus.Status;
        reply.information = irp_->IoStatus.Information;
        if (buffer_ != nullptr) {
            const std::size_t bytes = std::min<std::size_t>(reply.information, 64 * 1024);
            reply.output.assign(buffer_, buffer_ + bytes);
            ExFreePoolWithTag(buffer_, QV_POOL_TAG('T', 'e', 's', 't'));
            buffer_ = nullptr;
        }
        IoFreeIrp(irp_);
        irp_ = nullptr;
        return reply;
    }

  private:
    struct State {
        KEVENT done;
    };
    static NTSTATUS NTAPI Completed(PDEVICE_OBJECT, PIRP, PVOID context) {
        KeSetEvent(&static_cast<State*>(context)->done, IO_NO_INCREMENT, FALSE);
        return STATUS_MORE_PROCESSING_REQUIRED;
    }

    std::unique_ptr<State> state_;
    PIRP irp_ = nullptr;
    PUCHAR buffer_ = nullptr;
    NTSTATUS returned_ = 0;
};

inline Reply Send(PDEVICE_OBJECT device, ULONG code, std::span<const UCHAR> input, ULONG outputLength) {
    ControlRequestInFlight request(device, code, input, outputLength);
    return request.Finish();
}

inline std::vector<UCHAR> Ulong(ULONG value) {
    std::vector<UCHAR> bytes(sizeof value);
    std::memcpy(bytes.data(), &value, sizeof value);
    return bytes;
}

inline ULONG AsUlong(const std::vector<UCHAR>& bytes) {
    ULONG value = 0;
    std::memcpy(&value, bytes.data(), std::min(bytes.size(), sizeof value));
    return value;
}

} // namespace qv::test
