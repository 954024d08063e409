// pcsc-lite's IFD handler entry points (version 3.0 of the interface), each
// turned into the request an application sends through the reader's handle
// (pcsc/bridge.h), and each outcome into the interface's return codes. No
// failure of the emulated machine reaches pcscd as anything but a code.
// The header declares the entry points without C linkage of their own.
extern "C" {
#include <ifdhandler.h>
#include <reader.h>
}

#include <algorithm>
#include <chrono>
#include <cstring>
#include <exception>
#include <span>
#include <string>
#include <vector>

#include "pcsc/device_name.h"
#include "pcsc/ifd_handler.h"

namespace {

using qv::pcsc::Bridge;
using qv::pcsc::Outcome;

constexpr UCHAR kSimultaneousReaders = qv::pcsc::kMaxChannels;
constexpr UCHAR kSlotsPerReader = 1;
// The one-byte answers of the yes-or-no tags.
constexpr UCHAR kYes = 1;
constexpr UCHAR kNo = 0;
// pcsc-lite numbers its control codes from 0x42000000; Windows builds them
// with CTL_CODE(FILE_DEVICE_SMARTCARD, function, METHOD_BUFFERED, FILE_ANY_ACCESS).
constexpr DWORD kPcscliteControlBase = 0x42000000;
constexpr DWORD kPcscliteControlMask = 0xFF000000;
constexpr DWORD kFileDeviceSmartcard = 0x31;
constexpr unsigned kDeviceTypeShift = 16;
constexpr unsigned kFunctionShift = 2;
constexpr DWORD kMaxFunction = 0xFFF;
// SCardGetAttrib's tags carry a class in their upper half; the handler's
// own tags (TAG_IFD_*) do not.
constexpr DWORD kAttributeClassShift = 16;
// The transmit header's protocol numbers (0 for T=0, 1 for T=1).
constexpr DWORD kProtocolNumberT0 = 0;
constexpr DWORD kProtocolNumberT1 = 1;
constexpr std::size_t kStateLength = 4;

// The codes every call shares.
RESPONSECODE Common(Outcome outcome) {
    switch (outcome) {
    case Outcome::Ok: return IFD_SUCCESS;
    case Outcome::NoCard: return IFD_ICC_NOT_PRESENT;
    case Outcome::NoDevice: return IFD_NO_SUCH_DEVICE;
    case Outcome::Timeout: return IFD_RESPONSE_TIMEOUT;
    case Outcome::NotSupported: return IFD_NOT_SUPPORTED;
    case Outcome::BufferTooSmall: return IFD_ERROR_INSUFFICIENT_BUFFER;
    case Outcome::Failed: return IFD_COMMUNICATION_ERROR;
    }
    return IFD_COMMUNICATION_ERROR;
}

std::uint32_t ReadState(const std::vector<std::uint8_t>& data) {
    std::uint32_t state = 0;
    for (std::size_t i = 0; i < kStateLength && i < data.size(); ++i) state |= std::uint32_t{data[i]} << (8 * i);
    return state;
}

// Runs body and turns an exception into a code: nothing thrown may cross
// into pcscd.
template <class Body> RESPONSECODE Guarded(Body body) {
    try {
        return body();
    } catch (const std::exception&) {
        return IFD_COMMUNICATION_ERROR;
    } catch (...) {
        return IFD_COMMUNICATION_ERROR;
    }
}

RESPONSECODE Open(DWORD lun, const qv::pcsc::ChannelOptions& options) {
    return Guarded([&]() -> RESPONSECODE {
        const Outcome outcome = qv::pcsc::IfdHandler::Instance().OpenChannel(static_cast<std::uint32_t>(lun), options);
        return outcome == Outcome::Ok ? IFD_SUCCESS
               : outcome == Outcome::NoDevice ? IFD_NO_SUCH_DEVICE
                                              : IFD_COMMUNICATION_ERROR;
    });
}

// The card-event wait pcscd's polling thread calls instead of polling
// IFDHICCPresence: the tracking request left pending for `timeout` ms.
RESPONSECODE WaitForCardEvent(DWORD lun, int timeout) {
    return Guarded([&]() -> RESPONSECODE {
        auto bridge = qv::pcsc::IfdHandler::Instance().For(static_cast<std::uint32_t>(lun));
        if (!bridge) return IFD_NO_SUCH_DEVICE;
        const Outcome outcome =
            bridge->WaitForChange(static_cast<std::uint32_t>(lun), std::chrono::milliseconds(std::max(timeout, 0)));
        return outcome == Outcome::Ok ? IFD_SUCCESS : Common(outcome);
    });
}

RESPONSECODE StopWaitingForCardEvent(DWORD lun) {
    return Guarded([&]() -> RESPONSECODE {
        auto bridge = qv::pcsc::IfdHandler::Instance().For(static_cast<std::uint32_t>(lun));
        if (bridge) bridge->StopWaiting(static_cast<std::uint32_t>(lun));
        return IFD_SUCCESS;
    });
}

RESPONSECODE CopyOut(const std::vector<std::uint8_t>& data, PDWORD length, PUCHAR value) {
    if (data.size() > *length) {
        *length = 0;
        return IFD_ERROR_INSUFFICIENT_BUFFER;
    }
    if (!data.empty()) std::memcpy(value, data.data(), data.size());
    *length = data.size();
    return IFD_SUCCESS;
}

RESPONSECODE PutByte(UCHAR byte, PDWORD length, PUCHAR value) { return CopyOut({byte}, length, value); }

template <class Function> RESPONSECODE PutFunction(Function function, PDWORD length, PUCHAR value) {
    if (*length < sizeof function) {
        *length = 0;
        return IFD_ERROR_INSUFFICIENT_BUFFER;
    }
    std::memcpy(value, &function, sizeof function);
    *length = sizeof function;
    return IFD_SUCCESS;
}

} // namespace

