// Numbers appended to a trace line without printf or temporaries: every
// IRP and every USB transfer is described in the trace, so these run on the
// request path.
#pragma once

#include <algorithm>
#include <charconv>
#include <cstdint>
#include <limits>
#include <string>

namespace qv {

// As printf's "%llu" writes it.
inline void AppendDecimal(std::string& text, std::uint64_t value) {
    char digits[std::numeric_limits<std::uint64_t>::digits10 + 1];
    const auto end = std::to_chars(digits, digits + sizeof digits, value).ptr;
    text.append(digits, end);
}

// As printf's "0x%0*X" writes it: upper-case digits, at least `digits` of them.
inline void AppendHex(std::string& text, std::uint32_t value, int digits) {
    static constexpr char kDigits[] = "0123456789ABCDEF";
    constexpr int kNibbleBits = 4;
    constexpr std::uint32_t kNibbleMask = 0xF;
    int length = 1;
    while (length < static_cast<int>(2 * sizeof value) && (value >> (length * kNibbleBits)) != 0) ++length;
    text += "0x";
    for (int i = std::max(length, digits) - 1; i >= 0; --i) {
        text += i < length ? kDigits[(value >> (i * kNibbleBits)) & kNibbleMask] : '0';
    }
}

} // namespace qv
