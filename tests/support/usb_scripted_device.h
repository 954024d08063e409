// A USB device model whose answers a test scripts in advance: descriptors
// built from a few parameters, queued answers per IN endpoint (data, NAK
// until a time or until the host has sent something, stall, bus error,
// vanishing), chosen answers per OUT endpoint, and a record of everything
// the host did. Reusable wherever a test needs a device on the emulated bus
// without the simulated reader.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <map>
#include <optional>
#include <span>
#include <vector>

#include "qvwdk.h"
#include "kernel/race_annotations.h"
#include "usb/usb_device_model.h"

namespace qv::test {

inline constexpr std::uint8_t kClassSpecificDescriptorType = 0x21;
inline constexpr std::size_t kLargestDescriptor = 255;

struct EndpointSpec {
    std::uint8_t address = 0;
    std::uint8_t attributes = USB_ENDPOINT_TYPE_BULK;
    std::uint16_t maxPacket = 64;
    std::uint8_t interval = 0;
};

struct InterfaceSpec {
    std::uint8_t number = 0;
    std::uint8_t alternate = 0;
    std::uint8_t interfaceClass = 0x0B; // smart card
    std::uint8_t subClass = 0;
    std::uint8_t protocol = 0;
    std::vector<EndpointSpec> endpoints = {};
    // Bytes of class-specific descriptors placed between the interface
    // descriptor and its endpoints (to reach a given total length).
    std::size_t classBytes = 0;
};

inline std::vector<std::uint8_t> MakeDeviceDescriptor(std::uint16_t vendor = 0x1D50, std::uint16_t product = 0x3838,
                                                      std::uint8_t maxPacket0 = 8) {
    return {sizeof(USB_DEVICE_DESCRIPTOR),
            USB_DEVICE_DESCRIPTOR_TYPE,
            0x10,
            0x01, // USB 1.1
            0,
            0,
            0,
            maxPacket0,
            static_cast<std::uint8_t>(vendor),
            static_cast<std::uint8_t>(vendor >> 8),
            static_cast<std::uint8_t>(product),
            static_cast<std::uint8_t>(product >> 8),
            0x00,
            0x01,
            1,
            2,
            0,
            1};
}

inline std::vector<std::uint8_t> MakeConfigurationDescriptor(const std::vector<InterfaceSpec>& interfaces,
                                                             std::uint8_t value = 1) {
    std::vector<std::uint8_t> bytes = {sizeof(USB_CONFIGURATION_DESCRIPTOR),
                                       USB_CONFIGURATION_DESCRIPTOR_TYPE,
                                       0,
                                       0,
                                       static_cast<std::uint8_t>(interfaces.size()),
                                       value,
                                       0,
                                       USB_CONFIG_BUS_POWERED,
                                       50};
    for (const InterfaceSpec& interface : interfaces) {
        bytes.insert(bytes.end(), {sizeof(USB_INTERFACE_DESCRIPTOR), USB_INTERFACE_DESCRIPTOR_TYPE, interface.number,
                                   interface.alternate, static_cast<std::uint8_t>(interface.endpoints.size()),
                                   interface.interfaceClass, interface.subClass, interface.protocol, 0});
        for (std::size_t left = interface.classBytes; left > 0;) {
            // Never leave a remainder too short to be a descriptor.
            std::size_t piece = std::min(left, kLargestDescriptor);
            if (left - piece == 1) --piece;
            bytes.push_back(static_cast<std::uint8_t>(piece));
            bytes.push_back(kClassSpecificDescriptorType);
            bytes.insert(bytes.end(), piece - 2, 0);
            left -= piece;
        }
        for (const EndpointSpec& endpoint : interface.endpoints) {
            bytes.insert(bytes.end(), {sizeof(USB_ENDPOINT_DESCRIPTOR), USB_ENDPOINT_DESCRIPTOR_TYPE, endpoint.address,
                                       endpoint.attributes, static_cast<std::uint8_t>(endpoint.maxPacket),
                                       static_cast<std::uint8_t>(endpoint.maxPacket >> 8), endpoint.interval});
        }
    }
    bytes[2] = static_cast<std::uint8_t>(bytes.size());
    bytes[3] = static_cast<std::uint8_t>(bytes.size() >> 8);
    return bytes;
}

// The reader's layout: one interface, bulk IN 0x81 listed before bulk OUT 0x02.
inline constexpr std::uint8_t kInEndpoint = 0x81;
inline constexpr std::uint8_t kOutEndpoint = 0x02;

inline InterfaceSpec ReaderInterface(std::size_t classBytes = 0) {
    return {.endpoints = {{.address = kInEndpoint}, {.address = kOutEndpoint}}, .classBytes = classBytes};
}

class ScriptedUsbDevice : public usb::UsbDeviceModel {
  public:
    struct InStep {
        usb::TransferStatus status = usb::TransferStatus::Ok;
        std::vector<std::uint8_t> data = {};
        std::optional<usb::Time> readyAt = {}; // NAK with this retry time until then
        bool afterOut = false;            // NAK without a retry time until the host has sent something
        std::optional<std::size_t> claimedLength = {}; // report this length instead of the bytes copied
    };
    struct OutStep {
        usb::TransferStatus status = usb::TransferStatus::Ok;
        std::optional<std::size_t> accept = {}; // bytes taken; all when not given
    };
    struct OutRecord {
        std::uint8_t endpoint;
        std::vector<std::uint8_t> data;
        usb::Time time;
    };

