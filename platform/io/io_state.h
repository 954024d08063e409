// The I/O manager's own records: what it knows about every driver, device
// and IRP beyond what the WDK structures hold. Shared by the I/O manager's
// source files and by nothing else.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "io/io_manager.h"

// The object behind PIO_TIMER. Drivers only ever hold the pointer.
struct _IO_TIMER {
    CSHORT Type;
    BOOLEAN Started;
    PIO_TIMER_ROUTINE TimerRoutine;
    PVOID Context;
    PDEVICE_OBJECT DeviceObject;
};

namespace qv {

class SimThread;

namespace io {

// IRPs come from the I/O manager's own memory, not the pool, but they can
// fail to be had all the same: the pool's fault plan decides, under this tag.
inline constexpr ULONG kIrpTag = QV_POOL_TAG('I', 'r', 'p', ' ');

inline ULONG_PTR Ptr(const void* pointer) { return reinterpret_cast<ULONG_PTR>(pointer); }

// Raises IRQL_NOT_LESS_OR_EQUAL when the caller runs above `highest`.
void RequireIrqlAtMost(KIRQL highest, const char* routine);

// Zeroed host memory for one kernel object and whatever follows it (stack
// locations, a device extension). The objects the driver sees live here
// rather than in the pool, so that pool audits count only the driver's own
// allocations.
class HostBlock {
  public:
    explicit HostBlock(std::size_t size);
    std::byte* Data() const { return bytes_.get(); }
    std::size_t Size() const { return size_; }
    void Poison();

  private:
    std::unique_ptr<std::byte[]> bytes_;
    std::size_t size_;
};

// Freed objects stay here, poisoned, for a while: a stale pointer then reads
// poison instead of a newer object that happens to reuse the address, and a
// second free of the same address is recognised as such.
class Quarantine {
  public:
    void Retire(HostBlock block);
    bool Holds(const void* address) const;

  private:
    static constexpr std::size_t kCapacity = 256;
    std::deque<HostBlock> blocks_;
};

// ---------------------------------------------------------------------------
// Drivers

struct DriverRecord {
    DRIVER_OBJECT object{};
    DRIVER_EXTENSION extension{};
    std::u16string name;         // "\Driver\QvScr"
    std::u16string serviceName;  // "QvScr"
    std::u16string registryPath; // the service key
    UNICODE_STRING registryPathString{};
    std::string label; // the service name in ASCII, for logs
    // A driver of the emulated system itself (the USB bus): the pool's fault
    // plan does not reach its device objects, which the host asked for.
    bool system = false;
};

class DriverTable {
  public:
    DriverRecord& Add(std::u16string_view name, PDRIVER_INITIALIZE entry);
    DriverRecord* Find(const DRIVER_OBJECT* driver);
    DriverRecord& Require(PDRIVER_OBJECT driver, const char* routine);
    // Retires the driver object; its memory stays poisoned.
    void Remove(PDRIVER_OBJECT driver);

  private:
    std::vector<std::unique_ptr<DriverRecord>> live_;
    std::vector<std::unique_ptr<DriverRecord>> retired_;
};

// Fails every request; the driver object's MajorFunction entries point here
// until the driver sets its own.
NTSTATUS NTAPI DefaultDispatch(PDEVICE_OBJECT DeviceObject, PIRP Irp);

// ---------------------------------------------------------------------------
// Devices

struct DeviceRecord {
    explicit DeviceRecord(HostBlock block) : memory(std::move(block)) {}

