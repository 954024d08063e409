#include "reader_t0.h"

#include <algorithm>

#include "reader_protocol.h"

namespace qv::sim {

namespace {

constexpr std::size_t kHeaderSize = 5;
constexpr std::size_t kInsOffset = 1;
constexpr std::size_t kP3Offset = 4;
constexpr std::size_t kMaxShortLe = 256;
constexpr std::uint8_t kNull = 0x60;
constexpr std::uint8_t kComplement = 0xFF;
constexpr std::uint8_t kSw1GroupMask = 0xF0;
constexpr std::uint8_t kSw1Group6 = 0x60;
constexpr std::uint8_t kSw1Group9 = 0x90;

bool IsSw1(std::uint8_t b) {
    const std::uint8_t group = b & kSw1GroupMask;
    return (group == kSw1Group6 && b != kNull) || group == kSw1Group9;
}

} // namespace

T0Outcome RunT0(Card& card, std::span<const std::uint8_t> tpdu, usb::Time waitingTime) {
    T0Outcome outcome;
    const auto header = tpdu.first(kHeaderSize);
    const auto data = tpdu.subspan(kHeaderSize);
    const std::uint8_t ins = header[kInsOffset];
    const std::uint8_t p3 = header[kP3Offset];
    // With data to send P3 is Lc; without, the reader takes P3 as Le (00
    // meaning 256) and the card's answer tells whether it was case 1.
    const std::size_t expected = data.empty() ? (p3 == 0 ? kMaxShortLe : p3) : 0;
    std::size_t sent = 0;
    std::size_t received = 0;

    CardReply reply = card.T0Characters(header);
    auto timeOut = [&](usb::Time afterSilence) {
        outcome.status = kStatusCardMute;
        outcome.duration += afterSilence;
        return outcome;
    };
    while (true) {
        if (!reply.bytes) return timeOut(reply.duration);
        if (reply.longestSilence > waitingTime) {
            // The card fell silent for longer than the waiting time: the
            // reader gave up at that point, whatever came later.
            return timeOut(reply.duration - reply.longestSilence + waitingTime);
        }
        outcome.duration += reply.duration;
        const Bytes& bytes = *reply.bytes;
        std::size_t i = 0;
        std::optional<Bytes> toSend;
        while (i < bytes.size() && !toSend) {
            const std::uint8_t b = bytes[i++];
            if (b == kNull) continue;
            const bool all = b == ins;
            const bool one = b == static_cast<std::uint8_t>(ins ^ kComplement);
            if (all || one) {
                if (!data.empty()) {
                    // The card asks for the rest of the data, or one byte.
                    if (sent == data.size()) {
                        outcome.status = kStatusProcedureError;
                        return outcome;
                    }
                    const std::size_t count = all ? data.size() - sent : 1;
                    toSend = Bytes(data.begin() + static_cast<std::ptrdiff_t>(sent),
                                   data.begin() + static_cast<std::ptrdiff_t>(sent + count));
                    sent += count;
                    continue;
                }
                if (received == expected) {
                    outcome.status = kStatusProcedureError;
                    return outcome;
                }
                // The card sends the rest of its data, or one byte.
                const std::size_t want = all ? expected - received : 1;
                const std::size_t have = std::min(want, bytes.size() - i);
                outcome.response.insert(outcome.response.end(), bytes.begin() + static_cast<std::ptrdiff_t>(i),
                                        bytes.begin() + static_cast<std::ptrdiff_t>(i + have));
                i += have;
                received += have;
                if (have < want) return timeOut(waitingTime); // the data stopped short
                continue;
            }
            if (IsSw1(b)) {
                if (i == bytes.size()) {
                    outcome.response.push_back(b);
                    return timeOut(waitingTime); // SW2 never came
                }
                outcome.response.push_back(b);
                outcome.response.push_back(bytes[i]);
                const bool complete = data.empty() ? received == expected : sent == data.size();
                // A status word before the transfer the header announced:
                // the card refused or ended early (cases 1 and 2 answered
                // with a status word alone, 6Cxx, an error before the data).
                outcome.status = complete ? kStatusOk : kStatusCardEndedEarly;
                return outcome;
            }
            outcome.status = kStatusProcedureError;
            return outcome;
        }
        if (!toSend) return timeOut(waitingTime); // the card's answer stopped before its status word
        reply = card.T0Characters(*toSend);
    }
}

} // namespace qv::sim
