// The wire formats of the QV-38N/QV-39N reader: its USB packets, its link
// blocks and its 0xD0 command set, as named constants. Both the firmware and
// the tests that talk to it byte by byte use these names, so that no number
// in the logic has to be explained twice.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>

#include "sim_time.h"

namespace qv::sim {

// ---- USB endpoints and reader packets -------------------------------------

inline constexpr std::uint8_t kBulkInEndpoint = 0x81;
inline constexpr std::uint8_t kBulkOutEndpoint = 0x02;
inline constexpr std::size_t kMaxPacketSize = 64;

// Every reader packet starts with one header byte: 0x00 while more packets
// of the same block follow, 0x04 on the last one.
inline constexpr std::uint8_t kPacketMore = 0x00;
inline constexpr std::uint8_t kPacketLast = 0x04;
inline constexpr std::size_t kPacketHeaderSize = 1;
inline constexpr std::size_t kPacketPayloadSize = kMaxPacketSize - kPacketHeaderSize;

// ---- Link blocks -----------------------------------------------------------

inline constexpr std::uint8_t kHostNad = 0x12;   // blocks from the host to the reader
inline constexpr std::uint8_t kReaderNad = 0x21; // blocks from the reader to the host
// Blocks with node address 0 belong to the card's own T=1 protocol; the
// reader hands them to the card as they are.
inline constexpr std::uint8_t kCardNad = 0x00;

inline constexpr std::size_t kNadOffset = 0;
inline constexpr std::size_t kPcbOffset = 1;
inline constexpr std::size_t kLenOffset = 2;
inline constexpr std::size_t kInfOffset = 3;
inline constexpr std::size_t kPrologueSize = 3;
inline constexpr std::size_t kEpilogueSize = 1; // the LRC
inline constexpr std::size_t kBlockOverhead = kPrologueSize + kEpilogueSize;
inline constexpr std::size_t kMaxInfSize = 254;
inline constexpr std::size_t kMaxBlockSize = kMaxInfSize + kBlockOverhead;

// PCB layout (ISO/IEC 7816-3 T=1).
inline constexpr std::uint8_t kPcbTypeMask = 0xC0;
inline constexpr std::uint8_t kPcbRBlockType = 0x80;
inline constexpr std::uint8_t kPcbSBlockType = 0xC0;
inline constexpr std::uint8_t kPcbIBlockFlag = 0x80; // clear on I-blocks
inline constexpr std::uint8_t kPcbSequence = 0x40;   // N(S) of an I-block
inline constexpr std::uint8_t kPcbMore = 0x20;       // chaining bit of an I-block
inline constexpr std::uint8_t kPcbRSequence = 0x10;  // N(R) of an R-block
inline constexpr std::uint8_t kPcbRErrorMask = 0x0F;
inline constexpr std::uint8_t kRErrorNone = 0x00;
inline constexpr std::uint8_t kRErrorParity = 0x01; // EDC or parity error
inline constexpr std::uint8_t kRErrorOther = 0x02;

// An R-block's N(R) bit sits two places right of an I-block's N(S) bit.
inline constexpr unsigned kSequenceToRShift = 2;

inline constexpr std::uint8_t kPcbResynchRequest = 0xC0;
inline constexpr std::uint8_t kPcbIfsRequest = 0xC1;
inline constexpr std::uint8_t kPcbAbortRequest = 0xC2;
inline constexpr std::uint8_t kPcbWtxRequest = 0xC3;
inline constexpr std::uint8_t kPcbResponseFlag = 0x20; // request -> response
inline constexpr std::uint8_t kPcbResynchResponse = kPcbResynchRequest | kPcbResponseFlag;
inline constexpr std::uint8_t kPcbIfsResponse = kPcbIfsRequest | kPcbResponseFlag;
inline constexpr std::uint8_t kPcbAbortResponse = kPcbAbortRequest | kPcbResponseFlag;
inline constexpr std::uint8_t kPcbWtxResponse = kPcbWtxRequest | kPcbResponseFlag;

// A node address no one uses, for blocks damaged on purpose.
inline constexpr std::uint8_t kForeignNad = 0x05;

inline constexpr bool IsIBlock(std::uint8_t pcb) { return (pcb & kPcbIBlockFlag) == 0; }
inline constexpr bool IsRBlock(std::uint8_t pcb) { return (pcb & kPcbTypeMask) == kPcbRBlockType; }
inline constexpr bool IsSBlock(std::uint8_t pcb) { return (pcb & kPcbTypeMask) == kPcbSBlockType; }

// XOR of all bytes: the block's longitudinal redundancy check.
inline std::uint8_t Lrc(std::span<const std::uint8_t> bytes) {
    std::uint8_t lrc = 0;
    for (std::uint8_t b : bytes) lrc ^= b;
    return lrc;
}

// ---- Reader commands -------------------------------------------------------

inline constexpr std::uint8_t kCommandClass = 0xD0;
inline constexpr std::uint8_t kInsApdu = 0x23;
inline constexpr std::uint8_t kInsCardStatus = 0x31;
inline constexpr std::uint8_t kInsReaderInfo = 0xC0;
inline constexpr std::uint8_t kInsReset = 0xE6;
inline constexpr std::uint8_t kInsPowerDown = 0xE1;
inline constexpr std::uint8_t kInsPps = 0xE7;
inline constexpr std::uint8_t kInsCommand9 = 0xE4;

inline constexpr std::size_t kShortHeaderSize = 2; // D0 INS
inline constexpr std::size_t kLongHeaderSize = 4;  // D0 INS P1 P2
// The two parameter bytes that tell the resets apart, and those of command 9.
inline constexpr std::uint8_t kColdResetP1 = 0x00;
inline constexpr std::uint8_t kColdResetP2 = 0x0F;
inline constexpr std::uint8_t kWarmResetP1 = 0x01;
inline constexpr std::uint8_t kWarmResetP2 = 0x00;
inline constexpr std::uint8_t kCommand9P1 = 0x00;
inline constexpr std::uint8_t kCommand9P2 = 0x08;

// Reply: three leading bytes (the command's class and instruction echoed and
// the slot number), the reader status byte, then the data.
inline constexpr std::size_t kReplyLeadSize = 3;
inline constexpr std::size_t kReplyStatusOffset = 3;
inline constexpr std::size_t kReplyDataOffset = 4;
inline constexpr std::uint8_t kSlotNumber = 0x00;

// Reader status byte.
inline constexpr std::uint8_t kStatusOk = 0x00;
inline constexpr std::uint8_t kStatusResetNoAtr = 0xAA;     // reset done, ATR not repeated
inline constexpr std::uint8_t kStatusCardAbsent = 0xAB;     // APDU or PPS with an empty slot
inline constexpr std::uint8_t kStatusNoActiveCard = 0xAD;   // reset with an empty slot; card not powered
// The card answered a T=0 command with a status word before the data
// transfer its header announced was done: a case 1 command (P3 00 taken as
// Le 256), a refusal such as 6Cxx or 6A82, or data cut short by SW1 SW2.
// The data are the card's bytes, usually just SW1 SW2.
inline constexpr std::uint8_t kStatusCardEndedEarly = 0xD3;
inline constexpr std::uint8_t kStatusCardMute = 0xD4;       // the card did not answer in time
// The card sent a byte that is no T=0 procedure byte, or asked for more
// data than the command has.
inline constexpr std::uint8_t kStatusProcedureError = 0xD5;
inline constexpr std::uint8_t kStatusPpsProtocolRefused = 0xE8;
inline constexpr std::uint8_t kStatusPpsRateRefused = 0xE9;
inline constexpr std::uint8_t kStatusUnknownCommand = 0xF0;
inline constexpr std::uint8_t kStatusBadLength = 0xF1;

// Card status bits, reply data byte 0 of the card-status command.
inline constexpr std::uint8_t kCardStatusPresent = 0x08;
inline constexpr std::uint8_t kCardStatusActive = 0x10;

// Reader information data bytes.
inline constexpr std::size_t kModelIdOffset = 0;
inline constexpr std::size_t kModelIdSize = 6;
inline constexpr std::array<std::size_t, 4> kVersionDigitOffsets{11, 13, 14, 15};
inline constexpr std::size_t kReaderInfoSize = 24;

// PPS request: PPSS, PPS0, PPS1, PCK.
inline constexpr std::size_t kPpsRequestSize = 4;
inline constexpr std::uint8_t kPpss = 0xFF;
inline constexpr std::uint8_t kPps0ProtocolMask = 0x0F;
inline constexpr std::uint8_t kPps0HasPps1 = 0x10;
inline constexpr std::uint8_t kDefaultPps1 = 0x11; // Fi 1, Di 1: the default rate

} // namespace qv::sim
