// The device lifecycle test bed: one emulated machine with the driver loaded
// through its own entry point, up to several simulated readers plugged into
// the USB bus, and the Plug and Play and application requests sent to the
// driver's dispatch routines as the Plug and Play manager and the I/O
// manager send them. Until the platform's Plug and Play manager drives the
// sequence, the calls below send one request each; the caller keeps to the
// documented orders (query before stop or remove, remove after the last
// handle's close).
//
//   harness::ReaderMachine machine(KernelConfig{.seed = 7});
//   RunResult run = machine.Run([&] {
//       auto added = machine.Plug(reader);          // AddDevice
//       machine.Pnp(added.index, IRP_MN_START_DEVICE);
//       machine.Open(added.index);
//       auto state = machine.DeviceControl(added.index, IOCTL_SMARTCARD_GET_STATE, {}, 4);
//   });
//   RunResult end = machine.Shutdown(); // removes what is left, unload audit
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <span>
#include <vector>

#include "harness/reader_testbed.h"
#include "kernel/kernel.h"
#include "qvscr.h"
#include "usb/usb_bus.h"
#include "usb/usb_device_model.h"

namespace qv::harness {

enum class ReaderLife { Added, Started, Stopped, Removed, Gone };

struct PluggedReader {
    usb::UsbDeviceModel* model = nullptr;
    PDEVICE_OBJECT pdo = nullptr;
    PDEVICE_OBJECT device = nullptr; // null when add-device failed or after remove
    ReaderLife life = ReaderLife::Added;
    bool open = false;
    bool pulled = false;
    ULONG unit = 0;
};

struct PlugResult {
    NTSTATUS status = STATUS_UNSUCCESSFUL; // add-device's
    std::size_t index = 0;
};

class ReaderMachine {
  public:
    explicit ReaderMachine(KernelConfig config, usb::UsbBusConfig bus = {});
    ~ReaderMachine();
    ReaderMachine(const ReaderMachine&) = delete;
    ReaderMachine& operator=(const ReaderMachine&) = delete;

    Kernel& Machine() { return kernel_; }
    usb::UsbBus& Bus() { return bus_; }
    PDRIVER_OBJECT Driver() const { return driver_; }

    // Runs body on a simulated thread; the driver is loaded first, once.
    RunResult Run(std::function<void()> body);
    // Removes every reader still there (closing its handle first), then the
    // bus, then unloads the driver: the unload audit reports leaks.
    RunResult Shutdown();

    // ---- On a simulated thread --------------------------------------------

    // Plugs the model in and calls the driver's add-device routine for it.
    // beforeAdd runs between the two, with the new PDO (to fill its
    // hardware key, say).
    PlugResult Plug(usb::UsbDeviceModel& model, const std::function<void(PDEVICE_OBJECT)>& beforeAdd = {});
    // A Plug and Play request of this minor code to the reader's stack; the
    // status it was completed with. Remove also forgets the device object.
    NTSTATUS Pnp(std::size_t index, UCHAR minor);
    // Pulls the reader out: the bus reports it gone and the surprise
    // removal is sent; the remove follows once no handle is open (at once,
    // or when Close is called). Returns the surprise removal's status.
    NTSTATUS Unplug(std::size_t index);
    // Create; Close sends cleanup and close.
    NTSTATUS Open(std::size_t index);
    NTSTATUS Close(std::size_t index);
    IoctlResult DeviceControl(std::size_t index, ULONG code, std::span<const std::uint8_t> input,
                              ULONG outputLength);

    // A request the driver may leave pending (a card wait), sent without
    // waiting; the machine owns the IRP until Reap.
    AsyncRequest& SendAsync(std::size_t index, ULONG code);
    // Cancels a request still pending; false when it is not any more.
    bool Cancel(PIRP irp);
    // Sends IRP_MJ_CLEANUP alone, as the first half of closing a handle.
    NTSTATUS Cleanup(std::size_t index);
    // Requests completed since the last call, in completion order; their IRPs
    // are freed.
    std::vector<AsyncRequest> Reap();
    std::size_t Outstanding() const;

    // Sends reader command `number` on the reader's link under its
    // ReaderMutex (what the poller does for the card status).
    CommandResult SendCommand(std::size_t index, ULONG number);

    std::vector<PluggedReader>& Readers() { return readers_; }
    PDEVICE_EXTENSION Extension(std::size_t index);

  private:
    NTSTATUS SendMajor(PDEVICE_OBJECT device, UCHAR major, UCHAR minor);
    void Teardown();

    KernelConfig config_;
    Kernel kernel_;
    usb::UsbBus bus_;
    PDRIVER_OBJECT driver_ = nullptr;
    std::vector<PluggedReader> readers_;
    std::vector<std::unique_ptr<AsyncRequest>> requests_;
    bool shutDown_ = false;
};

} // namespace qv::harness
