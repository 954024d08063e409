// The named cards a person or a test can put in the reader's slot, each
// behaving like a real card of its kind, and cards made from any ATR.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "simple_card.h"

namespace qv::sim {

struct CatalogueEntry {
    std::string_view name;
    std::string_view description;
    SimpleCardOptions (*options)();
};

// Every named card, in the order `card list` shows them.
std::span<const CatalogueEntry> CardCatalogue();
const CatalogueEntry* FindCard(std::string_view name);

// The card's options by name, its challenge bytes from seed; nothing when no
// card has that name.
std::optional<SimpleCardOptions> CardOptions(std::string_view name, std::uint64_t seed = 1);
std::unique_ptr<SimpleCard> MakeCard(std::string_view name, std::uint64_t seed = 1);

// A card that answers reset with atr and behaves as the ATR announces: the
// protocols its TD bytes name (T=0 when none), the rate of TA1, the IFSC of
// its first T=1 group. Nothing when the ATR is empty or longer than 33 bytes.
std::optional<SimpleCardOptions> OptionsFromAtr(std::span<const std::uint8_t> atr, std::uint64_t seed = 1);

// "T0,T1", "T0", "T1" or "none", as the console prints protocols.
std::string ProtocolNames(std::uint8_t protocols);

} // namespace qv::sim
