// A scripted stand-in for the reader on the emulated USB bus, for the link
// and configuration tests: it takes the driver's packets apart into blocks,
// answers each block with the input transfers a test queued (or a responder
// computes), can be told to fail or shorten given transfers, and records
// everything it saw. Endpoints as on the reader: bulk IN 0x81 listed first
// (pipe slot 0), bulk OUT 0x02 (pipe slot 1), 64-byte packets.
#pragma once

#include <algorithm>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <optional>
#include <span>
#include <vector>

#include "support/usb_scripted_device.h"
#include "usb/usb_device_model.h"

namespace qv::test {

using Bytes = std::vector<std::uint8_t>;
using Transfers = std::vector<Bytes>;

inline constexpr std::size_t kMaxPacket = 64;
inline constexpr std::size_t kPacketPayload = kMaxPacket - 1;
inline constexpr std::uint8_t kPacketMore = 0x00;
inline constexpr std::uint8_t kPacketLast = 0x04;
inline constexpr std::uint8_t kReaderNad = 0x21;
inline constexpr std::uint8_t kDriverNad = 0x12;

// A link block: NAD, PCB, LEN, INF and the XOR check byte.
inline Bytes MakeBlock(std::uint8_t nad, std::uint8_t pcb, const Bytes& inf) {
    Bytes block;
    block.reserve(inf.size() + 4);
    block.push_back(nad);
    block.push_back(pcb);
    block.push_back(static_cast<std::uint8_t>(inf.size()));
    for (std::uint8_t byte : inf) block.push_back(byte);
    std::uint8_t lrc = 0;
    for (std::uint8_t byte : block) lrc ^= byte;
    block.push_back(lrc);
    return block;
}

// A block from the reader (NAD 0x21).
inline Bytes ReaderBlock(std::uint8_t pcb, const Bytes& inf = {}) { return MakeBlock(kReaderNad, pcb, inf); }

// The reader packets of a block, one per input transfer.
inline Transfers Packets(const Bytes& block) {
    Transfers packets;
    for (std::size_t at = 0; at < block.size(); at += kPacketPayload) {
        const std::size_t take = std::min(kPacketPayload, block.size() - at);
        Bytes packet{at + take < block.size() ? kPacketMore : kPacketLast};
        packet.insert(packet.end(), block.begin() + static_cast<std::ptrdiff_t>(at),
                      block.begin() + static_cast<std::ptrdiff_t>(at + take));
        packets.push_back(std::move(packet));
    }
    return packets;
}

// Bytes 0..n-1 offset by start, as recognisable payload.
inline Bytes Sequence(std::size_t n, std::uint8_t start = 0) {
    Bytes bytes(n);
    for (std::size_t i = 0; i < n; ++i) bytes[i] = static_cast<std::uint8_t>(start + i);
    return bytes;
}

// A configuration descriptor of totalLength bytes (at least 32): the
// configuration, one interface with two bulk endpoints (IN first), and
// class-specific descriptors between the interface and the endpoints as
// padding.
Bytes ConfigurationDescriptorOfLength(std::size_t totalLength);

class ScriptedReader final : public usb::UsbDeviceModel {
  public:
    // What the responder returns for a block: the input transfers that
    // answer it, or nothing to stay silent.
    using Responder = std::function<std::optional<Transfers>(const Bytes& block)>;

    ScriptedReader();

    // ---- Script ----------------------------------------------------------
    // The next block the driver sends is answered with these transfers.
    void Answer(Transfers transfers) { answers_.push_back(std::move(transfers)); }
    void AnswerBlock(const Bytes& block) { Answer(Packets(block)); }
    // Blocks with no queued answer go to the responder; without one the
    // reader stays silent (NAKs every input transfer).
    void SetResponder(Responder responder) { responder_ = std::move(responder); }

    // The OUT transfer with this index (0 = the first) takes only `accepted` bytes.
    void ShortenOut(std::size_t index, std::size_t accepted) { shortOut_[index] = accepted; }
    // The IN transfer with this index answers with this status.
    void FailIn(std::size_t index, usb::TransferStatus status) { failIn_[index] = status; }
    void SetDescriptors(Bytes device, Bytes configuration) {
        deviceDescriptor_ = std::move(device);
        configurationDescriptor_ = std::move(configuration);
    }
    // SET_CONFIGURATION answers STALL while this is false.
    bool acceptConfiguration = true;

    // ---- What it saw -----------------------------------------------------
    const Transfers& OutTransfers() const { return outTransfers_; }
    const Transfers& Blocks() const { return blocks_; }
    // Virtual time at which each block's last packet arrived.
    const std::vector<usb::Time>& BlockTimes() const { return blockTimes_; }
    std::size_t InTransfers() const { return inTransfers_; }
    const std::vector<std::uint8_t>& Resets() const { return resets_; }
    const std::vector<std::uint8_t>& Configurations() const { return configurations_; }
    std::size_t ResetsOf(std::uint8_t endpoint) const;

    // ---- The USB device --------------------------------------------------
    std::span<const std::uint8_t> DeviceDescriptor() const override { return deviceDescriptor_; }
    std::span<const std::uint8_t> ConfigurationDescriptor() const override { return configurationDescriptor_; }
    bool Attached() const override { return true; }
    bool SetConfiguration(std::uint8_t value) override;
    usb::OutResult BulkOut(std::uint8_t endpoint, std::span<const std::uint8_t> data, usb::Time now) override;
    usb::InResult BulkIn(std::uint8_t endpoint, std::span<std::uint8_t> buffer, usb::Time now) override;
    void ResetEndpoint(std::uint8_t endpoint) override;

  private:
    void BlockArrived(usb::Time now);

    Bytes deviceDescriptor_;
    Bytes configurationDescriptor_;
    std::deque<Transfers> answers_;
    Responder responder_;
    std::map<std::size_t, std::size_t> shortOut_;
    std::map<std::size_t, usb::TransferStatus> failIn_;
    std::deque<Bytes> ready_; // input transfers waiting to be fetched
    Bytes partial_;           // the block being received
    Transfers outTransfers_;
    Transfers blocks_;
    std::vector<usb::Time> blockTimes_;
    std::size_t inTransfers_ = 0;
    std::vector<std::uint8_t> resets_;
    std::vector<std::uint8_t> configurations_;
};

} // namespace qv::test
