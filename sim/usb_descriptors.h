// The reader's USB descriptors, built once as constant bytes: a full-speed
// vendor-class device with one configuration, one interface and two bulk
// endpoints, the IN endpoint listed first.
#pragma once

#include <cstdint>
#include <optional>
#include <string_view>

#include "card_interface.h"
#include "reader_commands.h"

namespace qv::sim {

inline constexpr std::uint16_t kVendorId = 0x2F3A;
inline constexpr std::uint16_t kProductIdQv38N = 0x0038;
inline constexpr std::uint16_t kProductIdQv39N = 0x0039;
inline constexpr std::uint8_t kConfigurationValue = 1;

inline constexpr std::size_t kDeviceDescriptorSize = 18;
inline constexpr std::size_t kConfigurationHeaderSize = 9;
inline constexpr std::size_t kInterfaceDescriptorSize = 9;
inline constexpr std::size_t kEndpointDescriptorSize = 7;
// Configuration, interface and both endpoints, with nothing extra.
inline constexpr std::size_t kPlainConfigurationLength =
    kConfigurationHeaderSize + kInterfaceDescriptorSize + 2 * kEndpointDescriptorSize;
inline constexpr std::size_t kMaxConfigurationLength = 0xFFFF;

// Descriptor type of the padding descriptors, from the vendor-reserved range.
inline constexpr std::uint8_t kVendorDescriptorType = 0xFF;

// The endpoints as the reader lists them. A real QV-38N/QV-39N lists the
// bulk IN endpoint first and both with 64-byte packets; the other layouts
// are readers built wrong, for showing that the host refuses them.
enum class PipeLayout {
    Standard, // bulk IN 0x81, then bulk OUT 0x02, 64-byte packets
    Swapped,  // bulk OUT first, then bulk IN
    Small,    // both endpoints with 32-byte packets
};
inline constexpr std::uint16_t kSmallPacketSize = 32;

// The layouts by the names consoles take them under ("standard", "swapped",
// "small"); nothing for an unknown name.
std::optional<PipeLayout> PipeLayoutByName(std::string_view name);

Bytes BuildDeviceDescriptor(ReaderModel model, const FirmwareVersion& version);

// A configuration descriptor wTotalLength bytes long. Anything beyond the
// plain 32 bytes is filled with vendor-specific descriptors placed between
// the interface descriptor and the endpoints, where class-specific
// descriptors sit on real devices, so a parser has to walk past them.
// totalLength must be the plain length or at least two bytes more (a
// descriptor is never shorter than its two header bytes).
Bytes BuildConfigurationDescriptor(std::size_t totalLength, PipeLayout layout = PipeLayout::Standard);

} // namespace qv::sim
