// The ISO/IEC 7816-4 application that most simulated cards share: a small
// file system (MF 3F00, one DF with an AID, transparent and record files),
// SELECT with FCI, READ BINARY, UPDATE BINARY, READ RECORD, GET CHALLENGE,
// VERIFY with a retry counter, GET RESPONSE, and two proprietary commands
// for tests: an echo of any length and a slow key generation.
//
// Under T=0 a case 4 answer waits for GET RESPONSE (61xx), and a Le that
// does not match the data is answered 6Cxx with the exact length.
#pragma once

#include <cstdint>
#include <optional>
#include <random>
#include <span>
#include <vector>

#include "cards/card_application.h"
#include "sim_time.h"

namespace qv::sim {

// Instructions.
inline constexpr std::uint8_t kInsVerify = 0x20;
inline constexpr std::uint8_t kInsGetChallenge = 0x84;
inline constexpr std::uint8_t kInsSelect = 0xA4;
inline constexpr std::uint8_t kInsReadBinary = 0xB0;
inline constexpr std::uint8_t kInsReadRecord = 0xB2;
inline constexpr std::uint8_t kInsGetResponse = 0xC0;
inline constexpr std::uint8_t kInsUpdateBinary = 0xD6;
// Proprietary, class 0x80.
inline constexpr std::uint8_t kClaProprietary = 0x80;
inline constexpr std::uint8_t kInsEcho = 0xEE;          // case 4: the data back
inline constexpr std::uint8_t kInsGenerateKey = 0xE2;   // case 2: P1 seconds of work, 64 bytes back
inline constexpr std::uint8_t kInsEchoAfterWaits = 0xE4; // case 4: the data back after P1 time extensions

// The file system every card with this application carries.
inline constexpr std::uint16_t kFidMf = 0x3F00;
inline constexpr std::uint16_t kFidDir = 0x2F00;         // EF.DIR, records
inline constexpr std::uint16_t kFidSerial = 0x2F02;      // transparent, 8 bytes
inline constexpr std::uint16_t kFidApplication = 0x5100; // the DF
inline constexpr std::uint16_t kFidData = 0x0101;        // transparent, 512 bytes of a pattern
inline constexpr std::uint16_t kFidProtected = 0x0102;   // transparent, 32 bytes, update after VERIFY
inline constexpr std::uint16_t kFidRecords = 0x0103;     // linear fixed, 5 records
inline constexpr std::size_t kDataFileSize = 512;
inline constexpr std::size_t kProtectedFileSize = 32;
inline constexpr std::size_t kRecordCount = 5;
inline constexpr std::size_t kKeySize = 64;
inline constexpr std::uint8_t kPinReference = 0x81;
inline constexpr std::uint8_t kPinRetries = 3;
inline constexpr usb::Time kDefaultKeyGenerationTime = 3 * kSecond;

// The DF's AID (a proprietary, unregistered one) and the PIN.
std::span<const std::uint8_t> ApplicationAid();
std::span<const std::uint8_t> DefaultPin();
// Byte i of the 512-byte data file.
std::uint8_t DataFileByte(std::size_t offset);
// Record n (1 to 5) of the record file: n * 6 bytes of the value n.
Bytes RecordContents(std::size_t number);

class IsoApplication final : public CardApplication {
  public:
    // work: the card's time for an ordinary command.
    IsoApplication(std::uint64_t seed, usb::Time work);

    bool BringsData(std::uint8_t cla, std::uint8_t ins) const override;

    ApduAnswer Run(const Apdu& apdu, Transport transport) override;

    // Back to the state after a reset: MF selected, PIN not verified (its
    // retry counter stays, as on a real card), nothing kept for GET RESPONSE.
    void Reset() override;

  private:
    struct File {
        std::uint16_t fid;
        std::uint16_t parent;   // 0 for the MF
        enum class Kind { Df, Transparent, Records } kind;
        Bytes contents{};                // transparent files
        std::vector<Bytes> records{};    // record files
        Bytes aid{};                     // DFs with a name
        bool updateNeedsPin = false;
    };

    ApduAnswer Select(const Apdu& apdu, Transport transport);
    ApduAnswer ReadBinary(const Apdu& apdu, Transport transport);
    ApduAnswer UpdateBinary(const Apdu& apdu);
    ApduAnswer ReadRecord(const Apdu& apdu, Transport transport);
    ApduAnswer GetChallenge(const Apdu& apdu);
    ApduAnswer Verify(const Apdu& apdu);
    ApduAnswer GetResponse(const Apdu& apdu);
    ApduAnswer Echo(const Apdu& apdu, Transport transport);
    ApduAnswer GenerateKey(const Apdu& apdu, Transport transport);
    // (iso_waiting_echo.cpp)
    ApduAnswer EchoAfterWaits(const Apdu& apdu, Transport transport);

    // Answer data for a command whose Le says how much is wanted: under T=0
    // it must be exact, under T=1 it is a maximum; no Le under T=0 means
    // the data waits for GET RESPONSE.
    ApduAnswer Deliver(Bytes data, const Apdu& apdu, Transport transport);
    Bytes Fci(const File& file) const;
    File* Find(std::uint16_t fid);
    File* Current();
    std::uint16_t CurrentDf() const;

    std::vector<File> files_;
    std::uint16_t current_ = kFidMf;  // the selected file
    std::uint16_t currentDf_ = kFidMf;
    bool pinVerified_ = false;
    std::uint8_t pinRetries_ = kPinRetries;
    Bytes pending_;                   // kept for GET RESPONSE
    std::mt19937_64 random_;
    usb::Time work_;
};

} // namespace qv::sim
