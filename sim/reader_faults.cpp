#include "reader_faults.h"

#include <algorithm>
#include <cassert>

namespace qv::sim {

namespace {

constexpr std::array<FaultInfo, kFaultCount> kCatalog{{
    {Fault::AnswerBadLrc, "answer-bad-lrc", "the next COUNT blocks of the reader carry a wrong LRC"},
    {Fault::AnswerBadNad, "answer-bad-nad", "the next COUNT blocks of the reader carry node address 0x05"},
    {Fault::AnswerBadLength, "answer-bad-length",
     "the next COUNT blocks of the reader carry a LEN one more than their information field"},
    {Fault::AnswerErrorBlock, "answer-error-block",
     "the next COUNT blocks of the reader are replaced by an error R-block (a repeat request gets the real one)"},
    {Fault::AnswerWtx, "answer-wtx", "the next COUNT command answers are preceded by an S(WTX request)"},
    {Fault::AnswerWrongSequence, "answer-wrong-sequence",
     "the next COUNT I-blocks of the reader carry the wrong sequence bit N(S)"},
    {Fault::AnswerChained, "answer-chained",
     "the next COUNT command answers are chained over several I-blocks of 4 bytes"},
    {Fault::OutFail, "out-fail", "the next COUNT OUT transfers fail with a bus error and their data is lost"},
    {Fault::OutShort, "out-short", "the next COUNT OUT transfers are only half accepted by the device"},
    {Fault::OutStall, "out-stall", "the OUT endpoint halts at the next COUNT transfers until its pipe is reset"},
    {Fault::InFail, "in-fail", "the next COUNT IN transfers with data fail with a bus error and the packet is lost"},
    {Fault::InStall, "in-stall", "the IN endpoint halts at the next COUNT IN transfers with data until its pipe is reset"},
    {Fault::InEndless, "in-endless",
     "the next COUNT answers never end: header 0x00 on every packet until the IN pipe is reset"},
    {Fault::InZeroLength, "in-zero-length",
     "the next COUNT IN transfers with data deliver a zero-length packet instead (the data comes later)"},
    {Fault::Vanish, "vanish", "the reader vanishes from the bus at the COUNT-th transfer from now"},
    {Fault::CardPulled, "card-pulled", "the card is pulled out during the next COUNT card operations"},
    {Fault::LateAnswer, "late-answer",
     "the next COUNT command answers are held back until the host has given up and sent its next block, "
     "and then go out first, ahead of the answer to that block"},
    {Fault::SlowNoWtx, "slow-no-wtx",
     "the next COUNT commands are answered only after 20 s of virtual time, without a WTX request"},
    {Fault::AnswerRBlock, "answer-r-block",
     "the next COUNT commands are answered by an R-block without error instead of their answer, which is lost"},
    {Fault::AnswerSBlock, "answer-s-block",
     "the next COUNT commands are answered by an S(IFS request) instead of their answer, which is lost"},
    {Fault::EndlessEmptyChain, "endless-empty-chain",
     "the next COUNT commands are answered by empty chained I-blocks, one per acknowledge, without end"},
    {Fault::ShortMiddlePacket, "short-middle-packet",
     "the next COUNT answers start with a packet shorter than 64 bytes whose header still announces more"},
    {Fault::SlowWtx, "slow-wtx",
     "the next COUNT commands are answered only after 200 s of virtual time, with an S(WTX request) every 10 s"},
    {Fault::ResetNoAtr, "reset-no-atr",
     "the next COUNT resets are done but answered with status 0xAA and no ATR (the reader has no new ATR to give)"},
    {Fault::PhantomCard, "phantom-card",
     "the next COUNT card-status answers for an empty slot report a card in it, not active (a card switch that "
     "sticks); anything sent to the card still finds the slot empty"},
    {Fault::CardBadEdc, "card-bad-edc",
     "the card's next COUNT T=1 blocks reach the reader with a wrong LRC or CRC (a repeat request gets the good one)"},
    {Fault::CardWtx1, "card-wtx-1",
     "the card asks for more time with S(WTX request) multiplier 1 before its next COUNT blocks that answer an "
     "I-block or an R-block, chained pieces included"},
    {Fault::CardWtx2, "card-wtx-2",
     "the card asks for more time with S(WTX request) multiplier 2 before its next COUNT blocks that answer an "
     "I-block or an R-block, chained pieces included"},
    {Fault::CardWtx255, "card-wtx-255",
     "the card asks for more time with S(WTX request) multiplier 255 before its next COUNT blocks that answer an "
     "I-block or an R-block, chained pieces included"},
    {Fault::CardWrongSequence, "card-wrong-sequence",
     "from its next I-block on the card sends the wrong N(S) in every I-block until it is reset (COUNT such cards)"},
    {Fault::CardMute, "card-mute",
     "the card stays silent for its next COUNT T=0 commands or T=1 blocks: the reader times out"},
    {Fault::CardPulledMid, "card-pulled-mid",
     "the card is pulled out in the middle of its next COUNT answers (T=0 commands or T=1 blocks)"},
    {Fault::CardT0Truncated, "card-t0-truncated",
     "the card's next COUNT T=0 answers stop before their status word: the reader times out"},
    {Fault::CardT0BadProcedure, "card-t0-bad-procedure",
     "the card's next COUNT T=0 answers begin with procedure byte 0x42, which is no procedure byte"},
    {Fault::CardNoNull, "card-no-null",
     "the card works through its next COUNT T=0 commands without NULL bytes, so a long one outlasts the waiting time"},
}};

} // namespace

std::span<const FaultInfo> FaultCatalog() { return kCatalog; }

const FaultInfo& DescribeFault(Fault fault) {
    const FaultInfo& info = kCatalog[static_cast<std::size_t>(fault)];
    assert(info.fault == fault);
    return info;
}

std::optional<Fault> FaultByName(std::string_view name) {
    auto it = std::ranges::find(kCatalog, name, &FaultInfo::name);
    if (it == kCatalog.end()) return std::nullopt;
    return it->fault;
}

void FaultPlan::Arm(Fault fault, unsigned count) { armed_[Index(fault)] += count; }

void FaultPlan::Disarm(Fault fault) { armed_[Index(fault)] = 0; }

void FaultPlan::Clear() { armed_.fill(0); }

bool FaultPlan::Take(Fault fault) {
    unsigned& armed = armed_[Index(fault)];
    if (armed == 0) return false;
    --armed;
    ++fired_[Index(fault)];
    return true;
}

bool FaultPlan::CountDown(Fault fault) {
    unsigned& armed = armed_[Index(fault)];
    if (armed == 0) return false;
    if (--armed != 0) return false;
    ++fired_[Index(fault)];
    return true;
}

} // namespace qv::sim
