// The systematic scheduling mode that the schedule explorer drives: its
// default schedule, departures at switch points and after waits, the wait
// for the next deadline, and the schedule's text form.
#include <gtest/gtest.h>

#include <array>
#include <atomic>
#include <memory>
#include <string>

#include "kernel/schedule_script.h"
#include "kernel/scheduler.h"
#include "support/kernel_run.h"

namespace qv {
namespace {

struct Systematic {
    explicit Systematic(std::vector<ScheduleDeparture> departures = {})
        : script(std::make_shared<ScheduleScript>(std::move(departures))), machine(Config(script)) {}
    static MachineConfig Config(std::shared_ptr<ScheduleScript> script) {
        MachineConfig config;
        config.scheduling = SchedulingMode::Systematic;
        config.schedule = std::move(script);
        return config;
    }
    std::shared_ptr<ScheduleScript> script;
    Machine machine;
};

// Two threads each note their letter at four switch points (interlocked
// operations); the log shows how they interleaved. The log is written with
// atomics, which the race detector's build needs: the threads take turns,
// but no kernel object orders their notes.
std::string Interleaving(Systematic& systematic, bool exploring) {
    constexpr std::size_t kNotes = 8;
    std::array<std::atomic<char>, kNotes> notes{};
    std::atomic<std::size_t> written = 0;
    LONG clock = 0;
    auto body = [&](char letter) {
        for (int i = 0; i < 4; ++i) {
            InterlockedIncrement(&clock);
            notes[written++ % kNotes] = letter;
        }
    };
    // Explored from here: the processors' deferred-call contexts have
    // started and wait for work.
    RunResult run = systematic.machine.RunThread("start", [&] {
        systematic.script->SetExploring(exploring);
        K().Spawn("a", [&] { body('a'); });
        K().Spawn("b", [&] { body('b'); });
    });
    EXPECT_TRUE(run.Ok()) << run.report;
    std::string log;
    for (std::size_t i = 0; i < written && i < kNotes; ++i) log += notes[i].load();
    return log;
}

// The decisions of a run: the choice of 'a' or 'b' once 'start' has ended
// (point 0), then each of the four switch points of 'a' (1 to 4), with 'b'
// the one alternative. Once 'a' has ended, 'b' has no one to give way to.
TEST(SystematicSchedule, TheRunningThreadKeepsTheProcessorUntilItEnds) {
    for (int run = 0; run < 2; ++run) {
        Systematic systematic;
        EXPECT_EQ(Interleaving(systematic, true), "aaaabbbb");
        EXPECT_EQ(systematic.script->Alternatives(), (std::vector<std::uint32_t>{1, 1, 1, 1, 1}));
    }
}

TEST(SystematicSchedule, ADepartureAtASwitchPointHandsTheProcessorToTheChosenThread) {
    // The departure at the second of 'a''s switch points (after its first
    // letter): 'b' runs there and keeps the processor until it ends.
    Systematic departing({{2, 1}});
    const std::string log = Interleaving(departing, true);
    EXPECT_EQ(log.find('b'), 1u) << log;
    EXPECT_EQ(log, "abbbbaaa");
    EXPECT_EQ(departing.script->Unserved(), 0u);
}

TEST(SystematicSchedule, ADepartureAfterAWaitTakesAnotherThreadFirst) {
    Systematic departing({{0, 1}});
    EXPECT_EQ(Interleaving(departing, true), "bbbbaaaa");
}

TEST(SystematicSchedule, OutsideExplorationThereAreNoDecisionsAndNoDepartures) {
    Systematic systematic({{0, 1}});
    EXPECT_EQ(Interleaving(systematic, false), "aaaabbbb");
    EXPECT_EQ(systematic.script->Points(), 0u);
    EXPECT_EQ(systematic.script->Unserved(), 1u);
}

TEST(SystematicSchedule, ADepartureTheRunNeverMeetsIsLeftUnserved) {
    Systematic systematic({{1000, 1}, {1001, 7}});
    EXPECT_EQ(Interleaving(systematic, true), "aaaabbbb");
    EXPECT_EQ(systematic.script->Unserved(), 2u);
}

// 'late' waits 10 ms; 'ready' is ready at once. Whether 'ready' may be kept
// waiting until that deadline is one of the choices after 'late' waits.
TEST(SystematicSchedule, ReadyThreadsMayBeKeptWaitingUntilTheNextDeadline) {
    auto run = [](std::vector<ScheduleDeparture> departures, std::vector<std::uint32_t>* alternatives) {
        Systematic systematic(std::move(departures));
        std::atomic<VirtualTime> readyRanAt = 0;
        RunResult result = systematic.machine.RunThread("start", [&] {
            systematic.script->SetExploring(true);
            K().Spawn("late", [] {
                LARGE_INTEGER interval = test::Relative(10);
                KeDelayExecutionThread(KernelMode, FALSE, &interval);
            });
            K().Spawn("ready", [&] { readyRanAt = K().Now(); });
        });
        EXPECT_TRUE(result.Ok()) << result.report;
        if (alternatives != nullptr) *alternatives = systematic.script->Alternatives();
        return readyRanAt.load();
    };
    std::vector<std::uint32_t> alternatives;
    EXPECT_LT(run({}, &alternatives), 10 * kTicksPerMillisecond);
    // The first decision where 'ready' is the only thread in line offers
    // exactly one choice: to wait for the deadline.
    bool waited = false;
    for (std::uint32_t point = 0; point < alternatives.size() && !waited; ++point) {
        if (alternatives[point] == 0) continue;
        waited = run({{point, alternatives[point]}}, nullptr) >= 10 * kTicksPerMillisecond;
    }
    EXPECT_TRUE(waited) << "no schedule kept the ready thread waiting for the deadline";
}

TEST(ScheduleText, RoundTripsAndRefusesWhatIsNoSchedule) {
    const std::vector<ScheduleDeparture> departures = {{3, 1}, {17, 2}, {400, 1}};
    EXPECT_EQ(ScheduleText(departures), "3.1-17.2-400.1");
    EXPECT_EQ(ParseScheduleText("3.1-17.2-400.1"), departures);
    EXPECT_EQ(ScheduleText({}), "-");
    EXPECT_EQ(ParseScheduleText("-"), std::vector<ScheduleDeparture>{});
    for (const char* wrong : {"", "3", "3.", "3.0", ".1", "3.1-", "3.1--4.1", "5.1-4.1", "3.1-3.2", "x.1", "3.1 "}) {
        EXPECT_FALSE(ParseScheduleText(wrong).has_value()) << "'" << wrong << "'";
    }
}

} // namespace
} // namespace qv
