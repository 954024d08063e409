// The host-CPU cost of the I/O manager's path for one request: an IRP sent
// through a filter device to the device below it, completed there at once,
// its completion routine run on the way back, and freed.
#include <benchmark/benchmark.h>

#include "io/io_manager.h"
#include "machine/machine.h"

namespace {

struct Filter {
    PDEVICE_OBJECT lower;
};

NTSTATUS NTAPI FilterCompletion(PDEVICE_OBJECT device, PIRP irp, PVOID context) {
    UNREFERENCED_PARAMETER(device);
    UNREFERENCED_PARAMETER(context);
    if (irp->PendingReturned) IoMarkIrpPending(irp);
    return STATUS_SUCCESS;
}

NTSTATUS NTAPI FilterDispatch(PDEVICE_OBJECT device, PIRP irp) {
    IoCopyCurrentIrpStackLocationToNext(irp);
    IoSetCompletionRoutine(irp, &FilterCompletion, nullptr, TRUE, TRUE, TRUE);
    return IoCallDriver(static_cast<Filter*>(device->DeviceExtension)->lower, irp);
}

NTSTATUS NTAPI LowerDispatch(PDEVICE_OBJECT device, PIRP irp) {
    UNREFERENCED_PARAMETER(device);
    irp->IoStatus.Status = STATUS_SUCCESS;
    irp->IoStatus.Information = 0;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return STATUS_SUCCESS;
}

NTSTATUS NTAPI FilterEntry(PDRIVER_OBJECT driver, PUNICODE_STRING) {
    driver->MajorFunction[IRP_MJ_INTERNAL_DEVICE_CONTROL] = &FilterDispatch;
    return STATUS_SUCCESS;
}

NTSTATUS NTAPI LowerEntry(PDRIVER_OBJECT driver, PUNICODE_STRING) {
    driver->MajorFunction[IRP_MJ_INTERNAL_DEVICE_CONTROL] = &LowerDispatch;
    return STATUS_SUCCESS;
}

void BM_IrpThroughTwoDevices(benchmark::State& state) {
    qv::MachineConfig config;
    // One thread and no other work: what is measured is the I/O path, not
    // the scheduler's choices.
    config.switchPercent = 0;
    qv::Machine machine(config);
    const qv::RunResult result = machine.RunThread("bench", [&state] {
        NTSTATUS status;
        PDRIVER_OBJECT lowerDriver = qv::Io().LoadDriver(u"\\Driver\\Lower", &LowerEntry, &status);
        PDRIVER_OBJECT filterDriver = qv::Io().LoadDriver(u"\\Driver\\Filter", &FilterEntry, &status);
        PDEVICE_OBJECT lower;
        PDEVICE_OBJECT filter;
        IoCreateDevice(lowerDriver, 0, nullptr, FILE_DEVICE_UNKNOWN, 0, FALSE, &lower);
        IoCreateDevice(filterDriver, sizeof(Filter), nullptr, FILE_DEVICE_UNKNOWN, 0, FALSE, &filter);
        static_cast<Filter*>(filter->DeviceExtension)->lower = IoAttachDeviceToDeviceStack(filter, lower);

        for (auto _ : state) {
            PIRP irp = IoAllocateIrp(filter->StackSize, FALSE);
            IoGetNextIrpStackLocation(irp)->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
            benchmark::DoNotOptimize(IoCallDriver(filter, irp));
            IoFreeIrp(irp);
        }

        IoDetachDevice(lower);
        IoDeleteDevice(filter);
        IoDeleteDevice(lower);
        qv::Io().UnloadDriver(filterDriver);
        qv::Io().UnloadDriver(lowerDriver);
    });
    if (!result.Ok()) state.SkipWithError(result.report.c_str());
    state.SetItemsProcessed(state.iterations());
    state.SetLabel("items = IRPs sent and completed");
}
BENCHMARK(BM_IrpThroughTwoDevices);

} // namespace
