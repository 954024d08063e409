// One short APDU (READ BINARY of four bytes under T=1) three ways:
//
// - BM_PcscClientTransmit: a PC/SC client's SCardTransmit through
//   libpcsclite, pcscd, the bridge (libqvscr_ifd.so), the driver and the
//   simulated reader. Needs a pcscd with the bridge: run it inside
//   scripts/pcsc-bridge.sh --card t1; without one it is skipped.
// - BM_IfdTransmit: the same APDU through the IFD handler's entry point
//   in process (the bridge without pcscd and its socket).
// - BM_AppConsoleTransmit (app_path_bench.cpp): the same APDU on `qvsim
//   app`'s path, the machine in virtual time.
//
// The first two run the machine in real time, so their figures are wall
// time, most of it the simulated USB bus's frames and the card's own time.
#include <benchmark/benchmark.h>

extern "C" {
#include <ifdhandler.h>
#include <winscard.h>
}

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>


namespace {

constexpr DWORD kLun = 0x70000;
constexpr DWORD kProtocolNumberT1 = 1;
const std::vector<BYTE> kSelectApplication{0x00, 0xA4, 0x04, 0x0C, 0x07, 0xF0, 0x51, 0x56, 0x53, 0x43, 0x52, 0x01};
const std::vector<BYTE> kSelectData{0x00, 0xA4, 0x00, 0x0C, 0x02, 0x01, 0x01};
const std::vector<BYTE> kReadFour{0x00, 0xB0, 0x00, 0x00, 0x04};
constexpr std::size_t kExpectedAnswer = 6; // four bytes and the status word

void BM_PcscClientTransmit(benchmark::State& state) {
    SCARDCONTEXT context = 0;
    if (SCardEstablishContext(SCARD_SCOPE_SYSTEM, nullptr, nullptr, &context) != SCARD_S_SUCCESS) {
        state.SkipWithError("no pcscd: run inside scripts/pcsc-bridge.sh --card t1");
        return;
    }
    char readers[1024];
    DWORD readersLength = sizeof readers;
    std::string reader;
    if (SCardListReaders(context, nullptr, readers, &readersLength) == SCARD_S_SUCCESS) {
        for (const char* name = readers; *name != '\0'; name += std::strlen(name) + 1)
            if (std::strstr(name, "qvscr") != nullptr) reader = name;
    }
    SCARDHANDLE card = 0;
    DWORD protocol = 0;
    if (reader.empty() || SCardConnect(context, reader.c_str(), SCARD_SHARE_SHARED, SCARD_PROTOCOL_T1, &card,
                                       &protocol) != SCARD_S_SUCCESS) {
        SCardReleaseContext(context);
        state.SkipWithError("no qvscr reader with a T=1 card");
        return;
    }
    BYTE answer[258];
    DWORD answerLength = sizeof answer;
    SCardTransmit(card, SCARD_PCI_T1, kSelectApplication.data(), kSelectApplication.size(), nullptr, answer, &answerLength);
    answerLength = sizeof answer;
    SCardTransmit(card, SCARD_PCI_T1, kSelectData.data(), kSelectData.size(), nullptr, answer, &answerLength);
    for (auto _ : state) {
        answerLength = sizeof answer;
        const LONG rv = SCardTransmit(card, SCARD_PCI_T1, kReadFour.data(), kReadFour.size(), nullptr, answer, &answerLength);
        if (rv != SCARD_S_SUCCESS || answerLength != kExpectedAnswer) {
            state.SkipWithError("SCardTransmit failed");
            break;
        }
    }
    SCardDisconnect(card, SCARD_LEAVE_CARD);
    SCardReleaseContext(context);
}
BENCHMARK(BM_PcscClientTransmit)->UseRealTime()->Unit(benchmark::kMicrosecond);

void BM_IfdTransmit(benchmark::State& state) {
    char name[] = "qvscr:QV-38N:t1";
    if (IFDHCreateChannelByName(kLun, name) != IFD_SUCCESS) {
        state.SkipWithError("the bridge did not open");
        return;
    }
    UCHAR atr[MAX_ATR_SIZE];
    DWORD atrLength = sizeof atr;
    IFDHPowerICC(kLun, IFD_POWER_UP, atr, &atrLength);
    IFDHSetProtocolParameters(kLun, SCARD_PROTOCOL_T1, 0, 0, 0, 0);
    SCARD_IO_HEADER header{kProtocolNumberT1, 0};
    UCHAR answer[258];
    auto send = [&](std::vector<BYTE> apdu) {
        DWORD length = sizeof answer;
        const RESPONSECODE rv = IFDHTransmitToICC(kLun, header, apdu.data(), apdu.size(), answer, &length, nullptr);
        return rv == IFD_SUCCESS ? length : 0;
    };
    send(kSelectApplication);
    send(kSelectData);
    for (auto _ : state) {
        if (send(kReadFour) != kExpectedAnswer) {
            state.SkipWithError("IFDHTransmitToICC failed");
            break;
        }
    }
    IFDHCloseChannel(kLun);
}
BENCHMARK(BM_IfdTransmit)->UseRealTime()->Unit(benchmark::kMicrosecond);

} // namespace
