// qvscale: whether a long run costs the same per command as a short one.
//
// Each size runs in a child process of its own, so that its peak resident
// memory (getrusage) is its own and not the largest of the sizes before it.
// Two ways in:
//
//   app      qvsim app over a generated script: a cold reset, T=1, then N
//            SELECTs (each a console command, so a simulated thread and a
//            machine run of its own);
//   machine  the harness's ReaderMachine directly: one run that sends N
//            T=1 SELECTs through the reader's stack.
//
// Host time per command is the child's processor time (user and system)
// less that of the same run with no commands, divided by N: what one more
// command costs once the machine is up. Usage:
//
//   qvscale [--sizes 1000,10000,100000] [--ways app,machine] [--qvsim PATH]
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <optional>
#include <sstream>
#include <string>
#include <string_view>
#include <vector>

#include "cards/card_catalogue.h"
#include "cards/iso_application.h"
#include "harness/reader_machine.h"
#include "link.h"
#include "usb_reader.h"

namespace {

using Bytes = std::vector<std::uint8_t>;

constexpr std::uint64_t kSeed = 1;
constexpr ULONG kReplyBuffer = 1024;
constexpr std::uint16_t kSelectedFile = qv::sim::kFidData;
constexpr std::string_view kSelectApdu = "00A4000C020101"; // SELECT of that file, no answer data
constexpr int kChildFailed = 3;

struct Usage {
    double cpuSeconds = 0;
    long peakKilobytes = 0;
};

double Seconds(const timeval& time) { return static_cast<double>(time.tv_sec) + static_cast<double>(time.tv_usec) / 1e6; }

// Runs fn in a child process and returns its processor time and peak
// resident memory; nothing when it failed.
template <typename Fn>
std::optional<Usage> InChild(Fn fn) {
    std::fflush(nullptr);
    const pid_t child = fork();
    if (child < 0) return std::nullopt;
    if (child == 0) _exit(fn() ? 0 : kChildFailed);
    int status = 0;
    rusage usage{};
    if (wait4(child, &status, 0, &usage) != child || !WIFEXITED(status) || WEXITSTATUS(status) != 0) return std::nullopt;
    return Usage{Seconds(usage.ru_utime) + Seconds(usage.ru_stime), usage.ru_maxrss};
}

Bytes TransmitRequest(const Bytes& apdu) {
    const SCARD_IO_REQUEST header{SCARD_PROTOCOL_T1, static_cast<ULONG>(sizeof(SCARD_IO_REQUEST))};
    Bytes request(sizeof header);
    std::memcpy(request.data(), &header, sizeof header);
    request.reserve(request.size() + apdu.size()); // keeps GCC 12 -O3 from a false -Warray-bounds
    request.insert(request.end(), apdu.begin(), apdu.end());
    return request;
}

std::span<const std::uint8_t> AsBytes(const ULONG& value) {
    return {reinterpret_cast<const std::uint8_t*>(&value), sizeof value};
}

// The harness's machine: a held reader started by hand as the exchange
// benchmarks do, then `commands` SELECTs in one run.
bool RunMachine(std::uint64_t commands) {
    qv::sim::UsbReader reader({}, qv::sim::MakeCard("dual"));
    qv::harness::HeldReader held = qv::harness::HeldReader::ForSeed(kSeed);
    held.admitRequests = true;
    qv::harness::ReaderMachine bed(reader, held);
    const Bytes select = TransmitRequest(
        {0x00, 0xA4, 0x00, 0x0C, 0x02, static_cast<std::uint8_t>(kSelectedFile >> 8), static_cast<std::uint8_t>(kSelectedFile)});
    bool ok = true;
    const qv::RunResult run = bed.Run([&] {
        const ULONG cold = SCARD_COLD_RESET;
        const ULONG t1 = SCARD_PROTOCOL_T1;
        if (bed.Configure(0) != STATUS_SUCCESS || !bed.SendCommand(0, READER_COMMAND_LINK_RESET).Ok()) {
            ok = false;
            return;
        }
        bed.Reader(0).LinkSynchronized = 1;
        if (bed.DeviceControl(0, IOCTL_SMARTCARD_POWER, AsBytes(cold), 64).status != STATUS_SUCCESS ||
            bed.DeviceControl(0, IOCTL_SMARTCARD_SET_PROTOCOL, AsBytes(t1), 4).status != STATUS_SUCCESS) {
            ok = false;
            return;
        }
        for (std::uint64_t i = 0; i < commands && ok; ++i)
            ok = bed.DeviceControl(0, IOCTL_SMARTCARD_TRANSMIT, select, kReplyBuffer).status == STATUS_SUCCESS;
    });
    return ok && run.Ok() && bed.Shutdown().Ok();
}

// A script of `commands` SELECTs after a cold reset and T=1, in a
// temporary file that goes with this object.
class Script {
  public:
    explicit Script(std::uint64_t commands) {
        const int fd = mkstemp(path_);
        if (fd >= 0) close(fd);
        std::ofstream script(path_);
        script << "power cold\nprotocol t1\n";
        for (std::uint64_t i = 0; i < commands; ++i) script << "apdu " << kSelectApdu << '\n';
    }
    ~Script() { unlink(path_); }
    Script(const Script&) = delete;
    Script& operator=(const Script&) = delete;
    const char* Path() const { return path_; }

