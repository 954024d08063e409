// The reader's 0xD0 command set: what the firmware does with one whole
// command once the block layer has collected it, and how long that takes.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <span>
#include <string_view>

#include "card_interface.h"
#include "card_slot.h"
#include "cards/atr.h"
#include "reader_faults.h"
#include "sim_time.h"

namespace qv::sim {

enum class ReaderModel { Qv38N, Qv39N };

// The six-character model id the reader reports ("QV-38N", "QV-39N").
std::string_view ModelId(ReaderModel model);
// The model a model id names; nothing for any other text.
std::optional<ReaderModel> ModelByName(std::string_view id);

// Four decimal digits, reported in the low nibbles of the reader
// information's version bytes.
using FirmwareVersion = std::array<std::uint8_t, 4>;

// The reader's own handling of one command, before any card time.
inline constexpr usb::Time kCommandProcessingTime = 3 * kMillisecond;

struct CommandOutcome {
    Bytes reply;            // three leading bytes, the status byte, the data
    usb::Time duration = 0; // from the command's arrival to the answer
    // For a command the card answers: the reply the reader gives instead
    // when the card is pulled out before the command's time is up.
    std::optional<Bytes> withoutCard{};
};

class ReaderCommands {
  public:
    struct Settings {
        ReaderModel model = ReaderModel::Qv38N;
        FirmwareVersion version{2, 1, 0, 7};
        // Resets answer 0xAA without repeating the ATR, as some firmware does.
        bool shortResetAnswer = false;
    };

    ReaderCommands(Settings settings, CardSlot& slot, FaultPlan& faults);

    CommandOutcome Execute(std::span<const std::uint8_t> command);

    // A block of the card's own T=1 protocol, passed to the card untouched.
    // No bytes in the reply means the card (or the slot) stayed silent.
    CardReply CardBlock(std::span<const std::uint8_t> block);

    void SetShortResetAnswer(bool on) { settings_.shortResetAnswer = on; }
    const Settings& CurrentSettings() const { return settings_; }

  private:
    CommandOutcome Apdu(std::span<const std::uint8_t> payload);
    CommandOutcome CardStatus();
    CommandOutcome ReaderInfo();
    CommandOutcome Reset(ResetKind kind);
    CommandOutcome PowerDown();
    CommandOutcome Pps(std::span<const std::uint8_t> payload);
    CommandOutcome Command9();

    // True when a card-pulled fault takes the card out as an operation starts.
    bool CardPulledNow();
    // The card in the slot, told which faults are armed.
    Card& TheCard();
    // True when the card-pulled-mid fault takes the card out while it answers.
    bool CardPulledMidway();

    // What the reader knows of the card line: the ATR it read at the last
    // reset and the rate in force (PPS1), for its waiting times.
    AtrProfile cardProfile_{};
    std::uint8_t lineRate_ = kDefaultRate;

    Settings settings_;
    CardSlot& slot_;
    FaultPlan& faults_;
};

} // namespace qv::sim
