// The standard reader and card attributes that the library answers itself
// from the extension, in the forms the PC/SC attribute ids define: counted
// strings as their bytes, numbers as ULONGs, the presence and interface
// status as single bytes.
#include "smclib/atr_parser.h"
#include "smclib/request.h"

namespace qv::smclib {

namespace {

// SCARD_ATTR_CHANNEL_ID: 0xDDDDCCCC, the channel type (the reader type) in
// the high word and the channel number in the low word.
constexpr unsigned kChannelTypeShift = 16;
// SCARD_ATTR_VENDOR_IFD_VERSION: 0xMMmmbbbb.
constexpr unsigned kVersionMajorShift = 24;
constexpr unsigned kVersionMinorShift = 16;
// SCARD_ATTR_ICC_PRESENCE values.
constexpr UCHAR kIccAbsent = 0;
constexpr UCHAR kIccPresent = 1;
constexpr UCHAR kIccSwallowed = 2;
constexpr UCHAR kIccConfiscated = 4;
// SCARD_ATTR_ICC_TYPE_PER_ATR: ISO/IEC 7816 asynchronous card.
constexpr UCHAR kIccTypeIso7816Asynchronous = 1;
constexpr UCHAR kContactInactive = 0;
constexpr UCHAR kContactActive = 1;
// The rate before any PPS: F = 372, D = 1.
constexpr UCHAR kDefaultRateIndex = 1;

template <class Counted>
NTSTATUS AnswerCounted(const Counted& text, ControlRequest& request) {
    const ULONG length = text.Length < sizeof(text.Buffer) ? text.Length : sizeof(text.Buffer);
    return request.Answer(text.Buffer, length);
}

bool CardIn(const SCARD_READER_CAPABILITIES& reader) { return reader.CurrentState > SCARD_ABSENT; }

// Attributes of the card's protocol need a card whose ATR the library has
// parsed.
NTSTATUS CardProtocolState(const SCARD_READER_CAPABILITIES& reader) {
    if (!CardIn(reader)) return STATUS_NO_MEDIA;
    if (reader.CurrentState < SCARD_NEGOTIABLE) return STATUS_INVALID_DEVICE_STATE;
    return STATUS_SUCCESS;
}

} // namespace

NTSTATUS AnswerAttribute(PSMARTCARD_EXTENSION SmartcardExtension, ULONG attribute, ControlRequest& request) {
    const VENDOR_ATTR& vendor = SmartcardExtension->VendorAttr;
    const SCARD_READER_CAPABILITIES& reader = SmartcardExtension->ReaderCapabilities;
    const SCARD_CARD_CAPABILITIES& card = SmartcardExtension->CardCapabilities;
    const bool specific = reader.CurrentState == SCARD_SPECIFIC;

    switch (attribute) {
    case SCARD_ATTR_VENDOR_NAME:
        return AnswerCounted(vendor.VendorName, request);
    case SCARD_ATTR_VENDOR_IFD_TYPE:
        return AnswerCounted(vendor.IfdType, request);
    case SCARD_ATTR_VENDOR_IFD_VERSION:
        return request.AnswerUlong((ULONG{vendor.IfdVersion.VersionMajor} << kVersionMajorShift) |
                                   (ULONG{vendor.IfdVersion.VersionMinor} << kVersionMinorShift) |
                                   vendor.IfdVersion.BuildNumber);
    case SCARD_ATTR_VENDOR_IFD_SERIAL_NO:
        // Optional: a reader that has no serial number has no such attribute.
        if (vendor.IfdSerialNo.Length == 0) return STATUS_NOT_SUPPORTED;
        return AnswerCounted(vendor.IfdSerialNo, request);
    case SCARD_ATTR_DEVICE_UNIT:
        return request.AnswerUlong(vendor.UnitNo);
    case SCARD_ATTR_CHANNEL_ID:
        return request.AnswerUlong((reader.ReaderType << kChannelTypeShift) | (reader.Channel & 0xFFFF));
    case SCARD_ATTR_PROTOCOL_TYPES:
        return request.AnswerUlong(reader.SupportedProtocols);
    case SCARD_ATTR_DEFAULT_CLK:
        return request.AnswerUlong(reader.CLKFrequency.Default);
    case SCARD_ATTR_MAX_CLK:
        return request.AnswerUlong(reader.CLKFrequency.Max);
    case SCARD_ATTR_DEFAULT_DATA_RATE:
        return request.AnswerUlong(reader.DataRate.Default);
    case SCARD_ATTR_MAX_DATA_RATE:
        return request.AnswerUlong(reader.DataRate.Max);
    case SCARD_ATTR_MAX_IFSD:
        return request.AnswerUlong(reader.MaxIFSD);
    case SCARD_ATTR_POWER_MGMT_SUPPORT:
        return request.AnswerUlong(reader.PowerMgmtSupport);
    case SCARD_ATTR_CHARACTERISTICS:
        return request.AnswerUlong(reader.MechProperties);
    case SCARD_ATTR_ICC_PRESENCE: {
        UCHAR presence = CardIn(reader) ? kIccPresent : kIccAbsent;
        if (reader.CurrentState == SCARD_SWALLOWED) presence = kIccSwallowed;
        if (reader.CardConfiscated) presence = kIccConfiscated;
        return request.AnswerByte(presence);
    }
    case SCARD_ATTR_ICC_INTERFACE_STATUS:
        return request.AnswerByte(reader.CurrentState >= SCARD_POWERED ? kContactActive : kContactInactive);
    case SCARD_ATTR_ATR_STRING: {
        if (!CardIn(reader)) return STATUS_NO_MEDIA;
        if (reader.CurrentState < SCARD_POWERED || card.ATR.Length == 0) return STATUS_INVALID_DEVICE_STATE;
        const ULONG length = card.ATR.Length < sizeof(card.ATR.Buffer) ? card.ATR.Length : sizeof(card.ATR.Buffer);
        return request.Answer(card.ATR.Buffer, length);
    }
    default:
        break;
    }

    // The card's protocol parameters.
    NTSTATUS state = STATUS_SUCCESS;
    switch (attribute) {
    case SCARD_ATTR_ICC_TYPE_PER_ATR:
    case SCARD_ATTR_CURRENT_PROTOCOL_TYPE:
    case SCARD_ATTR_CURRENT_CLK:
    case SCARD_ATTR_CURRENT_F:
    case SCARD_ATTR_CURRENT_D:
    case SCARD_ATTR_CURRENT_N:
    case SCARD_ATTR_CURRENT_W:
    case SCARD_ATTR_CURRENT_IFSC:
    case SCARD_ATTR_CURRENT_IFSD:
    case SCARD_ATTR_CURRENT_BWT:
    case SCARD_ATTR_CURRENT_CWT:
    case SCARD_ATTR_CURRENT_EBC_ENCODING:
        state = CardProtocolState(reader);
        if (!NT_SUCCESS(state)) return state;
        break;
    default:
        return STATUS_NOT_SUPPORTED;
    }
    // Until a protocol is selected the card runs at the default rate.
    const UCHAR fl = specific ? card.PtsData.Fl : kDefaultRateIndex;
    const UCHAR dl = specific ? card.PtsData.Dl : kDefaultRateIndex;
    switch (attribute) {
    case SCARD_ATTR_ICC_TYPE_PER_ATR:
        return request.AnswerByte(kIccTypeIso7816Asynchronous);
    case SCARD_ATTR_CURRENT_PROTOCOL_TYPE:
        return request.AnswerUlong(card.Protocol.Selected);
    case SCARD_ATTR_CURRENT_CLK:
        return request.AnswerUlong(card.PtsData.CLKFrequency != 0 ? card.PtsData.CLKFrequency
                                                                  : reader.CLKFrequency.Default);
    case SCARD_ATTR_CURRENT_F:
        return request.AnswerUlong(FiValue(fl));
    case SCARD_ATTR_CURRENT_D:
        return request.AnswerUlong(DiValue(dl));
    case SCARD_ATTR_CURRENT_N:
        return request.AnswerUlong(card.N);
    case SCARD_ATTR_CURRENT_W:
        return request.AnswerUlong(card.T0.WI);
    case SCARD_ATTR_CURRENT_IFSC:
        return request.AnswerUlong(SmartcardExtension->T1.IFSC);
    case SCARD_ATTR_CURRENT_IFSD:
        return request.AnswerUlong(SmartcardExtension->T1.IFSD);
    case SCARD_ATTR_CURRENT_BWT:
        return request.AnswerUlong(card.T1.BWT);
    case SCARD_ATTR_CURRENT_CWT:
        return request.AnswerUlong(card.T1.CWT);
    case SCARD_ATTR_CURRENT_EBC_ENCODING:
        return request.AnswerUlong(card.T1.EDC);
    default:
        return STATUS_NOT_SUPPORTED;
    }
}

} // namespace qv::smclib
