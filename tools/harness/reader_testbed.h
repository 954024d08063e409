// The reader test bed: one emulated machine (kernel and USB bus) with one
// USB device model plugged in and the driver's function device object for
// it, made by the driver's own entry point and add-device routine, so that the
// driver's link and USB configuration routines can be driven directly from
// tests, the qvsim console and benchmarks.
//
//   sim::UsbReader reader;
//   harness::ReaderTestbed bed(reader, harness::TestbedConfig::ForSeed(7));
//   RunResult run = bed.Run([&] {
//       bed.Configure();
//       CommandResult status = bed.SendCommand(READER_COMMAND_CARD_STATUS);
//   });
//   RunResult end = bed.Shutdown(); // unload audit
#pragma once

#include <cstdint>
#include <functional>
#include <span>
#include <string>
#include <vector>

#include "kernel/kernel.h"
#include "qvscr.h"
#include "usb/usb_bus.h"
#include "usb/usb_device_model.h"

namespace qv::harness {

struct TestbedConfig {
    KernelConfig kernel;
    usb::UsbBusConfig bus;
    // The name the device is plugged in under (it appears in the bus trace).
    std::string deviceName = "reader";
    // Let device-control requests (DeviceControl) in: the reader counts as
    // started, with the card in the slot present. The device object always
    // comes from the driver's own add-device routine.
    bool smartcard = false;

    // Everything default but the seed.
    static TestbedConfig ForSeed(std::uint64_t seed) {
        TestbedConfig config;
        config.kernel.seed = seed;
        return config;
    }
};

// A device-control request's outcome: the status it was completed with and
// the output bytes (Information of them).
struct IoctlResult {
    NTSTATUS status = STATUS_UNSUCCESSFUL;
    std::vector<std::uint8_t> output;
    ULONG_PTR information = 0;
};

// A reader command's outcome: the link's status and a copy of ReplyData.
struct CommandResult {
    NTSTATUS status = STATUS_UNSUCCESSFUL;
    std::vector<std::uint8_t> reply;
    bool Ok() const { return status == STATUS_SUCCESS; }
};

class ReaderTestbed {
  public:
    // The model must outlive the test bed. Nothing runs until Run.
    explicit ReaderTestbed(usb::UsbDeviceModel& model, TestbedConfig config = {});
    // Tears the device stack down (on a simulated thread) if Shutdown was
    // not called; the outcome of that is not reported.
    ~ReaderTestbed();
    ReaderTestbed(const ReaderTestbed&) = delete;
    ReaderTestbed& operator=(const ReaderTestbed&) = delete;

    Kernel& Machine() { return kernel_; }
    usb::UsbBus& Bus() { return bus_; }

    // Runs body on a simulated thread at PASSIVE_LEVEL, and the machine until
    // every host thread has ended. The first call plugs the device in and
    // creates the driver's device object before body. More threads can be
    // started from body with Machine().Spawn.
    RunResult Run(std::function<void()> body);

    // Unconfigures the device (freeing the holder even if that fails),
    // detaches and deletes the device object, frees the reader's blocks,
    // unloads the driver object (the verifier's unload audit) and shuts the
    // bus down. Runs on a simulated thread of its own; the result reports a
    // leak or any other violation as a bug check.
    RunResult Shutdown();

    // ---- On a simulated thread, between Run's start and Shutdown --------

    // ConfigureUsbDevice / UnconfigureUsbDevice on the reader's device object.
    NTSTATUS Configure();
    NTSTATUS Unconfigure();

    // Puts payload (at most 270 bytes are taken) in CommandBlock/CommandLength,
    // takes ReaderMutex, sends command `number` with SendReaderCommand and
    // releases the mutex.
    CommandResult SendCommand(ULONG number, std::span<const std::uint8_t> payload = {});

    // Sends a device-control request to the reader's device object, as an
    // application's request arrives: an IRP with buffered I/O through
    // IoCallDriver, to the driver's DispatchDeviceControl.
    // Waits for it to complete. Needs the smartcard set-up.
    IoctlResult DeviceControl(ULONG code, std::span<const std::uint8_t> input, ULONG outputLength);

    PDEVICE_OBJECT Device() const { return device_; } // the driver's device object
    PDEVICE_OBJECT Pdo() const { return pdo_; }       // the bus's device object below it
    READER_EXTENSION& Reader() { return *reader_; }
    SMARTCARD_EXTENSION& Smartcard();

  private:
    void Build();
    void Teardown();

    usb::UsbDeviceModel& model_;
    TestbedConfig config_;
    Kernel kernel_;
    usb::UsbBus bus_;
    PDRIVER_OBJECT driver_ = nullptr;
    PDEVICE_OBJECT pdo_ = nullptr;
    PDEVICE_OBJECT device_ = nullptr;
    PREADER_EXTENSION reader_ = nullptr;
    bool built_ = false;
    bool shutDown_ = false;
    bool smartcardReady_ = false;
};

} // namespace qv::harness
