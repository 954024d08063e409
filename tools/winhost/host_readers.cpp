#include "winhost/host_readers.h"

#include <charconv>

#include "cards/card_catalogue.h"
#include "harness/console_words.h"
#include "harness/link_trace.h"

namespace qv::winhost {

namespace {

using harness::NextWord;
using harness::Trim;

constexpr std::size_t kMaxAtrLength = 33;

bool ParseHex(std::string_view text, std::vector<std::uint8_t>& bytes) {
    if (text.empty() || text.size() % 2 != 0) return false;
    bytes.clear();
    for (std::size_t i = 0; i < text.size(); i += 2) {
        std::uint8_t value = 0;
        const auto [end, error] = std::from_chars(text.data() + i, text.data() + i + 2, value, 16);
        if (error != std::errc{} || end != text.data() + i + 2) return false;
        bytes.push_back(value);
    }
    return true;
}

CommandAnswer Refuse(std::string text) { return {false, std::move(text)}; }

} // namespace

HostReaders::HostReaders(HostOptions options) : options_(std::move(options)) {
    sim::ReaderOptions readerOptions;
    readerOptions.model = options_.model;
    readerOptions.cardInserted = !options_.noCard;
    readers_.push_back(std::make_unique<sim::UsbReader>(readerOptions, sim::MakeCard(options_.card, options_.seed)));
}

std::vector<std::uint8_t> HostReaders::List() const {
    std::vector<std::uint8_t> list{0};
    for (std::size_t number = 0; number < readers_.size(); ++number) {
        const sim::UsbReader& reader = *readers_[number];
        if (!reader.Attached()) continue;
        const std::uint16_t product = reader.Model() == sim::ReaderModel::Qv38N ? sim::kProductIdQv38N : sim::kProductIdQv39N;
        list.push_back(static_cast<std::uint8_t>(number));
        list.push_back(static_cast<std::uint8_t>(product & 0xFF));
        list.push_back(static_cast<std::uint8_t>(product >> 8));
        ++list[0];
    }
    return list;
}

sim::UsbReader* HostReaders::Find(std::uint8_t number) {
    return number < readers_.size() ? readers_[number].get() : nullptr;
}

CommandAnswer HostReaders::Command(std::uint8_t number, std::string_view line) {
    std::string_view rest = Trim(line);
    const std::string_view verb = NextWord(rest);
    if (verb == "plug") return Plug(rest);
    sim::UsbReader* reader = Find(number);
    if (verb == "card" && rest == "list") return Card(reader, rest);
    if (verb == "fault" && rest == "list") return Fault(reader, rest);
    if (reader == nullptr || !reader->Attached()) return Refuse("this reader is not plugged in");
    if (verb == "card") return Card(reader, rest);
    if (verb == "fault") return Fault(reader, rest);
    if (verb == "unplug") {
        reader->Vanish();
        return {true, "unplugged"};
    }
    return Refuse("the simulator knows no command '" + std::string(verb) + "'");
}

// The same answers and words as qvsim app's card command.
CommandAnswer HostReaders::Card(sim::UsbReader* reader, std::string_view arguments) {
    const std::string_view what = NextWord(arguments);
    if (what == "list") {
        std::string lines;
        for (const sim::CatalogueEntry& entry : sim::CardCatalogue()) {
            const sim::SimpleCardOptions options = entry.options();
            if (!lines.empty()) lines += "\n";
            lines += "card " + std::string(entry.name) + ": " + sim::ProtocolNames(options.protocols) + " ATR " +
                     harness::HexBytes(options.atr) + " (" + std::string(entry.description) + ")";
        }
        return {true, lines};
    }
    if (what == "remove") {
        if (!arguments.empty()) return Refuse("card remove takes no arguments");
        reader->RemoveCard();
        return {true, "card out"};
    }
    if (what != "insert") return Refuse("card insert [NAME | atr HEX], card remove or card list");
    std::unique_ptr<sim::SimpleCard> card;
    std::string name = "the slot's card";
    const std::string_view first = NextWord(arguments);
    if (first == "atr") {
        const std::string_view hex = NextWord(arguments);
        std::vector<std::uint8_t> atr;
        if (!arguments.empty() || !ParseHex(hex, atr)) return Refuse("card insert atr needs the ATR as hex digits in pairs");
        if (atr.size() > kMaxAtrLength) return Refuse("an ATR has at most 33 bytes");
        auto options = sim::OptionsFromAtr(atr, options_.seed);
        if (!options) return Refuse("an ATR has 1 to 33 bytes");
        card = std::make_unique<sim::SimpleCard>(*options);
        name = "from ATR";
    } else if (!first.empty()) {
        if (!arguments.empty()) return Refuse("card insert takes one card name");
        card = sim::MakeCard(first, options_.seed);
        if (!card) return Refuse("no card named '" + std::string(first) + "' (try card list)");
        name = std::string(first);
    }
    if (reader->CardInserted()) reader->RemoveCard();
    if (card) {
        reader->InsertCard(std::move(card));
    } else {
        reader->InsertCard();
    }
    return {true, "card in: " + name};
}

CommandAnswer HostReaders::Fault(sim::UsbReader* reader, std::string_view arguments) {
    const std::string_view name = NextWord(arguments);
    if (name == "list") {
        std::string lines;
        for (const sim::FaultInfo& info : sim::FaultCatalog()) {
            if (!lines.empty()) lines += "\n";
            lines += "  " + std::string(info.name) + ": " + std::string(info.description);
        }
        return {true, lines};
    }
    unsigned count = 1;
    if (!arguments.empty()) {
        const auto [end, error] = std::from_chars(arguments.data(), arguments.data() + arguments.size(), count);
        if (error != std::errc{} || end != arguments.data() + arguments.size() || count == 0) {
            return Refuse("the count must be a whole number above 0");
        }
    }
    if (name.empty() || !reader->Arm(name, count)) return Refuse("no fault named '" + std::string(name) + "' (try fault list)");
    return {true, "fault " + std::string(name) + " armed for " + std::to_string(count)};
}

// A new reader with an empty slot (its card, the session's, goes in with
// card insert), as qvsim app's plug makes it.
CommandAnswer HostReaders::Plug(std::string_view arguments) {
    sim::ReaderOptions readerOptions;
    readerOptions.model = options_.model;
    if (arguments == "QV-38N") {
        readerOptions.model = sim::ReaderModel::Qv38N;
    } else if (arguments == "QV-39N") {
        readerOptions.model = sim::ReaderModel::Qv39N;
    } else if (!arguments.empty()) {
        return Refuse("plug takes QV-38N or QV-39N");
    }
    readerOptions.cardInserted = false;
    readers_.push_back(std::make_unique<sim::UsbReader>(readerOptions, sim::MakeCard(options_.card, options_.seed)));
    return {true, "plugged " + std::to_string(readers_.size() - 1)};
}

} // namespace qv::winhost
