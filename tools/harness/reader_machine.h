// The device lifecycle test bed: one emulated machine with up to several
// simulated readers plugged into the USB bus, the platform's Plug and Play
// manager serving them and applications opening them through the handle
// code of the I/O manager's application side:
//
// - Plug reports the reader to the bus and the manager does the rest: the
//   driver is loaded through its own entry point (once), its add-device
//   routine is called and the device is started.
// - Pnp asks the manager for one Plug and Play step; the manager refuses a
//   step Windows would not send in the device's state and sends the
//   follow-ups Windows sends on its own (a cancel after a refused query, the
//   remove after the last close).
// - Unplug pulls the reader out: surprise removal, then the remove request
//   when its last handle is closed.
// - Open opens a handle through the device interface's link (the
//   legacy platform's symbolic link when there is no interface to enable);
//   Close sends cleanup and close as the I/O manager does.
// - The driver is unloaded by the manager after its last device, and the
//   unload audit runs then.
//
//   harness::ReaderMachine machine(MachineConfig{.seed = 7});
//   RunResult run = machine.Run([&] {
//       auto added = machine.Plug(reader);          // add-device and start
//       machine.Open(added.index);
//       auto state = machine.DeviceControl(added.index, IOCTL_SMARTCARD_GET_STATE, {}, 4);
//   });
//   RunResult end = machine.Shutdown(); // removes what is left, unload audit
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <optional>
#include <memory>
#include <string>
#include <span>
#include <vector>

#include "harness/app_client.h"
#include "harness/reader_testbed.h"
#include "machine/machine.h"
#include "qvscr.h"
#include "usb/usb_bus.h"
#include "usb/usb_device_model.h"

namespace qv::harness {

// Failed: add-device refused the reader, so it never had a device object
// or a unit number.
enum class ReaderLife { Added, Started, Stopped, Removed, Gone, Failed };

struct PluggedReader {
    usb::UsbDeviceModel* model = nullptr;
    PDEVICE_OBJECT pdo = nullptr;
    PDEVICE_OBJECT device = nullptr; // null when add-device failed or after remove
    ReaderLife life = ReaderLife::Added;
    bool open = false;
    bool pulled = false;
    ULONG unit = 0;                  // meaningless when add-device failed
    NTSTATUS added = STATUS_SUCCESS; // add-device's status
};

struct PlugResult {
    NTSTATUS status = STATUS_UNSUCCESSFUL; // add-device's
    NTSTATUS started = STATUS_PENDING;     // the start's (pending while held)
    std::size_t index = 0;
};

// Whether the manager starts a new reader at once (as Windows does), or
// holds the start back until Pnp(index, IRP_MN_START_DEVICE) asks for it,
// so that a test can look at a reader that is added and not yet started.
enum class PlugStart { Now, Held };

class ReaderMachine {
  public:
    explicit ReaderMachine(MachineConfig config, usb::UsbBusConfig bus = {});
    ~ReaderMachine();
    ReaderMachine(const ReaderMachine&) = delete;
    ReaderMachine& operator=(const ReaderMachine&) = delete;

    qv::Machine& Machine() { return machine_; }
    usb::UsbBus& Bus() { return machine_.Usb(); }
    // The driver while the Plug and Play manager has it loaded.
    PDRIVER_OBJECT Driver();

    // Runs body on a simulated thread. The driver is loaded by the Plug and
    // Play manager when the first reader is plugged in.
    RunResult Run(std::function<void()> body);
    // Removes every reader still there (closing its handle first), then the
    // bus, then unloads the driver: the unload audit reports leaks.
    RunResult Shutdown();

    // ---- On a simulated thread --------------------------------------------

