#include "winhost/host_readers.h"

#include "cards/card_catalogue.h"
#include "harness/console_words.h"
#include "harness/world_commands.h"

namespace qv::winhost {

namespace {

using harness::NextWord;
using harness::Trim;

CommandAnswer Refuse(std::string text) { return {false, std::move(text)}; }

// The console's lines, one answer text.
CommandAnswer FromWorld(const harness::WorldAnswer& answer) {
    CommandAnswer joined{answer.ok, {}};
    for (const std::string& line : answer.lines) joined.text += (joined.text.empty() ? "" : "\n") + line;
    return joined;
}

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
    if (verb == "plug") {
        std::string error;
        std::unique_ptr<sim::UsbReader> reader = harness::ReaderToPlug(rest, options_.model, options_.card, options_.seed, error);
        if (!reader) return Refuse(error);
        readers_.push_back(std::move(reader));
        return {true, "plugged " + std::to_string(readers_.size() - 1)};
    }
    sim::UsbReader* reader = Find(number);
    if (reader != nullptr && !reader->Attached()) reader = nullptr;
    // card list and fault list need no reader.
    if (verb == "card") return FromWorld(harness::CardCommand(reader, rest, options_.seed));
    if (verb == "fault") return FromWorld(harness::FaultCommand(reader, rest));
    if (reader == nullptr) return Refuse("this reader is not plugged in");
    if (verb == "unplug") {
        reader->Vanish();
        return {true, "unplugged"};
    }
    return Refuse("the simulator knows no command '" + std::string(verb) + "'");
}

} // namespace qv::winhost
