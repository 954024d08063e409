// IRP memory: allocation, reuse and freeing, and the records that follow
// every IRP through its life.
#include <algorithm>
#include <cstring>
#include <string>

#include "io/io_state.h"
#include "kernel/placement_rules.h"
#include "kernel/pool.h"
#include "kernel/scheduler.h"

namespace qv::io {

namespace {

std::size_t IrpSize(CHAR stackSize) {
    return sizeof(IRP) + static_cast<std::size_t>(stackSize) * sizeof(IO_STACK_LOCATION);
}

// An IRP a driver below still holds, or whose completion is under way, is
// not its creator's to free or reuse yet.
void CheckNotBelow(const IrpRecord& record, const char* routine) {
    const bool below = record.phase == IrpPhase::Completing || (record.phase == IrpPhase::Sent && record.at != nullptr);
    if (below) {
        K().Violation("irp-freed-while-pending", bugcode::DRIVER_VERIFIER_DETECTED_VIOLATION,
                      violation::IrpFreedWhilePending, Ptr(record.irp), Ptr(record.at), record.serial,
                      std::string(routine) + " of irp" + std::to_string(record.serial) + ", which " +
                          Io().Internals().devices.Label(record.at) + " still holds");
    }
}

} // namespace

void InitializeIrp(PIRP irp, USHORT size, CHAR stackSize) {
    std::memset(irp, 0, size);
    irp->Type = IO_TYPE_IRP;
    irp->Size = size;
    irp->StackCount = stackSize;
    irp->CurrentLocation = static_cast<CHAR>(stackSize + 1);
    irp->ThreadListEntry.Flink = &irp->ThreadListEntry;
    irp->ThreadListEntry.Blink = &irp->ThreadListEntry;
    // The stack locations follow the IRP; before the first IoCallDriver the
    // current one is one past the last, so that the next one is the last.
    irp->Tail.Overlay.CurrentStackLocation = reinterpret_cast<PIO_STACK_LOCATION>(irp + 1) + stackSize;
}

DispatchFrame* IrpRecord::FrameOn(const SimThread* thread, std::optional<CHAR> location) const {
    for (auto frame = frames.rbegin(); frame != frames.rend(); ++frame) {
        if ((*frame)->thread == thread && (!location || (*frame)->location == *location)) return *frame;
    }
    return nullptr;
}

bool IrpRecord::InDispatchAt(const SimThread* thread, const DEVICE_OBJECT* device) const {
    return std::any_of(frames.begin(), frames.end(), [thread, device](const DispatchFrame* frame) {
        return frame->thread == thread && frame->device == device;
    });
}

IrpRecord& IrpTable::Allocate(CHAR stackSize) {
    const std::size_t size = IrpSize(stackSize);
    auto record = std::make_shared<IrpRecord>(HostBlock(size));
    record->irp = reinterpret_cast<PIRP>(record->memory.Data());
    record->serial = nextSerial_++;
    InitializeIrp(record->irp, static_cast<USHORT>(size), stackSize);
    IrpRecord& allocated = *record;
    live_.emplace(record->irp, std::move(record));
    return allocated;
}

std::shared_ptr<IrpRecord> IrpTable::Find(const IRP* irp) const {
    auto found = live_.find(irp);
    return found == live_.end() ? nullptr : found->second;
}

std::shared_ptr<IrpRecord> IrpTable::Require(PIRP irp, const char* routine) const {
    std::shared_ptr<IrpRecord> record = Find(irp);
    if (!record) {
        K().Fatal("irp-not-live", bugcode::DRIVER_VERIFIER_DETECTED_VIOLATION, violation::NotALiveIrp, Ptr(irp), 0, 0,
                  std::string(routine) + " was given " +
                      (WasFreed(irp) ? "an IRP that was already freed" : "an address that is not an IRP"));
    }
    return record;
}

void IrpTable::Free(PIRP irp) {
    auto found = live_.find(irp);
    if (found == live_.end()) return;
    IrpRecord& record = *found->second;
    record.freed = true;
    quarantine_.Retire(std::move(record.memory));
    live_.erase(found);
}

std::vector<const IrpRecord*> IrpTable::Live() const {
    std::vector<const IrpRecord*> records;
    records.reserve(live_.size());
    for (const auto& entry : live_) records.push_back(entry.second.get());
    std::sort(records.begin(), records.end(),
              [](const IrpRecord* a, const IrpRecord* b) { return a->serial < b->serial; });
    return records;
}

} // namespace qv::io

using namespace qv;
using namespace qv::io;

extern "C" {

PIRP NTAPI IoAllocateIrp(CHAR StackSize, BOOLEAN ChargeQuota) {
    QV_CHECK_CALLER();
    UNREFERENCED_PARAMETER(ChargeQuota);
    RequireIrqlAtMost(DISPATCH_LEVEL, "IoAllocateIrp");
    if (StackSize < 0) return nullptr;
    if (K().PoolAllocator().InjectFailure(kIrpTag, sizeof(IRP), "IoAllocateIrp")) return nullptr;
    return Io().Internals().irps.Allocate(StackSize).irp;
}

void NTAPI IoFreeIrp(PIRP Irp) {
    QV_CHECK_CALLER();
    RequireIrqlAtMost(DISPATCH_LEVEL, "IoFreeIrp");
    IrpTable& irps = Io().Internals().irps;
    if (!irps.Find(Irp)) {
        const bool again = irps.WasFreed(Irp);
        K().Fatal("irp-free-of-non-irp", bugcode::DRIVER_VERIFIER_IOMANAGER_VIOLATION, violation::FreeOfNonIrp,
                  Ptr(Irp), 0, 0,
                  again ? "IoFreeIrp of an IRP that was already freed" : "IoFreeIrp of an address that is not an IRP");
    }
    const std::shared_ptr<IrpRecord> record = irps.Find(Irp);
    CheckNotBelow(*record, "IoFreeIrp");
    if (record->threaded) {
        K().Violation("irp-free-threaded", bugcode::DRIVER_VERIFIER_IOMANAGER_VIOLATION, violation::FreeOfThreadedIrp,
                      Ptr(Irp), 0, 0,
                      "IoFreeIrp of irp" + std::to_string(record->serial) +
                          ", which IoBuildDeviceIoControlRequest built for a thread: completion frees it");
    }
    irps.Free(Irp);
}

void NTAPI IoReuseIrp(PIRP Irp, NTSTATUS Status) {
    QV_CHECK_CALLER();
    RequireIrqlAtMost(DISPATCH_LEVEL, "IoReuseIrp");
    std::shared_ptr<IrpRecord> record = Io().Internals().irps.Require(Irp, "IoReuseIrp");
    CheckNotBelow(*record, "IoReuseIrp");
    const UCHAR allocationFlags = Irp->AllocationFlags;
    InitializeIrp(Irp, Irp->Size, Irp->StackCount);
    Irp->AllocationFlags = allocationFlags;
    Irp->IoStatus.Status = Status;
    record->phase = IrpPhase::Idle;
    record->at = nullptr;
    ++record->generation;
}

} // extern "C"
