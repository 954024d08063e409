// IRPs down and up a stack of layers: completion routines, the pending
// state, cancellation, and the device objects the stack is made of.
#include <gtest/gtest.h>

#include "platform/io_test_drivers.h"

namespace qv::test {
namespace {

// bottom <- middle <- top (forwarding with a routine), all of one driver.
// The top is attached to the bottom and must land on the middle.
struct ThreeLayers {
    PDEVICE_OBJECT bottom, middle, top;
    std::vector<Seen> seen;
    Layer creator; // frees its IRP itself, so its routine stops completion

    ThreeLayers(Role bottomRole, Role middleRole) {
        PDRIVER_OBJECT driver = Load(u"\\Driver\\Layers");
        bottom = AddLayer(driver, bottomRole);
        middle = AddLayer(driver, middleRole, bottom);
        top = AddLayer(driver, Role::Forward, bottom);
        for (PDEVICE_OBJECT device : {bottom, middle, top}) LayerOf(device).seen = &seen;
        creator.seen = &seen;
        creator.routineResult = STATUS_MORE_PROCESSING_REQUIRED;
    }
};

TEST(IoIrp, CompletionRoutinesRunBottomUpAndMoreProcessingStopsThem) {
    Machine machine;
    RunOk(machine, [] {
        ThreeLayers stack(Role::Complete, Role::Forward);
        EXPECT_EQ(stack.top->StackSize, 3);
        LayerOf(stack.middle).routineResult = STATUS_MORE_PROCESSING_REQUIRED;
        NTSTATUS result;
        PIRP irp = SendIrp(stack.top, stack.creator, &result);
        ASSERT_EQ(stack.seen.size(), 1u);
        EXPECT_EQ(stack.seen[0].device, stack.middle);

        // The middle driver owns the IRP again; completing it once more is
        // legal and goes on from where completion stopped.
        IoCompleteRequest(irp, IO_NO_INCREMENT);
        ASSERT_EQ(stack.seen.size(), 3u);
        EXPECT_EQ(stack.seen[1].layer, &LayerOf(stack.top));
        EXPECT_EQ(stack.seen[1].device, stack.top);
        EXPECT_EQ(stack.seen[2].layer, &stack.creator);
        EXPECT_EQ(stack.seen[2].device, nullptr) << "the creator's routine is above every device";
        IoFreeIrp(irp);
        RemoveStack(stack.top);
    });
}

TEST(IoIrp, InvokeFlagsChooseWhichOutcomesReachARoutine) {
    Machine machine;
    RunOk(machine, [] {
        PDEVICE_OBJECT device = AddLayer(Load(u"\\Driver\\Flags"), Role::Complete);
        std::vector<Seen> seen;
        Layer creator{.routineResult = STATUS_MORE_PROCESSING_REQUIRED, .seen = &seen};
        struct Case {
            NTSTATUS status;
            BOOLEAN cancel, onSuccess, onError, onCancel;
            bool invoked;
        } const cases[] = {
            {STATUS_BUFFER_OVERFLOW, FALSE, TRUE, FALSE, FALSE, false}, // warnings fail NT_SUCCESS
            {STATUS_BUFFER_OVERFLOW, FALSE, FALSE, TRUE, FALSE, true},
            {STATUS_CANCELLED, FALSE, TRUE, FALSE, TRUE, false}, // the status alone is not a cancel
            {STATUS_SUCCESS, TRUE, FALSE, FALSE, TRUE, true},
        };
        for (const Case& c : cases) {
            seen.clear();
            LayerOf(device).status = c.status;
            PIRP irp = IoAllocateIrp(device->StackSize, FALSE);
            IoGetNextIrpStackLocation(irp)->MajorFunction = IRP_MJ_DEVICE_CONTROL;
            IoSetCompletionRoutine(irp, &LayerCompletion, &creator, c.onSuccess, c.onError, c.onCancel);
            irp->Cancel = c.cancel;
            IoCallDriver(device, irp);
            EXPECT_EQ(seen.size(), c.invoked ? 1u : 0u) << "status " << std::hex << c.status;
            IoFreeIrp(irp);
        }
        RemoveStack(device);
    });
}

TEST(IoIrp, PendingReturnedTravelsUpThroughLocationsWithoutARoutine) {
    Machine machine;
    RunOk(machine, [] {
        ThreeLayers stack(Role::Pend, Role::ForwardWithoutRoutine);
        NTSTATUS result;
        PIRP irp = SendIrp(stack.top, stack.creator, &result);
        EXPECT_EQ(result, STATUS_PENDING);
        IoCompleteRequest(LayerOf(stack.bottom).pended, IO_NO_INCREMENT);
        ASSERT_EQ(stack.seen.size(), 2u);
        EXPECT_TRUE(stack.seen[0].pendingReturned) << "the top must see the bottom's pending state";
        EXPECT_TRUE(stack.seen[1].pendingReturned) << "the top's routine marked its own location";
        IoFreeIrp(irp);

        stack.seen.clear();
        LayerOf(stack.bottom).role = Role::Complete;
        IoFreeIrp(SendIrp(stack.top, stack.creator, &result));
        ASSERT_EQ(stack.seen.size(), 2u);
        EXPECT_FALSE(stack.seen[0].pendingReturned || stack.seen[1].pendingReturned);
        RemoveStack(stack.top);
    });
}

void NTAPI CancelPended(PDEVICE_OBJECT device, PIRP irp) {
    LayerOf(device).pended = nullptr;
    IoReleaseCancelSpinLock(irp->CancelIrql);
    irp->IoStatus.Status = STATUS_CANCELLED;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
}

TEST(IoIrp, CancelCallsTheCancelRoutineWithItsDeviceOrReportsThereIsNone) {
    Machine machine;
    RunOk(machine, [] {
        ThreeLayers stack(Role::Pend, Role::Forward);
        NTSTATUS result;
        PIRP irp = SendIrp(stack.top, stack.creator, &result);

        EXPECT_FALSE(IoCancelIrp(irp));
        EXPECT_TRUE(irp->Cancel);
        EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL) << "the cancel spin lock must have been released";
        EXPECT_TRUE(stack.seen.empty());

        IoSetCancelRoutine(irp, &CancelPended);
        EXPECT_TRUE(IoCancelIrp(irp));
        EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL);
        EXPECT_EQ(LayerOf(stack.bottom).pended, nullptr) << "the routine must get the bottom device";
        EXPECT_EQ(stack.seen.size(), 3u);
        IoFreeIrp(irp);
        RemoveStack(stack.top);
    });
}

