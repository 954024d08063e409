// Splitting a console line into words, shared by the reader console and the
// application's console.
#pragma once

#include <string_view>

namespace qv::harness {

// The text without leading and trailing blanks.
inline std::string_view Trim(std::string_view text) {
    const auto first = text.find_first_not_of(" \t\r");
    if (first == std::string_view::npos) return {};
    const auto last = text.find_last_not_of(" \t\r");
    return text.substr(first, last - first + 1);
}

// Splits off the first word of text; text keeps the rest, trimmed.
inline std::string_view NextWord(std::string_view& text) {
    text = Trim(text);
    const auto end = text.find_first_of(" \t");
    std::string_view word = text.substr(0, end);
    text = end == std::string_view::npos ? std::string_view{} : Trim(text.substr(end));
    return word;
}

} // namespace qv::harness
