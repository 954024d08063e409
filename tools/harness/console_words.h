// The words of the consoles' command language: splitting a line, numbers,
// hex bytes. Shared by the reader console, the application's console and
// the Windows image's console program (windows/app/), so it needs nothing
// but the standard library.
#pragma once

#include <charconv>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

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

// A whole number, decimal or 0x-prefixed hex, that fits T.
template <class T> bool ParseNumber(std::string_view text, T& value) {
    int base = 10;
    if (text.starts_with("0x") || text.starts_with("0X")) {
        text.remove_prefix(2);
        base = 16;
    }
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value, base);
    return !text.empty() && error == std::errc() && end == text.data() + text.size();
}

// Hex digits in pairs, into bytes (replacing what was there).
inline bool ParseHex(std::string_view text, std::vector<std::uint8_t>& bytes) {
    bytes.clear();
    if (text.empty() || text.size() % 2 != 0) return false;
    for (std::size_t i = 0; i < text.size(); i += 2) {
        std::uint8_t value = 0;
        const auto [end, error] = std::from_chars(text.data() + i, text.data() + i + 2, value, 16);
        if (error != std::errc() || end != text.data() + i + 2) return false;
        bytes.push_back(value);
    }
    return true;
}

// A name as the attribute table spells it: lower case, '-' as '_'.
inline std::string AttributeKey(std::string_view text) {
    std::string key(text);
    for (char& c : key) {
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
        if (c == '-') c = '_';
    }
    if (key.starts_with("scard_attr_")) key.erase(0, std::string_view("scard_attr_").size());
    return key;
}

} // namespace qv::harness
