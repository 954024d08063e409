#include "usb_reader.h"

#include <algorithm>

namespace qv::sim {

UsbReader::UsbReader(ReaderOptions options)
    : UsbReader(options, std::make_unique<SimpleCard>(options.card)) {}

UsbReader::UsbReader(ReaderOptions options, std::unique_ptr<Card> card)
    : options_(std::move(options)),
      deviceDescriptor_(BuildDeviceDescriptor(options_.model, options_.firmwareVersion)),
      configurationDescriptor_(BuildConfigurationDescriptor(options_.configurationLength, options_.pipes)),
      slot_(std::move(card), options_.cardInserted),
      commands_({options_.model, options_.firmwareVersion, options_.shortResetAnswer}, slot_, faults_),
      blocks_(commands_, faults_, options_.readerWaitingTime) {}

bool UsbReader::SetConfiguration(std::uint8_t value) {
    if (!attached_) return false;
    constexpr std::uint8_t kUnconfigured = 0;
    if (value != kUnconfigured && value != kConfigurationValue) return false;
    // A configuration change resets both endpoints; the firmware's link
    // state and the card are not touched.
    configured_ = value == kConfigurationValue;
    outHalted_ = inHalted_ = false;
    assembler_.Clear();
    stream_.Clear();
    return true;
}

bool UsbReader::GoneAtThisTransfer() {
    if (attached_ && faults_.CountDown(Fault::Vanish)) Vanish();
    return !attached_;
}

usb::OutResult UsbReader::BulkOut(std::uint8_t endpoint, std::span<const std::uint8_t> data, usb::Time now) {
    if (GoneAtThisTransfer()) return {usb::TransferStatus::DeviceGone, 0};
    if (endpoint != kBulkOutEndpoint || !configured_ || outHalted_) return {usb::TransferStatus::Stall, 0};
    if (faults_.Take(Fault::OutStall)) {
        outHalted_ = true;
        return {usb::TransferStatus::Stall, 0};
    }
    if (faults_.Take(Fault::OutFail)) return {usb::TransferStatus::Error, 0};
    std::size_t accepted = faults_.Take(Fault::OutShort) ? data.size() / 2 : data.size();

    // The bus splits a long transfer into packets of the endpoint's size;
    // each is one reader packet.
    auto taken = data.first(accepted);
    for (std::size_t offset = 0; offset < taken.size(); offset += kMaxPacketSize) {
        auto packet = taken.subspan(offset, std::min(kMaxPacketSize, taken.size() - offset));
        if (auto block = assembler_.Take(packet)) {
            // An answer held back goes out now, ahead of the answer to this
            // block. Every whole block gets one block back, queued behind
            // whatever the host has not fetched yet.
            stream_.Release(now);
            // A block for the card goes to the card even when its packets
            // came damaged: the card's own check bytes judge it.
            const bool forCard = !block->bytes.empty() && block->bytes[kNadOffset] == kCardNad;
            OutgoingBlock answer = block->damaged && !forCard ? blocks_.ReceiveDamaged(now)
                                                              : blocks_.Receive(block->bytes, now);
            PacketShape shape;
            shape.held = answer.held;
            shape.endless = faults_.Take(Fault::InEndless);
            shape.shortFirstPacket = faults_.Take(Fault::ShortMiddlePacket);
            stream_.Push(answer.wire, answer.readyAt, shape, std::move(answer.withoutCard));
        }
    }
    return {usb::TransferStatus::Ok, accepted};
}

usb::InResult UsbReader::BulkIn(std::uint8_t endpoint, std::span<std::uint8_t> buffer, usb::Time now) {
    usb::InResult result;
    if (GoneAtThisTransfer()) {
        result.status = usb::TransferStatus::DeviceGone;
        return result;
    }
    if (endpoint != kBulkInEndpoint || !configured_ || inHalted_) {
        result.status = usb::TransferStatus::Stall;
        return result;
    }
    if (!stream_.Ready(now)) {
        // NAK: nothing to send yet.
        result.ready = false;
        result.retryAt = stream_.ReadyAt();
        return result;
    }
    // The transfer faults strike transfers that would carry data.
    if (faults_.Take(Fault::InStall)) {
        inHalted_ = true;
        result.status = usb::TransferStatus::Stall;
        return result;
    }
    if (faults_.Take(Fault::InFail)) {
        stream_.Pop();
        result.status = usb::TransferStatus::Error;
        return result;
    }
    if (faults_.Take(Fault::InZeroLength)) return result;

    const Bytes& packet = stream_.Front();
    if (buffer.size() < packet.size()) {
        // The packet does not fit the host's buffer: babble on the bus. The
        // packet stays for a transfer that can take it.
        result.status = usb::TransferStatus::Error;
        return result;
    }
    std::ranges::copy(packet, buffer.begin());
    result.length = packet.size();
    stream_.Pop();
    return result;
}

void UsbReader::ResetEndpoint(std::uint8_t endpoint) {
    if (endpoint == kBulkOutEndpoint) {
        outHalted_ = false;
        assembler_.Clear();
    } else if (endpoint == kBulkInEndpoint) {
        inHalted_ = false;
        stream_.DropStarted();
    }
}

void UsbReader::InsertCard() { slot_.Insert(); }

void UsbReader::InsertCard(std::unique_ptr<Card> card) { slot_.Insert(std::move(card)); }

void UsbReader::RemoveCard() {
    // An answer the card owes is lost with it. The host fetches an answer
    // as soon as it falls due, so one still waiting in the queue is one the
    // card had not finished.
    const bool replaced = stream_.CardGone();
    blocks_.CardGone(replaced);
    slot_.Remove();
}

void UsbReader::Vanish() {
    attached_ = false;
    PowerOnState();
}

void UsbReader::Reattach() {
    attached_ = true;
    PowerOnState();
}

void UsbReader::Suspend() {
    suspended_ = true;
    if (slot_.Occupied()) slot_.CurrentCard().PowerDown();
}

void UsbReader::Resume() {
    suspended_ = false;
    outHalted_ = inHalted_ = false;
    assembler_.Clear();
    stream_.Clear();
    blocks_.Reset();
    if (slot_.Occupied()) slot_.CurrentCard().PowerDown();
}

void UsbReader::PowerOnState() {
    // Without bus power the firmware forgets everything and the card loses
    // its power too.
    configured_ = false;
    outHalted_ = inHalted_ = false;
    assembler_.Clear();
    stream_.Clear();
    blocks_.Reset();
    if (slot_.Occupied()) slot_.CurrentCard().PowerDown();
}

bool UsbReader::Arm(std::string_view name, unsigned count) {
    auto fault = FaultByName(name);
    if (!fault) return false;
    faults_.Arm(*fault, count);
    return true;
}

} // namespace qv::sim
