#include "usb_descriptors.h"

#include <algorithm>
#include <stdexcept>
#include <string>

#include "reader_protocol.h"

namespace qv::sim {

namespace {

constexpr std::uint8_t kDeviceType = 0x01;
constexpr std::uint8_t kConfigurationType = 0x02;
constexpr std::uint8_t kInterfaceType = 0x04;
constexpr std::uint8_t kEndpointType = 0x05;
constexpr std::uint16_t kUsb11 = 0x0110;
constexpr std::uint8_t kClassPerInterface = 0x00;
constexpr std::uint8_t kVendorClass = 0xFF;
constexpr std::uint8_t kControlPacketSize = 64;
constexpr std::uint8_t kNoString = 0;
constexpr std::uint8_t kOneConfiguration = 1;
constexpr std::uint8_t kOneInterface = 1;
constexpr std::uint8_t kTwoEndpoints = 2;
constexpr std::uint8_t kBusPowered = 0x80;
constexpr std::uint8_t kMaxPower100mA = 50; // in 2 mA units
constexpr std::uint8_t kBulkTransfer = 0x02;
constexpr std::uint8_t kNoPolling = 0;
constexpr std::size_t kDescriptorHeaderSize = 2;
constexpr std::size_t kMaxDescriptorSize = 0xFF;
constexpr std::uint8_t kVendorFill = 0x5A;

void PutWord(Bytes& bytes, std::uint16_t value) {
    bytes.push_back(static_cast<std::uint8_t>(value & 0xFF));
    bytes.push_back(static_cast<std::uint8_t>(value >> 8));
}

std::uint16_t Bcd(const FirmwareVersion& version) {
    std::uint16_t bcd = 0;
    for (std::uint8_t digit : version) bcd = static_cast<std::uint16_t>((bcd << 4) | (digit % 10));
    return bcd;
}

void PutEndpoint(Bytes& bytes, std::uint8_t address, std::uint16_t maxPacket) {
    bytes.insert(bytes.end(), {static_cast<std::uint8_t>(kEndpointDescriptorSize), kEndpointType, address,
                               kBulkTransfer});
    PutWord(bytes, maxPacket);
    bytes.push_back(kNoPolling);
}

} // namespace

std::optional<PipeLayout> PipeLayoutByName(std::string_view name) {
    if (name == "standard") return PipeLayout::Standard;
    if (name == "swapped") return PipeLayout::Swapped;
    if (name == "small") return PipeLayout::Small;
    return std::nullopt;
}

Bytes BuildDeviceDescriptor(ReaderModel model, const FirmwareVersion& version) {
    Bytes d{static_cast<std::uint8_t>(kDeviceDescriptorSize), kDeviceType};
    PutWord(d, kUsb11);
    d.insert(d.end(), {kClassPerInterface, 0x00, 0x00, kControlPacketSize});
    PutWord(d, kVendorId);
    PutWord(d, model == ReaderModel::Qv38N ? kProductIdQv38N : kProductIdQv39N);
    PutWord(d, Bcd(version));
    d.insert(d.end(), {kNoString, kNoString, kNoString, kOneConfiguration});
    return d;
}

Bytes BuildConfigurationDescriptor(std::size_t totalLength, PipeLayout layout) {
    std::size_t padding = totalLength - std::min(totalLength, kPlainConfigurationLength);
    if (totalLength < kPlainConfigurationLength || totalLength > kMaxConfigurationLength ||
        padding == 1) {
        throw std::invalid_argument("configuration descriptor length " + std::to_string(totalLength) +
                                    " cannot be built");
    }
    Bytes c{static_cast<std::uint8_t>(kConfigurationHeaderSize), kConfigurationType};
    PutWord(c, static_cast<std::uint16_t>(totalLength));
    c.insert(c.end(), {kOneInterface, kConfigurationValue, kNoString, kBusPowered, kMaxPower100mA});

    c.insert(c.end(), {static_cast<std::uint8_t>(kInterfaceDescriptorSize), kInterfaceType, 0x00, 0x00,
                       kTwoEndpoints, kVendorClass, 0x00, 0x00, kNoString});

    // Vendor descriptors of at most 255 bytes each; a last remainder of one
    // byte is avoided by shortening the one before it.
    while (padding > 0) {
        std::size_t size = std::min(padding, kMaxDescriptorSize);
        if (padding - size == 1) --size;
        c.push_back(static_cast<std::uint8_t>(size));
        c.push_back(kVendorDescriptorType);
        c.insert(c.end(), size - kDescriptorHeaderSize, kVendorFill);
        padding -= size;
    }

    const std::uint16_t packet = layout == PipeLayout::Small ? kSmallPacketSize : kMaxPacketSize;
    if (layout == PipeLayout::Swapped) {
        PutEndpoint(c, kBulkOutEndpoint, packet);
        PutEndpoint(c, kBulkInEndpoint, packet);
    } else {
        PutEndpoint(c, kBulkInEndpoint, packet);
        PutEndpoint(c, kBulkOutEndpoint, packet);
    }
    return c;
}

} // namespace qv::sim
