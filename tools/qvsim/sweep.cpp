#include "sweep.h"

#include <poll.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <charconv>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <iostream>
#include <map>
#include <memory>
#include <sstream>
#include <thread>
#include <unordered_set>
#include <vector>

#include "harness/console_words.h"
#include "scenario.h"
#include "sweep_report.h"

namespace qvsim {

namespace {

constexpr std::size_t kBarWidth = 40;
constexpr auto kRedrawEvery = std::chrono::milliseconds(100);
constexpr unsigned kPlainProgressSteps = 10;

// A stream that drops what it is given: a sweep's runs print nothing.
class NullBuffer : public std::streambuf {
  protected:
    int overflow(int c) override { return c; }
    std::streamsize xsputn(const char*, std::streamsize n) override { return n; }
};

// A worker reports each seed twice, one line each: "B <seed>" when it
// begins and "E <seed> <passed 0|1> <virtual ms> <digest or -> <cause>" when
// it ends.
constexpr std::string_view kNoDigest = "-";

void WriteAll(int fd, const std::string& text) {
    std::size_t done = 0;
    while (done < text.size()) {
        const ssize_t n = write(fd, text.data() + done, text.size() - done);
        if (n <= 0) return;
        done += static_cast<std::size_t>(n);
    }
}

[[noreturn]] void Worker(const Scenario& scenario, const std::vector<std::uint64_t>& seeds, const Options& options, int fd) {
    NullBuffer nothing;
    std::ostream out(&nothing);
    for (std::uint64_t seed : seeds) {
        WriteAll(fd, "B " + std::to_string(seed) + "\n");
        ScenarioRun run;
        run.seed = seed;
        run.faults = options.faults;
        run.faultSet = SplitFaultSet(options.faultSet);
        const ScenarioOutcome outcome = RunScenario(scenario, run, out);
        std::string cause = outcome.cause;
        for (char& c : cause) {
            if (c == '\n') c = ' ';
        }
        WriteAll(fd, "E " + std::to_string(seed) + " " + (outcome.passed ? "1 " : "0 ") +
                         std::to_string(outcome.virtualMs) + " " +
                         (outcome.digest.empty() ? std::string(kNoDigest) : outcome.digest) + " " + cause + "\n");
    }
    close(fd);
    std::cout.flush();
    _exit(0);
}

struct WorkerState {
    pid_t pid = -1;
    int fd = -1;
    std::vector<std::uint64_t> seeds; // what it was given
    std::size_t done = 0;             // how many of them it reported
    std::optional<std::uint64_t> running;
    std::string partial;
};

bool Spawn(const Scenario& scenario, const Options& options, WorkerState& worker) {
    int fds[2];
    if (pipe(fds) != 0) return false;
    std::cout.flush();
    std::cerr.flush();
    const pid_t pid = fork();
    if (pid < 0) return false;
    if (pid == 0) {
        close(fds[0]);
        Worker(scenario, worker.seeds, options, fds[1]);
    }
    close(fds[1]);
    worker.pid = pid;
    worker.fd = fds[0];
    worker.done = 0;
    worker.running.reset();
    worker.partial.clear();
    return true;
}

class Progress {
  public:
    Progress(std::size_t total) : total_(total), terminal_(isatty(STDERR_FILENO) != 0) {}
    void Show(std::size_t done, std::size_t failed, double seconds, bool last = false) {
        if (terminal_) {
            const auto now = std::chrono::steady_clock::now();
            if (!last && now - drawn_ < kRedrawEvery) return;
            drawn_ = now;
            const std::size_t filled = total_ == 0 ? kBarWidth : done * kBarWidth / total_;
            std::fprintf(stderr, "\r[%s%s] %zu/%zu runs, %zu failed, %.1f s", std::string(filled, '#').c_str(),
                         std::string(kBarWidth - filled, '.').c_str(), done, total_, failed, seconds);
            if (last) std::fprintf(stderr, "\n");
            std::fflush(stderr);
            return;
        }
        const std::size_t step = total_ / kPlainProgressSteps;
        if (last || (step != 0 && done / step != shownStep_)) {
            if (!last) shownStep_ = done / step;
            if (last && done == lastShown_) return;
            lastShown_ = done;
            std::fprintf(stderr, "sweep: %zu/%zu runs, %zu failed, %.1f s\n", done, total_, failed, seconds);
        }
    }

