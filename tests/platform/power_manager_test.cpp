// The power manager: system requests to every stack in order, device
// requests of PoRequestPowerIrp, one request of a kind at a time per device
// object, power-pageable stacks served at PASSIVE_LEVEL, and the verifier's
// checks, each shown to fire by a small faulty driver.
#include <gtest/gtest.h>

#include <algorithm>

#include "platform/power_test_drivers.h"
#include "harness/seeds.h"

namespace qv::test {
namespace {

using Lines = std::vector<std::string>;

struct World {
    PDRIVER_OBJECT bus = nullptr;
    PDRIVER_OBJECT function = nullptr;
    std::vector<PowerStack> stacks;
    KSPIN_LOCK lock = 0; // the test drivers' records

    World(Lines* journal, int count) {
        KeInitializeSpinLock(&lock);
        bus = LoadPowerDriver(u"\\Driver\\PowerBus", &BusEntry);
        function = LoadPowerDriver(u"\\Driver\\PowerFunction", &FunctionEntry);
        for (int i = 0; i < count; ++i)
            stacks.push_back(MakePowerStack(bus, function, "dev" + std::to_string(i), journal, &lock));
    }
    World(const World&) = delete;
    World& operator=(const World&) = delete;
    void Destroy() {
        for (auto& stack : stacks) DestroyPowerStack(stack);
        Io().UnloadDriver(function);
        Io().UnloadDriver(bus);
    }
};

TEST(PowerManager, SleepQueriesThenSetsEveryStackChildrenFirstAndWakesInOrder) {
    Machine machine;
    Lines journal;
    RunOk(machine, [&] {
        World world(&journal, 2);
        EXPECT_EQ(power::Sleep(PowerSystemSleeping3), STATUS_SUCCESS);
        EXPECT_EQ(power::SystemState(), PowerSystemSleeping3);
        EXPECT_EQ(power::Sleep(PowerSystemSleeping1), STATUS_INVALID_DEVICE_STATE); // asleep already
        EXPECT_EQ(power::Wake(), STATUS_SUCCESS);
        EXPECT_EQ(power::SystemState(), PowerSystemWorking);
        world.Destroy();
    });
    const Lines expected = {
        "dev1 query S3", "dev1-bus query S3", "dev0 query S3", "dev0-bus query S3",
        // The function driver asks for D3 and passes the system request on
        // once its device request is done.
        "dev1 set S3", "dev1 set D3", "dev1-bus set D3", "dev1 done D3 0", "dev1-bus set S3",
        "dev0 set S3", "dev0 set D3", "dev0-bus set D3", "dev0 done D3 0", "dev0-bus set S3",
        "dev0 set S0", "dev0 set D0", "dev0-bus set D0", "dev0 done D0 0", "dev0-bus set S0",
        "dev1 set S0", "dev1 set D0", "dev1-bus set D0", "dev1 done D0 0", "dev1-bus set S0",
    };
    EXPECT_EQ(journal, expected);
}

TEST(PowerManager, ShutdownIsASleepingStateWithTheShutdownAction) {
    Machine machine;
    Lines journal;
    RunOk(machine, [&] {
        World world(&journal, 1);
        EXPECT_EQ(power::Sleep(PowerSystemShutdown), STATUS_SUCCESS);
        EXPECT_EQ(power::Sleep(PowerSystemWorking), STATUS_INVALID_PARAMETER);
        world.Destroy();
    });
    EXPECT_NE(std::find(journal.begin(), journal.end(), "dev0 set D3"), journal.end());
    EXPECT_NE(std::find(journal.begin(), journal.end(), "dev0-bus set S5"), journal.end());
}

TEST(PowerManager, ARefusedQueryKeepsTheSystemWorkingAndTellsEveryStackAsked) {
    Machine machine;
    Lines journal;
    RunOk(machine, [&] {
        World world(&journal, 2);
        world.stacks[0].Function().failQuery = true; // asked second
        EXPECT_EQ(power::Sleep(PowerSystemHibernate), STATUS_DEVICE_BUSY);
        EXPECT_EQ(power::SystemState(), PowerSystemWorking);
        world.Destroy();
    });
    const Lines expected = {
        "dev1 query S4", "dev1-bus query S4", "dev0 query S4",
        "dev1 set S0", "dev1 set D0", "dev1-bus set D0", "dev1 done D0 0", "dev1-bus set S0",
        "dev0 set S0", "dev0 set D0", "dev0-bus set D0", "dev0 done D0 0", "dev0-bus set S0",
    };
    EXPECT_EQ(journal, expected);
}

// The completion function runs at whatever IRQL the bottom driver completes
// at; a power-pageable stack still gets its requests at PASSIVE_LEVEL, even
// when a completion routine at DISPATCH_LEVEL sends one on.
TEST(PowerManager, PageableStacksGetRequestsAtPassiveLevelWhateverTheCompletionIrql) {
    for (bool atDispatch : {false, true}) {
        Machine machine;
        Lines journal;
        RunOk(machine, [&] {
            World world(&journal, 1);
            world.stacks[0].Bus().completeAtDispatch = atDispatch;
            EXPECT_EQ(power::Sleep(PowerSystemSleeping1), STATUS_SUCCESS);
            EXPECT_EQ(power::Wake(), STATUS_SUCCESS);
            for (KIRQL irql : world.stacks[0].Bus().dispatchIrqls) EXPECT_EQ(irql, PASSIVE_LEVEL);
            for (KIRQL irql : world.stacks[0].Function().dispatchIrqls) EXPECT_EQ(irql, PASSIVE_LEVEL);
            const auto& completions = world.stacks[0].Function().completionIrqls;
            ASSERT_EQ(completions.size(), 2u);
            for (KIRQL irql : completions) EXPECT_EQ(irql, atDispatch ? DISPATCH_LEVEL : PASSIVE_LEVEL);
            world.Destroy();
        });
    }
}

// A device request's end as its completion function saw it. The function
// may run on the power manager's worker thread: the test reads the record
// only after waiting for `done`, which orders the two.
struct Counted {
    Counted() { KeInitializeEvent(&done, NotificationEvent, FALSE); }
    int calls = 0;
    NTSTATUS status = STATUS_PENDING;
    KEVENT done{};
};

void NTAPI CountDone(PDEVICE_OBJECT, UCHAR, POWER_STATE, PVOID context, PIO_STATUS_BLOCK status) {
    auto* counted = static_cast<Counted*>(context);
    counted->calls += 1;
    counted->status = status->Status;
    KeSetEvent(&counted->done, IO_NO_INCREMENT, FALSE);
}

// Windows before Vista lets a device object hold one device power request
// at a time: the second waits for the first's PoStartNextPowerIrp.
TEST(PowerManager, ASecondDeviceRequestWaitsForTheFirstsStartNext) {
    Machine machine;
    Lines journal;
    RunOk(machine, [&] {
        World world(&journal, 1);
        PowerStack& stack = world.stacks[0];
        stack.Function().holdDeviceRequests = true;
        Counted first;
        Counted second;
        POWER_STATE d2;
        d2.DeviceState = PowerDeviceD2;
        EXPECT_EQ(PoRequestPowerIrp(stack.fdo, IRP_MN_SET_POWER, d2, &CountDone, &first, nullptr), STATUS_PENDING);
        EXPECT_EQ(PoRequestPowerIrp(stack.fdo, IRP_MN_SET_POWER, d2, &CountDone, &second, nullptr), STATUS_PENDING);
        LARGE_INTEGER pause = Relative(5);
        KeDelayExecutionThread(KernelMode, FALSE, &pause);
        ASSERT_EQ(stack.Function().held.size(), 1u) << "the second request reached the driver too early";
        stack.Function().holdDeviceRequests = false;
        PIRP irp = stack.Function().held.front();
        stack.Function().held.clear();
        PassDown(stack.Function(), irp);
        KeWaitForSingleObject(&first.done, Executive, KernelMode, FALSE, nullptr);
        KeWaitForSingleObject(&second.done, Executive, KernelMode, FALSE, nullptr);
        // The power manager frees its request once the completion function
        // has returned.
        KeDelayExecutionThread(KernelMode, FALSE, &pause);
        EXPECT_EQ(first.calls, 1);
        EXPECT_EQ(second.calls, 1);
        EXPECT_EQ(first.status, STATUS_SUCCESS);
        EXPECT_EQ(second.status, STATUS_SUCCESS);
        // A system request is of the other kind and is not held up.
        world.Destroy();
    });
}

TEST(PowerManager, PoRequestPowerIrpRefusesOtherMinorFunctionsAndPoSetPowerStateReturnsThePrevious) {
    Machine machine;
    RunOk(machine, [&] {
        World world(nullptr, 1);
        POWER_STATE d3;
        d3.DeviceState = PowerDeviceD3;
        EXPECT_EQ(PoRequestPowerIrp(world.stacks[0].fdo, IRP_MN_POWER_SEQUENCE, d3, &CountDone, nullptr, nullptr),
                  STATUS_INVALID_PARAMETER_2);
        EXPECT_EQ(PoSetPowerState(world.stacks[0].fdo, DevicePowerState, d3).DeviceState, PowerDeviceD0);
        EXPECT_EQ(power::DeviceState(world.stacks[0].fdo), PowerDeviceD3);
        POWER_STATE d0;
        d0.DeviceState = PowerDeviceD0;
        EXPECT_EQ(PoSetPowerState(world.stacks[0].fdo, DevicePowerState, d0).DeviceState, PowerDeviceD3);
        world.Destroy();
    });
}

// ---- The verifier's checks

TEST(PowerVerifier, APowerIrpPassedOnWithoutStartNextPowerIrp) {
    RunExpectingBugCheck(
        [] {
            World world(nullptr, 1);
            world.stacks[0].Function().skipStartNext = true;
            power::Sleep(PowerSystemSleeping3);
        },
        bugcode::DRIVER_POWER_STATE_FAILURE, violation::PowerIrpWithoutStartNext);
}

TEST(PowerVerifier, APowerIrpSentWithIoCallDriver) {
    RunExpectingBugCheck(
        [] {
            World world(nullptr, 1);
            world.stacks[0].Function().useIoCallDriver = true;
            power::Sleep(PowerSystemSleeping3);
        },
        bugcode::DRIVER_VERIFIER_DETECTED_VIOLATION, violation::PowerIrpSentWithIoCallDriver);
}

// A completion function may be called at DISPATCH_LEVEL, where it must not
// wait: the kernel's wait check stops one that does.
TEST(PowerVerifier, ACompletionFunctionThatWaitsAtDispatchLevel) {
    RunExpectingBugCheck(
        [] {
            World world(nullptr, 1);
            world.stacks[0].Bus().completeAtDispatch = true;
            world.stacks[0].Function().blockInCompletion = true;
            power::Sleep(PowerSystemSleeping3);
        },
        bugcode::IRQL_NOT_LESS_OR_EQUAL);
}

} // namespace
} // namespace qv::test