    HostBlock memory; // DEVICE_OBJECT, then the extension
    PDEVICE_OBJECT object = nullptr;
    std::u16string name; // empty for an unnamed device
    std::string label;   // "<driver>#<n>", stable between runs
    std::uint64_t serial = 0;
    // The device this one is attached to (the one below it in the stack).
    PDEVICE_OBJECT attachedTo = nullptr;
    // Deleted by its driver but still the target of a device attached above
    // it; freed when that device detaches.
    bool deletePending = false;
    std::unique_ptr<_IO_TIMER> timer;
    // References that keep the object alive after IoDeleteDevice: a queued
    // work item holds one.
    LONG references = 0;
};

class DeviceTable {
  public:
    DeviceRecord& Add(PDRIVER_OBJECT driver, std::size_t extensionSize, std::u16string name, std::string_view driverLabel);
    DeviceRecord* Find(const DEVICE_OBJECT* device);
    // The record of a device that still exists (deleted ones waiting for the
    // device above to detach included); anything else is a bug check.
    DeviceRecord& Require(PDEVICE_OBJECT device, const char* routine);
    bool NameInUse(std::u16string_view name) const;
    // Frees a deleted device once nothing attached above or referencing it
    // is left.
    void FreeIfUnused(PDEVICE_OBJECT device);
    // Every record of the driver's devices, deleted-but-attached ones
    // included, in creation order.
    std::vector<DeviceRecord*> OfDriver(const DRIVER_OBJECT* driver) const;
    const std::string& Label(const DEVICE_OBJECT* device) const;
    void Free(PDEVICE_OBJECT device);

  private:
    std::unordered_map<const DEVICE_OBJECT*, std::unique_ptr<DeviceRecord>> live_;
    Quarantine quarantine_;
    std::uint64_t nextSerial_ = 1;
    const std::string noDevice_ = "(no device)";
};

// ---------------------------------------------------------------------------
// IRPs

enum class IrpPhase {
    Idle,       // allocated or reused, not sent yet
    Sent,       // in the hands of a driver
    Completing, // the completion walk is running
    Done,       // completion reached the top of the stack
    // The creator's own completion routine, at the top of the stack,
    // returned STATUS_MORE_PROCESSING_REQUIRED: the IRP is the creator's to
    // free, reuse or send again, and one that IoBuildDeviceIoControlRequest
    // built may be completed once more to let the I/O manager finish it.
    Kept,
};

// One dispatch routine call in progress for an IRP, on the thread that made
// it. It lives on the stack of IofCallDriver, so the facts the pending check
// needs survive the IRP itself being completed and freed inside the call.
struct DispatchFrame {
    SimThread* thread = nullptr;
    CHAR location = 0;
    PDEVICE_OBJECT device = nullptr;
    bool markedPending = false;
    bool passedDownPending = false;
};

// What IoBuildDeviceIoControlRequest arranged and the end of completion
// undoes: the caller's output buffer and the system buffer standing in for it.
struct ThreadedRequest {
    // The thread the request was built for, which its completion APC runs
    // on; null for the host, or once the thread has ended.
    SimThread* thread = nullptr;
    ULONG method = 0;
    PVOID outputBuffer = nullptr;
    ULONG outputLength = 0;
    std::vector<std::byte> systemBuffer;
};

struct IrpRecord {
    explicit IrpRecord(HostBlock block) : memory(std::move(block)) {}

    HostBlock memory;
    PIRP irp = nullptr;
    std::uint64_t serial = 0;
    IrpPhase phase = IrpPhase::Idle;
    // The device whose driver holds the IRP while it is Sent.
    PDEVICE_OBJECT at = nullptr;
    // Counts sends and completions, so that the completion walk can tell
    // whether a completion routine passed the IRP on or completed it itself.
    std::uint64_t generation = 0;
    bool freed = false;
    std::vector<DispatchFrame*> frames;
    std::optional<ThreadedRequest> threaded;

    // The innermost dispatch call for this IRP on the thread (at the given
    // stack location, when one is given).
    DispatchFrame* FrameOn(const SimThread* thread, std::optional<CHAR> location = {}) const;
    bool InDispatchAt(const SimThread* thread, const DEVICE_OBJECT* device) const;
};

class IrpTable {
  public:
    IrpRecord& Allocate(CHAR stackSize);
    // Live IRPs only; freed ones are not found.
    std::shared_ptr<IrpRecord> Find(const IRP* irp) const;
    std::shared_ptr<IrpRecord> Require(PIRP irp, const char* routine) const;
    void Free(PIRP irp);
    bool WasFreed(const IRP* irp) const { return quarantine_.Holds(irp); }
    // Live IRPs in allocation order.
    std::vector<const IrpRecord*> Live() const;
    std::size_t LiveCount() const { return live_.size(); }

