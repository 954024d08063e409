#include "pcsc/device_name.h"

#include "reader_commands.h"

namespace qv::pcsc {

namespace {
constexpr char kSeparator = ':';
constexpr std::string_view kAtrField = "atr@";
} // namespace

std::optional<ChannelOptions> ParseDeviceName(std::string_view name, std::string& error) {
    ChannelOptions options;
    bool first = true;
    bool modelSeen = false;
    bool cardSeen = false;
    while (!name.empty()) {
        const std::size_t separator = name.find(kSeparator);
        const std::string_view field = name.substr(0, separator);
        name = separator == std::string_view::npos ? std::string_view() : name.substr(separator + 1);
        if (first) {
            first = false;
            continue;
        }
        if (field.empty()) {
            error = "an empty field";
            return std::nullopt;
        }
        if (sim::ModelByName(field)) {
            if (modelSeen) {
                error = "two models";
                return std::nullopt;
            }
            modelSeen = true;
            options.model = std::string(field);
            continue;
        }
        if (cardSeen) {
            error = "two cards ('" + std::string(field) + "')";
            return std::nullopt;
        }
        cardSeen = true;
        options.card = field.starts_with(kAtrField) ? "atr:" + std::string(field.substr(kAtrField.size()))
                                                    : std::string(field);
    }
    return options;
}

} // namespace qv::pcsc
