// Faults of the simulated reader that a test or a person at the console can
// arm. Each fault has a name, a one-line description and a count: it applies
// to the next COUNT blocks, answers or transfers, as its description says,
// and is then spent.
#pragma once

#include <array>
#include <cstddef>
#include <optional>
#include <span>
#include <string_view>

namespace qv::sim {

enum class Fault : unsigned {
    AnswerBadLrc,        // reader blocks with a wrong LRC
    AnswerBadNad,        // reader blocks with a foreign node address
    AnswerBadLength,     // reader blocks whose LEN does not match their length
    AnswerErrorBlock,    // an error R-block instead of the reader's block
    AnswerWtx,           // an S(WTX request) before a command's answer
    AnswerWrongSequence, // reader I-blocks with the wrong N(S)
    AnswerChained,       // a command's answer chained in small pieces
    OutFail,             // a bus error on an OUT transfer; the data is lost
    OutShort,            // the device accepts only part of an OUT transfer
    OutStall,            // the OUT endpoint halts until its pipe is reset
    InFail,              // a bus error on an IN transfer; the packet is lost
    InStall,             // the IN endpoint halts until its pipe is reset
    InEndless,           // an answer whose packets never end
    InZeroLength,        // a zero-length packet instead of the next one
    Vanish,              // the reader disappears from the bus
    CardPulled,          // the card is pulled out during a card operation
    LateAnswer,          // a command's answer held back until the host's next block
    SlowNoWtx,           // a command answered only after 20 s, without a WTX request
    AnswerRBlock,        // an R-block without error instead of a command's answer
    AnswerSBlock,        // an S(IFS request) instead of a command's answer
    EndlessEmptyChain,   // a command answered by empty chained I-blocks without end
    ShortMiddlePacket,   // an answer whose first packet is short but announces more
    SlowWtx,             // a command answered only after 200 s, with WTX requests meanwhile
    ResetNoAtr,          // a reset answered with status 0xAA and no ATR
    PhantomCard,         // a card-status answer that reports a card in the empty slot
    // Faults of the card in the slot.
    CardBadEdc,          // T=1 blocks of the card with a wrong LRC or CRC
    CardWtx1,            // an S(WTX request) with multiplier 1 before a card block
    CardWtx2,            // the same with multiplier 2
    CardWtx255,          // the same with multiplier 255
    CardWrongSequence,   // the card's I-blocks carry the wrong N(S) until it is reset
    CardMute,            // the card stays silent
    CardPulledMid,       // the card is pulled out while it answers
    CardT0Truncated,     // a T=0 answer that stops before its status word
    CardT0BadProcedure,  // a T=0 answer that starts with an invalid procedure byte
    CardNoNull,          // a long T=0 command worked through without NULL bytes
};

inline constexpr std::size_t kFaultCount = static_cast<std::size_t>(Fault::CardNoNull) + 1;

struct FaultInfo {
    Fault fault;
    std::string_view name;
    std::string_view description;
};

// Every fault with its name and description, in the order of the enum, for
// a console's `fault list`.
std::span<const FaultInfo> FaultCatalog();
const FaultInfo& DescribeFault(Fault fault);
std::optional<Fault> FaultByName(std::string_view name);

// The faults armed on one reader.
class FaultPlan {
  public:
    // Arms fault for the next count occasions (adds to what is armed).
    void Arm(Fault fault, unsigned count = 1);
    void Disarm(Fault fault);
    void Clear();

    unsigned Armed(Fault fault) const { return armed_[Index(fault)]; }
    // How often the fault has fired since the reader was made.
    unsigned Fired(Fault fault) const { return fired_[Index(fault)]; }

    // True, and one count spent, when fault is armed for this occasion.
    bool Take(Fault fault);
    // For faults that wait: spends one count and fires (true) only when the
    // last count is spent, so that count N fires on the N-th occasion.
    bool CountDown(Fault fault);

  private:
    static std::size_t Index(Fault fault) { return static_cast<std::size_t>(fault); }
    std::array<unsigned, kFaultCount> armed_{};
    std::array<unsigned, kFaultCount> fired_{};
};

} // namespace qv::sim
