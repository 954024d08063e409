// Device and configuration descriptors as the bus hands them to the
// driver's USB configuration (ConfigureUsbDevice): raw bytes, raw bytes with
// the configuration's header made to add up (so the fuzzer gets past the
// first length check), or a configuration laid out from interfaces and
// endpoints of the input's choice. SET_CONFIGURATION may be refused. A
// configured device is unconfigured again; the test bed's shutdown then
// audits the pool for anything the configuration left behind.
#include <string>

#include "fuzz_input.h"
#include "harness/reader_machine.h"
#include "support/usb_scripted_device.h"

namespace qv::fuzz {

namespace {

using Bytes = std::vector<std::uint8_t>;

constexpr std::size_t kLongestConfiguration = 1024;
constexpr std::size_t kMostInterfaces = 3;
constexpr std::size_t kMostEndpoints = 4;
constexpr std::size_t kMostClassBytes = 300;
constexpr std::size_t kSmallestDescriptor = 2;
constexpr std::size_t kConfigurationTotalLengthOffset = 2;

enum class Layout : std::uint8_t { Raw, RawWithHeader, Built, Count };

Bytes BuiltConfiguration(FuzzInput& in) {
    std::vector<test::InterfaceSpec> interfaces;
    const std::size_t count = 1 + in.Below(kMostInterfaces);
    for (std::size_t i = 0; i < count; ++i) {
        test::InterfaceSpec interface;
        interface.number = in.Byte();
        interface.alternate = in.Byte();
        interface.interfaceClass = in.Byte();
        const std::size_t endpoints = in.Below(kMostEndpoints + 1);
        for (std::size_t e = 0; e < endpoints; ++e) {
            test::EndpointSpec endpoint;
            endpoint.address = in.Byte();
            endpoint.attributes = in.Byte();
            endpoint.maxPacket = in.Word();
            interface.endpoints.push_back(endpoint);
        }
        // Class-specific descriptors are two bytes at least (length and type).
        interface.classBytes = in.Flag() ? kSmallestDescriptor + in.Below(kMostClassBytes) : 0;
        interfaces.push_back(interface);
    }
    return test::MakeConfigurationDescriptor(interfaces, in.Byte());
}

void DescribeDevice(FuzzInput& in, test::ScriptedUsbDevice& device) {
    device.stallSetConfiguration = in.Byte() == 0xFF;
    if (in.Flag()) device.device = in.Chunk(sizeof(USB_DEVICE_DESCRIPTOR) + 2);
    switch (static_cast<Layout>(in.Below(static_cast<std::size_t>(Layout::Count)))) {
    case Layout::Raw:
        device.configuration = in.Take(in.Below(kLongestConfiguration));
        break;
    case Layout::RawWithHeader: {
        Bytes bytes = in.Take(in.Below(kLongestConfiguration));
        if (bytes.size() >= sizeof(USB_CONFIGURATION_DESCRIPTOR)) {
            bytes[0] = sizeof(USB_CONFIGURATION_DESCRIPTOR);
            bytes[1] = USB_CONFIGURATION_DESCRIPTOR_TYPE;
            bytes[kConfigurationTotalLengthOffset] = static_cast<std::uint8_t>(bytes.size());
            bytes[kConfigurationTotalLengthOffset + 1] = static_cast<std::uint8_t>(bytes.size() >> 8);
        }
        device.configuration = std::move(bytes);
        break;
    }
    case Layout::Built:
    case Layout::Count:
        device.configuration = BuiltConfiguration(in);
        break;
    }
}

} // namespace

// The device's descriptors are read only when the driver configures it, so
// the machine boots (the reader added, its start held) with the seed alone
// and the input's descriptors come in at the start point.
Verdict Run_descriptors(Input input, StartPoint* start) {
    FuzzInput in(input);
    const std::uint64_t seed = in.Seed();
    test::ScriptedUsbDevice device;
    harness::HeldReader config;
    config.machine = FuzzMachineConfig(seed);
    harness::ReaderMachine bed(device, config);
    const RunResult run = bed.Run([&] {
        Reach(start, in);
        DescribeDevice(in, device);
        if (bed.Configure(0) == STATUS_SUCCESS) (void)bed.Unconfigure(0);
    });
    return FromRuns(run, bed.Shutdown(), "descriptors");
}

std::string BootKey_descriptors(Input input) {
    FuzzInput in(input);
    return BootKeyOf({in.Seed()});
}

Verdict Fuzz_descriptors(Input input) { return Run_descriptors(input, nullptr); }

} // namespace qv::fuzz