    std::vector<std::uint8_t> device = MakeDeviceDescriptor();
    std::vector<std::uint8_t> configuration = MakeConfigurationDescriptor({ReaderInterface()});
    bool attached = true;
    bool stallSetConfiguration = false;

    // What the host did.
    std::vector<std::uint8_t> configurationsSet;
    std::vector<OutRecord> received;
    std::vector<usb::Time> inAsked; // every IN transaction, NAKed ones included
    std::vector<std::uint8_t> resets;

    // The device is hardware that the bus drives from whichever thread it
    // serves; a test that scripts or inspects it while the machine runs takes
    // its turn with the bus (for the race detector's build).
    void QueueIn(std::uint8_t endpoint, InStep step) {
        race::Acquire(Model());
        ins_[endpoint].push_back(std::move(step));
        race::Release(Model());
    }
    const ScriptedUsbDevice& Seen() const {
        race::Acquire(Model());
        return *this;
    }
    void QueueIn(std::uint8_t endpoint, std::vector<std::uint8_t> data) { QueueIn(endpoint, InStep{.data = std::move(data)}); }
    void QueueOut(std::uint8_t endpoint, OutStep step) {
        race::Acquire(Model());
        outs_[endpoint].push_back(step);
        race::Release(Model());
    }
    std::size_t InLeft(std::uint8_t endpoint) const {
        auto found = ins_.find(endpoint);
        return found == ins_.end() ? 0 : found->second.size();
    }

    const usb::UsbDeviceModel* Model() const { return this; }

    std::span<const std::uint8_t> DeviceDescriptor() const override { return device; }
    std::span<const std::uint8_t> ConfigurationDescriptor() const override { return configuration; }
    bool Attached() const override { return attached; }

    bool SetConfiguration(std::uint8_t value) override {
        configurationsSet.push_back(value);
        return !stallSetConfiguration;
    }

    usb::OutResult BulkOut(std::uint8_t endpoint, std::span<const std::uint8_t> data, usb::Time now) override {
        received.push_back({endpoint, {data.begin(), data.end()}, now});
        outSinceIn_ = true;
        OutStep step;
        if (auto& steps = outs_[endpoint]; !steps.empty()) {
            step = steps.front();
            steps.pop_front();
        }
        if (step.status == usb::TransferStatus::DeviceGone) attached = false;
        return {step.status, std::min(step.accept.value_or(data.size()), data.size())};
    }

    usb::InResult BulkIn(std::uint8_t endpoint, std::span<std::uint8_t> buffer, usb::Time now) override {
        inAsked.push_back(now);
        usb::InResult result;
        auto& steps = ins_[endpoint];
        InStep* step = steps.empty() ? nullptr : &steps.front();
        if (step == nullptr || (step->afterOut && !outSinceIn_)) {
            result.ready = false;
            return result;
        }
        if (step->readyAt && now < *step->readyAt) {
            result.ready = false;
            result.retryAt = step->readyAt;
            return result;
        }
        const InStep taken = std::move(*step);
        steps.pop_front();
        outSinceIn_ = false;
        if (taken.status == usb::TransferStatus::DeviceGone) attached = false;
        result.status = taken.status;
        if (taken.status != usb::TransferStatus::Ok) return result;
        const std::size_t copied = std::min(taken.data.size(), buffer.size());
        std::copy_n(taken.data.begin(), copied, buffer.begin());
        result.length = taken.claimedLength.value_or(copied);
        return result;
    }

    void ResetEndpoint(std::uint8_t endpoint) override { resets.push_back(endpoint); }

  private:
    std::map<std::uint8_t, std::deque<InStep>> ins_;
    std::map<std::uint8_t, std::deque<OutStep>> outs_;
    bool outSinceIn_ = false;
};

} // namespace qv::test
