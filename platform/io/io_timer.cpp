// I/O timers: a routine per device that runs once a virtual second while
// started.
#include <algorithm>
#include <string>

#include "io/io_state.h"
#include "kernel/placement_rules.h"
#include "kernel/race_annotations.h"
#include "kernel/scheduler.h"

namespace qv {

namespace io {

void TimerList::Remove(PIO_TIMER timer) {
    timers_.erase(std::remove(timers_.begin(), timers_.end(), timer), timers_.end());
}

bool TimerList::Contains(PIO_TIMER timer) const {
    return std::find(timers_.begin(), timers_.end(), timer) != timers_.end();
}

bool TimerList::AnyStarted() const {
    return std::any_of(timers_.begin(), timers_.end(), [](PIO_TIMER timer) { return timer->Started != FALSE; });
}

void UpdateTimerClock(IoManager::State& io) {
    if (io.timerClock) io.timerClock(io.timers.AnyStarted());
}

namespace {

DeviceRecord& DeviceWithTimer(PDEVICE_OBJECT device, const char* routine) {
    DeviceRecord& record = Io().Internals().devices.Require(device, routine);
    if (!record.timer) {
        K().Fatal("io-timer-not-initialised", bugcode::DRIVER_VERIFIER_DETECTED_VIOLATION,
                  violation::TimerNotInitialized, Ptr(device), 0, 0,
                  std::string(routine) + " for " + record.label + ", which has no I/O timer");
    }
    return record;
}

} // namespace
} // namespace io

void IoManager::FireTimers() {
    // A routine may stop timers, its own or others'; one stopped before its
    // turn does not run.
    for (PIO_TIMER timer : state_->timers.Snapshot()) {
        if (!state_->timers.Contains(timer) || !timer->Started) continue;
        // What the starter did before IoStartTimer happens before each
        // tick, and each tick before the next.
        race::Acquire(timer);
        state_->firingTimer = timer;
        state_->firingThread = K().Sched().CurrentObject();
        CheckDriverRoutine(timer->TimerRoutine, "an I/O timer routine");
        timer->TimerRoutine(timer->DeviceObject, timer->Context);
        state_->firingTimer = nullptr;
        state_->firingThread = nullptr;
        race::Release(timer);
    }
}

bool IoManager::TimersRunning() const { return state_->timers.AnyStarted(); }

} // namespace qv

using namespace qv;
using namespace qv::io;

extern "C" {

NTSTATUS NTAPI IoInitializeTimer(PDEVICE_OBJECT DeviceObject, PIO_TIMER_ROUTINE TimerRoutine, PVOID Context) {
    QV_CHECK_CALLER();
    RequireIrqlAtMost(PASSIVE_LEVEL, "IoInitializeTimer");
    IoManager::State& io = Io().Internals();
    DeviceRecord& device = io.devices.Require(DeviceObject, "IoInitializeTimer");
    if (device.timer) {
        K().Violation("io-timer-initialised-twice", bugcode::DRIVER_VERIFIER_IOMANAGER_VIOLATION,
                      violation::TimerInitializedTwice, Ptr(DeviceObject), Ptr(device.timer.get()), 0,
                      "IoInitializeTimer called twice for " + device.label);
    }
    device.timer = std::make_unique<_IO_TIMER>();
    device.timer->Type = IO_TYPE_TIMER;
    device.timer->TimerRoutine = TimerRoutine;
    device.timer->Context = Context;
    device.timer->DeviceObject = DeviceObject;
    DeviceObject->Timer = device.timer.get();
    io.timers.Add(device.timer.get());
    return STATUS_SUCCESS;
}

void NTAPI IoStartTimer(PDEVICE_OBJECT DeviceObject) {
    QV_CHECK_CALLER();
    RequireIrqlAtMost(DISPATCH_LEVEL, "IoStartTimer");
    PIO_TIMER timer = DeviceWithTimer(DeviceObject, "IoStartTimer").timer.get();
    race::Release(timer);
    timer->Started = TRUE;
    UpdateTimerClock(Io().Internals());
}

void NTAPI IoStopTimer(PDEVICE_OBJECT DeviceObject) {
    QV_CHECK_CALLER();
    RequireIrqlAtMost(DISPATCH_LEVEL, "IoStopTimer");
    DeviceRecord& device = DeviceWithTimer(DeviceObject, "IoStopTimer");
    const IoManager::State& io = Io().Internals();
    if (io.firingTimer == device.timer.get() && io.firingThread == K().Sched().CurrentObject()) {
        K().Violation("io-timer-stopped-in-routine", bugcode::DRIVER_VERIFIER_DETECTED_VIOLATION,
                      violation::StopTimerInTimerRoutine, Ptr(DeviceObject), Ptr(device.timer.get()), 0,
                      "IoStopTimer for " + device.label + " called from its own I/O timer routine");
    }
    device.timer->Started = FALSE;
    UpdateTimerClock(Io().Internals());
}

} // extern "C"