  private:
    std::size_t total_;
    bool terminal_;
    std::chrono::steady_clock::time_point drawn_{};
    std::size_t shownStep_ = 0;
    std::size_t lastShown_ = static_cast<std::size_t>(-1);
};

} // namespace

// A seed named twice (1-5,3) runs once: it would give the same run again,
// and a sweep counts each seed's result once.
std::optional<std::vector<std::uint64_t>> ParseSeeds(std::string_view text) {
    std::vector<std::uint64_t> seeds;
    std::unordered_set<std::uint64_t> listed;
    constexpr std::uint64_t kMostSeeds = 10'000'000;
    while (!text.empty()) {
        const auto comma = text.find(',');
        const std::string_view part = text.substr(0, comma);
        text = comma == std::string_view::npos ? std::string_view{} : text.substr(comma + 1);
        const auto dash = part.find('-');
        std::uint64_t first = 0;
        std::uint64_t last = 0;
        if (dash == std::string_view::npos) {
            if (!qv::harness::ParseNumber(part, first)) return std::nullopt;
            last = first;
        } else if (!qv::harness::ParseNumber(part.substr(0, dash), first) || !qv::harness::ParseNumber(part.substr(dash + 1), last) || last < first) {
            return std::nullopt;
        }
        if (last - first >= kMostSeeds || seeds.size() + (last - first) >= kMostSeeds) return std::nullopt;
        for (std::uint64_t seed = first; seed <= last; ++seed)
            if (listed.insert(seed).second) seeds.push_back(seed);
    }
    if (seeds.empty()) return std::nullopt;
    return seeds;
}

int RunSweep(const Options& options) {
    if (!options.mergeFiles.empty()) return MergeSweeps(options.mergeFiles, options.verbose, stdout);
    if (!options.scenario) {
        std::cerr << "qvsim: sweep needs a scenario (qvsim app --scenario list), or --merge FILE...\n";
        return 2;
    }
    std::string error;
    const auto scenario = FindScenario(*options.scenario, error);
    if (!scenario) {
        std::cerr << "qvsim: " << error << "\n";
        return 2;
    }
    const auto allSeeds = ParseSeeds(options.seeds);
    if (!allSeeds) {
        std::cerr << "qvsim: --seeds takes ranges and seeds like 1-10000 or 3,17,40-50\n";
        return 2;
    }
    Shard shard;
    if (options.shard) {
        const auto parsed = ParseShard(*options.shard, error);
        if (!parsed) {
            std::cerr << "qvsim: " << error << "\n";
            return 2;
        }
        shard = *parsed;
    }
    // The document goes to standard output when asked for there; the
    // summary then goes to standard error, so that the document stays whole.
    std::FILE* summaryOut = options.json && *options.json == "-" ? stderr : stdout;
    std::unique_ptr<std::FILE, int (*)(std::FILE*)> document(nullptr, &std::fclose);
    if (options.json && *options.json != "-") {
        document.reset(std::fopen(options.json->c_str(), "w"));
        if (!document) {
            std::cerr << "qvsim: cannot write --json " << *options.json << "\n";
            return 2;
        }
    }
    const std::vector<std::uint64_t> seeds = ShardSeeds(*allSeeds, shard);
    unsigned jobs = options.jobs != 0 ? options.jobs : std::max(1u, std::thread::hardware_concurrency());
    jobs = static_cast<unsigned>(std::min<std::size_t>(jobs, seeds.size()));

    const auto start = std::chrono::steady_clock::now();
    auto elapsed = [&] { return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count(); };
    std::vector<WorkerState> workers(jobs);
    for (std::size_t i = 0; i < seeds.size(); ++i) workers[i % jobs].seeds.push_back(seeds[i]);
    for (WorkerState& worker : workers) {
        if (!Spawn(*scenario, options, worker)) {
            std::cerr << "qvsim: cannot start a worker process\n";
            return 1;
        }
    }

    SweepReport report;
    report.identity = SweepIdentity{std::string(SourceVersion()), scenario->name, TextDigest(scenario->text),
                                    options.seeds, options.faults, options.faultSet};
    report.shard = shard;
    report.workers = jobs;
    std::map<std::uint64_t, SeedResult>& results = report.results;
    std::size_t failed = 0;
    Progress progress(seeds.size());
    auto take = [&](WorkerState& worker, const std::string& line) {
        std::istringstream in(line);
        std::string kind;
        SeedResult result;
        in >> kind >> result.seed;
        if (kind == "B") {
            worker.running = result.seed;
            return;
        }
        int passed = 0;
        in >> passed >> result.virtualMs >> result.digest;
        if (result.digest == kNoDigest) result.digest.clear();
        std::getline(in, result.cause);
        if (!result.cause.empty() && result.cause.front() == ' ') result.cause.erase(0, 1);
        result.passed = passed == 1;
        if (!result.passed) ++failed;
        worker.running.reset();
        ++worker.done;
        results[result.seed] = result;
    };

    std::size_t alive = workers.size();
    while (alive != 0) {
        std::vector<pollfd> polls;
        std::vector<WorkerState*> polled;
        for (WorkerState& worker : workers) {
            if (worker.fd < 0) continue;
            polls.push_back(pollfd{worker.fd, POLLIN, 0});
            polled.push_back(&worker);
        }
        if (poll(polls.data(), polls.size(), static_cast<int>(kRedrawEvery.count())) < 0) continue;
        for (std::size_t i = 0; i < polls.size(); ++i) {
            if (polls[i].revents == 0) continue;
            WorkerState& worker = *polled[i];
            char buffer[4096];
            const ssize_t n = read(worker.fd, buffer, sizeof buffer);
            if (n > 0) {
                worker.partial.append(buffer, static_cast<std::size_t>(n));
                std::size_t end = 0;
                while ((end = worker.partial.find('\n')) != std::string::npos) {
                    take(worker, worker.partial.substr(0, end));
                    worker.partial.erase(0, end + 1);
                }
                continue;
            }
            // The worker ended: cleanly, or it died during a run.
            close(worker.fd);
            worker.fd = -1;
            int status = 0;
            waitpid(worker.pid, &status, 0);
            if (worker.running) {
                SeedResult died;
                died.seed = *worker.running;
                died.cause = WIFSIGNALED(status) ? "qvsim died of signal " + std::to_string(WTERMSIG(status))
                                                 : "qvsim exited with " + std::to_string(WEXITSTATUS(status));
                results[died.seed] = died;
                ++failed;
                ++worker.done;
                // The rest of its seeds go to a new worker.
                worker.seeds.erase(worker.seeds.begin(), worker.seeds.begin() + static_cast<std::ptrdiff_t>(worker.done));
                if (!worker.seeds.empty() && Spawn(*scenario, options, worker)) continue;
            }
            --alive;
        }
        progress.Show(results.size(), failed, elapsed());
    }
    const double wall = elapsed();
    progress.Show(results.size(), failed, wall, true);

    report.wallSeconds = wall;
    if (options.json) {
        const std::string text = ToJson(report);
        std::FILE* to = document ? document.get() : stdout;
        const bool written = std::fwrite(text.data(), 1, text.size(), to) == text.size();
        if ((document && std::fclose(document.release()) != 0) || !written) {
            std::cerr << "qvsim: could not write the whole --json document\n";
            return 2;
        }
    }
    return PrintSummary(report, seeds.size(), options.verbose, summaryOut);
}

} // namespace qvsim
