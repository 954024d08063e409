#include "fork_starts.h"

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <new>
#include <sys/mman.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

#include "fuzz_input.h"

// The inline 8-bit coverage counters of every instrumented object, which the
// linker gathers in one section and bounds with these symbols; absent (null)
// in a build without coverage instrumentation. The sanitizers' runtime lets
// a process drop the fuzzer's death callback, which would otherwise save the
// fuzzer's current input from a fork whose input is another.
extern "C" {
__attribute__((weak)) extern std::uint8_t __start___sancov_cntrs[];
__attribute__((weak)) extern std::uint8_t __stop___sancov_cntrs[];
__attribute__((weak)) void __sanitizer_set_death_callback(void (*callback)());
}

namespace qv::fuzz {

namespace {

constexpr std::size_t kMostReport = 16 * 1024;
constexpr char kReady = 'R'; // the start process stands at the start point
constexpr char kEnded = 'E'; // its run ended before the start point

// The signals whose handlers the fuzzer installs for itself: in a fork that
// runs another input they would report that input as the fuzzer's current
// one, so they get their default actions there. The sanitizers' handlers
// (a wild access, say) stay: they print their report and end the process.
constexpr int kFuzzerSignals[] = {SIGABRT, SIGALRM, SIGINT, SIGTERM, SIGUSR1, SIGUSR2, SIGXFSZ};

std::span<std::uint8_t> Counters() {
    if (__start___sancov_cntrs == nullptr || __stop___sancov_cntrs == nullptr) return {};
    return {__start___sancov_cntrs, __stop___sancov_cntrs};
}

bool WriteAll(int fd, const void* data, std::size_t size) {
    const auto* bytes = static_cast<const std::uint8_t*>(data);
    while (size > 0) {
        const ssize_t sent = send(fd, bytes, size, MSG_NOSIGNAL);
        if (sent < 0 && errno == EINTR) continue;
        if (sent <= 0) return false;
        bytes += sent;
        size -= static_cast<std::size_t>(sent);
    }
    return true;
}

bool ReadAll(int fd, void* data, std::size_t size) {
    auto* bytes = static_cast<std::uint8_t*>(data);
    while (size > 0) {
        const ssize_t got = read(fd, bytes, size);
        if (got < 0 && errno == EINTR) continue;
        if (got <= 0) return false;
        bytes += got;
        size -= static_cast<std::size_t>(got);
    }
    return true;
}

// A process forked to run on its own dies with the process it was forked
// from, so that nothing is left running when the fuzzer stops.
void DieWithParent(pid_t parent) {
    (void)prctl(PR_SET_PDEATHSIG, SIGKILL);
    if (getppid() != parent) _exit(1);
}

std::string Ending(int status) {
    if (WIFSIGNALED(status)) return "was killed by signal " + std::to_string(WTERMSIG(status));
    if (WIFEXITED(status)) return "exited with status " + std::to_string(WEXITSTATUS(status));
    return "ended (wait status " + std::to_string(status) + ")";
}

} // namespace

// What a run leaves for the process that asked for it; the counters follow.
struct ForkStarts::Shared {
    std::uint32_t published = 0;
    std::uint32_t ok = 0;
    std::uint64_t digest = 0;
    std::uint32_t reportLength = 0;
    char report[kMostReport];

    std::uint8_t* CounterCopy() { return reinterpret_cast<std::uint8_t*>(this + 1); }

    void Publish(const Verdict& verdict) {
        ok = verdict.ok ? 1 : 0;
        digest = verdict.digest;
        reportLength = static_cast<std::uint32_t>(std::min(verdict.report.size(), sizeof report));
        std::memcpy(report, verdict.report.data(), reportLength);
        const std::span<std::uint8_t> counters = Counters();
        if (!counters.empty()) std::memcpy(CounterCopy(), counters.data(), counters.size());
        published = 1;
    }
};

namespace {

// The start point of a start process: it tells the process that started it
// that the machine is booted, then forks once per input it is sent. The fork
// returns from Reached with the input's bytes in place of the first input's
// and goes on with the run; the start process itself never returns from it.
class ServingPoint final : public StartPoint {
  public:
    explicit ServingPoint(int channel) : channel_(channel) {}

    bool Served() const { return served_; }

    void Reached(FuzzInput& in) override {
        if (!WriteAll(channel_, &kReady, 1)) _exit(0);
        const pid_t self = getpid();
        for (;;) {
            std::uint32_t size = 0;
            if (!ReadAll(channel_, &size, sizeof size)) _exit(0);
            input_.resize(size);
            if (!ReadAll(channel_, input_.data(), size)) _exit(0);
            const pid_t run = fork();
            if (run == 0) {
                DieWithParent(self);
                close(channel_);
                served_ = true;
                in.Rebind(input_);
                return;
            }
            int status = 0;
            if (run < 0) {
                status = W_EXITCODE(kForkFailed, 0);
            } else {
                while (waitpid(run, &status, 0) < 0 && errno == EINTR) {
                }
            }
            if (!WriteAll(channel_, &status, sizeof status)) _exit(0);
        }
    }

    static constexpr int kForkFailed = 71;

