// The simulated QV-38N/QV-39N reader as a USB device: constant descriptors,
// the bulk OUT (0x02) and IN (0x81) endpoints with 64-byte packets, and the
// firmware behind them (packets, link blocks, the 0xD0 command set, one
// card slot). Tests and tools plug it into the emulated bus, or drive
// BulkOut/BulkIn themselves, and change the world around it: cards in and
// out, faults armed, the reader unplugged.
#pragma once

#include <memory>
#include <string_view>

#include "card_interface.h"
#include "card_slot.h"
#include "reader_blocks.h"
#include "reader_commands.h"
#include "reader_faults.h"
#include "reader_packets.h"
#include "simple_card.h"
#include "usb/usb_device_model.h"
#include "usb_descriptors.h"

namespace qv::sim {

struct ReaderOptions {
    ReaderModel model = ReaderModel::Qv38N;
    bool cardInserted = true;
    // wTotalLength of the configuration descriptor; more than the plain 32
    // bytes pads it with vendor-specific descriptors.
    std::size_t configurationLength = kPlainConfigurationLength;
    // How the endpoints are listed and sized.
    PipeLayout pipes = PipeLayout::Standard;
    FirmwareVersion firmwareVersion{2, 1, 0, 7};
    // Answers that take longer are preceded by an S(WTX request).
    usb::Time readerWaitingTime = kDefaultReaderWaitingTime;
    // Resets answer status 0xAA without the ATR.
    bool shortResetAnswer = false;
    // The card in the slot when no other card is given.
    SimpleCardOptions card{};
};

class UsbReader final : public usb::UsbDeviceModel {
  public:
    explicit UsbReader(ReaderOptions options = {});
    UsbReader(ReaderOptions options, std::unique_ptr<Card> card);

    // ---- The USB device --------------------------------------------------
    std::span<const std::uint8_t> DeviceDescriptor() const override { return deviceDescriptor_; }
    std::span<const std::uint8_t> ConfigurationDescriptor() const override { return configurationDescriptor_; }
    bool Attached() const override { return attached_; }
    bool SetConfiguration(std::uint8_t value) override;
    usb::OutResult BulkOut(std::uint8_t endpoint, std::span<const std::uint8_t> data, usb::Time now) override;
    usb::InResult BulkIn(std::uint8_t endpoint, std::span<std::uint8_t> buffer, usb::Time now) override;
    // Clears the endpoint's halt and drops what it held: a partly received
    // block (OUT), or the rest of a block whose packets had begun to go out
    // (IN). Whole answers still in the reader's queue stay there.
    void ResetEndpoint(std::uint8_t endpoint) override;
    // Suspend: the firmware cuts the card's power at once (the slot may draw
    // only suspend current). Resume: the firmware starts afresh, as after a
    // power cycle: no block-sequence state, nothing half received or queued,
    // the card unpowered; the host's configuration stays.
    void Suspend() override;
    void Resume() override;
    bool Suspended() const { return suspended_; }

    bool Configured() const { return configured_; }

    // ---- Events ----------------------------------------------------------
    void InsertCard();                         // the slot's card goes (back) in
    void InsertCard(std::unique_ptr<Card> card); // another card goes in
    void RemoveCard();
    bool CardInserted() const { return slot_.Occupied(); }

    // The reader drops off the bus (unplugged or failed); everything answers
    // DeviceGone from then on.
    void Vanish();
    // Plugged in again: attached, unconfigured, firmware in its power-on state.
    void Reattach();

    // ---- Access ----------------------------------------------------------
    Card& CurrentCard() { return slot_.CurrentCard(); }
    // The card as its own type, or null when the slot holds another kind.
    template <class T> T* CardAs() { return dynamic_cast<T*>(&slot_.CurrentCard()); }
    SimpleCard* Simple() { return CardAs<SimpleCard>(); }

    FaultPlan& Faults() { return faults_; }
    void Arm(Fault fault, unsigned count = 1) { faults_.Arm(fault, count); }
    // Arms a fault by its catalogue name; false when there is no such fault.
    bool Arm(std::string_view name, unsigned count = 1);

    ReaderModel Model() const { return options_.model; }
    const ReaderOptions& Options() const { return options_; }
    void SetShortResetAnswer(bool on) { commands_.SetShortResetAnswer(on); }
    const ReaderBlocks& Link() const { return blocks_; }
    // Blocks in the reader's answer queue, the one going out included.
    std::size_t QueuedAnswers() const { return stream_.QueuedBlocks(); }

  private:
    // Spends one transfer of an armed vanish fault; true when the reader is
    // gone (now or before).
    bool GoneAtThisTransfer();
    void PowerOnState();

    ReaderOptions options_;
    Bytes deviceDescriptor_;
    Bytes configurationDescriptor_;
    FaultPlan faults_;
    CardSlot slot_;
    ReaderCommands commands_;
    ReaderBlocks blocks_;
    PacketAssembler assembler_;
    PacketStream stream_;
    bool attached_ = true;
    bool configured_ = false;
    bool outHalted_ = false;
    bool inHalted_ = false;
    bool suspended_ = false;
};

} // namespace qv::sim
