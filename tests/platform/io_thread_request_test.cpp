// Requests built by IoBuildDeviceIoControlRequest belong to the thread that
// built them: their completion finishes as an APC on that thread, only while
// it runs below APC_LEVEL, and the thread's end cancels them.
#include <gtest/gtest.h>

#include <vector>

#include "io/io_state.h"
#include "platform/io_test_drivers.h"
#include "harness/seeds.h"

namespace qv::test {
namespace {

void NTAPI CancelPended(PDEVICE_OBJECT, PIRP irp) {
    IoReleaseCancelSpinLock(irp->CancelIrql);
    irp->IoStatus.Status = STATUS_CANCELLED;
    irp->IoStatus.Information = 0;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
}

// Pends every request with a cancel routine, so that IoCancelIrp ends it.
NTSTATUS NTAPI PendCancellably(PDEVICE_OBJECT device, PIRP irp) {
    IoMarkIrpPending(irp);
    IoSetCancelRoutine(irp, &CancelPended);
    LayerOf(device).pended = irp;
    return STATUS_PENDING;
}

struct Request {
    KEVENT done;
    IO_STATUS_BLOCK iosb{};
    PIRP Build(PDEVICE_OBJECT device) {
        KeInitializeEvent(&done, NotificationEvent, FALSE);
        iosb.Status = STATUS_UNSUCCESSFUL;
        return IoBuildDeviceIoControlRequest(0, device, nullptr, 0, nullptr, 0, TRUE, &done, &iosb);
    }
};

void Complete(PIRP irp, NTSTATUS status) {
    irp->IoStatus.Status = status;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
}

TEST(ThreadRequest, CompletionFinishesOnTheRequestingThread) {
    for (std::uint64_t seed : harness::RunSeeds(16)) {
        SCOPED_TRACE(testing::Message() << "seed " << seed);
        MachineConfig config;
        config.seed = seed;
        Machine machine(config);
        PDEVICE_OBJECT device = nullptr;
        Request request;
        KEVENT sent;
        KeInitializeEvent(&sent, NotificationEvent, FALSE);
        machine.Spawn("requester", [&] {
            device = AddLayer(Load(u"\\Driver\\Layers"), Role::Pend);
            EXPECT_EQ(IoCallDriver(device, request.Build(device)), STATUS_PENDING);
            KeSetEvent(&sent, IO_NO_INCREMENT, FALSE);
            EXPECT_EQ(KeWaitForSingleObject(&request.done, Executive, KernelMode, FALSE, nullptr), STATUS_SUCCESS);
            EXPECT_EQ(request.iosb.Status, STATUS_SUCCESS);
            EXPECT_EQ(Io().Internals().irps.LiveCount(), 0u);
            RemoveStack(device);
        });
        machine.Spawn("completer", [&] {
            KeWaitForSingleObject(&sent, Executive, KernelMode, FALSE, nullptr);
            Complete(LayerOf(device).pended, STATUS_SUCCESS);
            // Nothing of the request is finished until the requester runs
            // (which it may do once the event's state has been read).
            EXPECT_EQ(request.iosb.Status, STATUS_UNSUCCESSFUL);
            EXPECT_EQ(KeReadStateEvent(&request.done), 0);
        });
        const RunResult result = machine.Run();
        EXPECT_TRUE(result.Ok()) << result.report;
    }
}

TEST(ThreadRequest, AWaitAtApcLevelNeverSeesTheCompletion) {
    for (std::uint64_t seed : harness::RunSeeds(16)) {
        SCOPED_TRACE(testing::Message() << "seed " << seed);
        MachineConfig config;
        config.seed = seed;
        Machine machine(config);
        PDEVICE_OBJECT device = nullptr;
        Request request;
        KEVENT sent;
        KeInitializeEvent(&sent, NotificationEvent, FALSE);
        machine.Spawn("requester", [&] {
            device = AddLayer(Load(u"\\Driver\\Layers"), Role::Pend);
            IoCallDriver(device, request.Build(device));
            KIRQL old;
            KeRaiseIrql(APC_LEVEL, &old);
            KeSetEvent(&sent, IO_NO_INCREMENT, FALSE);
            KeWaitForSingleObject(&request.done, Executive, KernelMode, FALSE, nullptr);
            ADD_FAILURE() << "the wait at APC_LEVEL ended";
        });
        machine.Spawn("completer", [&] {
            KeWaitForSingleObject(&sent, Executive, KernelMode, FALSE, nullptr);
            Complete(LayerOf(device).pended, STATUS_SUCCESS);
        });
        const RunResult result = machine.Run();
        EXPECT_EQ(result.outcome, RunOutcome::Deadlock) << result.report;
        EXPECT_NE(result.report.find("'requester' waits for notification event"), std::string::npos) << result.report;
    }
}

TEST(ThreadRequest, TheEndOfItsThreadCancelsTheRequest) {
    Machine machine;
    Request request; // outlives the requester, as a driver's own record would
    std::pair<PDEVICE_OBJECT, Request*> context{nullptr, &request};
    RunOk(machine, [&] {
        PDRIVER_OBJECT driver = Load(u"\\Driver\\Cancellable");
        driver->MajorFunction[IRP_MJ_INTERNAL_DEVICE_CONTROL] = &PendCancellably;
        PDEVICE_OBJECT device = AddLayer(driver, Role::Pend);
        context.first = device;
        HANDLE handle;
        ASSERT_EQ(PsCreateSystemThread(
                      &handle, THREAD_ALL_ACCESS, nullptr, nullptr, nullptr,
                      +[](PVOID context) {
                          auto* pair = static_cast<std::pair<PDEVICE_OBJECT, Request*>*>(context);
                          EXPECT_EQ(IoCallDriver(pair->first, pair->second->Build(pair->first)), STATUS_PENDING);
                          // Ends without waiting for its request.
                      },
                      &context),
                  STATUS_SUCCESS);
        PVOID thread;
        ObReferenceObjectByHandle(handle, THREAD_ALL_ACCESS, *PsThreadType, KernelMode, &thread, nullptr);
        KeWaitForSingleObject(thread, Executive, KernelMode, FALSE, nullptr);
        ObDereferenceObject(thread);
        ZwClose(handle);
        EXPECT_EQ(request.iosb.Status, STATUS_CANCELLED);
        EXPECT_EQ(KeReadStateEvent(&request.done), 1);
        EXPECT_EQ(Io().Internals().irps.LiveCount(), 0u);
        RemoveStack(device);
    });
}

TEST(ThreadRequest, CompletionStoppedByMoreProcessingRequiredResumesOnASecondComplete) {
    Machine machine;
    RunOk(machine, [] {
        PDRIVER_OBJECT driver = Load(u"\\Driver\\Layers");
        PDEVICE_OBJECT bottom = AddLayer(driver, Role::Complete);
        PDEVICE_OBJECT top = AddLayer(driver, Role::Forward, bottom);
        LayerOf(top).routineResult = STATUS_MORE_PROCESSING_REQUIRED;
        Request request;
        PIRP irp = request.Build(top);
        EXPECT_EQ(IoCallDriver(top, irp), STATUS_SUCCESS);
        // The top driver's routine kept the IRP: nothing reached the caller.
        EXPECT_EQ(KeReadStateEvent(&request.done), 0);
        // Later that driver completes it again, and completion goes on.
        irp->IoStatus.Status = STATUS_DEVICE_BUSY;
        IoCompleteRequest(irp, IO_NO_INCREMENT);
        EXPECT_EQ(KeReadStateEvent(&request.done), 1);
        EXPECT_EQ(request.iosb.Status, STATUS_DEVICE_BUSY);
        EXPECT_EQ(Io().Internals().irps.LiveCount(), 0u);
        RemoveStack(top);
    });
}

// The creator of a built request sets its own completion routine in the
// first stack location, keeps the IRP there with
// STATUS_MORE_PROCESSING_REQUIRED, looks at it, and completes it again:
// CurrentLocation stands at StackCount + 1, which Windows allows, and the I/O
// manager then finishes the request for its thread (status block, event,
// IRP freed). A third completion is one too many.
TEST(ThreadRequest, ACreatorsOwnRoutineKeepsTheRequestAndItsSecondCompleteFinishesIt) {
    Machine machine;
    RunOk(machine, [] {
        PDEVICE_OBJECT device = AddLayer(Load(u"\\Driver\\Layers"), Role::Complete);
        LayerOf(device).status = STATUS_DEVICE_BUSY;
        Request request;
        PIRP irp = request.Build(device);
        std::vector<Seen> seen;
        Layer creator{.routineResult = STATUS_MORE_PROCESSING_REQUIRED, .seen = &seen};
        IoSetCompletionRoutine(irp, &LayerCompletion, &creator, TRUE, TRUE, TRUE);
        EXPECT_EQ(IoCallDriver(device, irp), STATUS_DEVICE_BUSY);
        ASSERT_EQ(seen.size(), 1u);
        EXPECT_EQ(seen[0].device, nullptr) << "the creator's routine gets no device";
        EXPECT_EQ(irp->CurrentLocation, irp->StackCount + 1);
        EXPECT_EQ(KeReadStateEvent(&request.done), 0) << "kept: nothing reached the thread";
        EXPECT_EQ(Io().Internals().irps.LiveCount(), 1u);

        irp->IoStatus.Status = STATUS_SUCCESS;
        IoCompleteRequest(irp, IO_NO_INCREMENT);
        EXPECT_EQ(seen.size(), 1u) << "no routine runs twice";
        EXPECT_EQ(KeReadStateEvent(&request.done), 1);
        EXPECT_EQ(request.iosb.Status, STATUS_SUCCESS);
        EXPECT_EQ(Io().Internals().irps.LiveCount(), 0u);
        RemoveStack(device);
    });
    RunExpectingBugCheck(
        [] {
            PDEVICE_OBJECT device = AddLayer(Load(u"\\Driver\\Layers"), Role::Complete);
            Request request;
            PIRP irp = request.Build(device);
            Layer creator{.routineResult = STATUS_MORE_PROCESSING_REQUIRED};
            IoSetCompletionRoutine(irp, &LayerCompletion, &creator, TRUE, TRUE, TRUE);
            IoCallDriver(device, irp);
            IoCompleteRequest(irp, IO_NO_INCREMENT);
            IoCompleteRequest(irp, IO_NO_INCREMENT);
        },
        bugcode::MULTIPLE_IRP_COMPLETE_REQUESTS);
}

} // namespace
} // namespace qv::test