  private:
    int channel_;
    bool served_ = false;
    std::vector<std::uint8_t> input_; // the input being served, for the fork's run
};

} // namespace

ForkStarts::ForkStarts(const MachineTarget& target, std::size_t capacity)
    : target_(target), capacity_(std::max<std::size_t>(capacity, 1)) {
    sharedBytes_ = sizeof(Shared) + Counters().size();
    void* memory = mmap(nullptr, sharedBytes_, PROT_READ | PROT_WRITE, MAP_SHARED | MAP_ANONYMOUS, -1, 0);
    if (memory == MAP_FAILED) {
        std::perror("ForkStarts: mmap");
        std::abort();
    }
    shared_ = new (memory) Shared;
}

ForkStarts::~ForkStarts() {
    for (Start& start : starts_) Stop(start);
    munmap(shared_, sharedBytes_);
}

Verdict ForkStarts::Run(Input input) {
    const std::string key = target_.bootKey(input);
    Verdict verdict;
    auto found = std::ranges::find(starts_, key, &Start::key);
    if (found != starts_.end()) {
        starts_.splice(starts_.begin(), starts_, found);
        if (Serve(starts_.front(), input, verdict)) {
            ++reused_;
            return verdict;
        }
        // The start process is gone (killed from outside): boot another.
        Stop(starts_.front());
        starts_.pop_front();
    }
    if (!Boot(input, key, verdict)) return verdict;
    if (!Serve(starts_.front(), input, verdict)) {
        Stop(starts_.front());
        starts_.pop_front();
        return Failed(std::string(target_.name) + ": the start process ended while the input was sent to it");
    }
    return verdict;
}

bool ForkStarts::Boot(Input input, const std::string& key, Verdict& verdict) {
    int channel[2];
    if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, channel) != 0) {
        std::perror("ForkStarts: socketpair");
        std::abort();
    }
    std::fflush(nullptr);
    shared_->published = 0;
    const pid_t pid = fork();
    if (pid < 0) {
        std::perror("ForkStarts: fork");
        std::abort();
    }
    if (pid == 0) {
        close(channel[0]);
        RunStartProcess(input, channel[1]);
    }
    close(channel[1]);
    ++booted_;
    char reply = 0;
    if (ReadAll(channel[0], &reply, 1) && reply == kReady) {
        starts_.push_front(Start{key, pid, channel[0]});
        while (starts_.size() > capacity_) {
            Stop(starts_.back());
            starts_.pop_back();
        }
        return true;
    }
    // The run ended before its start point (its verdict is published), or
    // the process died on the way.
    close(channel[0]);
    int status = 0;
    while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    verdict = Collected(status);
    return false;
}

void ForkStarts::RunStartProcess(Input input, int channel) {
    DieWithParent(getppid());
    for (const Start& other : starts_) close(other.channel);
    if (__sanitizer_set_death_callback != nullptr) __sanitizer_set_death_callback(nullptr);
    for (const int signal : kFuzzerSignals) std::signal(signal, SIG_DFL);
    // A run that crashes is reported by this process's parent, with its
    // input; a core dump of the fork would only cost time.
    const rlimit noCore{0, 0};
    (void)setrlimit(RLIMIT_CORE, &noCore);
    const std::span<std::uint8_t> counters = Counters();
    std::fill(counters.begin(), counters.end(), 0);

    ServingPoint point(channel);
    const Verdict verdict = target_.run(input, &point);
    // Either a fork that ran an input from the start point, or the start
    // process whose own run never reached it: the run's verdict goes back
    // alike, and nothing here is torn down (the process ends now).
    shared_->Publish(verdict);
    if (!point.Served()) (void)WriteAll(channel, &kEnded, 1);
    _exit(0);
}

bool ForkStarts::Serve(Start& start, Input input, Verdict& verdict) {
    shared_->published = 0;
    const auto size = static_cast<std::uint32_t>(input.size());
    std::fflush(nullptr);
    if (!WriteAll(start.channel, &size, sizeof size) || !WriteAll(start.channel, input.data(), input.size()))
        return false;
    int status = 0;
    if (!ReadAll(start.channel, &status, sizeof status)) return false;
    verdict = Collected(status);
    return true;
}

Verdict ForkStarts::Collected(int status) const {
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0 || shared_->published == 0) {
        return Failed(std::string(target_.name) + ": the process running the input " + Ending(status) +
                      " (its report is above)");
    }
    Verdict verdict;
    verdict.ok = shared_->ok != 0;
    verdict.digest = shared_->digest;
    verdict.report.assign(shared_->report, std::min<std::size_t>(shared_->reportLength, kMostReport));
    // The run's counters join this process's. The sum saturates where the
    // counters themselves wrap: an edge the run took is never lost to a
    // carry.
    const std::span<std::uint8_t> counters = Counters();
    const std::uint8_t* copy = shared_->CounterCopy();
    for (std::size_t i = 0; i < counters.size(); ++i) {
        const unsigned sum = unsigned{counters[i]} + copy[i];
        counters[i] = static_cast<std::uint8_t>(std::min(sum, 255u));
    }
    return verdict;
}

void ForkStarts::Stop(Start& start) {
    if (start.pid > 0) {
        kill(start.pid, SIGKILL);
        while (waitpid(start.pid, nullptr, 0) < 0 && errno == EINTR) {
        }
    }
    if (start.channel >= 0) close(start.channel);
    start.pid = -1;
    start.channel = -1;
}

} // namespace qv::fuzz
