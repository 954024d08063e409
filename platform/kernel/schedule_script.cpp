#include "kernel/schedule_script.h"

#include <algorithm>
#include <charconv>

namespace qv {

ScheduleScript::ScheduleScript(std::vector<ScheduleDeparture> departures) : departures_(std::move(departures)) {
    std::sort(departures_.begin(), departures_.end(),
              [](const ScheduleDeparture& a, const ScheduleDeparture& b) { return a.point < b.point; });
}

std::uint32_t ScheduleScript::Decide(std::uint32_t alternatives) {
    const std::uint32_t point = points_++;
    alternatives_.push_back(alternatives);
    while (next_ < departures_.size() && departures_[next_].point < point) ++next_;
    if (next_ == departures_.size() || departures_[next_].point != point) return 0;
    const std::uint32_t choice = departures_[next_++].choice;
    if (choice == 0 || choice > alternatives) return 0;
    ++served_;
    return choice;
}

std::string ScheduleText(const std::vector<ScheduleDeparture>& departures) {
    if (departures.empty()) return "-";
    std::string text;
    for (const ScheduleDeparture& departure : departures) {
        if (!text.empty()) text += '-';
        text += std::to_string(departure.point) + "." + std::to_string(departure.choice);
    }
    return text;
}

std::optional<std::vector<ScheduleDeparture>> ParseScheduleText(std::string_view text) {
    std::vector<ScheduleDeparture> departures;
    if (text == "-") return departures;
    auto number = [&text](std::uint32_t& value) {
        const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
        if (error != std::errc{} || end == text.data()) return false;
        text.remove_prefix(static_cast<std::size_t>(end - text.data()));
        return true;
    };
    while (!text.empty()) {
        ScheduleDeparture departure;
        if (!number(departure.point) || text.empty() || text.front() != '.') return std::nullopt;
        text.remove_prefix(1);
        if (!number(departure.choice) || departure.choice == 0) return std::nullopt;
        if (!departures.empty() && departure.point <= departures.back().point) return std::nullopt;
        departures.push_back(departure);
        if (text.empty()) break;
        if (text.front() != '-') return std::nullopt;
        text.remove_prefix(1);
        if (text.empty()) return std::nullopt;
    }
    if (departures.empty()) return std::nullopt;
    return departures;
}

} // namespace qv