    // Plugs the model in; the Plug and Play manager calls the driver's
    // add-device routine and starts the device. beforeAdd runs between the
    // bus's report and add-device, with the new PDO (to fill its hardware
    // key, say). A reader whose start fails is removed by the manager.
    PlugResult Plug(usb::UsbDeviceModel& model, const std::function<void(PDEVICE_OBJECT)>& beforeAdd = {},
                    PlugStart start = PlugStart::Now);
    // Asks the Plug and Play manager for the step this minor code names and
    // returns the status the driver completed it with, or
    // STATUS_INVALID_DEVICE_STATE when Windows would not send it now:
    // - START: the held start, or the restart after a stop; for a reader the
    //   manager started when it was plugged in, the status of that start.
    // - QUERY_STOP, STOP (preceded by its query when none was sent),
    //   CANCEL_STOP.
    // - QUERY_REMOVE (the remove then waits for REMOVE or CANCEL_REMOVE),
    //   CANCEL_REMOVE.
    // - REMOVE: after a QUERY_REMOVE, or for a reader never started, the
    //   remove request; otherwise the orderly removal (query, then remove,
    //   which waits for the last handle's close).
    // - SURPRISE_REMOVAL: as Unplug.
    NTSTATUS Pnp(std::size_t index, UCHAR minor);
    // Pulls the reader out: the bus reports it gone and the surprise
    // removal is sent; the remove follows once no handle is open (at once,
    // or when Close is called). Returns the surprise removal's status.
    NTSTATUS Unplug(std::size_t index);
    // Opens a handle through the reader's link (one more handle each call,
    // as another application would); Close closes the last one opened:
    // cleanup at once, close when its last request has ended.
    NTSTATUS Open(std::size_t index);
    NTSTATUS Close(std::size_t index);
    // The link an application opens the reader by: its enabled interface,
    // or the legacy platform's symbolic link. Empty when there is none.
    std::u16string Link(std::size_t index);
    // The handle last opened on the reader; null when none is open.
    AppHandle* Handle(std::size_t index);
    // Through the open handle when there is one (as an application sends
    // it), else straight to the top of the reader's stack (as a kernel-mode
    // caller does).
    IoctlResult DeviceControl(std::size_t index, ULONG code, std::span<const std::uint8_t> input,
                              ULONG outputLength);

    // A request the driver may leave pending (a card wait), sent without
    // waiting: overlapped on the open handle, or without one straight to the
    // stack; the machine owns the record until Reap. Without a handle the IRP
    // is freed as it completes, and `irp` then only names the request.
    AsyncRequest& SendAsync(std::size_t index, ULONG code);
    // Without a handle only: `then` runs in the request's completion routine,
    // as a kernel-mode client sends its next request from there.
    AsyncRequest& SendAsync(std::size_t index, ULONG code, std::function<void()> then);
    // Cancels a request still pending; false when it is not any more.
    bool Cancel(PIRP irp);
    // Cancels every request in flight on the last handle opened, as
    // CancelIoEx does from any thread; returns how many it found.
    std::size_t CancelIo(std::size_t index);
    // IRP_MJ_CLEANUP for the last handle opened, as closing it sends it, the
    // handle left open (Close sends cleanup and close).
    NTSTATUS Cleanup(std::size_t index);
    // Requests completed since the last call, in completion order; their IRPs
    // are freed.
    std::vector<AsyncRequest> Reap();
    // The same for one request, once it has completed (as an application
    // collects one overlapped result); nothing while it is still pending.
    // The record is gone afterwards.
    std::optional<AsyncRequest> Reap(const AsyncRequest& request);
    std::size_t Outstanding() const;
    // Whether the driver would hold a request to the reader until something
    // else happens: the system sleeps (held until the wake), or a stop is
    // pending or done (held until the start or the removal).
    bool RequestsHeld(std::size_t index);

    // Sends reader command `number` on the reader's link under its
    // ReaderMutex (what the poller does for the card status).
    CommandResult SendCommand(std::size_t index, ULONG number);

    // The readers as the Plug and Play manager last left them.
    std::vector<PluggedReader>& Readers();
    PDEVICE_EXTENSION Extension(std::size_t index);

  private:
    void Teardown();
    void Collect(const AsyncRequest& request);
    // Brings the readers' records up to the manager's: a device the manager
    // removed (at a last close, say) is gone here too.
    void Sync();
    PDEVICE_OBJECT Top(std::size_t index);

    MachineConfig config_;
    qv::Machine machine_;
    std::vector<PluggedReader> readers_;
    std::vector<std::vector<std::unique_ptr<AppHandle>>> handles_;
    std::vector<std::unique_ptr<AppHandle>> retired_; // closed, kept for their requests
    // The overlapped requests sent on a handle, by their records.
    std::map<const AsyncRequest*, std::shared_ptr<AppRequest>> overlapped_;
    std::vector<std::unique_ptr<AsyncRequest>> requests_;
    bool shutDown_ = false;
};

} // namespace qv::harness
