// The reader's side of the link block protocol: every block from the host
// gets exactly one block back. Host I-blocks (NAD 0x12) carry reader
// commands, chained at 254 bytes; the reader's I-blocks (NAD 0x21) carry the
// answers, chained the same way and released piece by piece as the host
// acknowledges them. Long operations are announced with S(WTX request),
// damaged host blocks are answered with error R-blocks, and a repeat request
// gets the last block again. Blocks with NAD 0 are the card's own and go to
// it unchanged.
#pragma once

#include <cstdint>
#include <optional>
#include <span>

#include "card_interface.h"
#include "reader_commands.h"
#include "reader_faults.h"
#include "reader_protocol.h"
#include "sim_time.h"

namespace qv::sim {

// How soon the reader answers a block that needs no command run: an
// acknowledge, a resynchronisation, a repeated block, an error report.
inline constexpr usb::Time kBlockTurnaround = 1 * kMillisecond;
// By default, an answer that takes longer than this is announced by an
// S(WTX request), whose multiplier counts these units.
inline constexpr usb::Time kDefaultReaderWaitingTime = 500 * kMillisecond;
// Piece size of an answer chained by the answer-chained fault.
inline constexpr std::size_t kFaultChainPieceSize = 4;
// The longest command the reader collects from a chain of host I-blocks.
inline constexpr std::size_t kMaxCommandSize = 512;
// How long a command takes when the slow-no-wtx fault makes it slow.
inline constexpr usb::Time kSlowAnswerTime = 20 * kSecond;
// How long a command takes when the slow-wtx fault makes it slow.
inline constexpr usb::Time kVerySlowAnswerTime = 200 * kSecond;
// The most time one S(WTX request) asks for; a longer operation asks again.
inline constexpr usb::Time kMaxWtxSpan = 10 * kSecond;
// The IFS an S(IFS request) of the answer-s-block fault asks for.
inline constexpr std::uint8_t kFaultIfs = 0xFE;

struct OutgoingBlock {
    Bytes wire;              // the block as it goes out (faults applied)
    usb::Time readyAt = 0;   // when it may go out
    bool held = false;       // held back until the host sends its next block
    // For a block that carries the card's answer: what goes out instead if
    // the card is pulled out before readyAt.
    std::optional<Bytes> withoutCard{};
};

class ReaderBlocks {
  public:
    ReaderBlocks(ReaderCommands& commands, FaultPlan& faults,
                 usb::Time waitingTime = kDefaultReaderWaitingTime);

    // One whole host block, received at now, and the reader's block for it.
    OutgoingBlock Receive(std::span<const std::uint8_t> block, usb::Time now);
    // A host block whose packets arrived damaged: an error R-block, and the
    // link state stays as it was.
    OutgoingBlock ReceiveDamaged(usb::Time now);

    // Power-on state: both sequence bits 0, nothing collected or pending.
    void Reset();

    // The card is pulled out. A command answer the card had not finished
    // becomes the reader's "no card" answer: from now on if none of it has
    // gone out yet, or in place of its first block when the answer queue
    // replaced that one (firstBlockReplaced).
    void CardGone(bool firstBlockReplaced);

    // N(S) (0x00 or 0x40) the next host I-block must carry, and the one the
    // reader's next I-block will carry.
    std::uint8_t HostSequence() const { return hostSequence_; }
    std::uint8_t ReaderSequence() const { return readerSequence_; }

  private:
    // A command's answer on its way out.
    struct Answer {
        Bytes inf;
        std::size_t sent = 0;
        std::size_t pieceSize = kMaxInfSize;
        usb::Time readyAt = 0;
        bool awaitingWtxResponse = false;
        usb::Time grantedUntil = 0; // end of the time the last WTX request asked for
        bool started = false;      // a piece has gone out
        bool endlessEmpty = false; // the endless-empty-chain fault: empty pieces for ever
        std::optional<Bytes> withoutCard{};
    };

    OutgoingBlock FromCard(std::span<const std::uint8_t> block, usb::Time now);
    OutgoingBlock OnIBlock(std::uint8_t pcb, std::span<const std::uint8_t> inf, usb::Time now);
    OutgoingBlock OnRBlock(std::uint8_t pcb, usb::Time now);
    OutgoingBlock OnSBlock(std::uint8_t pcb, std::span<const std::uint8_t> inf, usb::Time now);
    OutgoingBlock RunCommand(usb::Time now);
    OutgoingBlock AnswerCommand(usb::Time now);
    // An S(WTX request) for what is left of the answer's time, computed at `at`.
    OutgoingBlock AskForTime(usb::Time at);
    OutgoingBlock NextPiece(usb::Time readyAt);
    OutgoingBlock Resend(usb::Time now);
    OutgoingBlock ErrorBlock(std::uint8_t error, usb::Time now);

    Bytes Build(std::uint8_t pcb, std::span<const std::uint8_t> inf = {}) const;
    std::uint8_t RSequence() const;
    // Remembers block as the last one sent and puts it on the wire with
    // whatever faults are armed.
    OutgoingBlock Emit(Bytes block, usb::Time readyAt);
    Bytes Damage(Bytes block);

    ReaderCommands& commands_;
    FaultPlan& faults_;
    usb::Time waitingTime_;
    std::uint8_t hostSequence_ = 0;
    std::uint8_t readerSequence_ = 0;
    Bytes command_;
    std::optional<Answer> answer_;
    Bytes lastBlock_;
    usb::Time lastReadyAt_ = 0;
    // What the last block is in a repeat once the card is pulled out, when
    // it carried the card's unfinished answer.
    std::optional<Bytes> lastWithoutCard_;
};

} // namespace qv::sim
