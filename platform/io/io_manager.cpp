// Driver objects: loading a driver, unloading it, and the audit of what an
// unloaded driver left behind.
#include "io/io_manager.h"

#include <algorithm>
#include <string>

#include "io/io_state.h"
#include "kernel/placement_rules.h"
#include "kernel/pool.h"
#include "kernel/scheduler.h"

namespace qv {

namespace io {

namespace {

constexpr std::u16string_view kServicesKey = u"\\Registry\\Machine\\System\\CurrentControlSet\\Services\\";
// How many leaked pool blocks a report lists before it stops.
constexpr std::size_t kListedLeaks = 5;

UNICODE_STRING StringOver(std::u16string& text) {
    UNICODE_STRING string{};
    string.Length = static_cast<USHORT>(text.size() * sizeof(char16_t));
    string.MaximumLength = string.Length;
    string.Buffer = text.data();
    return string;
}

} // namespace

DriverRecord& DriverTable::Add(std::u16string_view name, PDRIVER_INITIALIZE entry) {
    auto record = std::make_unique<DriverRecord>();
    record->name = name;
    const std::size_t slash = name.rfind(u'\\');
    record->serviceName = name.substr(slash == std::u16string_view::npos ? 0 : slash + 1);
    record->registryPath = std::u16string(kServicesKey) + record->serviceName;
    record->registryPathString = StringOver(record->registryPath);
    record->label = Narrow(record->serviceName);

    DRIVER_OBJECT& object = record->object;
    object.Type = IO_TYPE_DRIVER;
    object.Size = sizeof(DRIVER_OBJECT);
    object.DriverExtension = &record->extension;
    object.DriverName = StringOver(record->name);
    object.DriverInit = entry;
    for (PDRIVER_DISPATCH& dispatch : object.MajorFunction) dispatch = &DefaultDispatch;
    record->extension.DriverObject = &object;
    record->extension.ServiceKeyName = StringOver(record->serviceName);

    live_.push_back(std::move(record));
    return *live_.back();
}

DriverRecord* DriverTable::Find(const DRIVER_OBJECT* driver) {
    for (auto& record : live_)
        if (&record->object == driver) return record.get();
    return nullptr;
}

DriverRecord& DriverTable::Require(PDRIVER_OBJECT driver, const char* routine) {
    DriverRecord* record = Find(driver);
    if (record == nullptr) {
        K().Fatal("driver-not-live", bugcode::DRIVER_VERIFIER_DETECTED_VIOLATION, violation::NotALiveDriver,
                  Ptr(driver), 0, 0, std::string(routine) + " was given an address that is not a loaded driver object");
    }
    return *record;
}

void DriverTable::Remove(PDRIVER_OBJECT driver) {
    auto found =
        std::find_if(live_.begin(), live_.end(), [driver](const auto& record) { return &record->object == driver; });
    if (found == live_.end()) return;
    // A stale driver object pointer must not look like a working driver.
    std::fill(std::begin((*found)->object.MajorFunction), std::end((*found)->object.MajorFunction), nullptr);
    (*found)->object.Type = 0;
    retired_.push_back(std::move(*found));
    live_.erase(found);
}

NTSTATUS NTAPI DefaultDispatch(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
    UNREFERENCED_PARAMETER(DeviceObject);
    Irp->IoStatus.Status = STATUS_INVALID_DEVICE_REQUEST;
    Irp->IoStatus.Information = 0;
    IoCompleteRequest(Irp, IO_NO_INCREMENT);
    return STATUS_INVALID_DEVICE_REQUEST;
}

namespace {

// Everything a driver must have undone before it goes away. Checked after
// its unload routine, and after an entry routine that failed.
class UnloadAudit {
  public:
    UnloadAudit(IoManager::State& io, DriverRecord& driver) : io_(io), driver_(driver) {}

    void Run() {
        CheckTimers();
        CheckDevices();
        CheckIrps();
        CheckPool();
        CheckThreads();
    }

  private:
    ULONG_PTR DriverName() const { return Ptr(&driver_.object.DriverName); }

    void LeftBehind(Leftover what, std::size_t count, const void* first, const std::string& text) {
        const char* rule = what == Leftover::Devices ? "unload-left-devices"
                           : what == Leftover::Irps  ? "unload-left-irps"
                                                     : "unload-left-threads";
        K().Violation(rule, bugcode::DRIVER_UNLOADED_WITHOUT_CANCELLING_PENDING_OPERATIONS, DriverName(), count,
                      static_cast<ULONG_PTR>(what), Ptr(first), "driver " + driver_.label + " unloaded with " + text);
    }

    // A timer of a device that outlives its driver would fire into unloaded
    // code: reported as the freed-timer violation that deleting its device
    // would have raised.
    void CheckTimers() {
        for (DeviceRecord* device : io_.devices.OfDriver(&driver_.object)) {
            if (device->timer && device->timer->Started) {
                K().Violation("timer-started-at-unload", bugcode::DRIVER_VERIFIER_DETECTED_VIOLATION,
                              violation::FreedPoolHoldsActiveTimer, Ptr(device->timer.get()), NonPagedPool,
                              Ptr(device->object),
                              "driver " + driver_.label + " unloaded while the I/O timer of " + device->label +
                                  " was still started");
            }
        }
    }

