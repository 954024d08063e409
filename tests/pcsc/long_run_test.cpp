// The bridge as a daemon uses it for days: many transmits through the IFD
// handler's entry points, with the machine's clock running a hundred times
// ahead of the wall clock (QVSCR_TIME_SCALE) so that the card's time is
// spent without being waited out. What the process holds must not grow
// with the transmits: the heap in use after the first tenth of them and
// after all of them are compared, once the pool's quarantine of freed
// blocks has filled (the bridge keeps it small; it fills within a thousand
// transmits). QV_BRIDGE_TRANSMITS sets their number (5,000 by default; the
// long run takes 100,000).
#include <gtest/gtest.h>
#include <malloc.h>

extern "C" {
#include <ifdhandler.h>
#include <reader.h>
}

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>
#include <vector>

namespace qv::test {
namespace {

constexpr DWORD kLun = 0x30000;
constexpr DWORD kProtocolNumberT1 = 1;
constexpr const char* kTransmitsVariable = "QV_BRIDGE_TRANSMITS";
constexpr unsigned long kDefaultTransmits = 5'000;
constexpr unsigned long kLeastWarmUp = 2'000;
constexpr const char* kTimeScale = "0.01";
// A transmit may hold on to nothing for good. Allocators keep some slack
// (free lists, a thread's arena), so the bound is a few bytes per transmit
// on top of a fixed allowance, far below the kilobyte a transmit once kept.
constexpr long kSlackBytes = 256 * 1024;
constexpr long kBytesPerTransmit = 16;

using Bytes = std::vector<UCHAR>;

const Bytes kSelectApplication{0x00, 0xA4, 0x04, 0x0C, 0x07, 0xF0, 0x51, 0x56, 0x53, 0x43, 0x52, 0x01};

unsigned long Transmits() {
    const char* text = std::getenv(kTransmitsVariable);
    if (text == nullptr || *text == '\0') return kDefaultTransmits;
    return std::max(2 * kLeastWarmUp, std::strtoul(text, nullptr, 10));
}

// The heap in use: small blocks and mapped ones.
long HeapInUse() {
    const struct mallinfo2 info = mallinfo2();
    return static_cast<long>(info.uordblks + info.hblkhd);
}

long ResidentKb() {
    std::ifstream status("/proc/self/status");
    std::string line;
    while (std::getline(status, line)) {
        if (line.rfind("VmRSS:", 0) == 0) return std::strtol(line.c_str() + 6, nullptr, 10);
    }
    return -1;
}

// Sets an environment variable for the test's length.
class ScopedEnvironment {
  public:
    ScopedEnvironment(const char* name, const char* value) : name_(name) { setenv(name, value, 1); }
    ~ScopedEnvironment() { unsetenv(name_); }
    ScopedEnvironment(const ScopedEnvironment&) = delete;
    ScopedEnvironment& operator=(const ScopedEnvironment&) = delete;

  private:
    const char* name_;
};

std::string Sw(const Bytes& answer) {
    if (answer.size() < 2) return "none";
    char text[8];
    std::snprintf(text, sizeof text, "%02X%02X", answer[answer.size() - 2], answer[answer.size() - 1]);
    return text;
}

TEST(BridgeLongRun, TransmitsHoldNoMemory) {
    const ScopedEnvironment scale("QVSCR_TIME_SCALE", kTimeScale);
    std::string name = "qvscr:QV-38N:dual";
    ASSERT_EQ(IFDHCreateChannelByName(kLun, name.data()), IFD_SUCCESS);
    UCHAR atr[MAX_ATR_SIZE] = {};
    DWORD atrLength = sizeof atr;
    ASSERT_EQ(IFDHPowerICC(kLun, IFD_POWER_UP, atr, &atrLength), IFD_SUCCESS);
    ASSERT_EQ(IFDHSetProtocolParameters(kLun, SCARD_PROTOCOL_T1, 0, 0, 0, 0), IFD_SUCCESS);

    const unsigned long total = Transmits();
    const unsigned long warmUp = std::max(kLeastWarmUp, total / 10);
    const long rssStart = ResidentKb();
    const auto start = std::chrono::steady_clock::now();
    long heapAfterWarmUp = 0;
    long rssAfterWarmUp = 0;
    unsigned long failed = 0;
    for (unsigned long i = 0; i < total; ++i) {
        if (i == warmUp) {
            heapAfterWarmUp = HeapInUse();
            rssAfterWarmUp = ResidentKb();
        }
        Bytes apdu = kSelectApplication;
        Bytes answer(MAX_BUFFER_SIZE);
        DWORD length = answer.size();
        SCARD_IO_HEADER send{kProtocolNumberT1, 0};
        SCARD_IO_HEADER receive{};
        const RESPONSECODE rv =
            IFDHTransmitToICC(kLun, send, apdu.data(), apdu.size(), answer.data(), &length, &receive);
        answer.resize(std::min<std::size_t>(length, answer.size()));
        if (rv != IFD_SUCCESS || Sw(answer) != "9000") {
            if (++failed <= 3) ADD_FAILURE() << "transmit " << i << ": rv " << rv << ", SW " << Sw(answer);
        }
    }
    const long heapAtEnd = HeapInUse();
    const long rssAtEnd = ResidentKb();
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    EXPECT_EQ(failed, 0u);
    EXPECT_EQ(IFDHCloseChannel(kLun), IFD_SUCCESS);

    const long grown = heapAtEnd - heapAfterWarmUp;
    const unsigned long counted = total - warmUp;
    std::printf("bridge long run: %lu transmits in %.1f s; RSS %ld kB at start, %ld kB after %lu, %ld kB at end; "
                "heap in use grew %ld bytes over the last %lu (%.1f bytes each)\n",
                total, seconds, rssStart, rssAfterWarmUp, warmUp, rssAtEnd, grown, counted,
                static_cast<double>(grown) / static_cast<double>(counted));
    EXPECT_LE(grown, kSlackBytes + kBytesPerTransmit * static_cast<long>(counted))
        << "the heap grows with the transmits";
}

} // namespace
} // namespace qv::test
