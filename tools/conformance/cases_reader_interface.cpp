// Reader interface, no card: what an application finds before any card is
// in — the reader's device interface, every attribute the library answers,
// the card state, and requests that need a card refused as documented.
#include <algorithm>
#include <cstring>

#include "conformance/cases.h"
#include "harness/app_client.h"

namespace qv::conformance {

namespace {

constexpr std::u16string_view kReaderInterfaceGuid = u"50dd5230-ba8a-11d1-bf5d-0000f805f530";
// SCARD_ATTR_CHANNEL_ID: the channel type (0x0020, USB) in the high word and
// the channel number (0) in the low word.
constexpr ULONG kUsbChannelId = 0x00200000;
constexpr ULONG kReaderClockKhz = 3571;
constexpr ULONG kDefaultDataRate = 9600;
constexpr ULONG kMaxDataRate = 38400;
constexpr ULONG kMaxIfsd = 254;
// The vendor-defined attribute that carries the reader's firmware version.
constexpr ULONG kAttrReaderVersion = 0x000701F0;
constexpr std::string_view kVendorName = "Vantrel/Orsund";
constexpr std::string_view kIfdType = "QV-38N/QV-39N";

std::u16string Lower(std::u16string text) {
    for (char16_t& c : text)
        if (c >= u'A' && c <= u'Z') c = static_cast<char16_t>(c - u'A' + u'a');
    return text;
}

ULONG AsUlong(const Bytes& bytes) {
    ULONG value = 0;
    if (bytes.size() >= sizeof value) std::memcpy(&value, bytes.data(), sizeof value);
    return value;
}

std::string AsText(const Bytes& bytes) {
    std::string text;
    for (std::uint8_t byte : bytes) {
        if (byte == 0) break;
        text += static_cast<char>(byte);
    }
    return text;
}

bool AttachEmpty(CaseContext& context) {
    ConformanceBed& bed = context.Bed();
    const std::size_t model = bed.AddModel(nullptr);
    if (!context.ExpectStatus(bed.Attach(model), STATUS_SUCCESS, "the reader plugged, started and opened")) return false;
    bed.Advance(kPollSettleMs);
    return true;
}

void DeviceInterface(CaseContext& context) {
    if (!AttachEmpty(context)) return;
    const std::vector<std::u16string> readers = harness::FindReaders();
    if (!context.Expect(readers.size() == 1, "one enabled smart-card reader interface, found " +
                                                 std::to_string(readers.size())))
        return;
    context.Expect(Lower(readers.front()).find(kReaderInterfaceGuid) != std::u16string::npos,
                   "the interface link names GUID_DEVINTERFACE_SMARTCARD_READER");
    std::unique_ptr<harness::AppHandle> handle;
    // The resource manager's own handle is open already: one handle at a time.
    const NTSTATUS second = harness::AppHandle::Open(readers.front(), handle);
    context.Expect(!NT_SUCCESS(second), "a second handle is refused while one is open, got " + StatusText(second));
}

void Attributes(CaseContext& context) {
    if (!AttachEmpty(context)) return;
    ConformanceBed& bed = context.Bed();
    NTSTATUS status = STATUS_UNSUCCESSFUL;
    auto text = [&](ULONG id, std::string_view wanted, const std::string& name) {
        const Bytes value = bed.Attribute(id, &status);
        if (context.ExpectStatus(status, STATUS_SUCCESS, name))
            context.Expect(AsText(value) == wanted, name + " is \"" + AsText(value) + "\", expected \"" +
                                                        std::string(wanted) + "\"");
    };
    auto number = [&](ULONG id, ULONG wanted, const std::string& name) {
        const Bytes value = bed.Attribute(id, &status);
        if (context.ExpectStatus(status, STATUS_SUCCESS, name))
            context.Expect(value.size() == sizeof(ULONG) && AsUlong(value) == wanted,
                           name + " is " + Hex(value) + ", expected " + std::to_string(wanted));
    };
    text(SCARD_ATTR_VENDOR_NAME, kVendorName, "SCARD_ATTR_VENDOR_NAME");
    text(SCARD_ATTR_VENDOR_IFD_TYPE, kIfdType, "SCARD_ATTR_VENDOR_IFD_TYPE");
    const Bytes version = bed.Attribute(SCARD_ATTR_VENDOR_IFD_VERSION, &status);
    if (context.ExpectStatus(status, STATUS_SUCCESS, "SCARD_ATTR_VENDOR_IFD_VERSION"))
        context.Expect(version.size() == sizeof(ULONG) && AsUlong(version) != 0,
                       "SCARD_ATTR_VENDOR_IFD_VERSION is a non-zero ULONG, got " + Hex(version));
    number(SCARD_ATTR_DEVICE_UNIT, 0, "SCARD_ATTR_DEVICE_UNIT");
    number(SCARD_ATTR_CHANNEL_ID, kUsbChannelId, "SCARD_ATTR_CHANNEL_ID");
    number(SCARD_ATTR_PROTOCOL_TYPES, SCARD_PROTOCOL_T0 | SCARD_PROTOCOL_T1, "SCARD_ATTR_PROTOCOL_TYPES");
    number(SCARD_ATTR_DEFAULT_CLK, kReaderClockKhz, "SCARD_ATTR_DEFAULT_CLK");
    number(SCARD_ATTR_MAX_CLK, kReaderClockKhz, "SCARD_ATTR_MAX_CLK");
    number(SCARD_ATTR_DEFAULT_DATA_RATE, kDefaultDataRate, "SCARD_ATTR_DEFAULT_DATA_RATE");
    number(SCARD_ATTR_MAX_DATA_RATE, kMaxDataRate, "SCARD_ATTR_MAX_DATA_RATE");
    number(SCARD_ATTR_MAX_IFSD, kMaxIfsd, "SCARD_ATTR_MAX_IFSD");
    // The firmware version the reader reported at start, major version in
    // the top byte and build number in the lowest (the simulated firmware is
    // 2.1.0.7).
    const sim::FirmwareVersion firmware = bed.Model(0).Options().firmwareVersion;
    const Bytes reader = bed.Attribute(kAttrReaderVersion, &status);
    if (context.ExpectStatus(status, STATUS_SUCCESS, "the reader version attribute 0x000701F0") &&
        context.Expect(reader.size() == sizeof(ULONG), "the reader version is one ULONG, got " + Hex(reader))) {
        context.Expect(reader[3] == firmware[0] && reader[0] == firmware[3],
                       "the reader version " + Hex(reader) + " carries the firmware's major version and build");
    }
    // The attributes of a card are refused while there is none.
    bed.Attribute(SCARD_ATTR_ATR_STRING, &status);
    context.Expect(!NT_SUCCESS(status), "SCARD_ATTR_ATR_STRING without a card is refused, got " + StatusText(status));
    // Too small a buffer gets the documented status, not a truncated value.
    bed.Attribute(SCARD_ATTR_VENDOR_NAME, &status, 4);
    context.ExpectStatus(status, STATUS_BUFFER_TOO_SMALL, "SCARD_ATTR_VENDOR_NAME into 4 bytes");
}

void StateAbsent(CaseContext& context) {
    if (!AttachEmpty(context)) return;
    const ULONG state = context.Bed().State();
    context.Expect(state == SCARD_ABSENT, "the card state is SCARD_ABSENT, got " + std::to_string(state));
}

void CardRequestsRefused(CaseContext& context) {
    if (!AttachEmpty(context)) return;
    ConformanceBed& bed = context.Bed();
    context.ExpectStatus(bed.Power(SCARD_COLD_RESET), STATUS_NO_MEDIA, "a cold reset without a card");
    context.ExpectStatus(bed.Power(SCARD_WARM_RESET), STATUS_NO_MEDIA, "a warm reset without a card");
    const NTSTATUS protocol = bed.Protocol(SCARD_PROTOCOL_T0 | SCARD_PROTOCOL_T1);
    context.Expect(protocol == STATUS_NO_MEDIA || protocol == STATUS_INVALID_DEVICE_STATE,
                   "a protocol request without a card is STATUS_NO_MEDIA or STATUS_INVALID_DEVICE_STATE, got " +
                       StatusText(protocol));
    bed.UseProtocol(SCARD_PROTOCOL_T0);
    const TransmitOutcome sent = bed.Transmit(FromHex("00A4000C023F00"));
    context.Expect(sent.status == STATUS_NO_MEDIA || sent.status == STATUS_INVALID_DEVICE_STATE,
                   "a transmit without a card is STATUS_NO_MEDIA or STATUS_INVALID_DEVICE_STATE, got " +
                       StatusText(sent.status));
    const ULONG state = bed.State();
    context.Expect(state == SCARD_ABSENT, "the state stays SCARD_ABSENT, got " + std::to_string(state));
}

} // namespace

void AddReaderInterfaceCases(std::vector<ConformanceCase>& cases) {
    constexpr std::string_view kPart = "reader interface";
    cases.push_back({kPart, "reader found through its smart-card reader interface", &DeviceInterface});
    cases.push_back({kPart, "every reader attribute answered", &Attributes});
    cases.push_back({kPart, "empty reader reports SCARD_ABSENT", &StateAbsent});
    cases.push_back({kPart, "requests that need a card refused", &CardRequestsRefused});
}

} // namespace qv::conformance
