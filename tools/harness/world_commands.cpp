#include "harness/world_commands.h"

#include "cards/atr.h"
#include "cards/card_catalogue.h"
#include "harness/console_words.h"
#include "harness/link_trace.h"

namespace qv::harness {

namespace {

WorldAnswer Refused(std::string what) { return {false, {std::move(what)}}; }
WorldAnswer Done(std::string line) { return {true, {std::move(line)}}; }

} // namespace

WorldAnswer CardCommand(sim::UsbReader* reader, std::string_view arguments, std::uint64_t seed) {
    const std::string_view what = NextWord(arguments);
    if (what == "list") {
        if (!arguments.empty()) return Refused("card list takes no arguments");
        WorldAnswer answer{true, {}};
        for (const sim::CatalogueEntry& entry : sim::CardCatalogue()) {
            const sim::SimpleCardOptions options = entry.options();
            answer.lines.push_back("card " + std::string(entry.name) + ": " + sim::ProtocolNames(options.protocols) +
                                   " ATR " + HexBytes(options.atr) + " (" + std::string(entry.description) + ")");
        }
        return answer;
    }
    if (reader == nullptr) return Refused("this reader is not plugged in");
    if (what == "remove") {
        if (!arguments.empty()) return Refused("card remove takes no arguments");
        reader->RemoveCard();
        return Done("card out");
    }
    if (what != "insert") return Refused("card insert [NAME | atr HEX], card remove or card list");
    std::unique_ptr<sim::SimpleCard> card;
    std::string name = "the slot's card";
    const std::string_view first = NextWord(arguments);
    if (first == "atr") {
        const std::string_view hex = NextWord(arguments);
        std::vector<std::uint8_t> atr;
        if (!arguments.empty() || !ParseHex(hex, atr)) return Refused("card insert atr needs the ATR as hex digits in pairs");
        if (atr.size() > sim::kMaxAtrLength) return Refused("an ATR has at most 33 bytes");
        auto options = sim::OptionsFromAtr(atr, seed);
        if (!options) return Refused("an ATR has 1 to 33 bytes");
        card = std::make_unique<sim::SimpleCard>(*options);
        name = "from ATR";
    } else if (!first.empty()) {
        if (!arguments.empty()) return Refused("card insert takes one card name");
        card = sim::MakeCard(first, seed);
        if (!card) return Refused("no card named '" + std::string(first) + "' (try card list)");
        name = std::string(first);
    }
    // The driver learns of the card from its next poll.
    if (reader->CardInserted()) reader->RemoveCard();
    if (card) {
        reader->InsertCard(std::move(card));
    } else {
        reader->InsertCard();
    }
    return Done("card in: " + name);
}

WorldAnswer FaultCommand(sim::UsbReader* reader, std::string_view arguments) {
    const std::string_view name = NextWord(arguments);
    if (name == "list") {
        WorldAnswer answer{true, {}};
        for (const sim::FaultInfo& info : sim::FaultCatalog()) {
            answer.lines.push_back("  " + std::string(info.name) + ": " + std::string(info.description));
        }
        return answer;
    }
    if (reader == nullptr) return Refused("this reader is not plugged in");
    unsigned count = 1;
    if (!arguments.empty() && (!ParseNumber(arguments, count) || count == 0)) {
        return Refused("the count must be a whole number above 0");
    }
    if (name.empty() || !reader->Arm(name, count)) return Refused("no fault named '" + std::string(name) + "' (try fault list)");
    return Done("fault " + std::string(name) + " armed for " + std::to_string(count));
}

std::unique_ptr<sim::UsbReader> ReaderToPlug(std::string_view model, sim::ReaderModel sessionModel,
                                              std::string_view sessionCard, std::uint64_t seed, std::string& error) {
    sim::ReaderOptions options;
    options.model = sessionModel;
    model = Trim(model);
    if (const auto named = sim::ModelByName(model)) {
        options.model = *named;
    } else if (!model.empty()) {
        error = "plug takes QV-38N or QV-39N";
        return nullptr;
    }
    options.cardInserted = false;
    return std::make_unique<sim::UsbReader>(options, sim::MakeCard(sessionCard, seed));
}

} // namespace qv::harness
