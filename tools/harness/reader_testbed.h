// The reader test bed: one emulated machine (kernel and USB bus) with one
// USB device model plugged in. The bus reports it and the platform's Plug
// and Play manager loads the driver and calls its add-device routine, but
// holds the start back, so that the driver's link and USB configuration
// routines can be driven directly from tests, the qvsim console and
// benchmarks.
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
#include <memory>
#include <span>
#include <string>
#include <vector>

#include "machine/machine.h"
#include "qvscr.h"
#include "usb/usb_bus.h"
#include "usb/usb_device_model.h"

namespace qv::harness {

struct TestbedConfig {
    MachineConfig machine;
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
        config.machine.seed = seed;
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
// An application's request left pending in the driver: sent without waiting
// (SendAsync), cancelled (Cancel) or ended by a cleanup, and completed at
// some later instant. The test bed owns the IRP until Reap frees it.
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

    qv::Machine& Machine() { return machine_; }
    usb::UsbBus& Bus() { return machine_.Usb(); }

    // Runs body on a simulated thread at PASSIVE_LEVEL, and the machine until
    // every host thread has ended. The first call plugs the device in and
    // creates the driver's device object before body. More threads can be
    // started from body with Machine().Spawn.
    RunResult Run(std::function<void()> body);

    // Ends the polling the test bed started, then has the Plug and Play
    // manager send the remove request: the driver's remove path
    // unconfigures the device (freeing the holder even if that fails),
    // detaches and deletes it and frees the reader's blocks, and the manager
    // unloads the driver (the verifier's unload audit). Shuts the bus down.
    // Runs on a simulated thread of its own; the result reports a leak or
    // any other violation as a bug check.
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

    // ---- Card presence polling (tools/harness/testbed_polling.cpp) -------

    // What the start sequence does for polling: PollThreadRun and PollEnabled
    // to 1, CurrentState to SCARD_ABSENT, StartPollThread, IoStartTimer (the
    // timer was tied to PollTimer when the device was built).
    NTSTATUS StartPolling();
    // What the stop sequence does: the timer stopped and the thread ended.
    void StopPolling();
    bool Polling() const { return polling_; }

    // Sends a device-control request without input or output and returns at
    // once; the request is the test bed's until Reap. Needs the smartcard
    // set-up.
    AsyncRequest& SendAsync(ULONG code);
    // Cancels the request as the I/O manager does for an application that
    // cancels its I/O; nothing when it has completed already. Returns
    // IoCancelIrp's result.
    bool Cancel(AsyncRequest& request);
    // The same for the request sent with this IRP; false when it is not
    // pending any more.
    bool Cancel(PIRP irp);
    // Sends IRP_MJ_CLEANUP, as closing a handle does, and waits for it.
    NTSTATUS Cleanup();
    // Requests that completed since the last call, in completion order; their
    // IRPs are freed (irp is left in the copies only to tell them apart).
    std::vector<AsyncRequest> Reap();
    // Requests not completed yet.
    std::size_t Outstanding() const;

    PDEVICE_OBJECT Device() const { return device_; } // the driver's device object
    PDEVICE_OBJECT Pdo() const { return pdo_; }       // the bus's device object below it
    READER_EXTENSION& Reader() { return *reader_; }
    SMARTCARD_EXTENSION& Smartcard();

  private:
    void Build();
    void Teardown();

    usb::UsbDeviceModel& model_;
    TestbedConfig config_;
    qv::Machine machine_;
    PDRIVER_OBJECT driver_ = nullptr;
    PDEVICE_OBJECT pdo_ = nullptr;
    PDEVICE_OBJECT device_ = nullptr;
    PREADER_EXTENSION reader_ = nullptr;
    bool built_ = false;
    bool shutDown_ = false;
    bool smartcardReady_ = false;
    bool polling_ = false;
    std::vector<std::unique_ptr<AsyncRequest>> requests_;
};

} // namespace qv::harness
