// The channel settings a reader.conf entry gives in its DEVICENAME, in the
// characters pcscd's configuration reader takes: "qvscr:QV-39N:t1" is the
// model and the card, both optional and in any order after the leading
// name (which is the caller's and ignored). The card is a catalogue name,
// "atr@HEX" for a card made from that ATR, or "none" for an empty slot.
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "pcsc/bridge.h"

namespace qv::pcsc {

// Nothing (and why in error) for a name the bridge cannot take.
std::optional<ChannelOptions> ParseDeviceName(std::string_view name, std::string& error);

} // namespace qv::pcsc
