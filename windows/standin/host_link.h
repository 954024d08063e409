// The messages between the stand-in USB bus (qvusbbus.sys, running in
// Wine's winedevice process) and the simulator's host process (qvwinhost,
// a Linux program that runs sim/'s readers), over one TCP connection on
// the loopback address. Shared by both sides, so it uses plain types only.
//
// Every message is a header and a payload, little-endian:
//   length (4 bytes: the bytes after this field), type (1), reader (1),
//   reserved (2), tag (4: the request's number, echoed by its answer).
// The bus sends requests; the host answers each with type | kAnswer and
// the same tag, at once or, for a bulk IN the reader has nothing for yet,
// when the reader answers (or the request is cancelled).
#pragma once

namespace qv::hostlink {

constexpr unsigned kHeaderSize = 12;
constexpr unsigned kLengthFieldSize = 4;
constexpr unsigned kMaximumPayload = 4096;
constexpr unsigned char kAnswer = 0x80;

enum Type : unsigned char {
    kList = 1,             // -> count (1), then per reader: id (1), product id (2)
    kDescriptor = 2,       // descriptor type (1), length (2) -> status (1), bytes
    kSetConfiguration = 3, // value (1) -> status (1)
    kBulkOut = 4,          // endpoint (1), bytes -> status (1), bytes accepted (4)
    kBulkIn = 5,           // endpoint (1), length (4) -> status (1), bytes
    kResetPipe = 6,        // endpoint (1) -> status (1)
    kCancel = 7,           // tag of the bulk IN to cancel (4); no answer of its own
    kPower = 8,            // 1 suspend, 0 resume -> status (1)
    kCommand = 9,          // a console command as text -> status (1), the answer as text
};

enum Status : unsigned char {
    kOk = 0,
    kStall = 1,
    kBusError = 2,
    kDeviceGone = 3,
    kCancelled = 4,
    kRefused = 5, // a request the host does not understand, or a command it refuses
};

// USB descriptor types the bus asks for.
constexpr unsigned char kDeviceDescriptor = 1;
constexpr unsigned char kConfigurationDescriptor = 2;

} // namespace qv::hostlink
