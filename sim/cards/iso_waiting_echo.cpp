// The echo that asks for more time: a test command for the host's handling
// of waiting-time extensions. P1 says how many times the card asks before it
// answers (0 to 255); the answer is the command's data, as the plain echo's.
#include "cards/iso_application.h"

namespace qv::sim {

namespace {
constexpr std::uint16_t kSw1Mask = 0xFF00;
} // namespace

ApduAnswer IsoApplication::EchoAfterWaits(const Apdu& apdu, Transport transport) {
    if (apdu.data.empty()) return {{}, kSwWrongLength};
    ApduAnswer answer = Deliver(Bytes(apdu.data.begin(), apdu.data.end()), apdu, transport);
    // Only an answer the card actually works for asks for time: a wrong Le
    // is refused at once.
    if (answer.sw == kSwOk || (answer.sw & kSw1Mask) == kSwBytesAvailable) answer.extensions = apdu.p1;
    return answer;
}

} // namespace qv::sim
