// The harness: one emulated machine with up to several simulated readers
// plugged into the USB bus, the platform's Plug and Play manager serving
// them and applications opening them through the handle code of the I/O
// manager's application side:
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
// A reader plugged with its start held (PlugStart::Held) stays added and
// not started, so that the driver's link, USB configuration and card
// services can be driven below the start sequence: by the reader console
// (qvsim link), the link and card tests, benchmarks and fuzzers. Configure
// and AdmitRequests set up what those parts need of the start; the real
// start follows Pnp(index, IRP_MN_START_DEVICE). A machine built with a
// HeldReader plugs it so, as reader 0, at the start of its first run.
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
#include <set>
#include <memory>
#include <string>
#include <span>
#include <vector>

#include "harness/app_client.h"
#include "machine/machine.h"
#include "qvscr.h"
#include "usb/usb_bus.h"
#include "usb/usb_device_model.h"

namespace qv::harness {

// A device-control request's outcome: the status it was completed with and
// the output bytes (Information of them).
struct IoctlResult {
    NTSTATUS status = STATUS_UNSUCCESSFUL;
    std::vector<std::uint8_t> output;
    ULONG_PTR information = 0;
};

// A request the driver may leave pending (a card wait): sent without
// waiting (SendAsync), cancelled (Cancel) or ended by a cleanup, and
// completed at some later instant.
struct AsyncRequest {
    PIRP irp = nullptr;
    ULONG code = 0;
    bool done = false;
    unsigned completions = 0; // more than one is a driver fault
    NTSTATUS status = STATUS_PENDING;
    std::uint64_t completedAt = 0; // virtual time of the completion
    std::uint64_t sentAt = 0;
    std::function<void()> then;    // run as it completes (a kernel-mode sender's next step)
};

// A reader command's outcome: the link's status and a copy of ReplyData.
struct CommandResult {
    NTSTATUS status = STATUS_UNSUCCESSFUL;
    std::vector<std::uint8_t> reply;
    bool Ok() const { return status == STATUS_SUCCESS; }
};

// What a kernel-mode sender (a request sent without a handle) does with the
// IRP once it has completed.
enum class SentIrp {
    // Frees it in its completion routine: nothing of it is left when a
    // removal that completed it unloads the driver after its last reader.
    FreedAtCompletion,
    // Keeps it until Reap, so that it may still cancel it (in vain) after it
    // completed: the sender that cancels its own requests needs that.
    KeptUntilReap,
};

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
    bool polling = false;            // the harness's polling of a held reader
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

// One reader plugged in with its start held, as reader 0, before the body
// of the machine's first run; add-device failing stops that run (the
// harness is not what is under test there).
struct HeldReader {
    MachineConfig machine;
    usb::UsbBusConfig bus;
    // The name the bus knows the reader's port by (it appears in its trace).
    std::string deviceName = "reader";
    // AdmitRequests as soon as it is plugged.
    bool admitRequests = false;

    // Everything default but the seed.
    static HeldReader ForSeed(std::uint64_t seed) {
        HeldReader held;
        held.machine.seed = seed;
        return held;
    }
};

class ReaderMachine {
  public:
    explicit ReaderMachine(MachineConfig config, usb::UsbBusConfig bus = {});
    // The model must outlive the machine.
    ReaderMachine(usb::UsbDeviceModel& model, HeldReader held);
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
    // What Shutdown does, on the calling simulated thread: for a host that
    // runs the machine itself (the PC/SC bridge), from its last job.
    void Teardown();
    // The host leaves the machine as it stopped by itself (a bug check or a
    // deadlock): nothing more runs on it, not even the switching off, and
    // the handles still open are left as they are rather than closed
    // without a kernel.
    void Abandon();

    // ---- On a simulated thread --------------------------------------------

