// The request commands of the application's console: the words they take
// and the detail their result lines print. qvsim app and the Windows
// image's console program (windows/app/) share them, so that the two
// builds' runs print alike; standard library only.
#pragma once

#include <array>
#include <cstdint>
#include <cstdio>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "harness/console_words.h"

namespace qv::harness {

// The protocol masks of IOCTL_SMARTCARD_SET_PROTOCOL (SCARD_PROTOCOL_T0, _T1).
inline constexpr std::uint32_t kConsoleProtocolT0 = 0x1;
inline constexpr std::uint32_t kConsoleProtocolT1 = 0x2;
// The largest output buffer a command may ask for.
inline constexpr std::uint32_t kConsoleMaxOutputLength = 65536;
inline constexpr std::size_t kStatusWordLength = 2;

inline std::string HexBytes(std::span<const std::uint8_t> bytes) {
    std::string text;
    char hex[4];
    for (std::size_t i = 0; i < bytes.size(); ++i) {
        std::snprintf(hex, sizeof hex, "%02X", bytes[i]);
        if (i != 0) text += ' ';
        text += hex;
    }
    return text;
}

// The little-endian ULONG at the start of bytes (0 for what is missing).
inline std::uint32_t ReadUlong(std::span<const std::uint8_t> bytes) {
    std::uint32_t value = 0;
    for (std::size_t i = 0; i < 4 && i < bytes.size(); ++i) value |= std::uint32_t{bytes[i]} << (8 * i);
    return value;
}

inline std::vector<std::uint8_t> UlongBytes(std::uint32_t value) {
    return {static_cast<std::uint8_t>(value), static_cast<std::uint8_t>(value >> 8), static_cast<std::uint8_t>(value >> 16),
            static_cast<std::uint8_t>(value >> 24)};
}

// power down|cold|warm: the minor code of IOCTL_SMARTCARD_POWER
// (SCARD_POWER_DOWN, SCARD_COLD_RESET, SCARD_WARM_RESET); nothing else.
inline constexpr std::uint32_t kConsolePowerDown = 0;
inline constexpr std::uint32_t kConsoleColdReset = 1;
inline constexpr std::uint32_t kConsoleWarmReset = 2;
inline std::optional<std::uint32_t> ParsePowerAction(std::string_view action) {
    action = Trim(action);
    if (action == "down") return kConsolePowerDown;
    if (action == "cold") return kConsoleColdReset;
    if (action == "warm") return kConsoleWarmReset;
    return std::nullopt;
}

// protocol t0|t1|any|0xMASK; false when the word is none of these.
template <class Mask> bool ParseProtocolMask(std::string_view which, Mask& mask) {
    which = Trim(which);
    if (which == "t0") {
        mask = kConsoleProtocolT0;
    } else if (which == "t1") {
        mask = kConsoleProtocolT1;
    } else if (which == "any") {
        mask = kConsoleProtocolT0 | kConsoleProtocolT1;
    } else {
        return which.starts_with("0x") && ParseNumber(which, mask);
    }
    return true;
}

// The command APDU as hex digits in pairs, blanks between them allowed.
inline bool ParseApdu(std::string_view arguments, std::vector<std::uint8_t>& apdu) {
    std::string hex;
    for (char c : arguments) {
        if (c != ' ' && c != '\t') hex += c;
    }
    return ParseHex(hex, apdu);
}

struct IoctlArguments {
    std::uint32_t code = 0;
    std::vector<std::uint8_t> input;
    std::uint32_t outputLength = 0;
};

// ioctl 0xCODE [HEX] [OUTLEN]; nothing, and what is wrong in error, else.
// With one argument after the code: the output size when it is a decimal
// number of at most five digits, else the input (both to be unambiguous).
inline std::optional<IoctlArguments> ParseIoctl(std::string_view arguments, std::string& error) {
    IoctlArguments parsed;
    const std::string_view codeText = NextWord(arguments);
    const std::string_view next = NextWord(arguments);
    const std::string_view last = NextWord(arguments);
    error = "ioctl takes 0xCODE [HEX] [OUTLEN]";
    if (!codeText.starts_with("0x") || !ParseNumber(codeText, parsed.code) || !arguments.empty()) return std::nullopt;
    constexpr std::size_t kMaxLengthDigits = 5;
    const bool lengthOnly = last.empty() && next.size() <= kMaxLengthDigits &&
                            next.find_first_not_of("0123456789") == std::string_view::npos;
    const std::string_view inputText = lengthOnly ? std::string_view{} : next;
    const std::string_view lengthText = lengthOnly ? next : last;
    if (!inputText.empty() && !ParseHex(inputText, parsed.input)) {
        error = "the input must be hex digits in pairs";
        return std::nullopt;
    }
    if (!lengthText.empty() &&
        (!ParseNumber(lengthText, parsed.outputLength) || parsed.outputLength > kConsoleMaxOutputLength)) {
        error = "OUTLEN must be 0 to 65536";
        return std::nullopt;
    }
    return parsed;
}

// The detail of a state result line: "state N NAME".
inline std::string StateDetail(std::span<const std::uint8_t> output) {
    static constexpr std::array<std::string_view, 7> kStateNames{"SCARD_UNKNOWN",    "SCARD_ABSENT",  "SCARD_PRESENT",
                                                                 "SCARD_SWALLOWED",  "SCARD_POWERED", "SCARD_NEGOTIABLE",
                                                                 "SCARD_SPECIFIC"};
    if (output.size() < 4) return {};
    const std::uint32_t state = ReadUlong(output);
    return "state " + std::to_string(state) + " " + std::string(state < kStateNames.size() ? kStateNames[state] : "unknown");
}

// The detail of a protocol result line: "protocol T0", "protocol T1".
inline std::string ProtocolDetail(std::span<const std::uint8_t> output) {
    if (output.size() < 4) return {};
    const std::uint32_t protocol = ReadUlong(output);
    if (protocol == kConsoleProtocolT0) return "protocol T0";
    if (protocol == kConsoleProtocolT1) return "protocol T1";
    return "protocol " + std::to_string(protocol);
}

// The detail of an apdu result line: the response, then SW and the status word.
inline std::string ApduDetail(std::span<const std::uint8_t> response) {
    std::string detail = HexBytes(response);
    if (response.size() >= kStatusWordLength) {
        char sw[8];
        std::snprintf(sw, sizeof sw, "%02X%02X", response[response.size() - 2], response[response.size() - 1]);
        detail += std::string(detail.empty() ? "" : " ") + "SW " + sw;
    }
    return detail;
}

// The detail of an attr result line: the value, and for a text attribute
// the text in quotes (up to its terminating zero).
inline std::string AttributeDetail(std::span<const std::uint8_t> value, bool text) {
    std::string detail = HexBytes(value);
    if (text) {
        std::string characters;
        for (std::uint8_t byte : value) {
            if (byte == 0) break;
            characters += static_cast<char>(byte >= 0x20 && byte < 0x7F ? byte : '.');
        }
        detail += " \"" + characters + "\"";
    }
    return detail;
}

} // namespace qv::harness