  private:
    char path_[32] = "/tmp/qvscale-XXXXXX";
};

// In the child: becomes qvsim app over the script, its output thrown away.
bool ExecApp(const std::string& qvsim, const Script& script) {
    if (std::freopen("/dev/null", "w", stdout) == nullptr) return false;
    const std::string seed = std::to_string(kSeed);
    execl(qvsim.c_str(), qvsim.c_str(), "app", "--seed", seed.c_str(), "--script", script.Path(),
          static_cast<char*>(nullptr));
    return false;
}

std::vector<std::uint64_t> ParseSizes(const std::string& text) {
    std::vector<std::uint64_t> sizes;
    std::stringstream in(text);
    for (std::string item; std::getline(in, item, ',');) sizes.push_back(std::stoull(item));
    return sizes;
}

} // namespace

int main(int argc, char** argv) {
    std::vector<std::uint64_t> sizes = {1'000, 10'000, 100'000};
    std::string ways = "app,machine";
    std::string qvsim = (std::filesystem::path(argv[0]).parent_path() / "qvsim").string();
    for (int i = 1; i + 1 < argc; i += 2) {
        const std::string_view option = argv[i];
        if (option == "--sizes") {
            sizes = ParseSizes(argv[i + 1]);
        } else if (option == "--ways") {
            ways = argv[i + 1];
        } else if (option == "--qvsim") {
            qvsim = argv[i + 1];
        } else {
            std::fprintf(stderr, "qvscale: unknown option %s\n", argv[i]);
            return 2;
        }
    }
#ifdef __OPTIMIZE__
    std::printf("qvscale: optimised build\n");
#else
    std::printf("qvscale: NOT an optimised build: the figures are not meaningful\n");
#endif
    std::printf("%-8s %10s %16s %16s\n", "way", "commands", "host us/command", "peak memory MB");
    int failures = 0;
    for (const std::string_view way : {std::string_view("app"), std::string_view("machine")}) {
        if (ways.find(way) == std::string::npos) continue;
        auto measure = [&](std::uint64_t commands) {
            if (way == "machine") return InChild([&] { return RunMachine(commands); });
            const Script script(commands);
            return InChild([&] { return ExecApp(qvsim, script); });
        };
        const std::optional<Usage> idle = measure(0);
        if (!idle) {
            std::printf("%-8s the run without commands failed\n", std::string(way).c_str());
            ++failures;
            continue;
        }
        for (const std::uint64_t n : sizes) {
            const std::optional<Usage> usage = measure(n);
            if (!usage) {
                std::printf("%-8s %10llu failed\n", std::string(way).c_str(), static_cast<unsigned long long>(n));
                ++failures;
                continue;
            }
            const double perCommand = (usage->cpuSeconds - idle->cpuSeconds) / static_cast<double>(n) * 1e6;
            std::printf("%-8s %10llu %16.1f %16.1f\n", std::string(way).c_str(), static_cast<unsigned long long>(n),
                        perCommand, static_cast<double>(usage->peakKilobytes) / 1024.0);
            std::fflush(stdout);
        }
    }
    return failures == 0 ? 0 : 1;
}