    void CheckDevices() {
        const std::vector<DeviceRecord*> devices = io_.devices.OfDriver(&driver_.object);
        if (devices.empty()) return;
        std::string names;
        for (const DeviceRecord* device : devices) names += " " + device->label;
        LeftBehind(Leftover::Devices, devices.size(), devices.front()->object,
                   std::to_string(devices.size()) + " device object(s) not deleted:" + names);
    }

    void CheckIrps() {
        const std::vector<const IrpRecord*> irps = io_.irps.Live();
        if (irps.empty()) return;
        LeftBehind(Leftover::Irps, irps.size(), irps.front()->irp,
                   std::to_string(irps.size()) + " IRP(s) not freed, the oldest irp" +
                       std::to_string(irps.front()->serial));
    }

    void CheckPool() {
        const std::vector<PoolBlockInfo> blocks = K().PoolAllocator().Outstanding();
        if (blocks.empty()) return;
        std::size_t bytes = 0;
        std::string listed;
        for (std::size_t i = 0; i < blocks.size(); ++i) {
            bytes += blocks[i].size;
            if (i < kListedLeaks) {
                // Appended piece by piece: GCC 12 at -O3 misreads `" " + std::string`
                // as an overlapping copy (-Werror=restrict).
                listed.append(" ").append(TagText(blocks[i].tag)).append(":");
                listed.append(std::to_string(blocks[i].size)).append("@").append(blocks[i].site);
            }
        }
        K().Violation("pool-leak-at-unload", bugcode::DRIVER_VERIFIER_DETECTED_VIOLATION, violation::PoolLeakOnUnload,
                      DriverName(), bytes, blocks.size(),
                      "driver " + driver_.label + " unloaded with " + std::to_string(blocks.size()) +
                          " pool block(s) not freed:" + listed);
    }

    void CheckThreads() {
        for (const SimThread* thread : K().Sched().Threads()) {
            const bool running =
                thread->Kind() == ThreadKind::System && thread->GetState() != SimThread::State::Terminated;
            if (running) {
                LeftBehind(Leftover::Threads, 1, thread, "system thread '" + thread->Name() + "' still running");
            }
            if (thread->references > 0) {
                LeftBehind(Leftover::Threads, static_cast<std::size_t>(thread->references), thread,
                           "thread object '" + thread->Name() + "' still referenced (" +
                               std::to_string(thread->references) + " reference(s))");
            }
        }
    }

    IoManager::State& io_;
    DriverRecord& driver_;
};

} // namespace
} // namespace io

IoManager::IoManager(KernelCore& kernel, std::function<void(bool)> timerClock) : kernel_(kernel), state_(new State) {
    state_->timerClock = std::move(timerClock);
    kernel_.SetThreadExitRoutine([this](SimThread& thread) { CancelThreadIo(thread); });
    kernel_.SetBugCheckNotes([this] { return RecentIrps(); });
}

IoManager::~IoManager() {
    kernel_.SetThreadExitRoutine({});
    kernel_.SetBugCheckNotes({});
    delete state_;
}

PDRIVER_OBJECT IoManager::LoadDriver(std::u16string_view name, PDRIVER_INITIALIZE entry, NTSTATUS* status) {
    io::RequireIrqlAtMost(PASSIVE_LEVEL, "LoadDriver");
    io::DriverRecord& driver = state_->drivers.Add(name, entry);
    kernel_.Events().Log(kernel_.Now(), kernel_.Sched().CurrentName(), "io", "load driver " + driver.label);
    // INIT, where the entry routine lies, is there until the routine returns.
    kernel_.DriverEntryBegins();
    const NTSTATUS result = entry(&driver.object, &driver.registryPathString);
    kernel_.DriverEntryEnds();
    if (status != nullptr) *status = result;
    if (NT_SUCCESS(result)) return &driver.object;
    // A failed entry routine gets no unload call, so it must have cleaned up
    // after itself already.
    io::UnloadAudit(*state_, driver).Run();
    state_->drivers.Remove(&driver.object);
    return nullptr;
}

void IoManager::UnloadDriver(PDRIVER_OBJECT driver) {
    io::RequireIrqlAtMost(PASSIVE_LEVEL, "UnloadDriver");
    io::DriverRecord& record = state_->drivers.Require(driver, "UnloadDriver");
    kernel_.Events().Log(kernel_.Now(), kernel_.Sched().CurrentName(), "io", "unload driver " + record.label);
    if (driver->DriverUnload != nullptr) {
        CheckDriverRoutine(driver->DriverUnload, "the unload routine");
        driver->DriverUnload(driver);
    }
    io::UnloadAudit(*state_, record).Run();
    state_->drivers.Remove(driver);
}

void IoManager::MarkSystemDriver(PDRIVER_OBJECT driver) {
    state_->drivers.Require(driver, "MarkSystemDriver").system = true;
}

std::vector<std::string> IoManager::RecentIrps() const { return state_->history.Recent(); }

} // namespace qv