  private:
    std::unordered_map<const IRP*, std::shared_ptr<IrpRecord>> live_;
    Quarantine quarantine_;
    std::uint64_t nextSerial_ = 1;
};

// Resets an IRP to the state IoAllocateIrp gives it.
void InitializeIrp(PIRP irp, USHORT size, CHAR stackSize);

// The end of completion for an IRP of IoBuildDeviceIoControlRequest: status
// and output to the caller, its event set, the IRP freed.
void FinishThreadedRequest(IoManager::State& io, IrpRecord& record);
// Completion has reached the top of such a request: the rest is done by an
// APC on the thread it was built for.
void CompleteThreadedRequest(IoManager::State& io, const std::shared_ptr<IrpRecord>& record);

// IoCallDriver for the power manager's PoCallDriver, the one sender a power
// IRP may come from: Windows before Vista keeps its one-request-at-a-time
// rule for power IRPs there, and one sent past it could reach a driver that
// holds another.
NTSTATUS SendFromPowerManager(PDEVICE_OBJECT device, PIRP irp);

// ---------------------------------------------------------------------------
// I/O timers

class TimerList {
  public:
    void Add(PIO_TIMER timer) { timers_.push_back(timer); }
    void Remove(PIO_TIMER timer);
    bool Contains(PIO_TIMER timer) const;
    bool AnyStarted() const;
    // In the order they were initialised, so that one seed fires them in one order.
    std::vector<PIO_TIMER> Snapshot() const { return timers_; }

  private:
    std::vector<PIO_TIMER> timers_;
};

// Tells the machine whether its once-a-second clock is needed.
void UpdateTimerClock(IoManager::State& io);

// ---------------------------------------------------------------------------
// History

// The last IRP events, for bug-check reports, each also logged to the run's
// event trace. Devices and IRPs are named by creation order, never by
// address, so that one seed gives one digest.
class IrpHistory {
  public:
    void Sent(const IrpRecord& record, const IO_STACK_LOCATION& stack, const std::string& device);
    void Completed(const IrpRecord& record, const std::string& device, NTSTATUS status);
    void Cancelled(const IrpRecord& record, bool routineCalled);
    std::vector<std::string> Recent() const;

  private:
    // The ring's oldest slot, emptied, for the next event's text; Record
    // logs it and makes it the newest.
    std::string& NextEvent();
    void Record();

    static constexpr std::size_t kDepth = 16;
    std::array<std::string, kDepth> ring_;
    std::size_t next_ = 0;
    std::size_t count_ = 0;
};
// ---------------------------------------------------------------------------
// Work items

struct WorkItemQueue {
    std::deque<PIO_WORKITEM> items;
    KEVENT ready{};
    bool started = false;
};

std::string MajorFunctionText(UCHAR major);
std::string Narrow(std::u16string_view text);

} // namespace io

struct IoManager::State {
    io::DriverTable drivers;
    io::DeviceTable devices;
    io::IrpTable irps;
    io::TimerList timers;
    io::IrpHistory history;
    // The I/O timer whose routine runs now, if any, and the thread it runs
    // on: the routine may reach a switch point, and another thread that then
    // stops the timer is not the routine stopping its own.
    PIO_TIMER firingTimer = nullptr;
    PKTHREAD firingThread = nullptr;
    io::WorkItemQueue work;
    // The tags under which each remove lock is held now.
    std::unordered_map<const IO_REMOVE_LOCK*, std::vector<PVOID>> removeLockTags;
    // Told whether any I/O timer is started (UpdateTimerClock).
    std::function<void(bool)> timerClock;
    // The test's probe of IoCancelIrp (io/cancel_probe.h).
    std::function<void(PIRP)> cancelProbe;
};

} // namespace qv