TEST(IoDevice, DefaultDispatchExclusiveFlagAndNames) {
    Machine machine;
    RunOk(machine, [] {
        PDRIVER_OBJECT driver = Load(u"\\Driver\\Devices");
        UNICODE_STRING name;
        RtlInitUnicodeString(&name, u"\\Device\\Reader0");
        PDEVICE_OBJECT first = nullptr, second = nullptr;
        ASSERT_EQ(IoCreateDevice(driver, sizeof(Layer), &name, FILE_DEVICE_SMARTCARD, 0, TRUE, &first), STATUS_SUCCESS);
        EXPECT_EQ(first->Flags, static_cast<ULONG>(DO_EXCLUSIVE | DO_DEVICE_INITIALIZING));
        EXPECT_EQ(IoCreateDevice(driver, 0, &name, FILE_DEVICE_SMARTCARD, 0, FALSE, &second),
                  STATUS_OBJECT_NAME_COLLISION);
        ASSERT_EQ(IoCreateDevice(driver, 0, nullptr, FILE_DEVICE_SMARTCARD, 0, FALSE, &second), STATUS_SUCCESS);
        EXPECT_EQ(driver->DeviceObject, second);
        EXPECT_EQ(second->NextDevice, first);

        // No handler for reads: the default one fails the request.
        Layer creator;
        NTSTATUS result;
        IoFreeIrp(SendIrp(first, creator, &result, IRP_MJ_READ));
        EXPECT_EQ(result, STATUS_INVALID_DEVICE_REQUEST);

        IoDeleteDevice(first);
        EXPECT_EQ(second->NextDevice, nullptr);
        ASSERT_EQ(IoCreateDevice(driver, 0, &name, FILE_DEVICE_SMARTCARD, 0, FALSE, &first), STATUS_SUCCESS)
            << "a deleted device's name is free again";
        IoDeleteDevice(first);
        IoDeleteDevice(second);
        Io().UnloadDriver(driver);
    });
}

} // namespace
} // namespace qv::test
