// The names the consoles' attr command takes, shared by qvsim app and the
// Windows image's console program. The SCARD_ATTR_ values come from the
// smart card header the includer uses: the emulation's (wdk/smclib.h) or
// Windows' (winsmcrd.h), which agree.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "harness/console_words.h"

namespace qv::harness {

struct AttributeName {
    std::string_view name; // without SCARD_ATTR_, lower case
    unsigned long id;
    bool text;
};

inline constexpr AttributeName kAttributes[] = {
    {"vendor_name", SCARD_ATTR_VENDOR_NAME, true},
    {"vendor_ifd_type", SCARD_ATTR_VENDOR_IFD_TYPE, true},
    {"vendor_ifd_version", SCARD_ATTR_VENDOR_IFD_VERSION, false},
    {"vendor_ifd_serial_no", SCARD_ATTR_VENDOR_IFD_SERIAL_NO, true},
    {"channel_id", SCARD_ATTR_CHANNEL_ID, false},
    {"protocol_types", SCARD_ATTR_PROTOCOL_TYPES, false},
    {"default_clk", SCARD_ATTR_DEFAULT_CLK, false},
    {"max_clk", SCARD_ATTR_MAX_CLK, false},
    {"default_data_rate", SCARD_ATTR_DEFAULT_DATA_RATE, false},
    {"max_data_rate", SCARD_ATTR_MAX_DATA_RATE, false},
    {"max_ifsd", SCARD_ATTR_MAX_IFSD, false},
    {"power_mgmt_support", SCARD_ATTR_POWER_MGMT_SUPPORT, false},
    {"characteristics", SCARD_ATTR_CHARACTERISTICS, false},
    {"current_protocol_type", SCARD_ATTR_CURRENT_PROTOCOL_TYPE, false},
    {"current_clk", SCARD_ATTR_CURRENT_CLK, false},
    {"current_f", SCARD_ATTR_CURRENT_F, false},
    {"current_d", SCARD_ATTR_CURRENT_D, false},
    {"current_n", SCARD_ATTR_CURRENT_N, false},
    {"current_w", SCARD_ATTR_CURRENT_W, false},
    {"current_ifsc", SCARD_ATTR_CURRENT_IFSC, false},
    {"current_ifsd", SCARD_ATTR_CURRENT_IFSD, false},
    {"current_bwt", SCARD_ATTR_CURRENT_BWT, false},
    {"current_cwt", SCARD_ATTR_CURRENT_CWT, false},
    {"current_ebc_encoding", SCARD_ATTR_CURRENT_EBC_ENCODING, false},
    {"icc_presence", SCARD_ATTR_ICC_PRESENCE, false},
    {"icc_interface_status", SCARD_ATTR_ICC_INTERFACE_STATUS, false},
    {"atr_string", SCARD_ATTR_ATR_STRING, false},
    {"atr", SCARD_ATTR_ATR_STRING, false},
    {"icc_type_per_atr", SCARD_ATTR_ICC_TYPE_PER_ATR, false},
    {"device_unit", SCARD_ATTR_DEVICE_UNIT, false},
    {"device_in_use", SCARD_ATTR_DEVICE_IN_USE, false},
};

// By name, with or without SCARD_ATTR_, in either case; null when unknown.
inline const AttributeName* AttributeByName(std::string_view name) {
    const std::string key = AttributeKey(name);
    for (const AttributeName& attribute : kAttributes) {
        if (attribute.name == key) return &attribute;
    }
    return nullptr;
}

// The first name of an id; null when it has none.
inline const AttributeName* AttributeById(unsigned long id) {
    for (const AttributeName& attribute : kAttributes) {
        if (attribute.id == id) return &attribute;
    }
    return nullptr;
}

struct AttrArguments {
    unsigned long id = 0;
    const AttributeName* known = nullptr; // null for an id without a name
    std::uint32_t outputLength = 0;
};

// attr NAME|0xID [LEN]; nothing, and what is wrong in error, else.
inline std::optional<AttrArguments> ParseAttr(std::string_view arguments, std::uint32_t defaultLength,
                                              std::string& error) {
    AttrArguments parsed;
    parsed.outputLength = defaultLength;
    const std::string_view which = NextWord(arguments);
    if (which.starts_with("0x") || which.starts_with("0X")) {
        error = "attr takes a name or 0xID";
        if (!ParseNumber(which, parsed.id)) return std::nullopt;
        parsed.known = AttributeById(parsed.id);
    } else {
        parsed.known = AttributeByName(which);
        error = "no attribute named '" + std::string(which) + "'";
        if (parsed.known == nullptr) return std::nullopt;
        parsed.id = parsed.known->id;
    }
    const std::string_view lengthText = NextWord(arguments);
    error = "attr takes a name or 0xID and an output size";
    if (!arguments.empty()) return std::nullopt;
    error = "the output size must be a whole number up to 65536";
    constexpr std::uint32_t kMostOutput = 65536;
    if (!lengthText.empty() && (!ParseNumber(lengthText, parsed.outputLength) || parsed.outputLength > kMostOutput)) {
        return std::nullopt;
    }
    return parsed;
}

} // namespace qv::harness
