#include "link/scripted_reader.h"

namespace qv::test {

namespace {
constexpr std::size_t kPlainLength = 9 + 9 + 7 + 7;
constexpr std::uint16_t kReaderVendor = 0x2F3A;
constexpr std::uint16_t kReaderProduct = 0x0039;
} // namespace

Bytes ConfigurationDescriptorOfLength(std::size_t totalLength) {
    const std::size_t padding = totalLength > kPlainLength ? totalLength - kPlainLength : 0;
    return MakeConfigurationDescriptor({ReaderInterface(padding)});
}

ScriptedReader::ScriptedReader()
    : deviceDescriptor_(MakeDeviceDescriptor(kReaderVendor, kReaderProduct, kMaxPacket)),
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
