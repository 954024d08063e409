// A device for driving the smart card library without the driver, on a
// simulated thread: a driver object of its own, a device whose extension is
// the library's record, initialised by SmartcardInitialize and taken down by
// SmartcardExit, so that unloading the driver object runs the pool's audit
// over everything the library allocated in between.
#pragma once

#include <cstring>
#include <new>

#include "io/io_manager.h"
#include "machine/machine.h"
#include "qvwdk.h"

namespace qv::fuzz {

inline constexpr ULONG kLibraryBedClockKHz = 3571;
inline constexpr ULONG kLibraryBedDataRate = 9600;
inline constexpr ULONG kLibraryBedMaxDataRate = 115200;
inline constexpr ULONG kLibraryBedMaxIfsd = 254;

class LibraryBed {
  public:
    LibraryBed() {
        NTSTATUS status = STATUS_UNSUCCESSFUL;
        driver_ = Machine::Current().Io().LoadDriver(u"\\Driver\\QvFuzzLibrary", &Entry, &status);
        if (IoCreateDevice(driver_, sizeof(SMARTCARD_EXTENSION), nullptr, FILE_DEVICE_SMARTCARD, 0, FALSE,
                           &device_) != STATUS_SUCCESS) {
            return;
        }
        extension_ = new (device_->DeviceExtension) SMARTCARD_EXTENSION{};
        SMARTCARD_EXTENSION& ext = *extension_;
        ext.Version = SMCLIB_VERSION;
        ext.ReaderCapabilities.SupportedProtocols = SCARD_PROTOCOL_T0 | SCARD_PROTOCOL_T1;
        ext.ReaderCapabilities.ReaderType = SCARD_READER_TYPE_USB;
        ext.ReaderCapabilities.CLKFrequency = {kLibraryBedClockKHz, kLibraryBedClockKHz};
        ext.ReaderCapabilities.DataRate = {kLibraryBedDataRate, kLibraryBedMaxDataRate};
        ext.ReaderCapabilities.MaxIFSD = kLibraryBedMaxIfsd;
        ext.ReaderCapabilities.CurrentState = SCARD_PRESENT;
        initialised_ = SmartcardInitialize(&ext) == STATUS_SUCCESS;
        if (initialised_) ext.OsData->DeviceObject = device_;
    }
    ~LibraryBed() {
        if (initialised_) SmartcardExit(extension_);
        if (device_ != nullptr) IoDeleteDevice(device_);
        Machine::Current().Io().UnloadDriver(driver_);
    }
    LibraryBed(const LibraryBed&) = delete;
    LibraryBed& operator=(const LibraryBed&) = delete;

    bool Ready() const { return initialised_; }
    SMARTCARD_EXTENSION& Extension() { return *extension_; }

  private:
    static NTSTATUS NTAPI Entry(PDRIVER_OBJECT, PUNICODE_STRING) { return STATUS_SUCCESS; }

    PDRIVER_OBJECT driver_ = nullptr;
    PDEVICE_OBJECT device_ = nullptr;
    SMARTCARD_EXTENSION* extension_ = nullptr;
    bool initialised_ = false;
};

} // namespace qv::fuzz
