#include "cards/iso_application.h"

#include <algorithm>
#include <array>

namespace qv::sim {

namespace {

constexpr std::array<std::uint8_t, 7> kAid{0xF0, 0x51, 0x56, 0x53, 0x43, 0x52, 0x01}; // F0 "QVSCR" 01
constexpr std::array<std::uint8_t, 4> kPin{0x31, 0x32, 0x33, 0x34};                  // "1234"
constexpr std::array<std::uint8_t, 8> kSerial{0x51, 0x56, 0x00, 0x00, 0x00, 0x00, 0x10, 0x01};

constexpr std::uint8_t kLowByte = 0xFF;
constexpr unsigned kByteShift = 8;

// Class byte: the interindustry classes 0x00 to 0x03 (logical channels and
// secure messaging bits ignored) for ISO commands, 0x80 for ours.
constexpr std::uint8_t kClaInterindustryMask = 0xFC;

// SELECT P1 and P2.
constexpr std::uint8_t kSelectByFid = 0x00;
constexpr std::uint8_t kSelectChildDf = 0x01;
constexpr std::uint8_t kSelectEf = 0x02;
constexpr std::uint8_t kSelectByName = 0x04;
constexpr std::uint8_t kSelectReturnFci = 0x00;
constexpr std::uint8_t kSelectNoResponse = 0x0C;
constexpr std::size_t kFidSize = 2;

// READ BINARY with P1 bit 0x80: a short EF identifier in P1's low bits and
// the offset in P2.
constexpr std::uint8_t kShortEfFlag = 0x80;
constexpr std::uint8_t kShortEfMask = 0x1F;
// READ RECORD P2: record number in P1, current EF.
constexpr std::uint8_t kRecordByNumber = 0x04;
// VERIFY P1.
constexpr std::uint8_t kVerifyP1 = 0x00;

// FCI tags (ISO/IEC 7816-4, 5.3.3).
constexpr std::uint8_t kTagFci = 0x6F;
constexpr std::uint8_t kTagSize = 0x80;
constexpr std::uint8_t kTagDescriptor = 0x82;
constexpr std::uint8_t kTagFid = 0x83;
constexpr std::uint8_t kTagName = 0x84;
constexpr std::uint8_t kDescriptorDf = 0x38;
constexpr std::uint8_t kDescriptorTransparent = 0x01;
constexpr std::uint8_t kDescriptorLinearFixed = 0x02;
// EF.DIR record: application template with AID and label.
constexpr std::uint8_t kTagApplication = 0x61;
constexpr std::uint8_t kTagAid = 0x4F;
constexpr std::uint8_t kTagLabel = 0x50;
constexpr std::string_view kLabel = "QVSCR";

constexpr std::size_t kRecordUnit = 6;
constexpr std::uint8_t kPatternStep = 7;
constexpr std::uint8_t kPatternStart = 3;

std::uint8_t Low(std::size_t value) { return static_cast<std::uint8_t>(value & kLowByte); }
std::uint8_t High(std::size_t value) { return static_cast<std::uint8_t>((value >> kByteShift) & kLowByte); }
// 61xx and 6Cxx carry a length, 00 meaning 256.
std::uint16_t WithLength(std::uint16_t sw, std::size_t length) { return static_cast<std::uint16_t>(sw | Low(length)); }

void PutTlv(Bytes& out, std::uint8_t tag, std::span<const std::uint8_t> value) {
    out.push_back(tag);
    out.push_back(static_cast<std::uint8_t>(value.size()));
    out.insert(out.end(), value.begin(), value.end());
}

} // namespace

std::span<const std::uint8_t> ApplicationAid() { return kAid; }
std::span<const std::uint8_t> DefaultPin() { return kPin; }
std::uint8_t DataFileByte(std::size_t offset) { return Low(offset * kPatternStep + kPatternStart); }
Bytes RecordContents(std::size_t number) { return Bytes(number * kRecordUnit, Low(number)); }

IsoApplication::IsoApplication(std::uint64_t seed, usb::Time work) : random_(seed), work_(work) {
    files_.push_back({kFidMf, 0, File::Kind::Df});
    Bytes dirRecord;
    Bytes inner;
    PutTlv(inner, kTagAid, kAid);
    PutTlv(inner, kTagLabel, std::span(reinterpret_cast<const std::uint8_t*>(kLabel.data()), kLabel.size()));
    PutTlv(dirRecord, kTagApplication, inner);
    files_.push_back({kFidDir, kFidMf, File::Kind::Records, {}, {dirRecord}});
    files_.push_back({kFidSerial, kFidMf, File::Kind::Transparent, Bytes(kSerial.begin(), kSerial.end())});
    files_.push_back({kFidApplication, kFidMf, File::Kind::Df, {}, {}, Bytes(kAid.begin(), kAid.end())});
    Bytes data(kDataFileSize);
    for (std::size_t i = 0; i < data.size(); ++i) data[i] = DataFileByte(i);
    files_.push_back({kFidData, kFidApplication, File::Kind::Transparent, std::move(data)});
    files_.push_back({kFidProtected, kFidApplication, File::Kind::Transparent, Bytes(kProtectedFileSize), {}, {}, true});
    std::vector<Bytes> records;
    for (std::size_t n = 1; n <= kRecordCount; ++n) records.push_back(RecordContents(n));
    files_.push_back({kFidRecords, kFidApplication, File::Kind::Records, {}, std::move(records)});
}

bool IsoApplication::BringsData(std::uint8_t cla, std::uint8_t ins) const {
    if (cla == kClaProprietary) return ins == kInsEcho || ins == kInsEchoAfterWaits;
    return ins == kInsSelect || ins == kInsUpdateBinary || ins == kInsVerify;
}

void IsoApplication::Reset() {
    current_ = kFidMf;
    currentDf_ = kFidMf;
    pinVerified_ = false;
    pending_.clear();
}

IsoApplication::File* IsoApplication::Find(std::uint16_t fid) {
    auto it = std::ranges::find(files_, fid, &File::fid);
    return it == files_.end() ? nullptr : &*it;
}

IsoApplication::File* IsoApplication::Current() { return Find(current_); }
std::uint16_t IsoApplication::CurrentDf() const { return currentDf_; }

ApduAnswer IsoApplication::Run(const Apdu& apdu, Transport transport) {
    // An answer kept for GET RESPONSE lives until the next command.
    Bytes pending = std::move(pending_);
    pending_.clear();
    ApduAnswer answer;
    if (apdu.cla == kClaProprietary) {
        switch (apdu.ins) {
        case kInsEcho: answer = Echo(apdu, transport); break;
        case kInsGenerateKey: answer = GenerateKey(apdu, transport); break;
        case kInsEchoAfterWaits: answer = EchoAfterWaits(apdu, transport); break;
        default: answer = {{}, kSwUnknownInstruction}; break;
        }
    } else if ((apdu.cla & kClaInterindustryMask) != 0) {
        answer = {{}, kSwUnknownClass};
    } else {
        switch (apdu.ins) {
        case kInsSelect: answer = Select(apdu, transport); break;
        case kInsReadBinary: answer = ReadBinary(apdu, transport); break;
        case kInsUpdateBinary: answer = UpdateBinary(apdu); break;
        case kInsReadRecord: answer = ReadRecord(apdu, transport); break;
        case kInsGetChallenge: answer = GetChallenge(apdu); break;
        case kInsVerify: answer = Verify(apdu); break;
        case kInsGetResponse:
            pending_ = std::move(pending);
            answer = GetResponse(apdu);
            break;
        default: answer = {{}, kSwUnknownInstruction}; break;
        }
    }
    if (answer.work == 0) answer.work = work_;
    return answer;
}

ApduAnswer IsoApplication::Deliver(Bytes data, const Apdu& apdu, Transport transport) {
    if (!apdu.le) {
        // No Le: under T=0 a case 4 command's data waits for GET RESPONSE;
        // under T=1 the host asked for none.
        if (transport == Transport::T0 && !data.empty()) {
            const std::size_t size = data.size();
            pending_ = std::move(data);
            return {{}, WithLength(kSwBytesAvailable, size)};
        }
        return {{}, kSwOk};
    }
    const std::size_t le = *apdu.le;
    if (le < data.size() || (transport == Transport::T0 && le != data.size()))
        return {{}, WithLength(kSwExactLength, data.size())};
    return {std::move(data), kSwOk};
}

Bytes IsoApplication::Fci(const File& file) const {
    Bytes inner;
    const std::uint8_t fid[] = {High(file.fid), Low(file.fid)};
    PutTlv(inner, kTagFid, fid);
    if (file.kind == File::Kind::Df) {
        const std::uint8_t descriptor[] = {kDescriptorDf};
        PutTlv(inner, kTagDescriptor, descriptor);
        if (!file.aid.empty()) PutTlv(inner, kTagName, file.aid);
    } else {
        const bool records = file.kind == File::Kind::Records;
        const std::uint8_t descriptor[] = {records ? kDescriptorLinearFixed : kDescriptorTransparent};
        PutTlv(inner, kTagDescriptor, descriptor);
        std::size_t size = file.contents.size();
        if (records)
            for (const Bytes& r : file.records) size += r.size();
        const std::uint8_t sizeBytes[] = {High(size), Low(size)};
        PutTlv(inner, kTagSize, sizeBytes);
    }
    Bytes fci;
    PutTlv(fci, kTagFci, inner);
    return fci;
}

ApduAnswer IsoApplication::Select(const Apdu& apdu, Transport transport) {
    if (apdu.p2 != kSelectReturnFci && apdu.p2 != kSelectNoResponse) return {{}, kSwWrongP1P2};
    File* target = nullptr;
    auto fid = [&]() -> std::optional<std::uint16_t> {
        if (apdu.data.size() != kFidSize) return std::nullopt;
        return static_cast<std::uint16_t>((apdu.data[0] << kByteShift) | apdu.data[1]);
    };
    switch (apdu.p1) {
    case kSelectByFid:
        if (apdu.data.empty()) {
            target = Find(kFidMf);
            break;
        }
        if (!fid()) return {{}, kSwWrongLength};
        target = Find(*fid());
        // By file id: the MF, a child of the current DF, or the current DF's
        // parent.
        if (target && *fid() != kFidMf && target->parent != CurrentDf() && target->fid != Find(CurrentDf())->parent)
            target = nullptr;
        break;
    case kSelectChildDf:
    case kSelectEf: {
        if (!fid()) return {{}, kSwWrongLength};
        target = Find(*fid());
        const bool wantDf = apdu.p1 == kSelectChildDf;
        if (target && (target->parent != CurrentDf() || (target->kind == File::Kind::Df) != wantDf)) target = nullptr;
        break;
    }
    case kSelectByName: {
        if (apdu.data.empty()) {
            target = Find(kFidMf);
            break;
        }
        // A DF name matches when the AID begins with the given bytes.
        auto it = std::ranges::find_if(files_, [&](const File& f) {
            return !f.aid.empty() && apdu.data.size() <= f.aid.size() &&
                   std::equal(apdu.data.begin(), apdu.data.end(), f.aid.begin());
        });
        if (it != files_.end()) target = &*it;
        break;
    }
    default:
        return {{}, kSwWrongP1P2};
    }
    if (!target) return {{}, kSwFileNotFound};
    current_ = target->fid;
    if (target->kind == File::Kind::Df) currentDf_ = target->fid;
    else currentDf_ = target->parent;
    if (apdu.p2 == kSelectNoResponse) return {{}, kSwOk};
    return Deliver(Fci(*target), apdu, transport);
}

ApduAnswer IsoApplication::ReadBinary(const Apdu& apdu, Transport transport) {
    if (!apdu.data.empty() || !apdu.le) return {{}, kSwWrongLength};
    std::size_t offset = 0;
    File* file = nullptr;
    if ((apdu.p1 & kShortEfFlag) != 0) {
        // Short EF identifier: the low five bits of the file id, among the
        // current DF's children; the file becomes the current one.
        const std::uint8_t sfi = apdu.p1 & kShortEfMask;
        auto it = std::ranges::find_if(files_, [&](const File& f) {
            return f.parent == CurrentDf() && f.kind != File::Kind::Df && (f.fid & kShortEfMask) == sfi;
        });
        if (it == files_.end()) return {{}, kSwFileNotFound};
        file = &*it;
        current_ = file->fid;
        offset = apdu.p2;
    } else {
        file = Current();
        offset = (static_cast<std::size_t>(apdu.p1) << kByteShift) | apdu.p2;
    }
    if (!file || file->kind == File::Kind::Df) return {{}, kSwNoCurrentEf};
    if (file->kind != File::Kind::Transparent) return {{}, kSwFileTypeMismatch};
    if (offset > file->contents.size()) return {{}, kSwWrongOffset};
    const std::size_t available = file->contents.size() - offset;
    const std::size_t le = *apdu.le;
    if (le > available) {
        // Fewer bytes than asked for: under T=0 the exact count, so that the
        // host asks again; under T=1 what there is, with "end of file".
        if (transport == Transport::T0) return {{}, WithLength(kSwExactLength, available)};
        auto first = file->contents.begin() + static_cast<std::ptrdiff_t>(offset);
        return {Bytes(first, file->contents.end()), kSwEndOfFile};
    }
    auto first = file->contents.begin() + static_cast<std::ptrdiff_t>(offset);
    return {Bytes(first, first + static_cast<std::ptrdiff_t>(le)), kSwOk};
}

ApduAnswer IsoApplication::UpdateBinary(const Apdu& apdu) {
    if (apdu.le) return {{}, kSwWrongLength};
    File* file = Current();
    if (!file || file->kind == File::Kind::Df) return {{}, kSwNoCurrentEf};
    if (file->kind != File::Kind::Transparent) return {{}, kSwFileTypeMismatch};
    if ((apdu.p1 & kShortEfFlag) != 0) return {{}, kSwWrongP1P2};
    const std::size_t offset = (static_cast<std::size_t>(apdu.p1) << kByteShift) | apdu.p2;
    if (offset > file->contents.size()) return {{}, kSwWrongOffset};
    if (apdu.data.empty() || apdu.data.size() > file->contents.size() - offset) return {{}, kSwWrongLength};
    if (file->updateNeedsPin && !pinVerified_) return {{}, kSwSecurityNotSatisfied};
    std::ranges::copy(apdu.data, file->contents.begin() + static_cast<std::ptrdiff_t>(offset));
    return {{}, kSwOk};
}

ApduAnswer IsoApplication::ReadRecord(const Apdu& apdu, Transport transport) {
    if (!apdu.data.empty() || !apdu.le) return {{}, kSwWrongLength};
    if (apdu.p2 != kRecordByNumber) return {{}, kSwWrongP1P2};
    File* file = Current();
    if (!file || file->kind == File::Kind::Df) return {{}, kSwNoCurrentEf};
    if (file->kind != File::Kind::Records) return {{}, kSwFileTypeMismatch};
    if (apdu.p1 == 0 || apdu.p1 > file->records.size()) return {{}, kSwRecordNotFound};
    return Deliver(file->records[apdu.p1 - 1], apdu, transport);
}

ApduAnswer IsoApplication::GetChallenge(const Apdu& apdu) {
    if (!apdu.data.empty() || !apdu.le) return {{}, kSwWrongLength};
    if (apdu.p1 != 0 || apdu.p2 != 0) return {{}, kSwWrongP1P2};
    Bytes challenge(*apdu.le);
    for (auto& b : challenge) b = static_cast<std::uint8_t>(random_());
    return {std::move(challenge), kSwOk};
}

ApduAnswer IsoApplication::Verify(const Apdu& apdu) {
    if (apdu.p1 != kVerifyP1 || apdu.p2 != kPinReference) return {{}, kSwWrongP1P2};
    if (apdu.le) return {{}, kSwWrongLength};
    if (pinRetries_ == 0) return {{}, kSwAuthenticationBlocked};
    // Without data VERIFY asks how many tries are left.
    if (apdu.data.empty()) return {{}, pinVerified_ ? kSwOk : static_cast<std::uint16_t>(kSwRetriesLeft | pinRetries_)};
    if (std::ranges::equal(apdu.data, kPin)) {
        pinRetries_ = kPinRetries;
        pinVerified_ = true;
        return {{}, kSwOk};
    }
    pinVerified_ = false;
    --pinRetries_;
    if (pinRetries_ == 0) return {{}, kSwAuthenticationBlocked};
    return {{}, static_cast<std::uint16_t>(kSwRetriesLeft | pinRetries_)};
}

ApduAnswer IsoApplication::GetResponse(const Apdu& apdu) {
    if (apdu.p1 != 0 || apdu.p2 != 0) {
        pending_.clear();
        return {{}, kSwWrongP1P2};
    }
    if (!apdu.data.empty() || !apdu.le) {
        pending_.clear();
        return {{}, kSwWrongLength};
    }
    if (pending_.empty()) return {{}, kSwConditionsNotSatisfied};
    const std::size_t le = *apdu.le;
    if (le > pending_.size()) {
        // The exact length; the answer stays for the next GET RESPONSE.
        return {{}, WithLength(kSwExactLength, pending_.size())};
    }
    Bytes data(pending_.begin(), pending_.begin() + static_cast<std::ptrdiff_t>(le));
    pending_.erase(pending_.begin(), pending_.begin() + static_cast<std::ptrdiff_t>(le));
    if (!pending_.empty()) return {std::move(data), WithLength(kSwBytesAvailable, pending_.size())};
    return {std::move(data), kSwOk};
}

ApduAnswer IsoApplication::Echo(const Apdu& apdu, Transport transport) {
    if (apdu.data.empty()) return {{}, kSwWrongLength};
    return Deliver(Bytes(apdu.data.begin(), apdu.data.end()), apdu, transport);
}

ApduAnswer IsoApplication::GenerateKey(const Apdu& apdu, Transport transport) {
    if (!apdu.data.empty()) return {{}, kSwWrongLength};
    if (!apdu.le) return {{}, kSwWrongLength};
    Bytes key(kKeySize);
    for (auto& b : key) b = static_cast<std::uint8_t>(random_());
    const usb::Time work = apdu.p1 == 0 ? kDefaultKeyGenerationTime : apdu.p1 * kSecond;
    ApduAnswer answer = Deliver(std::move(key), apdu, transport);
    answer.work = work;
    return answer;
}

} // namespace qv::sim
