// Application requests: any control code with any input and output buffer
// sizes and contents, through the driver's dispatch routine and the smart
// card library, against the simulated reader with a card in it (one of the
// catalogue's, chosen by the input). Most codes come from the smart card
// set, with their typical inputs (power actions, protocol masks, attribute
// ids, transmit headers) as likely as raw bytes; any other 32-bit code can
// come too. The card waits (IS_PRESENT, IS_ABSENT) are sent without waiting
// and cancelled, as an application that gives up does; the card-status
// poller may run alongside.
#include <array>
#include <cstring>
#include <string>

#include "cards/card_catalogue.h"
#include "fuzz_input.h"
#include "harness/reader_machine.h"
#include "usb_reader.h"

namespace qv::fuzz {

namespace {

using Bytes = std::vector<std::uint8_t>;

constexpr std::size_t kRequests = 6;
constexpr std::size_t kInputChoice = 600;
constexpr ULONG kOutputChoice = 1100;
constexpr std::uint8_t kRawCode = 0xFF;

constexpr std::array kCodes = {IOCTL_SMARTCARD_POWER,         IOCTL_SMARTCARD_GET_ATTRIBUTE,
                               IOCTL_SMARTCARD_SET_ATTRIBUTE, IOCTL_SMARTCARD_TRANSMIT,
                               IOCTL_SMARTCARD_EJECT,         IOCTL_SMARTCARD_SWALLOW,
                               IOCTL_SMARTCARD_IS_PRESENT,    IOCTL_SMARTCARD_IS_ABSENT,
                               IOCTL_SMARTCARD_SET_PROTOCOL,  IOCTL_SMARTCARD_GET_STATE,
                               IOCTL_SMARTCARD_GET_LAST_ERROR, IOCTL_SMARTCARD_CONFISCATE,
                               IOCTL_SMARTCARD_GET_PERF_CNTR};

constexpr std::array<ULONG, 30> kAttributes = {
    SCARD_ATTR_ATR_STRING,         SCARD_ATTR_CHANNEL_ID,          SCARD_ATTR_CHARACTERISTICS,
    SCARD_ATTR_CURRENT_BWT,        SCARD_ATTR_CURRENT_CLK,         SCARD_ATTR_CURRENT_CWT,
    SCARD_ATTR_CURRENT_D,          SCARD_ATTR_CURRENT_EBC_ENCODING, SCARD_ATTR_CURRENT_F,
    SCARD_ATTR_CURRENT_IFSC,       SCARD_ATTR_CURRENT_IFSD,        SCARD_ATTR_CURRENT_N,
    SCARD_ATTR_CURRENT_PROTOCOL_TYPE, SCARD_ATTR_CURRENT_W,         SCARD_ATTR_DEFAULT_CLK,
    SCARD_ATTR_DEFAULT_DATA_RATE,  SCARD_ATTR_DEVICE_IN_USE,       SCARD_ATTR_DEVICE_UNIT,
    SCARD_ATTR_ICC_INTERFACE_STATUS, SCARD_ATTR_ICC_PRESENCE,      SCARD_ATTR_ICC_TYPE_PER_ATR,
    SCARD_ATTR_MAX_CLK,            SCARD_ATTR_MAX_DATA_RATE,       SCARD_ATTR_MAX_IFSD,
    SCARD_ATTR_POWER_MGMT_SUPPORT, SCARD_ATTR_PROTOCOL_TYPES,      SCARD_ATTR_VENDOR_IFD_SERIAL_NO,
    SCARD_ATTR_VENDOR_IFD_TYPE,    SCARD_ATTR_VENDOR_IFD_VERSION,  SCARD_ATTR_VENDOR_NAME};

constexpr std::array<ULONG, 3> kPowerActions = {SCARD_POWER_DOWN, SCARD_COLD_RESET, SCARD_WARM_RESET};
constexpr std::array<ULONG, 4> kProtocolMasks = {SCARD_PROTOCOL_T0, SCARD_PROTOCOL_T1,
                                                 SCARD_PROTOCOL_T0 | SCARD_PROTOCOL_T1, SCARD_PROTOCOL_DEFAULT};

void PutLong(Bytes& bytes, ULONG value) {
    const auto* raw = reinterpret_cast<const std::uint8_t*>(&value);
    bytes.insert(bytes.end(), raw, raw + sizeof value);
}

// The request's input: typical for its code (then the input's bytes behind
// it), or raw bytes alone.
Bytes RequestInput(FuzzInput& in, ULONG code) {
    Bytes bytes;
    if (in.Flag()) {
        switch (code) {
        case IOCTL_SMARTCARD_POWER:
            PutLong(bytes, kPowerActions[in.Below(kPowerActions.size())]);
            break;
        case IOCTL_SMARTCARD_SET_PROTOCOL:
            PutLong(bytes, kProtocolMasks[in.Below(kProtocolMasks.size())]);
            break;
        case IOCTL_SMARTCARD_GET_ATTRIBUTE:
        case IOCTL_SMARTCARD_SET_ATTRIBUTE:
            PutLong(bytes, kAttributes[in.Below(kAttributes.size())]);
            break;
        case IOCTL_SMARTCARD_TRANSMIT:
            PutLong(bytes, in.Flag() ? SCARD_PROTOCOL_T1 : SCARD_PROTOCOL_T0);
            PutLong(bytes, sizeof(SCARD_IO_REQUEST));
            break;
        default:
            break;
        }
    }
    const Bytes tail = in.Take(in.Below(kInputChoice));
    bytes.insert(bytes.end(), tail.begin(), tail.end());
    return bytes;
}

bool IsCardWait(ULONG code) { return code == IOCTL_SMARTCARD_IS_PRESENT || code == IOCTL_SMARTCARD_IS_ABSENT; }

} // namespace

// The machine boots with the seed's schedule and the card of the input's
// choice in the slot; the input's own part begins with the reader configured.
Verdict Run_ioctl(Input input, StartPoint* start) {
    FuzzInput in(input);
    const std::uint64_t seed = in.Seed();
    const auto catalogue = sim::CardCatalogue();
    const std::string_view cardName = catalogue[in.Below(catalogue.size())].name;
    sim::UsbReader reader({}, sim::MakeCard(cardName, seed));

    harness::HeldReader config;
    config.machine = FuzzMachineConfig(seed);
    config.admitRequests = true;
    harness::ReaderMachine bed(reader, config);
    Verdict verdict;
    const RunResult run = bed.Run([&] {
        if (bed.Configure(0) != STATUS_SUCCESS) return;
        Reach(start, in);
        const bool polling = in.Flag();
        if (polling && bed.StartPolling(0) != STATUS_SUCCESS) return;
        for (std::size_t i = 0; i < kRequests && !in.Empty(); ++i) {
            const std::uint8_t choice = in.Byte();
            const ULONG code = choice == kRawCode ? in.Long() : kCodes[choice % kCodes.size()];
            if (IsCardWait(code)) {
                harness::AsyncRequest& wait = bed.SendAsync(0, code, harness::SentIrp::KeptUntilReap);
                (void)bed.Cancel(wait);
                continue;
            }
            const Bytes request = RequestInput(in, code);
            const ULONG outputLength = static_cast<ULONG>(in.Below(kOutputChoice));
            const harness::IoctlResult result = bed.DeviceControl(0, code, request, outputLength);
            if (result.information > outputLength) {
                verdict = Failed("control code " + std::to_string(code) + " reported " +
                                 std::to_string(result.information) + " bytes for an output buffer of " +
                                 std::to_string(outputLength));
                return;
            }
        }
        if (polling) bed.StopPolling(0);
        (void)bed.Reap();
    });
    return FromRuns(run, bed.Shutdown(), "ioctl", verdict);
}

std::string BootKey_ioctl(Input input) {
    FuzzInput in(input);
    const std::uint64_t seed = in.Seed();
    return BootKeyOf({seed, in.Below(sim::CardCatalogue().size())});
}

Verdict Fuzz_ioctl(Input input) { return Run_ioctl(input, nullptr); }

} // namespace qv::fuzz
