// The console commands that change the simulated world around a reader:
// card, fault and the reader a plug brings. qvsim app and qvwinhost (the
// simulator behind the Windows image's run under Wine) answer them with the
// same lines.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "usb_reader.h"

namespace qv::harness {

struct WorldAnswer {
    bool ok = false;
    // Done: the lines to print. Refused: one line, what is wrong.
    std::vector<std::string> lines;
};

// card insert [NAME | atr HEX], card remove, card list: the arguments after
// "card". reader may be null for card list; seed makes the cards.
WorldAnswer CardCommand(sim::UsbReader* reader, std::string_view arguments, std::uint64_t seed);

// fault NAME [COUNT], fault list: the arguments after "fault".
WorldAnswer FaultCommand(sim::UsbReader* reader, std::string_view arguments);

// plug [QV-38N | QV-39N]: the new reader, its slot empty (card, the
// session's card, goes in with card insert); null, and why in error, for an
// unknown model.
std::unique_ptr<sim::UsbReader> ReaderToPlug(std::string_view model, sim::ReaderModel sessionModel,
                                              std::string_view sessionCard, std::uint64_t seed, std::string& error);

} // namespace qv::harness
