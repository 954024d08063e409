// What the reader's firmware sees of a card in its slot. The reader powers
// the card, resets it, negotiates with it and passes it commands; how a card
// answers is the card's own business, so that richer cards can take the
// simple one's place without the reader changing.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "usb/usb_device_model.h"

namespace qv::sim {

class FaultPlan;

using Bytes = std::vector<std::uint8_t>;

enum class ResetKind { Cold, Warm };

// A card's answer to one operation, and the virtual time the operation took
// on the card's contacts (its characters at its data rate plus its own work).
// No bytes means the card stayed silent; the time is then how long a reader
// waits before it gives up.
struct CardReply {
    std::optional<Bytes> bytes;
    usb::Time duration = 0;
    // The longest pause between two of the card's characters (or before its
    // first), which a reader holds against its waiting time.
    usb::Time longestSilence = 0;
};

enum class PpsVerdict { Accepted, RateRefused, ProtocolRefused };

struct PpsReply {
    PpsVerdict verdict = PpsVerdict::Accepted;
    usb::Time duration = 0;
};

class Card {
  public:
    virtual ~Card() = default;

    // Activates (cold) or re-resets (warm) the card; the reply is its ATR.
    // A warm reset of an unpowered card is a cold one.
    virtual CardReply Reset(ResetKind kind) = 0;
    virtual void PowerDown() = 0;
    virtual bool Powered() const = 0;

    // A PPS request (PPSS, PPS0, [PPS1], PCK) on a powered card.
    virtual PpsReply Pps(std::span<const std::uint8_t> request) = 0;

    // T=0 characters from the reader: first the five header bytes, later
    // the data the card asked for with a procedure byte. The reply is what
    // the card sends until it waits for the reader again or has sent SW1
    // SW2: procedure bytes (INS, its complement, NULL 0x60), data, status.
    virtual CardReply T0Characters(std::span<const std::uint8_t> characters) = 0;

    // A block of the card's own T=1 protocol (NAD 0), answered with the
    // card's block exactly as it goes back to the host.
    virtual CardReply Block(std::span<const std::uint8_t> block) = 0;

    // The faults armed on the reader the card sits in, for the card's own
    // misbehaviours; null for none.
    virtual void UseFaults(FaultPlan* /*faults*/) {}
};

} // namespace qv::sim