extern "C" {

RESPONSECODE IFDHCreateChannelByName(DWORD Lun, LPSTR DeviceName) {
    std::string error;
    const auto options = qv::pcsc::ParseDeviceName(DeviceName == nullptr ? "" : DeviceName, error);
    if (!options) return IFD_COMMUNICATION_ERROR;
    return Open(Lun, *options);
}

RESPONSECODE IFDHCreateChannel(DWORD Lun, DWORD Channel) {
    (void)Channel; // there is no port: the reader is simulated
    return Open(Lun, {});
}

RESPONSECODE IFDHCloseChannel(DWORD Lun) {
    return Guarded([&]() -> RESPONSECODE {
        const Outcome outcome = qv::pcsc::IfdHandler::Instance().CloseChannel(static_cast<std::uint32_t>(Lun));
        // A reader already pulled out is closed as well as it can be.
        return outcome == Outcome::Ok || outcome == Outcome::NoDevice ? IFD_SUCCESS : IFD_COMMUNICATION_ERROR;
    });
}

RESPONSECODE IFDHGetCapabilities(DWORD Lun, DWORD Tag, PDWORD Length, PUCHAR Value) {
    if (Length == nullptr || (Value == nullptr && *Length != 0)) return IFD_COMMUNICATION_ERROR;
    return Guarded([&]() -> RESPONSECODE {
        switch (Tag) {
        case TAG_IFD_SIMULTANEOUS_ACCESS: return PutByte(kSimultaneousReaders, Length, Value);
        case TAG_IFD_SLOTS_NUMBER: return PutByte(kSlotsPerReader, Length, Value);
        // Readers are served at once, each on its own simulated threads.
        case TAG_IFD_THREAD_SAFE: return PutByte(kYes, Length, Value);
        case TAG_IFD_SLOT_THREAD_SAFE: return PutByte(kNo, Length, Value);
        case TAG_IFD_POLLING_THREAD_WITH_TIMEOUT:
            return PutFunction(&WaitForCardEvent, Length, Value);
        // The wait ends by a cancel, never by killing the thread.
        case TAG_IFD_POLLING_THREAD_KILLABLE: return PutByte(kNo, Length, Value);
        case TAG_IFD_STOP_POLLING_THREAD: return PutFunction(&StopWaitingForCardEvent, Length, Value);
        default: break;
        }
        auto bridge = qv::pcsc::IfdHandler::Instance().For(static_cast<std::uint32_t>(Lun));
        if (!bridge) return IFD_NO_SUCH_DEVICE;
        DWORD id = Tag;
        if (Tag == TAG_IFD_ATR) id = SCARD_ATTR_ATR_STRING;
        else if ((Tag >> kAttributeClassShift) == 0) return IFD_ERROR_TAG;
        const qv::pcsc::Reply reply = bridge->Attribute(static_cast<std::uint32_t>(Lun), static_cast<std::uint32_t>(id), *Length);
        if (reply.Ok()) return CopyOut(reply.data, Length, Value);
        if (id == SCARD_ATTR_ATR_STRING && reply.outcome != Outcome::NoDevice) {
            // No card, or one not powered: no ATR, which is an empty one.
            *Length = 0;
            return IFD_SUCCESS;
        }
        *Length = 0;
        if (reply.outcome == Outcome::NotSupported) return IFD_ERROR_TAG;
        return Common(reply.outcome);
    });
}

RESPONSECODE IFDHSetCapabilities(DWORD Lun, DWORD Tag, DWORD Length, PUCHAR Value) {
    if (Value == nullptr && Length != 0) return IFD_COMMUNICATION_ERROR;
    return Guarded([&]() -> RESPONSECODE {
        if (Tag == TAG_IFD_DEVICE_REMOVED) return IFD_SUCCESS; // the bridge learns it from the bus itself
        if ((Tag >> kAttributeClassShift) == 0) return IFD_ERROR_TAG;
        auto bridge = qv::pcsc::IfdHandler::Instance().For(static_cast<std::uint32_t>(Lun));
        if (!bridge) return IFD_NO_SUCH_DEVICE;
        const qv::pcsc::Reply reply = bridge->SetAttribute(static_cast<std::uint32_t>(Lun), static_cast<std::uint32_t>(Tag),
                                                           std::span<const std::uint8_t>(Value, Length));
        if (reply.Ok()) return IFD_SUCCESS;
        if (reply.outcome == Outcome::NotSupported) return IFD_ERROR_TAG;
        if (reply.outcome == Outcome::NoDevice) return IFD_NO_SUCH_DEVICE;
        return IFD_ERROR_SET_FAILURE;
    });
}

RESPONSECODE IFDHSetProtocolParameters(DWORD Lun, DWORD Protocol, UCHAR Flags, UCHAR PTS1, UCHAR PTS2, UCHAR PTS3) {
    // The driver negotiates the card's own rate from its ATR (a PPS through
    // the reader); the PTS values pcscd derives from the same ATR add nothing.
    (void)Flags;
    (void)PTS1;
    (void)PTS2;
    (void)PTS3;
    return Guarded([&]() -> RESPONSECODE {
        if (Protocol != SCARD_PROTOCOL_T0 && Protocol != SCARD_PROTOCOL_T1) return IFD_PROTOCOL_NOT_SUPPORTED;
        auto bridge = qv::pcsc::IfdHandler::Instance().For(static_cast<std::uint32_t>(Lun));
        if (!bridge) return IFD_NO_SUCH_DEVICE;
        const auto lun = static_cast<std::uint32_t>(Lun);
        const qv::pcsc::Reply reply = bridge->SetProtocol(lun, static_cast<std::uint32_t>(Protocol));
        if (reply.Ok()) return IFD_SUCCESS;
        switch (reply.outcome) {
        case Outcome::NoDevice: return IFD_NO_SUCH_DEVICE;
        case Outcome::NoCard: return IFD_ICC_NOT_PRESENT;
        case Outcome::NotSupported: return IFD_PROTOCOL_NOT_SUPPORTED;
        default: break;
        }
        // A card already running the protocol asked for needs no second PPS.
        const qv::pcsc::Reply state = bridge->State(lun);
        if (state.Ok() && ReadState(state.data) == static_cast<std::uint32_t>(qv::pcsc::CardState::Specific)) {
            const qv::pcsc::Reply current = bridge->Attribute(lun, SCARD_ATTR_CURRENT_PROTOCOL_TYPE, kStateLength);
            if (current.Ok() && ReadState(current.data) == Protocol) return IFD_SUCCESS;
        }
        return IFD_ERROR_PTS_FAILURE;
    });
}

RESPONSECODE IFDHPowerICC(DWORD Lun, DWORD Action, PUCHAR Atr, PDWORD AtrLength) {
    return Guarded([&]() -> RESPONSECODE {
        auto clearAtr = [&] {
            if (AtrLength != nullptr) *AtrLength = 0;
        };
        auto bridge = qv::pcsc::IfdHandler::Instance().For(static_cast<std::uint32_t>(Lun));
        if (!bridge) {
            clearAtr();
            return IFD_NO_SUCH_DEVICE;
        }
        const auto lun = static_cast<std::uint32_t>(Lun);
        qv::pcsc::PowerAction action = qv::pcsc::PowerAction::Down;
        if (Action == IFD_POWER_UP) {
            action = qv::pcsc::PowerAction::Cold;
        } else if (Action == IFD_RESET) {
            // A warm reset needs a powered card; an unpowered one is powered up.
            const qv::pcsc::Reply state = bridge->State(lun);
            const bool powered =
                state.Ok() && ReadState(state.data) >= static_cast<std::uint32_t>(qv::pcsc::CardState::Powered);
            action = powered ? qv::pcsc::PowerAction::Warm : qv::pcsc::PowerAction::Cold;
        } else if (Action != IFD_POWER_DOWN) {
            clearAtr();
            return IFD_NOT_SUPPORTED;
        }
        const qv::pcsc::Reply reply = bridge->Power(lun, action);
        if (!reply.Ok()) {
            clearAtr();
            if (reply.outcome == Outcome::NoDevice) return IFD_NO_SUCH_DEVICE;
            if (reply.outcome == Outcome::NotSupported) return IFD_NOT_SUPPORTED;
            return IFD_ERROR_POWER_ACTION;
        }
        if (action == qv::pcsc::PowerAction::Down) {
            clearAtr();
            return IFD_SUCCESS;
        }
        if (Atr == nullptr || AtrLength == nullptr) return IFD_SUCCESS;
        const std::size_t length = std::min<std::size_t>({reply.data.size(), MAX_ATR_SIZE, *AtrLength});
        std::memcpy(Atr, reply.data.data(), length);
        *AtrLength = length;
        return IFD_SUCCESS;
    });
}

RESPONSECODE IFDHTransmitToICC(DWORD Lun, SCARD_IO_HEADER SendPci, PUCHAR TxBuffer, DWORD TxLength, PUCHAR RxBuffer,
                               PDWORD RxLength, PSCARD_IO_HEADER RecvPci) {
    if (RxLength == nullptr || (RxBuffer == nullptr && *RxLength != 0) || (TxBuffer == nullptr && TxLength != 0))
        return IFD_COMMUNICATION_ERROR;
    return Guarded([&]() -> RESPONSECODE {
        const DWORD room = *RxLength;
        *RxLength = 0;
        std::uint32_t protocol = 0;
        if (SendPci.Protocol == kProtocolNumberT0) protocol = qv::pcsc::kProtocolT0;
        else if (SendPci.Protocol == kProtocolNumberT1) protocol = qv::pcsc::kProtocolT1;
        else return IFD_PROTOCOL_NOT_SUPPORTED;
        auto bridge = qv::pcsc::IfdHandler::Instance().For(static_cast<std::uint32_t>(Lun));
        if (!bridge) return IFD_NO_SUCH_DEVICE;
        const qv::pcsc::Reply reply = bridge->Transmit(static_cast<std::uint32_t>(Lun), protocol,
                                                       std::span<const std::uint8_t>(TxBuffer, TxLength), room);
        if (!reply.Ok()) return Common(reply.outcome);
        if (reply.data.size() > room) return IFD_ERROR_INSUFFICIENT_BUFFER;
        if (!reply.data.empty()) std::memcpy(RxBuffer, reply.data.data(), reply.data.size());
        *RxLength = reply.data.size();
        if (RecvPci != nullptr) {
            RecvPci->Protocol = SendPci.Protocol;
            RecvPci->Length = 0;
        }
        return IFD_SUCCESS;
    });
}

RESPONSECODE IFDHControl(DWORD Lun, DWORD dwControlCode, PUCHAR TxBuffer, DWORD TxLength, PUCHAR RxBuffer,
                         DWORD RxLength, LPDWORD pdwBytesReturned) {
    if (pdwBytesReturned != nullptr) *pdwBytesReturned = 0;
    if ((TxBuffer == nullptr && TxLength != 0) || (RxBuffer == nullptr && RxLength != 0)) return IFD_COMMUNICATION_ERROR;
    return Guarded([&]() -> RESPONSECODE {
        auto bridge = qv::pcsc::IfdHandler::Instance().For(static_cast<std::uint32_t>(Lun));
        if (!bridge) return IFD_NO_SUCH_DEVICE;
        DWORD code = dwControlCode;
        if ((code & kPcscliteControlMask) == kPcscliteControlBase) {
            const DWORD function = code - kPcscliteControlBase;
            if (function > kMaxFunction) return IFD_ERROR_NOT_SUPPORTED;
            code = (kFileDeviceSmartcard << kDeviceTypeShift) | (function << kFunctionShift);
        }
        const qv::pcsc::Reply reply = bridge->Control(static_cast<std::uint32_t>(Lun), static_cast<std::uint32_t>(code),
                                                      std::span<const std::uint8_t>(TxBuffer, TxLength), RxLength);
        if (!reply.Ok()) {
            if (reply.outcome == Outcome::NotSupported) return IFD_ERROR_NOT_SUPPORTED;
            return Common(reply.outcome);
        }
        if (reply.data.size() > RxLength) return IFD_ERROR_INSUFFICIENT_BUFFER;
        if (!reply.data.empty()) std::memcpy(RxBuffer, reply.data.data(), reply.data.size());
        if (pdwBytesReturned != nullptr) *pdwBytesReturned = reply.data.size();
        return IFD_SUCCESS;
    });
}

RESPONSECODE IFDHICCPresence(DWORD Lun) {
    return Guarded([&]() -> RESPONSECODE {
        auto bridge = qv::pcsc::IfdHandler::Instance().For(static_cast<std::uint32_t>(Lun));
        if (!bridge) return IFD_NO_SUCH_DEVICE;
        const qv::pcsc::Reply reply = bridge->State(static_cast<std::uint32_t>(Lun));
        if (!reply.Ok()) return reply.outcome == Outcome::NoDevice ? IFD_NO_SUCH_DEVICE : IFD_COMMUNICATION_ERROR;
        const std::uint32_t state = ReadState(reply.data);
        if (state == static_cast<std::uint32_t>(qv::pcsc::CardState::Absent)) return IFD_ICC_NOT_PRESENT;
        if (state == static_cast<std::uint32_t>(qv::pcsc::CardState::Unknown)) return IFD_COMMUNICATION_ERROR;
        // The card pcscd powered was pulled and put back: absent once, so
        // that pcscd drops it and powers the card in the slot up afresh.
        if (bridge->TakeReplaced(static_cast<std::uint32_t>(Lun))) return IFD_ICC_NOT_PRESENT;
        return IFD_ICC_PRESENT;
    });
}

} // extern "C"
