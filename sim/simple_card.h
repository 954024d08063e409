// The simulated card: it answers reset with its ATR and then behaves as that
// ATR says (protocols, rate, extra guard time, T=0's waiting integer, T=1's
// IFSC, BWI and LRC or CRC), negotiates a PPS, runs T=0 character by
// character and T=1 block by block, and carries an application behind both:
// the shared ISO/IEC 7816-4 one unless its options name another.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <random>

#include "card_interface.h"
#include "cards/card_t1.h"
#include "cards/iso_application.h"
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
    // Under T=0 the card moves data one byte at a time, each after the
    // complement of INS, instead of all at once after INS.
    bool t0ByteByByte = false;
    // Seed of the challenge and key bytes, so that a run is repeatable.
    std::uint64_t seed = 1;
    // The application the card carries, made from the seed; none means
    // IsoApplication with processingTime as its work per command.
    std::function<std::unique_ptr<CardApplication>(std::uint64_t seed)> application{};
};

// What a card has done since it was made, for a person or a benchmark that
// wants to know the work behind a client's request.
struct CardStatistics {
    // Resets, PPS exchanges, characters and blocks on the line with the
    // card's own work in between.
    usb::Time busy = 0;
    std::uint64_t commands = 0;     // APDUs the application ran
    std::uint64_t chained = 0;      // of them, links of a command chain (CLA bit 0x10)
    std::uint64_t getResponses = 0; // of them, GET RESPONSE
    std::uint64_t extended = 0;     // APDUs with extended Lc or Le, which the card refuses
};

class SimpleCard final : public Card {
  public:
    explicit SimpleCard(SimpleCardOptions options = {});

    CardReply Reset(ResetKind kind) override;
    void PowerDown() override;
    bool Powered() const override { return powered_; }
    PpsReply Pps(std::span<const std::uint8_t> request) override;
    CardReply T0Characters(std::span<const std::uint8_t> characters) override;
    CardReply Block(std::span<const std::uint8_t> block) override;
    void UseFaults(FaultPlan* faults) override { faults_ = faults; }

    void SetMute(bool mute) { options_.mute = mute; }
    bool Mute() const { return options_.mute; }
    void SetProcessingTime(usb::Time time) { options_.processingTime = time; }
    SimpleCardOptions& Options() { return options_; }

    // Time of one character from the card at its current rate (12 etu).
    usb::Time CharacterTime() const;
    // Time of one character from the reader: 12 etu and the extra guard
    // time N of TC1.
    usb::Time ReaderCharacterTime() const;
    // How long a reader waits for a silent card before it gives up: T=0's
    // work waiting time 960 x WI x Fi clocks; for T=1 the block waiting
    // time.
    usb::Time WaitingTime() const;
    usb::Time BlockWaitingTime() const;
    // Virtual time of an answer to reset: the card's reset clocks, then its
    // ATR characters at the default rate; for a mute card the 40000 clocks
    // after which a reader gives up.
    usb::Time ResetTime(std::size_t atrLength) const;
    // The protocol agreed by the last PPS (0 before any), and its rate.
    std::uint8_t SelectedProtocol() const { return protocol_; }
    std::uint8_t RateIndex() const { return rate_; }
    // The protocol the card runs now: the one a PPS agreed, else the one its
    // ATR puts first (TA2's in specific mode).
    std::uint8_t ActiveProtocol() const;
    CardApplication& Application() { return *application_; }
    const CardStatistics& Statistics() const { return statistics_; }
    const CardT1& T1() const { return t1_; }

  private:
    bool Faulted(Fault fault) { return faults_ != nullptr && faults_->Take(fault); }
    // The operations themselves; the public ones add their time to the
    // statistics.
    CardReply ResetOnLine(ResetKind kind);
    PpsReply PpsOnLine(std::span<const std::uint8_t> request);
    CardReply T0OnLine(std::span<const std::uint8_t> characters);
    CardReply BlockOnLine(std::span<const std::uint8_t> block);
    CardReply Charge(CardReply reply);
    // Hands one APDU to the application, counted.
    ApduAnswer RunApdu(const Apdu& apdu, Transport transport);
    // Runs a whole T=0 command once its header (and data) are in.
    CardReply T0Run(const Apdu& apdu);
    // Reads a whole APDU out of T=1 information fields and runs it.
    ApduAnswer RunT1Apdu(std::span<const std::uint8_t> command);

    SimpleCardOptions options_;
    std::uint8_t atrProtocols_ = 0;   // as the ATR's TD bytes (and TA2) say
    std::optional<std::uint8_t> specificProtocol_;
    std::uint8_t extraGuard_ = 0;
    std::uint8_t wi_ = 10;
    std::uint8_t bwi_ = 4;
    FaultPlan* faults_ = nullptr;
    bool powered_ = false;
    bool ppsDone_ = false;
    bool rateRefused_ = false; // the one PPS left the card at the default rate
    std::uint8_t protocol_ = 0;
    std::uint8_t rate_ = 0x11; // PPS1 in force: Fi index high, Di index low
    std::unique_ptr<CardApplication> application_;
    CardT1 t1_;
    CardStatistics statistics_;

    // T=0: the header of a command whose data the card has asked for.
    std::optional<Bytes> t0Header_;
    Bytes t0Data_; // the data bytes received so far
    std::uint8_t ProcedureForData(std::uint8_t ins) const;
};

} // namespace qv::sim
