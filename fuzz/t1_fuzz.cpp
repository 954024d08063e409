// T=1 blocks from the card through the library's T=1 engine: the loop a
// reader driver runs (SmartcardT1Request, carry the block, SmartcardT1Reply)
// with every answer of the card taken from the input (fuzz/t1_answers.h):
// well-formed blocks let the fuzzer reach the protocol's logic (chains, R-
// and S-blocks, WTX, IFS, RESYNCH) and not only the frame checks. The request and reply share one exact-size pool
// buffer, as in a buffered control request, whose guard bytes catch any
// write past it.
#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "fuzz_input.h"
#include "library_bed.h"
#include "smclib/t1_block.h"
#include "t1_answers.h"

namespace qv::fuzz {

namespace {

constexpr ULONG kPoolTag = QV_POOL_TAG('F', 'z', 'T', '1');
constexpr ULONG kHeaderLength = sizeof(SCARD_IO_REQUEST);
constexpr std::size_t kLongestApdu = 4 + 3 + 65535 + 3; // extended length, all of it
constexpr std::size_t kApduChoice = 600;
constexpr ULONG kReplyChoice = 700;
constexpr std::size_t kExchanges = 4;
// The engine gives up after a bounded number of tries at each step, and the
// input is short: an exchange still going after this many blocks never ends.
constexpr int kRunaway = 20000;

// One exchange; returns the empty string or what went wrong.
std::string Exchange(SMARTCARD_EXTENSION& ext, FuzzInput& in, smclib::t1::Edc edc) {
    const std::vector<UCHAR> apdu = in.Take(std::min(in.Below(kApduChoice), kLongestApdu));
    const ULONG replyCapacity = static_cast<ULONG>(in.Below(kReplyChoice));
    const UCHAR nad = in.Byte();
    const ULONG requestLength = static_cast<ULONG>(kHeaderLength + apdu.size());
    const ULONG size = std::max<ULONG>({requestLength, replyCapacity, 1});
    auto* buffer = static_cast<PUCHAR>(ExAllocatePoolWithTag(NonPagedPool, size, kPoolTag));
    if (buffer == nullptr) return {};
    std::memset(buffer, 0xEE, size);
    const ULONG protocol = SCARD_PROTOCOL_T1;
    std::memcpy(buffer, &protocol, sizeof protocol);
    std::memcpy(buffer + sizeof protocol, &kHeaderLength, sizeof kHeaderLength);
    if (!apdu.empty()) std::memcpy(buffer + kHeaderLength, apdu.data(), apdu.size());

    ULONG information = 0;
    ext.IoRequest.RequestBuffer = buffer;
    ext.IoRequest.RequestBufferLength = requestLength;
    ext.IoRequest.ReplyBuffer = buffer;
    ext.IoRequest.ReplyBufferLength = replyCapacity;
    ext.IoRequest.Information = &information;

    std::string fault;
    ext.T1.NAD = nad;
    ext.SmartcardRequest.BufferLength = 0;
    NTSTATUS status = SmartcardT1Request(&ext);
    int round = 0;
    for (; status == STATUS_SUCCESS && round < kRunaway; ++round) {
        if (ext.SmartcardRequest.BufferLength > ext.SmartcardRequest.BufferSize) {
            fault = "the engine built a block longer than its request buffer";
            break;
        }
        const std::span<const UCHAR> sent(ext.SmartcardRequest.Buffer, ext.SmartcardRequest.BufferLength);
        std::vector<UCHAR> answer = T1CardAnswer(in, sent, edc);
        answer.resize(std::min<std::size_t>(answer.size(), ext.SmartcardReply.BufferSize));
        if (!answer.empty()) std::memcpy(ext.SmartcardReply.Buffer, answer.data(), answer.size());
        ext.SmartcardReply.BufferLength = static_cast<ULONG>(answer.size());
        status = SmartcardT1Reply(&ext);
        if (status != STATUS_MORE_PROCESSING_REQUIRED) break;
        ext.T1.NAD = nad;
        ext.SmartcardRequest.BufferLength = 0;
        status = SmartcardT1Request(&ext);
    }
    if (fault.empty() && round >= kRunaway) fault = "the T=1 exchange never ended";
    if (fault.empty() && status == STATUS_SUCCESS && information > replyCapacity) {
        fault = "the engine reported " + std::to_string(information) + " reply bytes for a buffer of " +
                std::to_string(replyCapacity);
    }
    // Freeing checks the pool block's guard bytes.
    ExFreePoolWithTag(buffer, kPoolTag);
    ext.IoRequest = {};
    return fault;
}

} // namespace

Verdict Fuzz_t1(Input input) {
    FuzzInput in(input);
    const std::uint64_t seed = in.Seed();
    const UCHAR ifsc = in.Byte();
    const bool crc = in.Flag();
    const auto edc = crc ? smclib::t1::Edc::Crc : smclib::t1::Edc::Lrc;
    Verdict verdict;
    Machine machine(FuzzMachineConfig(seed));
    const RunResult run = machine.RunThread("t1", [&] {
        LibraryBed bed;
        if (!bed.Ready()) return;
        SMARTCARD_EXTENSION& ext = bed.Extension();
        const std::vector<UCHAR> atr = T1Atr(ifsc, crc);
        std::memcpy(ext.CardCapabilities.ATR.Buffer, atr.data(), atr.size());
        ext.CardCapabilities.ATR.Length = static_cast<UCHAR>(atr.size());
        ext.ReaderCapabilities.CurrentState = SCARD_POWERED;
        // IFSC 0 is refused with the ATR; the engine is not reached.
        if (SmartcardUpdateCardCapabilities(&ext) != STATUS_SUCCESS) return;
        ext.CardCapabilities.Protocol.Selected = SCARD_PROTOCOL_T1;
        ext.ReaderCapabilities.CurrentState = SCARD_SPECIFIC;
        for (std::size_t exchange = 0; exchange < kExchanges && !in.Empty(); ++exchange) {
            std::string fault = Exchange(ext, in, edc);
            if (!fault.empty()) {
                verdict = Failed(fault);
                return;
            }
        }
    });
    Merge(verdict, FromRun(run, "t1"));
    return verdict;
}

} // namespace qv::fuzz
