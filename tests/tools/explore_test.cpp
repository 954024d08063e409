// The schedule explorer's engine on a story with a race of its own making,
// its stories under the default schedule, and `qvsim explore` as a program.
#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <set>
#include <string>

#include "explore/explore.h"
#include "qvsim_program_support.h"
#include "support/kernel_run.h"

namespace qv::explore {
namespace {

// Two threads add one to a shared count without a lock, a switch point
// between reading and writing it: only a schedule that switches there loses
// an update. The count is an atomic read and an atomic write, not one
// step, so the update can be lost while the race detector's build has
// nothing to report about the test itself.
class LostUpdate final : public Story {
  public:
    NTSTATUS Setup(harness::ReaderMachine&) override { return STATUS_SUCCESS; }
    void Race(harness::ReaderMachine&) override {
        for (const char* name : {"first", "second"}) {
            K().Spawn(name, [this] {
                const LONG seen = count_.load();
                InterlockedCompareExchange(&spare_, 0, 0);
                count_.store(seen + 1);
            });
        }
    }
    std::vector<std::string> Check(harness::ReaderMachine&) override {
        if (count_ == 2) return {};
        return {"an update was lost: the count is " + std::to_string(count_.load())};
    }

  private:
    std::atomic<LONG> count_ = 0;
    LONG spare_ = 0;
};

const std::vector<Scenario>& RaceScenarios() {
    static const std::vector<Scenario> scenarios = {
        {"lost-update", "two unlocked increments", [] { return std::make_unique<LostUpdate>(); }}};
    return scenarios;
}

ExploreResult ExploreRace(unsigned preemptions, unsigned jobs, std::vector<ScheduleRun>* failures) {
    ExploreOptions options;
    options.preemptions = preemptions;
    options.jobs = jobs;
    options.onFailure = [failures](const ScheduleRun& run) { failures->push_back(run); };
    return Explore(RaceScenarios().front(), options);
}

TEST(Explorer, TheDefaultScheduleAloneDoesNotLoseTheUpdate) {
    std::vector<ScheduleRun> failures;
    const ExploreResult result = ExploreRace(0, 0, &failures);
    EXPECT_EQ(result.schedules, 1u);
    EXPECT_EQ(result.failing, 0u);
}

TEST(Explorer, OnePreemptionFindsTheLostUpdateAndItsTokenReplaysIt) {
    // In this process (the race detector's build must not fork) and in
    // worker processes: the same schedules, the same verdicts.
    std::vector<unsigned> modes = {0};
    if (!test::kRaceDetectorBuild) modes.push_back(2);
    std::set<std::string> tokensBefore;
    for (unsigned jobs : modes) {
        std::vector<ScheduleRun> failures;
        const ExploreResult result = ExploreRace(1, jobs, &failures);
        EXPECT_GT(result.schedules, 1u) << jobs << " jobs";
        ASSERT_GT(result.failing, 0u) << jobs << " jobs";
        EXPECT_EQ(failures.size(), result.failing);
        std::set<std::string> tokens;
        for (const ScheduleRun& run : failures) {
            EXPECT_NE(run.failure.find("an update was lost"), std::string::npos) << run.failure;
            const std::string token = ReplayToken(RaceScenarios().front(), run.departures);
            tokens.insert(token);
            const std::optional<ParsedToken> parsed = ParseReplayToken(token, RaceScenarios());
            ASSERT_TRUE(parsed.has_value()) << token;
            EXPECT_FALSE(RunSchedule(*parsed->scenario, parsed->departures).passed) << token;
        }
        if (!tokensBefore.empty()) {
            EXPECT_EQ(tokens, tokensBefore);
        }
        tokensBefore = tokens;
    }
}

TEST(Explorer, TheScheduleCapStopsTheExploration) {
    ExploreOptions options;
    options.preemptions = 2;
    options.jobs = 0;
    options.maxSchedules = 3;
    const ExploreResult result = Explore(RaceScenarios().front(), options);
    EXPECT_EQ(result.schedules, 3u);
    EXPECT_TRUE(result.limitReached);
}

TEST(Explorer, TokensNameAStoryAndASchedule) {
    EXPECT_FALSE(ParseReplayToken("lost-update", RaceScenarios()).has_value());
    EXPECT_FALSE(ParseReplayToken("no-such-story:-", RaceScenarios()).has_value());
    EXPECT_FALSE(ParseReplayToken("lost-update:1.0", RaceScenarios()).has_value());
    const std::optional<ParsedToken> parsed = ParseReplayToken("lost-update:4.1-9.2", RaceScenarios());
    ASSERT_TRUE(parsed.has_value());
    EXPECT_EQ(parsed->departures, (std::vector<ScheduleDeparture>{{4, 1}, {9, 2}}));
}

// Every story of the driver's passes under the default schedule: what the
// exploration departs from is sound.
TEST(ExplorerStories, EveryStoryPassesUnderTheDefaultSchedule) {
    for (const Scenario& scenario : Scenarios()) {
        const ScheduleRun run = RunSchedule(scenario, {});
        EXPECT_TRUE(run.passed) << scenario.name << ": " << run.failure;
        EXPECT_FALSE(run.alternatives.empty()) << scenario.name << " offered no decision to explore";
    }
}

// Schedules in which the explorer found the driver at fault, each now
// passing; every departure of each is still taken, so they still steer the
// run into the same corner:
// - a T=1 transmit past the gate's wait while a query-stop found no request
//   inside, then met the stop that unconfigured the reader under it;
// - a kernel-mode card wait that stored itself after the removal had swept
//   for waits, so that the device was deleted with it pending (each
//   departure here keeps the ready threads waiting for a deadline);
// - a cold reset, and a T=1 exchange, under way as the reader went to sleep,
//   whose end started the poller's timer again, or sent its blocks, to the
//   suspended reader.
TEST(ExplorerRegressions, SchedulesThatFoundFaultsPass) {
    for (const char* token : {"stop-t1-cancel:1.1-8.1", "surprise-kernel-t1-wait:32.1-64.1", "sleep-t0-power:0.1-18.1",
                              "hibernate-power-cancel:-", "sleep-t1-wait:0.1-44.1"}) {
        const std::optional<ParsedToken> parsed = ParseReplayToken(token);
        ASSERT_TRUE(parsed.has_value()) << token;
        const ScheduleRun run = RunSchedule(*parsed->scenario, parsed->departures);
        EXPECT_TRUE(run.passed) << token << ": " << run.failure;
        EXPECT_EQ(run.unserved, 0u) << token;
    }
}

TEST(QvsimExplore, ListsTheStoriesAndEndsWithTheCount) {
    const test::ProgramRun list = test::Qvsim("explore --list");
    EXPECT_EQ(list.status, 0);
    EXPECT_EQ(list.Lines().size(), Scenarios().size());
    for (const Scenario& scenario : Scenarios()) EXPECT_TRUE(list.Has(scenario.name + " ")) << scenario.name;

    const std::string name = Scenarios().front().name;
    const test::ProgramRun run = test::Qvsim("explore " + name + " --preemptions 1 --max-schedules 20 -j 1");
    ASSERT_FALSE(run.Lines().empty());
    EXPECT_EQ(run.Lines().back(), "qvsim explore: " + name + ": 20 schedules, 0 failing (stopped at --max-schedules)");
    EXPECT_EQ(run.status, 0);
}

TEST(QvsimExplore, AMistakeInTheCommandLineIsNamed) {
    EXPECT_EQ(test::Qvsim("explore").status, 2);
    EXPECT_EQ(test::Qvsim("explore no-such-story").status, 2);
    const test::ProgramRun token = test::Qvsim("explore --replay stop-t0:1.x", {}, true);
    EXPECT_EQ(token.status, 2);
    EXPECT_TRUE(token.Has("no replay token")) << token.out;
}

TEST(QvsimExplore, AReplayPrintsTheTraceAndTheVerdict) {
    const std::string name = Scenarios().front().name;
    const test::ProgramRun run = test::Qvsim("explore --replay " + name + ":-");
    EXPECT_EQ(run.status, 0);
    EXPECT_TRUE(run.Has("explore: decision 0:")) << "the trace names the decisions";
    ASSERT_FALSE(run.Lines().empty());
    EXPECT_EQ(run.Lines().back(), "qvsim explore: " + name + ":-: passes");
}

} // namespace
} // namespace qv::explore
