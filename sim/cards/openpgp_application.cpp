#include "cards/openpgp_application.h"


#include <algorithm>
#include <vector>

#include "cards/ber_tlv.h"

namespace qv::sim {

namespace {

constexpr std::array<std::uint8_t, 6> kRid{0xD2, 0x76, 0x00, 0x01, 0x24, 0x01}; // registered id and application 01
constexpr std::uint8_t kVersionMajor = 0x03;
constexpr std::uint8_t kVersionMinor = 0x04;
constexpr std::uint16_t kManufacturer = 0xFF00;
// A partial AID names at least the registered application provider.
constexpr std::size_t kMinimumPartialAid = 5;

// Class byte: command chaining (ISO/IEC 7816-4, 5.1.1); the card offers no
// secure messaging and no logical channels.
constexpr std::uint8_t kClaChaining = 0x10;
constexpr std::uint8_t kClaProprietaryBit = 0x80;
constexpr std::uint8_t kClaSecureMessaging = 0x0C;
constexpr std::uint8_t kClaChannel = 0x03;
constexpr std::uint16_t kSwChainingUnsupported = 0x6884;

// Instructions.
constexpr std::uint8_t kInsSelect = 0xA4;
constexpr std::uint8_t kInsVerify = 0x20;
constexpr std::uint8_t kInsChangeReferenceData = 0x24;
constexpr std::uint8_t kInsResetRetryCounter = 0x2C;
constexpr std::uint8_t kInsGetData = 0xCA;
constexpr std::uint8_t kInsPutData = 0xDA;
constexpr std::uint8_t kInsPutDataOdd = 0xDB;
constexpr std::uint8_t kInsGenerateKeyPair = 0x47;
constexpr std::uint8_t kInsPerformSecurityOperation = 0x2A;
constexpr std::uint8_t kInsInternalAuthenticate = 0x88;
constexpr std::uint8_t kInsGetChallenge = 0x84;
constexpr std::uint8_t kInsGetResponse = 0xC0;
constexpr std::uint8_t kInsSelectData = 0xA5;
constexpr std::uint8_t kInsGetNextData = 0xCC;

// SELECT by DF name, with FCI, FCP or nothing asked for.
constexpr std::uint8_t kSelectByName = 0x04;
constexpr std::uint8_t kSelectFci = 0x00;
constexpr std::uint8_t kSelectFcp = 0x04;
constexpr std::uint8_t kSelectNothing = 0x0C;

// SELECT DATA: P1 the occurrence, P2 04, the data a tag list naming the
// cardholder certificate: 60 04 5C 02 7F 21. Its occurrences belong to the
// authentication, decryption and signature keys, in that order.
constexpr std::uint8_t kSelectDataP2 = 0x04;
constexpr std::array<std::uint8_t, 6> kSelectCertificate{0x60, 0x04, 0x5C, 0x02, 0x7F, 0x21};

// Password references and VERIFY's P1.
constexpr std::uint8_t kRefSigning = 0x81;
constexpr std::uint8_t kRefUser = 0x82;
constexpr std::uint8_t kRefAdmin = 0x83;
constexpr std::uint8_t kVerifyCheck = 0x00;
constexpr std::uint8_t kVerifyForget = 0xFF;
// RESET RETRY COUNTER's P1: with the resetting code, or after PW3.
constexpr std::uint8_t kResetWithCode = 0x00;
constexpr std::uint8_t kResetByAdmin = 0x02;
constexpr std::uint8_t kRetries = 3;
constexpr std::size_t kMaximumPassword = 127;
constexpr std::size_t kUserPinMinimum = 6;
constexpr std::size_t kAdminPinMinimum = 8;

// GENERATE ASYMMETRIC KEY PAIR's P1.
constexpr std::uint8_t kGenerate = 0x80;
constexpr std::uint8_t kReadPublicKey = 0x81;
// Control reference templates naming a key slot.
constexpr std::uint16_t kCrtSignature = 0xB6;
constexpr std::uint16_t kCrtDecryption = 0xB8;
constexpr std::uint16_t kCrtAuthentication = 0xA4;

// PSO's P1 P2.
constexpr std::uint16_t kPsoSignature = 0x9E9A;
constexpr std::uint16_t kPsoDecipher = 0x8086;
constexpr std::uint16_t kPsoEncipher = 0x8680;
// PSO:DECIPHER with RSA: the padding indicator before the cryptogram.
constexpr std::uint8_t kPaddingIndicatorRsa = 0x00;
constexpr std::size_t kRsaCryptogram = 256;
// The input of an RSA signature is at most 40 % of the modulus.
constexpr std::size_t kRsaMaximumInput = 102;

// Data objects.
constexpr std::uint16_t kTagAid = 0x4F;
constexpr std::uint16_t kTagName = 0x5B;
constexpr std::uint16_t kTagLoginData = 0x5E;
constexpr std::uint16_t kTagLanguage = 0x5F2D;
constexpr std::uint16_t kTagSex = 0x5F35;
constexpr std::uint16_t kTagUrl = 0x5F50;
constexpr std::uint16_t kTagHistorical = 0x5F52;
constexpr std::uint16_t kTagCardholder = 0x65;
constexpr std::uint16_t kTagApplicationData = 0x6E;
constexpr std::uint16_t kTagDiscretionary = 0x73;
constexpr std::uint16_t kTagSecuritySupport = 0x7A;
constexpr std::uint16_t kTagSignatureCounter = 0x93;
constexpr std::uint16_t kTagCertificate = 0x7F21;
constexpr std::uint16_t kTagExtendedCapabilities = 0xC0;
constexpr std::uint16_t kTagAttributesFirst = 0xC1; // C1 C2 C3, one per slot
constexpr std::uint16_t kTagPasswordStatus = 0xC4;
constexpr std::uint16_t kTagFingerprints = 0xC5;
constexpr std::uint16_t kTagCaFingerprints = 0xC6;
constexpr std::uint16_t kTagFingerprintFirst = 0xC7;   // C7 C8 C9
constexpr std::uint16_t kTagCaFingerprintFirst = 0xCA; // CA CB CC
constexpr std::uint16_t kTagDates = 0xCD;
constexpr std::uint16_t kTagDateFirst = 0xCE;          // CE CF D0
constexpr std::uint16_t kTagResettingCode = 0xD3;
constexpr std::uint16_t kTagKeyInformation = 0xDE;
constexpr std::uint16_t kTagAlgorithmInformation = 0xFA;
constexpr std::uint16_t kTagPrivateFirst = 0x0101;     // 0101 to 0104
constexpr std::uint16_t kTagPrivateLast = 0x0104;
constexpr std::uint16_t kTagPrivateUserRead = 0x0103;
constexpr std::uint16_t kTagPrivateAdminRead = 0x0104;
constexpr std::size_t kFingerprintSize = 20;
constexpr std::size_t kDateSize = 4;
constexpr std::size_t kNameMaximum = 39;
constexpr std::size_t kLanguageMaximum = 8;
constexpr std::size_t kSexSize = 1;
constexpr std::size_t kSpecialMaximum = 255;
constexpr std::size_t kCertificateMaximum = 2048;
constexpr std::size_t kChallengeMaximum = 256;
// A chain never holds more than the longest data object and a key.
constexpr std::size_t kChainMaximum = 4096;
constexpr std::size_t kSlots = 3;

// Key import: PUT DATA (odd INS) 3F FF with the extended header list 4D:
// the slot's control reference template, 7F48 listing the parts' tags and
// lengths, 5F48 holding the parts one after another.
constexpr std::uint16_t kImportP1P2 = 0x3FFF;
constexpr std::uint16_t kTagHeaderList = 0x4D;
constexpr std::uint16_t kTagPartList = 0x7F48;
constexpr std::uint16_t kTagParts = 0x5F48;
constexpr std::uint16_t kPartExponent = 0x91;
constexpr std::uint16_t kPartFirstPrime = 0x92; // the private scalar for ECC
constexpr std::uint16_t kPartSecondPrime = 0x93;
// ECDH: the other party's public key in A6 { 7F49 { 86 point } }.
constexpr std::uint16_t kTagCipherDo = 0xA6;
constexpr std::uint16_t kTagPublicKey = 0x7F49;
constexpr std::uint16_t kTagPoint = 0x86;

// Key status in DE: none, generated on the card, imported.
constexpr std::uint8_t kKeyAbsent = 0x00;
constexpr std::uint8_t kKeyGenerated = 0x01;
constexpr std::uint8_t kKeyImported = 0x02;

// Extended capabilities: GET CHALLENGE, key import, PW1's policy
// changeable, private DOs, attributes changeable; no secure messaging,
// no symmetric keys, no KDF.
constexpr std::uint8_t kCapabilityFlags = 0x40 | 0x20 | 0x10 | 0x08 | 0x04;

constexpr std::uint32_t kCounterMaximum = 0xFFFFFF;
constexpr unsigned kByteBits = 8;
constexpr std::uint8_t kLowByte = 0xFF;

std::uint16_t WithLength(std::uint16_t sw, std::size_t length) {
    constexpr std::size_t kShortMaximum = 256;
    return static_cast<std::uint16_t>(sw | (std::min(length, kShortMaximum) & kLowByte));
}
std::uint16_t Tag(const Apdu& apdu) { return static_cast<std::uint16_t>((apdu.p1 << kByteBits) | apdu.p2); }
void PutBig(Bytes& out, std::uint32_t value, std::size_t bytes) {
    for (std::size_t i = bytes; i-- > 0;) out.push_back(static_cast<std::uint8_t>(value >> (i * kByteBits)));
}
ApduAnswer Status(std::uint16_t sw) { return {{}, sw}; }

std::optional<KeySlot> SlotOfTemplate(std::uint16_t tag) {
    if (tag == kCrtSignature) return KeySlot::Signature;
    if (tag == kCrtDecryption) return KeySlot::Decryption;
    if (tag == kCrtAuthentication) return KeySlot::Authentication;
    return std::nullopt;
}

KeyAlgorithm DefaultAlgorithm() { return KeyAlgorithm::Rsa2048; }

// A header list (7F48): tags with their lengths, the values left out and
// sent one after another in 5F48.
bool ReadHeaderList(std::span<const std::uint8_t> list, std::vector<TlvHeader>& parts) {
    while (!list.empty()) {
        const auto header = ReadTlvHeader(list);
        if (!header) return false;
        parts.push_back(*header);
    }
    return true;
}

} // namespace

Bytes OpenPgpHistoricalBytes() { return {0x00, 0x31, 0xC5, 0x73, 0xC0, 0x01, 0x80, 0x05, 0x90, 0x00}; }

Bytes OpenPgpAid(std::uint32_t serial) {
    Bytes aid(kRid.begin(), kRid.end());
    aid.push_back(kVersionMajor);
    aid.push_back(kVersionMinor);
    PutBig(aid, kManufacturer, 2);
    PutBig(aid, serial, 4);
    aid.push_back(0x00);
    aid.push_back(0x00);
    return aid;
}

OpenPgpApplication::OpenPgpApplication(std::uint64_t seed, OpenPgpOptions options)
    : options_(options), aid_(OpenPgpAid(options.serial)), historical_(OpenPgpHistoricalBytes()), random_(seed),
      userPin_{Bytes(kDefaultUserPin.begin(), kDefaultUserPin.end()), kRetries, kUserPinMinimum},
      adminPin_{Bytes(kDefaultAdminPin.begin(), kDefaultAdminPin.end()), kRetries, kAdminPinMinimum},
      resettingCode_{{}, 0, kAdminPinMinimum} {
    for (std::size_t slot = 0; slot < kSlots; ++slot) {
        attributes_[slot] = AlgorithmAttributes(DefaultAlgorithm());
        objects_[static_cast<std::uint16_t>(kTagFingerprintFirst + slot)] = Bytes(kFingerprintSize);
        objects_[static_cast<std::uint16_t>(kTagCaFingerprintFirst + slot)] = Bytes(kFingerprintSize);
        objects_[static_cast<std::uint16_t>(kTagDateFirst + slot)] = Bytes(kDateSize);
    }
    for (std::uint16_t tag : {kTagName, kTagLoginData, kTagLanguage, kTagSex, kTagUrl}) objects_[tag] = {};
    for (std::uint16_t tag = kTagPrivateFirst; tag <= kTagPrivateLast; ++tag) objects_[tag] = {};
}

bool OpenPgpApplication::BringsData(std::uint8_t /*cla*/, std::uint8_t ins) const {
    switch (ins) {
    case kInsSelect:
    case kInsVerify:
    case kInsChangeReferenceData:
    case kInsResetRetryCounter:
    case kInsPutData:
    case kInsPutDataOdd:
    case kInsGenerateKeyPair:
    case kInsPerformSecurityOperation:
    case kInsInternalAuthenticate:
    case kInsSelectData: return true;
    default: return false;
    }
}

void OpenPgpApplication::Reset() {
    signingVerified_ = false;
    userVerified_ = false;
    adminVerified_ = false;
    chain_.reset();
    pending_.clear();
    certificate_ = 0;
}

ApduAnswer OpenPgpApplication::Run(const Apdu& apdu, Transport transport) {
    // An answer kept for GET RESPONSE lives until the next command.
    Bytes pending = std::move(pending_);
    pending_.clear();
    ApduAnswer answer = Dispatch(apdu, transport, std::move(pending));
    if (answer.work == 0) answer.work = options_.timing.command;
    return answer;
}

ApduAnswer OpenPgpApplication::Dispatch(const Apdu& command, Transport transport, Bytes pending) {
    if ((command.cla & ~kClaChaining) != 0) {
        chain_.reset();
        if ((command.cla & kClaProprietaryBit) != 0) return Status(kSwUnknownClass);
        if ((command.cla & kClaSecureMessaging) != 0) return Status(kSwSecureMessagingUnsupported);
        if ((command.cla & kClaChannel) != 0) return Status(kSwLogicalChannelUnsupported);
        return Status(kSwUnknownClass);
    }
    // A command that does not go on with the chain ends it unfinished.
    if (chain_ && (command.ins != chain_->ins || command.p1 != chain_->p1 || command.p2 != chain_->p2)) chain_.reset();
    if ((command.cla & kClaChaining) != 0) {
        if (!BringsData(command.cla, command.ins) || command.ins == kInsSelect) return Status(kSwChainingUnsupported);
        if (!chain_) chain_ = Chain{command.ins, command.p1, command.p2, {}};
        if (chain_->data.size() + command.data.size() > kChainMaximum) {
            chain_.reset();
            return Status(kSwWrongLength);
        }
        chain_->data.insert(chain_->data.end(), command.data.begin(), command.data.end());
        return Status(kSwOk);
    }
    // The last command of a chain brings the rest of the data.
    Bytes joined;
    Apdu apdu = command;
    if (chain_) {
        joined = std::move(chain_->data);
        joined.insert(joined.end(), command.data.begin(), command.data.end());
        chain_.reset();
        apdu.data = joined;
    }
    switch (apdu.ins) {
    case kInsSelect: return Select(apdu);
    case kInsGetData: return GetData(apdu, transport);
    case kInsPutData: return PutData(apdu);
    case kInsPutDataOdd: return ImportKey(apdu);
    case kInsVerify: return Verify(apdu);
    case kInsChangeReferenceData: return ChangeReferenceData(apdu);
    case kInsResetRetryCounter: return ResetRetryCounter(apdu);
    case kInsGenerateKeyPair: return GenerateKeyPair(apdu, transport);
    case kInsPerformSecurityOperation: return PerformSecurityOperation(apdu, transport);
    case kInsInternalAuthenticate:
        if (apdu.p1 != 0 || apdu.p2 != 0) return Status(kSwWrongP1P2);
        if (!userVerified_) return Status(kSwSecurityNotSatisfied);
        return Sign(KeySlot::Authentication, apdu, transport);
    case kInsSelectData: return SelectData(apdu);
    case kInsGetNextData:
        // The next certificate, which becomes the current one.
        if (Tag(apdu) != kTagCertificate) return Status(kSwDataNotFound);
        if (certificate_ + 1 >= certificates_.size()) return Status(kSwDataNotFound);
        ++certificate_;
        return GetData({apdu.cla, kInsGetData, apdu.p1, apdu.p2, apdu.data, apdu.le}, transport);
    case kInsGetChallenge: return GetChallenge(apdu, transport);
    case kInsGetResponse: return GetResponse(apdu, transport, std::move(pending));
    default: return Status(kSwUnknownInstruction);
    }
}

ApduAnswer OpenPgpApplication::Respond(Bytes data, const Apdu& apdu, Transport transport, usb::Time work) {
    if (data.empty()) return {{}, kSwOk, work};
    if (!apdu.le) {
        const std::size_t size = data.size();
        pending_ = std::move(data);
        return {{}, WithLength(kSwBytesAvailable, size), work};
    }
    const std::size_t le = *apdu.le;
    if (transport == Transport::T0 && le > data.size()) {
        pending_ = std::move(data);
        return {{}, WithLength(kSwExactLength, pending_.size()), work};
    }
    if (le >= data.size()) return {std::move(data), kSwOk, work};
    Bytes first(data.begin(), data.begin() + static_cast<std::ptrdiff_t>(le));
    pending_.assign(data.begin() + static_cast<std::ptrdiff_t>(le), data.end());
    return {std::move(first), WithLength(kSwBytesAvailable, pending_.size()), work};
}

ApduAnswer OpenPgpApplication::GetResponse(const Apdu& apdu, Transport transport, Bytes pending) {
    if (apdu.p1 != 0 || apdu.p2 != 0) return Status(kSwWrongP1P2);
    if (!apdu.data.empty()) return Status(kSwWrongLength);
    if (pending.empty()) return Status(kSwConditionsNotSatisfied);
    if (!apdu.le) {
        pending_ = std::move(pending);
        return Status(kSwWrongLength);
    }
    return Respond(std::move(pending), apdu, transport, 0);
}

ApduAnswer OpenPgpApplication::Select(const Apdu& apdu) {
    if (apdu.p1 != kSelectByName) return Status(kSwFileNotFound);
    if (apdu.p2 != kSelectFci && apdu.p2 != kSelectFcp && apdu.p2 != kSelectNothing) return Status(kSwWrongP1P2);
    const bool named = apdu.data.size() >= kMinimumPartialAid && apdu.data.size() <= aid_.size() &&
                       std::equal(apdu.data.begin(), apdu.data.end(), aid_.begin());
    if (!named) return Status(kSwFileNotFound);
    return Status(kSwOk);
}

ApduAnswer OpenPgpApplication::SelectData(const Apdu& apdu) {
    if (apdu.p2 != kSelectDataP2) return Status(kSwWrongP1P2);
    if (!std::ranges::equal(apdu.data, kSelectCertificate)) return Status(kSwDataNotFound);
    if (apdu.p1 >= certificates_.size()) return Status(kSwDataNotFound);
    certificate_ = apdu.p1;
    return Status(kSwOk);
}

// ---- Data objects -------------------------------------------------------

Bytes OpenPgpApplication::ExtendedCapabilities() const {
    Bytes caps{kCapabilityFlags, 0x00};
    PutBig(caps, kChallengeMaximum, 2);
    PutBig(caps, kCertificateMaximum, 2);
    PutBig(caps, kSpecialMaximum, 2);
    caps.push_back(0x00); // no PIN block 2 format
    caps.push_back(0x00); // no MANAGE SECURITY ENVIRONMENT
    return caps;
}

Bytes OpenPgpApplication::PasswordStatus() const {
    return {pinPolicy_, static_cast<std::uint8_t>(kMaximumPassword), static_cast<std::uint8_t>(kMaximumPassword),
            static_cast<std::uint8_t>(kMaximumPassword), userPin_.retries, resettingCode_.retries, adminPin_.retries};
}

Bytes OpenPgpApplication::KeyInformation() const {
    Bytes info;
    for (std::size_t slot = 0; slot < kSlots; ++slot) {
        info.push_back(static_cast<std::uint8_t>(slot + 1));
        info.push_back(keyStatus_[slot]);
    }
    return info;
}

Bytes OpenPgpApplication::AlgorithmInformation() const {
    Bytes info;
    for (std::size_t slot = 0; slot < kSlots; ++slot) {
        const auto tag = static_cast<std::uint16_t>(kTagAttributesFirst + slot);
        for (KeyAlgorithm algorithm : {KeyAlgorithm::Rsa2048, KeyAlgorithm::EcdsaP256, KeyAlgorithm::EcdhP256,
                                       KeyAlgorithm::Ed25519, KeyAlgorithm::X25519}) {
            const bool fits = static_cast<KeySlot>(slot) == KeySlot::Decryption ? Decrypts(algorithm) : Signs(algorithm);
            if (fits) PutTlv(info, tag, AlgorithmAttributes(algorithm));
        }
    }
    return info;
}

Bytes OpenPgpApplication::ApplicationRelatedData() const {
    Bytes discretionary;
    PutTlv(discretionary, kTagExtendedCapabilities, ExtendedCapabilities());
    for (std::size_t slot = 0; slot < kSlots; ++slot)
        PutTlv(discretionary, static_cast<std::uint16_t>(kTagAttributesFirst + slot), attributes_[slot]);
    for (std::uint16_t tag : {kTagPasswordStatus, kTagFingerprints, kTagCaFingerprints, kTagDates, kTagKeyInformation})
        PutTlv(discretionary, tag, *DataObject(tag));
    Bytes inner;
    PutTlv(inner, kTagAid, aid_);
    PutTlv(inner, kTagHistorical, historical_);
    PutTlv(inner, kTagDiscretionary, discretionary);
    Bytes out;
    PutTlv(out, kTagApplicationData, inner);
    return out;
}

std::optional<Bytes> OpenPgpApplication::DataObject(std::uint16_t tag) const {
    auto concatenated = [this](std::uint16_t first) {
        Bytes out;
        for (std::uint16_t t = first; t < first + kSlots; ++t) {
            const Bytes& part = objects_.at(t);
            out.insert(out.end(), part.begin(), part.end());
        }
        return out;
    };
    switch (tag) {
    case kTagAid: return aid_;
    case kTagHistorical: return historical_;
    case kTagApplicationData: return ApplicationRelatedData();
    case kTagCardholder: {
        Bytes inner;
        for (std::uint16_t t : {kTagName, kTagLanguage, kTagSex}) PutTlv(inner, t, objects_.at(t));
        Bytes out;
        PutTlv(out, kTagCardholder, inner);
        return out;
    }
    case kTagSecuritySupport: {
        Bytes counter;
        PutBig(counter, signatureCount_, 3);
        Bytes inner;
        PutTlv(inner, kTagSignatureCounter, counter);
        Bytes out;
        PutTlv(out, kTagSecuritySupport, inner);
        return out;
    }
    case kTagExtendedCapabilities: return ExtendedCapabilities();
    case kTagPasswordStatus: return PasswordStatus();
    case kTagFingerprints: return concatenated(kTagFingerprintFirst);
    case kTagCaFingerprints: return concatenated(kTagCaFingerprintFirst);
    case kTagDates: return concatenated(kTagDateFirst);
    case kTagKeyInformation: return KeyInformation();
    case kTagAlgorithmInformation: {
        Bytes out;
        PutTlv(out, kTagAlgorithmInformation, AlgorithmInformation());
        return out;
    }
    default: break;
    }
    if (tag >= kTagAttributesFirst && tag < kTagAttributesFirst + kSlots) return attributes_[tag - kTagAttributesFirst];
    if (tag == kTagCertificate) return certificates_[certificate_];
    // The simple data objects a host may read back; the fingerprints and
    // dates of single slots are written one by one but read together.
    const bool readable = tag == kTagName || tag == kTagLoginData || tag == kTagLanguage || tag == kTagSex ||
                          tag == kTagUrl || (tag >= kTagPrivateFirst && tag <= kTagPrivateLast);
    if (readable) return objects_.at(tag);
    return std::nullopt;
}

ApduAnswer OpenPgpApplication::GetData(const Apdu& apdu, Transport transport) {
    if (!apdu.data.empty()) return Status(kSwWrongLength);
    const std::uint16_t tag = Tag(apdu);
    if (tag == kTagPrivateUserRead && !userVerified_) return Status(kSwSecurityNotSatisfied);
    if (tag == kTagPrivateAdminRead && !adminVerified_) return Status(kSwSecurityNotSatisfied);
    auto value = DataObject(tag);
    if (!value) return Status(kSwDataNotFound);
    return Respond(std::move(*value), apdu, transport, options_.timing.command);
}

ApduAnswer OpenPgpApplication::PutData(const Apdu& apdu) {
    const std::uint16_t tag = Tag(apdu);
    const std::size_t size = apdu.data.size();
    // Private DOs 1 and 3 are the user's; everything else is the admin's.
    const bool usersObject = tag == kTagPrivateFirst || tag == kTagPrivateUserRead;
    if (usersObject ? !userVerified_ : !adminVerified_) return Status(kSwSecurityNotSatisfied);
    const ApduAnswer written{{}, kSwOk, options_.timing.write};
    auto store = [&](std::size_t maximum) {
        if (size > maximum) return Status(kSwWrongLength);
        objects_[tag].assign(apdu.data.begin(), apdu.data.end());
        return written;
    };
    auto exactly = [&](std::size_t length) {
        if (size != length) return Status(kSwWrongLength);
        objects_[tag].assign(apdu.data.begin(), apdu.data.end());
        return written;
    };
    if (tag >= kTagAttributesFirst && tag < kTagAttributesFirst + kSlots) {
        const auto slot = static_cast<KeySlot>(tag - kTagAttributesFirst);
        const auto algorithm = ReadAlgorithmAttributes(apdu.data);
        if (!algorithm || (slot == KeySlot::Decryption ? !Decrypts(*algorithm) : !Signs(*algorithm)))
            return Status(kSwWrongData);
        // Other attributes make the slot's key useless: it is deleted.
        if (!std::ranges::equal(apdu.data, attributes_[Index(slot)])) KeyChanged(slot, std::nullopt, kKeyAbsent);
        attributes_[Index(slot)].assign(apdu.data.begin(), apdu.data.end());
        return written;
    }
    if (tag >= kTagFingerprintFirst && tag < kTagFingerprintFirst + kSlots) return exactly(kFingerprintSize);
    if (tag >= kTagCaFingerprintFirst && tag < kTagCaFingerprintFirst + kSlots) return exactly(kFingerprintSize);
    if (tag >= kTagDateFirst && tag < kTagDateFirst + kSlots) return exactly(kDateSize);
    if (tag >= kTagPrivateFirst && tag <= kTagPrivateLast) return store(kSpecialMaximum);
    switch (tag) {
    case kTagName: return store(kNameMaximum);
    case kTagLanguage: return store(kLanguageMaximum);
    case kTagSex: return exactly(kSexSize);
    case kTagLoginData:
    case kTagUrl: return store(kSpecialMaximum);
    case kTagCertificate:
        if (size > kCertificateMaximum) return Status(kSwWrongLength);
        certificates_[certificate_].assign(apdu.data.begin(), apdu.data.end());
        return written;
    case kTagPasswordStatus:
        // Only the first byte, PW1's policy for signatures, is the host's.
        if (size != 1) return Status(kSwWrongLength);
        if (apdu.data[0] > 1) return Status(kSwWrongData);
        pinPolicy_ = apdu.data[0];
        return written;
    case kTagResettingCode:
        // Empty deletes the code; a new one gets its full retries.
        if (size != 0 && !FitsPassword(resettingCode_, size)) return Status(kSwWrongLength);
        resettingCode_.value.assign(apdu.data.begin(), apdu.data.end());
        resettingCode_.retries = size == 0 ? 0 : kRetries;
        return written;
    default: return Status(kSwDataNotFound);
    }
}

ApduAnswer OpenPgpApplication::ImportKey(const Apdu& apdu) {
    if (Tag(apdu) != kImportP1P2) return Status(kSwWrongP1P2);
    if (!adminVerified_) return Status(kSwSecurityNotSatisfied);
    const auto list = FindTlv(apdu.data, kTagHeaderList);
    if (!list) return Status(kSwWrongData);
    std::span<const std::uint8_t> inner = list->value;
    const auto crt = ReadTlv(inner);
    const auto partList = FindTlv(inner, kTagPartList);
    const auto parts = FindTlv(inner, kTagParts);
    if (!crt || !partList || !parts) return Status(kSwWrongData);
    const auto slot = SlotOfTemplate(crt->tag);
    std::vector<TlvHeader> layout;
    if (!slot || !ReadHeaderList(partList->value, layout)) return Status(kSwWrongData);
    // The parts, cut out of 5F48 in the order 7F48 lists them.
    std::map<std::uint16_t, std::span<const std::uint8_t>> values;
    std::span<const std::uint8_t> rest = parts->value;
    for (const auto& [partTag, length] : layout) {
        if (length > rest.size()) return Status(kSwWrongData);
        values[partTag] = rest.first(length);
        rest = rest.subspan(length);
    }
    const KeyAlgorithm algorithm = SlotAlgorithm(*slot);
    std::optional<CardKey> key;
    if (IsRsa(algorithm)) {
        if (!values.contains(kPartExponent) || !values.contains(kPartFirstPrime) || !values.contains(kPartSecondPrime))
            return Status(kSwWrongData);
        key = CardKey::ImportRsa(values[kPartExponent], values[kPartFirstPrime], values[kPartSecondPrime]);
    } else if (values.contains(kPartFirstPrime)) {
        key = CardKey::ImportEcc(algorithm, values[kPartFirstPrime]);
    }
    if (!key) return Status(kSwWrongData);
    KeyChanged(*slot, std::move(key), kKeyImported);
    return {{}, kSwOk, IsRsa(algorithm) ? options_.timing.rsaImport : options_.timing.write};
}

// ---- Passwords ----------------------------------------------------------

bool OpenPgpApplication::Verified(std::uint8_t reference) const {
    if (reference == kRefSigning) return signingVerified_;
    if (reference == kRefUser) return userVerified_;
    return adminVerified_;
}

void OpenPgpApplication::SetVerified(std::uint8_t reference, bool verified) {
    if (reference == kRefSigning) signingVerified_ = verified;
    else if (reference == kRefUser) userVerified_ = verified;
    else adminVerified_ = verified;
}

OpenPgpApplication::Password& OpenPgpApplication::PasswordFor(std::uint8_t reference) {
    return reference == kRefAdmin ? adminPin_ : userPin_;
}

bool OpenPgpApplication::FitsPassword(const Password& password, std::size_t length) {
    return length >= password.minimum && length <= kMaximumPassword;
}

ApduAnswer OpenPgpApplication::Verify(const Apdu& apdu) {
    if (apdu.p2 != kRefSigning && apdu.p2 != kRefUser && apdu.p2 != kRefAdmin) return Status(kSwWrongP1P2);
    if (apdu.p1 == kVerifyForget && apdu.data.empty()) {
        SetVerified(apdu.p2, false);
        return Status(kSwOk);
    }
    if (apdu.p1 != kVerifyCheck) return Status(kSwWrongP1P2);
    Password& password = PasswordFor(apdu.p2);
    // Without data VERIFY tells whether the password stands verified, or
    // how many tries are left.
    if (apdu.data.empty()) {
        if (Verified(apdu.p2)) return Status(kSwOk);
        if (password.retries == 0) return Status(kSwAuthenticationBlocked);
        return Status(static_cast<std::uint16_t>(kSwRetriesLeft | password.retries));
    }
    const usb::Time work = options_.timing.passwordCheck;
    if (password.retries == 0) return {{}, kSwAuthenticationBlocked, work};
    if (!std::ranges::equal(apdu.data, password.value)) {
        --password.retries;
        SetVerified(apdu.p2, false);
        return {{}, password.retries == 0 ? kSwAuthenticationBlocked : kSwSecurityNotSatisfied, work};
    }
    password.retries = kRetries;
    SetVerified(apdu.p2, true);
    return {{}, kSwOk, work};
}

ApduAnswer OpenPgpApplication::ChangeReferenceData(const Apdu& apdu) {
    if (apdu.p1 != 0 || (apdu.p2 != kRefSigning && apdu.p2 != kRefAdmin)) return Status(kSwWrongP1P2);
    Password& password = PasswordFor(apdu.p2);
    const usb::Time work = options_.timing.passwordCheck + options_.timing.write;
    if (password.retries == 0) return {{}, kSwAuthenticationBlocked, work};
    // The data is the old password and the new one behind it.
    const std::size_t old = password.value.size();
    if (apdu.data.size() < old || !std::equal(password.value.begin(), password.value.end(), apdu.data.begin())) {
        --password.retries;
        if (apdu.p2 == kRefAdmin) adminVerified_ = false;
        else signingVerified_ = userVerified_ = false;
        return {{}, password.retries == 0 ? kSwAuthenticationBlocked : kSwSecurityNotSatisfied, work};
    }
    password.retries = kRetries;
    const auto fresh = apdu.data.subspan(old);
    if (!FitsPassword(password, fresh.size())) return {{}, kSwWrongData, work};
    password.value.assign(fresh.begin(), fresh.end());
    return {{}, kSwOk, work};
}

ApduAnswer OpenPgpApplication::ResetRetryCounter(const Apdu& apdu) {
    if (apdu.p2 != kRefSigning) return Status(kSwWrongP1P2);
    const usb::Time work = options_.timing.passwordCheck + options_.timing.write;
    std::span<const std::uint8_t> fresh = apdu.data;
    if (apdu.p1 == kResetWithCode) {
        if (resettingCode_.value.empty()) return Status(kSwConditionsNotSatisfied);
        if (resettingCode_.retries == 0) return {{}, kSwAuthenticationBlocked, work};
        const std::size_t length = resettingCode_.value.size();
        if (apdu.data.size() < length ||
            !std::equal(resettingCode_.value.begin(), resettingCode_.value.end(), apdu.data.begin())) {
            --resettingCode_.retries;
            return {{}, resettingCode_.retries == 0 ? kSwAuthenticationBlocked : kSwSecurityNotSatisfied, work};
        }
        resettingCode_.retries = kRetries;
        fresh = apdu.data.subspan(length);
    } else if (apdu.p1 == kResetByAdmin) {
        if (!adminVerified_) return Status(kSwSecurityNotSatisfied);
    } else {
        return Status(kSwWrongP1P2);
    }
    if (!FitsPassword(userPin_, fresh.size())) return {{}, kSwWrongData, work};
    userPin_.value.assign(fresh.begin(), fresh.end());
    userPin_.retries = kRetries;
    return {{}, kSwOk, work};
}

// ---- Keys ---------------------------------------------------------------

KeyAlgorithm OpenPgpApplication::SlotAlgorithm(KeySlot slot) const {
    return ReadAlgorithmAttributes(attributes_[Index(slot)]).value_or(DefaultAlgorithm());
}

usb::Time OpenPgpApplication::PrivateOperationTime(KeyAlgorithm algorithm) const {
    const OpenPgpTiming& t = options_.timing;
    switch (algorithm) {
    case KeyAlgorithm::Rsa2048: return t.rsaPrivate;
    case KeyAlgorithm::EcdsaP256: return t.ecdsa;
    case KeyAlgorithm::EcdhP256: return t.ecdhP256;
    case KeyAlgorithm::Ed25519: return t.eddsa;
    case KeyAlgorithm::X25519: return t.x25519;
    }
    return t.command;
}

usb::Time OpenPgpApplication::GenerationTime(KeyAlgorithm algorithm) {
    const OpenPgpTiming& t = options_.timing;
    if (!IsRsa(algorithm)) return t.eccGeneration;
    return t.rsaGenerationLeast + static_cast<usb::Time>(random_() % (t.rsaGenerationSpread + 1));
}

void OpenPgpApplication::KeyChanged(KeySlot slot, std::optional<CardKey> key, std::uint8_t status) {
    keys_[Index(slot)] = std::move(key);
    keyStatus_[Index(slot)] = status;
    // A new signature key starts its count afresh.
    if (slot == KeySlot::Signature) signatureCount_ = 0;
}

ApduAnswer OpenPgpApplication::GenerateKeyPair(const Apdu& apdu, Transport transport) {
    if (apdu.p2 != 0 || (apdu.p1 != kGenerate && apdu.p1 != kReadPublicKey)) return Status(kSwWrongP1P2);
    std::span<const std::uint8_t> data = apdu.data;
    const auto crt = ReadTlv(data);
    const auto slot = crt ? SlotOfTemplate(crt->tag) : std::nullopt;
    if (!slot) return Status(kSwWrongData);
    if (apdu.p1 == kReadPublicKey) {
        const auto& key = keys_[Index(*slot)];
        if (!key) return Status(kSwDataNotFound);
        return Respond(key->PublicKeyTemplate(), apdu, transport, options_.timing.command);
    }
    if (!adminVerified_) return Status(kSwSecurityNotSatisfied);
    const KeyAlgorithm algorithm = SlotAlgorithm(*slot);
    auto key = CardKey::Generate(algorithm);
    if (!key) return Status(kSwConditionsNotSatisfied);
    Bytes publicKey = key->PublicKeyTemplate();
    KeyChanged(*slot, std::move(key), kKeyGenerated);
    return Respond(std::move(publicKey), apdu, transport, GenerationTime(algorithm));
}

ApduAnswer OpenPgpApplication::PerformSecurityOperation(const Apdu& apdu, Transport transport) {
    switch (Tag(apdu)) {
    case kPsoSignature: {
        if (!signingVerified_) return Status(kSwSecurityNotSatisfied);
        ApduAnswer answer = Sign(KeySlot::Signature, apdu, transport);
        if (answer.sw == kSwOk || (answer.sw & ~kLowByte) == kSwBytesAvailable) {
            if (signatureCount_ < kCounterMaximum) ++signatureCount_;
            // With the policy 00 the user's PIN is good for one signature.
            if (pinPolicy_ == 0) signingVerified_ = false;
        }
        return answer;
    }
    case kPsoDecipher:
        if (!userVerified_) return Status(kSwSecurityNotSatisfied);
        return Decipher(apdu, transport);
    case kPsoEncipher: return Status(kSwFunctionUnsupported); // no symmetric key
    default: return Status(kSwWrongP1P2);
    }
}

ApduAnswer OpenPgpApplication::Sign(KeySlot slot, const Apdu& apdu, Transport transport) {
    const auto& key = keys_[Index(slot)];
    if (!key) return Status(kSwDataNotFound);
    if (apdu.data.empty() || (IsRsa(key->Algorithm()) && apdu.data.size() > kRsaMaximumInput))
        return Status(kSwWrongLength);
    auto signature = key->Sign(apdu.data);
    if (!signature) return Status(kSwWrongData);
    return Respond(std::move(*signature), apdu, transport, PrivateOperationTime(key->Algorithm()));
}

ApduAnswer OpenPgpApplication::Decipher(const Apdu& apdu, Transport transport) {
    const auto& key = keys_[Index(KeySlot::Decryption)];
    if (!key) return Status(kSwDataNotFound);
    std::optional<Bytes> result;
    if (IsRsa(key->Algorithm())) {
        if (apdu.data.size() != 1 + kRsaCryptogram) return Status(kSwWrongLength);
        if (apdu.data[0] != kPaddingIndicatorRsa) return Status(kSwWrongData);
        result = key->Decrypt(apdu.data.subspan(1));
    } else {
        const auto cipher = FindTlv(apdu.data, kTagCipherDo);
        const auto publicKey = cipher ? FindTlv(cipher->value, kTagPublicKey) : std::nullopt;
        const auto point = publicKey ? FindTlv(publicKey->value, kTagPoint) : std::nullopt;
        if (!point) return Status(kSwWrongData);
        result = key->Agree(point->value);
    }
    if (!result) return Status(kSwWrongData);
    return Respond(std::move(*result), apdu, transport, PrivateOperationTime(key->Algorithm()));
}

ApduAnswer OpenPgpApplication::GetChallenge(const Apdu& apdu, Transport transport) {
    if (apdu.p1 != 0 || apdu.p2 != 0) return Status(kSwWrongP1P2);
    if (!apdu.data.empty() || !apdu.le) return Status(kSwWrongLength);
    // Drawn from the card's seed, as everything the simulation varies is, so
    // that a run replays byte for byte.
    Bytes challenge(*apdu.le);
    for (auto& b : challenge) b = static_cast<std::uint8_t>(random_());
    return Respond(std::move(challenge), apdu, transport, options_.timing.command);
}

} // namespace qv::sim
