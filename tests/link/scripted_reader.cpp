#include "link/scripted_reader.h"

namespace qv::test {

namespace {

constexpr std::uint8_t kDeviceType = 0x01;
constexpr std::uint8_t kConfigurationType = 0x02;
constexpr std::uint8_t kInterfaceType = 0x04;
constexpr std::uint8_t kEndpointType = 0x05;
constexpr std::uint8_t kVendorType = 0xFF;
constexpr std::uint8_t kBulk = 0x02;
constexpr std::size_t kPlainLength = 9 + 9 + 7 + 7;
constexpr std::size_t kLargestDescriptor = 0xFF;

Bytes Endpoint(std::uint8_t address) { return {7, kEndpointType, address, kBulk, kMaxPacket, 0, 0}; }

} // namespace

Bytes ConfigurationDescriptorOfLength(std::size_t totalLength) {
    Bytes bytes{9, kConfigurationType, static_cast<std::uint8_t>(totalLength & 0xFF),
                static_cast<std::uint8_t>(totalLength >> 8), 1, 1, 0, 0x80, 50};
    const Bytes interface{9, kInterfaceType, 0, 0, 2, 0xFF, 0, 0, 0};
    bytes.insert(bytes.end(), interface.begin(), interface.end());
    std::size_t padding = totalLength > kPlainLength ? totalLength - kPlainLength : 0;
    while (padding > 0) {
        // Never leave a remainder too short to be a descriptor of its own.
        std::size_t take = std::min(padding, kLargestDescriptor);
        if (padding - take == 1) --take;
        Bytes vendor(take, 0);
        vendor[0] = static_cast<std::uint8_t>(take);
        vendor[1] = kVendorType;
        bytes.insert(bytes.end(), vendor.begin(), vendor.end());
        padding -= take;
    }
    for (std::uint8_t address : {kInEndpoint, kOutEndpoint}) {
        const Bytes endpoint = Endpoint(address);
        bytes.insert(bytes.end(), endpoint.begin(), endpoint.end());
    }
    return bytes;
}

ScriptedReader::ScriptedReader()
    : deviceDescriptor_{18, kDeviceType, 0x10, 0x01, 0xFF, 0, 0, kMaxPacket, 0x3A, 0x2F, 0x39, 0, 0x01, 0x02,
                        0,  0,           0,    1},
      configurationDescriptor_(ConfigurationDescriptorOfLength(kPlainLength)) {}

std::size_t ScriptedReader::ResetsOf(std::uint8_t endpoint) const {
    return static_cast<std::size_t>(std::count(resets_.begin(), resets_.end(), endpoint));
}

bool ScriptedReader::SetConfiguration(std::uint8_t value) {
    configurations_.push_back(value);
    return acceptConfiguration;
}

usb::OutResult ScriptedReader::BulkOut(std::uint8_t endpoint, std::span<const std::uint8_t> data, usb::Time now) {
    if (endpoint != kOutEndpoint) return {usb::TransferStatus::Stall, 0};
    const std::size_t index = outTransfers_.size();
    std::size_t accepted = data.size();
    if (auto shortened = shortOut_.find(index); shortened != shortOut_.end()) {
        accepted = std::min(accepted, shortened->second);
    }
    outTransfers_.emplace_back(data.begin(), data.begin() + static_cast<std::ptrdiff_t>(accepted));
    if (accepted < data.size() || data.empty()) return {usb::TransferStatus::Ok, accepted};

    partial_.insert(partial_.end(), data.begin() + 1, data.end());
    if (data[0] != kPacketMore) BlockArrived(now);
    return {usb::TransferStatus::Ok, accepted};
}

void ScriptedReader::BlockArrived(usb::Time now) {
    blocks_.push_back(partial_);
    blockTimes_.push_back(now);
    const Bytes block = std::move(partial_);
    partial_.clear();
    std::optional<Transfers> answer;
    if (!answers_.empty()) {
        answer = std::move(answers_.front());
        answers_.pop_front();
    } else if (responder_) {
        answer = responder_(block);
    }
    if (answer) ready_.insert(ready_.end(), answer->begin(), answer->end());
}

usb::InResult ScriptedReader::BulkIn(std::uint8_t endpoint, std::span<std::uint8_t> buffer, usb::Time) {
    usb::InResult result;
    if (endpoint != kInEndpoint) {
        result.status = usb::TransferStatus::Stall;
        return result;
    }
    if (ready_.empty()) {
        result.ready = false; // NAK until the driver sends something
        return result;
    }
    const std::size_t index = inTransfers_++;
    if (auto failed = failIn_.find(index); failed != failIn_.end()) {
        result.status = failed->second;
        return result;
    }
    const Bytes transfer = std::move(ready_.front());
    ready_.pop_front();
    result.length = std::min(transfer.size(), buffer.size());
    std::copy_n(transfer.begin(), result.length, buffer.begin());
    return result;
}

void ScriptedReader::ResetEndpoint(std::uint8_t endpoint) {
    resets_.push_back(endpoint);
    if (endpoint == kInEndpoint) ready_.clear();
    if (endpoint == kOutEndpoint) partial_.clear();
}

} // namespace qv::test