    // Plugs the model in; the Plug and Play manager calls the driver's
    // add-device routine and starts the device. beforeAdd runs between the
    // bus's report and add-device, with the new PDO (to fill its hardware
    // key, say). A reader whose start fails is removed by the manager.
    // The bus names the reader's port `name` in its trace ("reader" and its
    // index when empty).
    PlugResult Plug(usb::UsbDeviceModel& model, const std::function<void(PDEVICE_OBJECT)>& beforeAdd = {},
                    PlugStart start = PlugStart::Now, std::string name = {});
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
    // The driver learns of the card only from its card-status poll, once a
    // second from the start. An application that wants to begin with the
    // card state known waits for that first poll as any application can:
    // with an IS_PRESENT wait through the handle last opened, which a card
    // in the slot ends as soon as the driver sees it, and which is
    // cancelled when the slot stays empty past the first poll. On a
    // simulated thread.
    void AwaitFirstPoll(std::size_t index);
    // Through the open handle when there is one (as an application sends
    // it), else straight to the top of the reader's stack (as a kernel-mode
    // caller does).
    IoctlResult DeviceControl(std::size_t index, ULONG code, std::span<const std::uint8_t> input,
                              ULONG outputLength);

    // A request the driver may leave pending (a card wait), sent without
    // waiting: overlapped on the open handle, or without one straight to the
    // stack; the machine owns the record until Reap. Without a handle the IRP
    // is freed as it completes, unless the sender keeps it; once it is freed
    // `irp` only names the request.
    AsyncRequest& SendAsync(std::size_t index, ULONG code, SentIrp irp = SentIrp::FreedAtCompletion);
    // Without a handle only: `then` runs in the request's completion routine,
    // as a kernel-mode client sends its next request from there.
    AsyncRequest& SendAsync(std::size_t index, ULONG code, std::function<void()> then);
    // Cancels a request still pending; false when it is not any more.
    bool Cancel(PIRP irp);
    bool Cancel(const AsyncRequest& request) { return Cancel(request.irp); }
    // Cancels every request in flight on the last handle opened, as
    // CancelIoEx does from any thread; returns how many it found.
    std::size_t CancelIo(std::size_t index);
    // IRP_MJ_CLEANUP for the last handle opened, as closing it sends it, the
    // handle left open (Close sends cleanup and close). Without a handle, a
    // kernel-mode sender's cleanup (no file object): it ends the requests
    // sent without one.
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
    // ReaderMutex (what the poller does for the card status), with the
    // payload (at most the command block's size is taken) in CommandBlock.
    CommandResult SendCommand(std::size_t index, ULONG number, std::span<const std::uint8_t> payload = {});

    // ---- A reader whose start is held -------------------------------------

    // What the start sequence does before the reader's first command: the
    // driver's USB configuration (ConfigureUsbDevice), the device object the
    // link sends on, and the device's I/O timer, which the card services
    // stop and restart around their work. UnconfigureUsbDevice undoes the
    // first.
    NTSTATUS Configure(std::size_t index);
    NTSTATUS Unconfigure(std::size_t index);
    // What the end of the start sequence does for requests: they pass to the
    // driver's dispatch routines, and the card in the slot counts as present
    // until a poll says otherwise. No poller runs.
    void AdmitRequests(std::size_t index);
    // Card presence polling as the start sequence sets it up and the stop
    // sequence ends it, without the rest of either: the card counts as
    // absent, the poll thread runs and the I/O timer ticks. A held reader's
    // polling is the harness's to end; Shutdown ends what is left.
    NTSTATUS StartPolling(std::size_t index);
    void StopPolling(std::size_t index);
    PDEVICE_OBJECT Device(std::size_t index) { return readers_.at(index).device; }

    // The readers as the Plug and Play manager last left them.
    std::vector<PluggedReader>& Readers();
    PDEVICE_EXTENSION Extension(std::size_t index);
    SMARTCARD_EXTENSION& Smartcard(std::size_t index) { return Extension(index)->SmartcardExtension; }
    READER_EXTENSION& Reader(std::size_t index) { return *Smartcard(index).ReaderExtension; }

  private:
    AsyncRequest& SendAsync(std::size_t index, ULONG code, std::function<void()> then, SentIrp kept);
    void PlugHeld();
    bool StartHeld(std::size_t index);
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
    // Requests sent without a handle whose IRPs are kept until Reap.
    std::set<const AsyncRequest*> kept_;
    // The reader to plug, held, at the first run, until it is.
    usb::UsbDeviceModel* heldModel_ = nullptr;
    HeldReader held_;
    // The name of the threads Run and Shutdown start; every trace line
    // carries it, so it is part of the run's digest.
    std::string runName_ = "machine";
    bool shutDown_ = false;
};

} // namespace qv::harness
