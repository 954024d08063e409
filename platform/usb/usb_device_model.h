// The boundary between the emulated USB bus and a simulated device. The bus
// driver (platform/usb) turns URBs into calls on this interface; a device
// model (sim/) answers them as the hardware would. Nothing here knows about
// Windows types or the driver.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>

namespace qv::usb {

// Virtual time in 100 ns units, as the kernel counts it.
using Time = std::uint64_t;

enum class TransferStatus {
    Ok,         // the transfer went through (possibly short)
    Stall,      // the endpoint answered STALL
    Error,      // a bus error (CRC, bit stuffing, time-out on the wire)
    DeviceGone, // the device is no longer attached
};

struct OutResult {
    TransferStatus status = TransferStatus::Ok;
    std::size_t accepted = 0; // bytes the device took; may be fewer than offered
};

struct InResult {
    TransferStatus status = TransferStatus::Ok;
    // Bytes placed in the buffer. Zero with status Ok is a zero-length packet.
    std::size_t length = 0;
    // When status is Ok but the device has nothing to send yet (it answers
    // NAK), `ready` is false and `retryAt` says when it is worth asking
    // again; no value means it will not have anything until something else
    // happens (a host OUT transfer, a reset).
    bool ready = true;
    std::optional<Time> retryAt;
};

class UsbDeviceModel {
  public:
    virtual ~UsbDeviceModel() = default;

    // Descriptors as the device returns them on the wire.
    virtual std::span<const std::uint8_t> DeviceDescriptor() const = 0;
    virtual std::span<const std::uint8_t> ConfigurationDescriptor() const = 0;

    // False once the device has been unplugged (or has vanished by a fault).
    virtual bool Attached() const = 0;

    // SET_CONFIGURATION: value 0 unconfigures. Returns false on a STALL.
    virtual bool SetConfiguration(std::uint8_t value) = 0;

    // A bulk OUT transfer of data to the endpoint with the given address
    // (direction bit clear), at virtual time now.
    virtual OutResult BulkOut(std::uint8_t endpoint, std::span<const std::uint8_t> data, Time now) = 0;

    // A bulk IN transfer from the endpoint with the given address (direction
    // bit set) into buffer, whose size is the transfer length asked for.
    virtual InResult BulkIn(std::uint8_t endpoint, std::span<std::uint8_t> buffer, Time now) = 0;

    // The host reset the pipe of this endpoint (clears a halt, data toggle).
    virtual void ResetEndpoint(std::uint8_t endpoint) = 0;

    // The port is suspended (the device's power request went below D0, or
    // the system went to sleep): the device may draw only suspend current
    // until Resume. It keeps its address and configuration (USB 2.0,
    // 9.1.1.6); what else it keeps is the device's own business.
    virtual void Suspend() {}
    virtual void Resume() {}
};

} // namespace qv::usb
