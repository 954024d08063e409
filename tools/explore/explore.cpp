#include "explore/explore.h"

#include <poll.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <stdexcept>

#include "kernel/status_names.h"

namespace qv::explore {

namespace {

// Every schedule runs the same machine: the departures alone tell runs apart.
constexpr std::uint64_t kExploreSeed = 1;
// Half of the bus's requests complete later, from a deferred routine, so that
// completions on another processor are part of what is explored.
constexpr unsigned kAsyncPercent = 50;
// A child that has not ended after this much host time is stopped: a thread
// that spins without reaching a switch point would otherwise hold the
// exploration for ever.
constexpr unsigned kChildSecondsLimit = 60;
// How many lines of a failure's report a result carries.
constexpr std::size_t kFailureLines = 12;

std::string FirstLines(const std::string& text, std::size_t lines) {
    std::size_t end = 0;
    for (std::size_t i = 0; i < lines && end != std::string::npos; ++i) {
        end = text.find('\n', end == 0 ? 0 : end + 1);
    }
    return end == std::string::npos ? text : text.substr(0, end);
}

std::string RunFailure(std::string_view step, const RunResult& run) {
    return std::string(step) + ": " + FirstLines(run.report, kFailureLines);
}

} // namespace

ScheduleRun RunSchedule(const Scenario& scenario, const std::vector<ScheduleDeparture>& departures,
                        const RunOptions& options) {
    ScheduleRun result;
    result.departures = departures;
    auto script = std::make_shared<ScheduleScript>(departures);
    MachineConfig config;
    config.seed = kExploreSeed;
    config.scheduling = SchedulingMode::Systematic;
    config.schedule = script;
    usb::UsbBusConfig bus;
    bus.asyncPercent = kAsyncPercent;

    // The story owns the simulated reader, which must outlive the machine.
    std::unique_ptr<Story> story = scenario.make();
    harness::ReaderMachine machine(config, bus);
    if (options.trace) {
        machine.Machine().Events().SetListener(
            [&options](std::uint64_t time, std::string_view thread, std::string_view category, std::string_view text) {
                char stamp[32];
                std::snprintf(stamp, sizeof stamp, "[%9.3f] ", static_cast<double>(time) / kTicksPerMillisecond);
                options.trace(std::string(stamp) + std::string(thread) + " " + std::string(category) + ": " +
                              std::string(text));
            });
    }

    NTSTATUS setup = STATUS_UNSUCCESSFUL;
    RunResult run = machine.Run([&] { setup = story->Setup(machine); });
    if (!run.Ok() || !NT_SUCCESS(setup)) {
        result.failure = run.Ok() ? "setup failed: " + NtStatusName(setup) : RunFailure("setup", run);
        return result;
    }

    script->SetExploring(true);
    run = machine.Run([&] { story->Race(machine); });
    script->SetExploring(false);
    result.alternatives = script->Alternatives();
    result.unserved = script->Unserved();
    if (!run.Ok()) {
        result.failure = RunFailure("race", run);
        return result;
    }

    std::vector<std::string> problems;
    run = machine.Run([&] { problems = story->Check(machine); });
    if (!run.Ok()) {
        result.failure = RunFailure("check", run);
        return result;
    }
    if (!problems.empty()) {
        for (std::size_t i = 0; i < problems.size() && i < kFailureLines; ++i) {
            if (i != 0) result.failure += "\n";
            result.failure += problems[i];
        }
        return result;
    }
    run = machine.Shutdown();
    if (!run.Ok()) {
        result.failure = RunFailure("switching the machine off", run);
        return result;
    }
    result.passed = true;
    return result;
}

// ---------------------------------------------------------------------------
// Running schedules in child processes

namespace {

// The result crosses from the child in a simple binary form.
void Put(std::string& out, std::uint32_t value) { out.append(reinterpret_cast<const char*>(&value), sizeof value); }

std::string Serialise(const ScheduleRun& run) {
    std::string out;
    Put(out, run.passed ? 1 : 0);
    Put(out, static_cast<std::uint32_t>(run.failure.size()));
    out += run.failure;
    Put(out, static_cast<std::uint32_t>(run.alternatives.size()));
    for (std::uint32_t a : run.alternatives) Put(out, a);
    return out;
}

bool Take(std::string_view& in, std::uint32_t& value) {
    if (in.size() < sizeof value) return false;
    std::memcpy(&value, in.data(), sizeof value);
    in.remove_prefix(sizeof value);
    return true;
}

bool Deserialise(std::string_view in, ScheduleRun& run) {
    std::uint32_t passed = 0, length = 0, count = 0;
    if (!Take(in, passed) || !Take(in, length) || in.size() < length) return false;
    run.passed = passed == 1;
    run.failure.assign(in.substr(0, length));
    in.remove_prefix(length);
    if (!Take(in, count)) return false;
    run.alternatives.resize(count);
    for (std::uint32_t& a : run.alternatives)
        if (!Take(in, a)) return false;
    return in.empty();
}

void WriteAll(int fd, const std::string& data) {
    std::size_t done = 0;
    while (done < data.size()) {
        const ssize_t n = write(fd, data.data() + done, data.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return;
        done += static_cast<std::size_t>(n);
    }
}

struct Child {
    pid_t pid = -1;
    int fd = -1;
    std::vector<ScheduleDeparture> departures;
    std::string data;
};

Child StartChild(const Scenario& scenario, std::vector<ScheduleDeparture> departures) {
    int pipes[2];
    if (pipe(pipes) != 0) throw std::runtime_error(std::string("pipe: ") + std::strerror(errno));
    const pid_t pid = fork();
    if (pid < 0) throw std::runtime_error(std::string("fork: ") + std::strerror(errno));
    if (pid == 0) {
        close(pipes[0]);
        alarm(kChildSecondsLimit);
        const ScheduleRun run = RunSchedule(scenario, departures);
        WriteAll(pipes[1], Serialise(run));
        close(pipes[1]);
        // Nothing of the parent's (buffered output, destructors) runs here.
        _exit(0);
    }
    close(pipes[1]);
    return Child{pid, pipes[0], std::move(departures), {}};
}

ScheduleRun FinishChild(Child& child) {
    close(child.fd);
    int wstatus = 0;
    while (waitpid(child.pid, &wstatus, 0) < 0 && errno == EINTR) {
    }
    ScheduleRun run;
    run.departures = child.departures;
    if (WIFSIGNALED(wstatus)) {
        const int signal = WTERMSIG(wstatus);
        run.failure = signal == SIGALRM ? "the run did not end within " + std::to_string(kChildSecondsLimit) +
                                              " s of host time"
                                        : std::string("the host process died: ") + strsignal(signal) +
                                              " (a wild or freed pointer?)";
        return run;
    }
    if (!Deserialise(child.data, run)) run.failure = "the run ended without a result";
    run.departures = child.departures;
    return run;
}

} // namespace

ExploreResult Explore(const Scenario& scenario, const ExploreOptions& options) {
    ExploreResult result;
    // Depth first: a schedule's children depart once more, after its last
    // departure, at a decision point of its own run.
    std::vector<std::vector<ScheduleDeparture>> pending{{}};
    std::vector<Child> running;

    auto expand = [&](const ScheduleRun& run) {
        if (run.departures.size() >= options.preemptions) return;
        const std::uint32_t first = run.departures.empty() ? 0 : run.departures.back().point + 1;
        std::vector<std::vector<ScheduleDeparture>> children;
        for (std::uint32_t point = first; point < run.alternatives.size(); ++point) {
            for (std::uint32_t choice = 1; choice <= run.alternatives[point]; ++choice) {
                std::vector<ScheduleDeparture> child = run.departures;
                child.push_back({point, choice});
                children.push_back(std::move(child));
            }
        }
        for (auto it = children.rbegin(); it != children.rend(); ++it) pending.push_back(std::move(*it));
    };
    auto record = [&](const ScheduleRun& run) {
        ++result.schedules;
        if (!run.passed) {
            ++result.failing;
            if (options.onFailure) options.onFailure(run);
        }
        expand(run);
        if (options.onProgress && result.schedules % 100 == 0) options.onProgress(result.schedules, result.failing);
    };
    auto mayStart = [&] {
        return !pending.empty() &&
               (options.maxSchedules == 0 || result.schedules + running.size() < options.maxSchedules);
    };

    if (options.jobs == 0) {
        while (mayStart()) {
            std::vector<ScheduleDeparture> next = std::move(pending.back());
            pending.pop_back();
            record(RunSchedule(scenario, next));
        }
        result.limitReached = !pending.empty();
        return result;
    }

    for (;;) {
        while (running.size() < options.jobs && mayStart()) {
            std::vector<ScheduleDeparture> next = std::move(pending.back());
            pending.pop_back();
            running.push_back(StartChild(scenario, std::move(next)));
        }
        if (running.empty()) break;
        // Read whatever the children wrote; a child is done at end of file.
        std::vector<pollfd> fds;
        for (const Child& child : running) fds.push_back({child.fd, POLLIN, 0});
        if (poll(fds.data(), fds.size(), -1) < 0) {
            if (errno == EINTR) continue;
            throw std::runtime_error(std::string("poll: ") + std::strerror(errno));
        }
        for (std::size_t i = running.size(); i-- > 0;) {
            if (fds[i].revents == 0) continue;
            char buffer[65536];
            const ssize_t n = read(running[i].fd, buffer, sizeof buffer);
            if (n > 0) {
                running[i].data.append(buffer, static_cast<std::size_t>(n));
                continue;
            }
            if (n < 0 && errno == EINTR) continue;
            Child child = std::move(running[i]);
            running.erase(running.begin() + static_cast<std::ptrdiff_t>(i));
            record(FinishChild(child));
        }
    }
    result.limitReached = !pending.empty();
    return result;
}

// ---------------------------------------------------------------------------
// Tokens

std::string ReplayToken(const Scenario& scenario, const std::vector<ScheduleDeparture>& departures) {
    return scenario.name + ":" + ScheduleText(departures);
}

std::optional<ParsedToken> ParseReplayToken(std::string_view token, const std::vector<Scenario>& among) {
    const std::size_t colon = token.find(':');
    if (colon == std::string_view::npos) return std::nullopt;
    ParsedToken parsed;
    parsed.scenario = FindScenario(token.substr(0, colon), among);
    if (parsed.scenario == nullptr) return std::nullopt;
    std::optional<std::vector<ScheduleDeparture>> departures = ParseScheduleText(token.substr(colon + 1));
    if (!departures) return std::nullopt;
    parsed.departures = std::move(*departures);
    return parsed;
}

const Scenario* FindScenario(std::string_view name, const std::vector<Scenario>& among) {
    for (const Scenario& scenario : among)
        if (scenario.name == name) return &scenario;
    return nullptr;
}

} // namespace qv::explore
