// A small card for the reader's slot: a fixed ATR, a handful of commands and
// just enough of T=1 to carry them. It stands in until the full cards (ATRs
// from parameters, an ISO 7816-4 file system) take its place behind the same
// Card interface.
#pragma once

#include <cstdint>
#include <optional>
#include <random>

#include "card_interface.h"
#include "sim_time.h"

namespace qv::sim {

inline constexpr std::uint8_t kProtocolT0 = 0x01;
inline constexpr std::uint8_t kProtocolT1 = 0x02;

struct SimpleCardOptions {
    Bytes atr{0x3B, 0x02, 0x14, 0x50};
    // Protocols the card agrees to in a PPS (bit 0x01 T=0, 0x02 T=1).
    std::uint8_t protocols = kProtocolT0 | kProtocolT1;
    // When false the card refuses every rate but the default (PPS1 0x11).
    bool acceptsFasterRates = true;
    // The fastest rate the card offers in its ATR (TA1 coding). When set, a
    // PPS is accepted for the default rate or for the same Fi with a Di no
    // larger than this one's; when not set, any valid rate.
    std::optional<std::uint8_t> offeredRate{};
    // A warm reset answers this ATR instead of atr, as cards whose second
    // answer switches them to another mode do.
    std::optional<Bytes> warmAtr{};
    // Clock cycles from the end of the reset to the first ATR character;
    // ISO/IEC 7816-3 allows 400 to 40000.
    std::uint32_t resetClocks = 10'000;
    // The card's information field size: T=1 I-blocks from the host with a
    // longer field are answered with an error R-block.
    std::uint8_t ifsc = 254;
    // The card's own work per command, on top of its characters on the wire;
    // a large value makes a slow card.
    usb::Time processingTime = 2 * kMillisecond;
    bool mute = false;
    // Seed of the challenge bytes, so that a run is repeatable.
    std::uint64_t seed = 1;
};

// Commands the card knows (CLA INS):
//   xx A4  SELECT: data ignored, 90 00
//   xx 84  GET CHALLENGE: Le bytes (Le 0 means 256), 90 00
//   80 EE  ECHO, a test command: its data back, 90 00
//   others 6D 00; a length that does not fit the command 67 00.
class SimpleCard final : public Card {
  public:
    explicit SimpleCard(SimpleCardOptions options = {});

    CardReply Reset(ResetKind kind) override;
    void PowerDown() override;
    bool Powered() const override { return powered_; }
    PpsReply Pps(std::span<const std::uint8_t> request) override;
    CardReply Command(std::span<const std::uint8_t> command) override;
    CardReply Block(std::span<const std::uint8_t> block) override;

    void SetMute(bool mute) { options_.mute = mute; }
    bool Mute() const { return options_.mute; }
    void SetProcessingTime(usb::Time time) { options_.processingTime = time; }
    SimpleCardOptions& Options() { return options_; }

    // Time of one character at the card's current rate (12 etu).
    usb::Time CharacterTime() const;
    // How long a reader waits for a silent card before it gives up.
    usb::Time WaitingTime() const;
    // Virtual time of an answer to reset: the card's reset clocks, then its
    // ATR characters at the default rate; for a mute card the 40000 clocks
    // after which a reader gives up.
    usb::Time ResetTime(std::size_t atrLength) const;
    // The protocol agreed by the last PPS (0 before any), and its rate.
    std::uint8_t SelectedProtocol() const { return protocol_; }
    std::uint8_t RateIndex() const { return rate_; }

  private:
    Bytes Execute(std::span<const std::uint8_t> command);
    usb::Time Exchange(std::size_t characters) const;

    // The card's side of T=1, just enough for single and chained I-blocks.
    Bytes T1Answer(std::span<const std::uint8_t> block);
    Bytes T1Block(std::uint8_t pcb, std::span<const std::uint8_t> inf = {});
    Bytes T1NextPiece();
    void T1Reset();

    SimpleCardOptions options_;
    std::mt19937_64 random_;
    bool powered_ = false;
    std::uint8_t protocol_ = 0;
    std::uint8_t rate_ = 0x11; // PPS1 in force: Fi index high, Di index low

    // T=1 state.
    std::uint8_t t1HostSequence_ = 0;  // N(S) expected from the host
    std::uint8_t t1CardSequence_ = 0;  // N(S) of the card's next I-block
    std::size_t t1Ifsd_ = 32;          // the host's receive size, ISO default
    Bytes t1Command_;                  // chained command being collected
    Bytes t1Response_;                 // response still to be sent
    std::size_t t1ResponseSent_ = 0;
    Bytes t1LastBlock_;
};

} // namespace qv::sim
