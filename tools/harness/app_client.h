// The application side of a reader, as the I/O manager serves an
// application: readers are found through their enabled device interfaces,
// a handle is opened through the interface's link (IRP_MJ_CREATE with a
// file object, sent to the top of the device's stack), device-control
// requests go down with METHOD_BUFFERED system buffers, synchronously or
// overlapped, an overlapped request can be cancelled (IoCancelIrp), and
// closing a handle sends IRP_MJ_CLEANUP at once and IRP_MJ_CLOSE once the
// last request on the handle has completed, as Windows does. The Plug and
// Play manager counts the open handles, so that a removal waits for them.
//
// Every call runs on a simulated thread at PASSIVE_LEVEL.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "kernel/kernel.h"

namespace qv::harness {

class AppHandle;

// One overlapped device-control request.
class AppRequest {
  public:
    // Waits for completion (without a time-out), copies the output back and
    // frees the IRP. Returns the final status. Idempotent.
    NTSTATUS Wait();
    // IoCancelIrp on the request; whether a cancel routine was called.
    bool Cancel();
    bool Completed() const;
    NTSTATUS Status() const { return status_; }
    // The bytes the driver reported (Information, bounded by the output size).
    const std::vector<std::uint8_t>& Output() const { return output_; }
    // The Information the request was completed with (after Wait).
    ULONG_PTR Information() const { return information_; }
    // The IRP while the request is not reaped, to tell requests apart.
    PIRP Irp() const { return irp_; }

  private:
    friend class AppHandle;
    AppRequest(AppHandle& handle, std::size_t outputLength);
    static NTSTATUS NTAPI ControlDone(PDEVICE_OBJECT device, PIRP irp, PVOID context);

    AppHandle& handle_;
    PIRP irp_ = nullptr;
    KEVENT done_{};
    std::function<void(PIRP)> onComplete_; // called in the completion routine
    std::vector<std::uint8_t> system_; // the system buffer
    std::size_t outputLength_ = 0;
    std::vector<std::uint8_t> output_;
    ULONG_PTR information_ = 0;
    NTSTATUS status_ = STATUS_PENDING;
    bool reaped_ = false;
};

class AppHandle {
  public:
    ~AppHandle();
    AppHandle(const AppHandle&) = delete;
    AppHandle& operator=(const AppHandle&) = delete;

    // Opens a handle through a link: an interface link from FindReaders, or
    // a symbolic link. The open fails with what the device stack or the
    // Plug and Play manager says (STATUS_ACCESS_DENIED for a second handle
    // when the PDO is exclusive, STATUS_DELETE_PENDING while removal waits).
    static NTSTATUS Open(std::u16string_view link, std::unique_ptr<AppHandle>& handle);

    // DeviceIoControl without overlapped I/O: waits for the request.
    NTSTATUS Control(ULONG code, std::span<const std::uint8_t> input, std::size_t outputLength,
                     std::vector<std::uint8_t>* output = nullptr);
    // DeviceIoControl with overlapped I/O: returns at once; the request may
    // already be complete. onComplete, when given, is called with the IRP
    // in the completion routine (at its IRQL), as a completion port would
    // hear of it.
    std::shared_ptr<AppRequest> ControlAsync(ULONG code, std::span<const std::uint8_t> input,
                                             std::size_t outputLength,
                                             std::function<void(PIRP)> onComplete = {});

    // CancelIoEx with no overlapped structure: cancels every request on the
    // handle that has not completed, one still in its dispatch routine too.
    // Returns how many it asked to cancel.
    std::size_t CancelIo();

    // CloseHandle: IRP_MJ_CLEANUP now, IRP_MJ_CLOSE when the last request
    // on the handle has been reaped (at once when none is outstanding).
    void Close();
    bool Closed() const { return cleanedUp_; }
    PDEVICE_OBJECT Pdo() const { return pdo_; }
    PFILE_OBJECT File() { return &file_; }

  private:
    friend class AppRequest;
    explicit AppHandle(PDEVICE_OBJECT pdo);
    NTSTATUS SendSimple(UCHAR major);
    void RequestReaped();
    void FinishClose();

    PDEVICE_OBJECT pdo_;
    FILE_OBJECT file_{};
    unsigned outstanding_ = 0;
    // The requests sent on the handle, for CancelIo; completed ones are
    // dropped as it walks them.
    std::vector<std::weak_ptr<AppRequest>> sent_;
    bool cleanedUp_ = false;
    bool closed_ = false;
};

// The links of the enabled smart-card reader interfaces, as an application
// enumerates them.
std::vector<std::u16string> FindReaders();

} // namespace qv::harness
