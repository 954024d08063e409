// The OpenPGP card application (version 3.4 of the card's functional
// description, built on ISO/IEC 7816-4 and -8): the application
// selected by its AID, its data objects read with GET DATA and written with
// PUT DATA (the cardholder certificates chosen with SELECT DATA), the user
// and admin passwords and the resetting code with their
// retry counters, three key slots (signature, decryption, authentication)
// whose keys are generated on the card or imported, and the private-key
// operations: PSO:COMPUTE DIGITAL SIGNATURE, PSO:DECIPHER and INTERNAL
// AUTHENTICATE. RSA 2048, NIST P-256 (ECDSA, ECDH) and Curve25519 (Ed25519,
// X25519), all by OpenSSL's libcrypto (cards/openpgp_keys.h).
//
// Short APDUs only: the card announces command chaining and no extended
// Lc/Le in its historical bytes, takes long data in chained commands (CLA
// bit 0x10) and gives a response longer than Le in pieces, each followed by
// 61xx for GET RESPONSE. The card is its own only application and has no
// MF, so it starts selected; SELECT by AID, whole or its first bytes,
// selects it again.
//
// What the card writes to its non-volatile memory (keys, passwords, retry
// counters, data objects, the signature counter) lives as long as the
// object; a reset forgets only the passwords verified, a chain half
// received and an answer kept for GET RESPONSE.
#pragma once

#include <array>
#include <cstdint>
#include <map>
#include <optional>
#include <random>

#include "cards/card_application.h"
#include "cards/openpgp_keys.h"

namespace qv::sim {

// The card's own working times, as a real card of its kind spends them.
struct OpenPgpTiming {
    usb::Time command = 2 * kMillisecond;        // reading a data object, selecting
    usb::Time passwordCheck = 15 * kMillisecond; // a comparison and its retry counter written
    usb::Time write = 10 * kMillisecond;         // a data object written
    usb::Time rsaPrivate = 140 * kMillisecond;   // one RSA-2048 private-key operation
    usb::Time ecdsa = 60 * kMillisecond;
    usb::Time eddsa = 35 * kMillisecond;
    usb::Time ecdhP256 = 50 * kMillisecond;
    usb::Time x25519 = 30 * kMillisecond;
    usb::Time eccGeneration = 120 * kMillisecond;
    usb::Time rsaImport = 250 * kMillisecond;
    // RSA-2048 generation searches for primes, so it takes a time drawn
    // from the seed between the least and the least plus the spread.
    usb::Time rsaGenerationLeast = 2'500 * kMillisecond;
    usb::Time rsaGenerationSpread = 4'000 * kMillisecond;
};

struct OpenPgpOptions {
    // The card's serial number in its AID, with the manufacturer 0xFF00
    // (the range of serials that nobody hands out).
    std::uint32_t serial = 0x51560001;
    OpenPgpTiming timing{};
};

// The historical bytes every OpenPGP card of the catalogue announces in its
// ATR and in its data object 5F52: category 00, card service data (31 C5:
// selection by full and partial DF name, no MF), card capabilities (73 C0 01
// 80: command chaining, no extended Lc/Le), status 05 90 00.
Bytes OpenPgpHistoricalBytes();

// The application identifier D2 76 00 01 24 01, version 3.4, manufacturer,
// serial, two RFU bytes.
Bytes OpenPgpAid(std::uint32_t serial);

inline constexpr std::array<std::uint8_t, 6> kDefaultUserPin{'1', '2', '3', '4', '5', '6'};
inline constexpr std::array<std::uint8_t, 8> kDefaultAdminPin{'1', '2', '3', '4', '5', '6', '7', '8'};

enum class KeySlot : std::uint8_t { Signature, Decryption, Authentication };

class OpenPgpApplication final : public CardApplication {
  public:
    OpenPgpApplication(std::uint64_t seed, OpenPgpOptions options = {});

    bool BringsData(std::uint8_t cla, std::uint8_t ins) const override;
    ApduAnswer Run(const Apdu& apdu, Transport transport) override;
    void Reset() override;

    // What a test may check without the card's commands.
    std::uint32_t SignatureCount() const { return signatureCount_; }
    std::uint8_t UserPinRetries() const { return userPin_.retries; }
    std::uint8_t AdminPinRetries() const { return adminPin_.retries; }
    bool HasKey(KeySlot slot) const { return keys_[Index(slot)].has_value(); }

  private:
    struct Password {
        Bytes value;
        std::uint8_t retries = 0;
        std::size_t minimum = 0;
    };
    // A command chain being received: its header and the data so far.
    struct Chain {
        std::uint8_t ins = 0;
        std::uint8_t p1 = 0;
        std::uint8_t p2 = 0;
        Bytes data;
    };

    static constexpr std::size_t Index(KeySlot slot) { return static_cast<std::size_t>(slot); }

    ApduAnswer Dispatch(const Apdu& apdu, Transport transport, Bytes pending);
    ApduAnswer Select(const Apdu& apdu);
    ApduAnswer SelectData(const Apdu& apdu);
    ApduAnswer GetData(const Apdu& apdu, Transport transport);
    ApduAnswer PutData(const Apdu& apdu);
    ApduAnswer ImportKey(const Apdu& apdu);
    ApduAnswer Verify(const Apdu& apdu);
    ApduAnswer ChangeReferenceData(const Apdu& apdu);
    ApduAnswer ResetRetryCounter(const Apdu& apdu);
    ApduAnswer GenerateKeyPair(const Apdu& apdu, Transport transport);
    ApduAnswer PerformSecurityOperation(const Apdu& apdu, Transport transport);
    ApduAnswer Sign(KeySlot slot, const Apdu& apdu, Transport transport);
    ApduAnswer Decipher(const Apdu& apdu, Transport transport);
    ApduAnswer GetChallenge(const Apdu& apdu, Transport transport);
    ApduAnswer GetResponse(const Apdu& apdu, Transport transport, Bytes pending);

    // Response data for a command: all of it when Le allows, else the
    // first Le bytes and 61xx for the rest; without Le, 61xx for all of it.
    // Under T=0 a Le (P3 of a case 2 command) larger than the data gets
    // 6Cxx with the exact length.
    ApduAnswer Respond(Bytes data, const Apdu& apdu, Transport transport, usb::Time work);

    std::optional<Bytes> DataObject(std::uint16_t tag) const;
    Bytes ApplicationRelatedData() const;
    Bytes ExtendedCapabilities() const;
    Bytes PasswordStatus() const;
    Bytes KeyInformation() const;
    Bytes AlgorithmInformation() const;
    // Whether the password behind a VERIFY reference (81, 82, 83) has been
    // verified, and setting or clearing it.
    bool Verified(std::uint8_t reference) const;
    void SetVerified(std::uint8_t reference, bool verified);
    Password& PasswordFor(std::uint8_t reference);
    // A new password's length against its bounds.
    static bool FitsPassword(const Password& password, std::size_t length);
    // The algorithm in a slot's attributes.
    KeyAlgorithm SlotAlgorithm(KeySlot slot) const;
    usb::Time PrivateOperationTime(KeyAlgorithm algorithm) const;
    usb::Time GenerationTime(KeyAlgorithm algorithm);
    void KeyChanged(KeySlot slot, std::optional<CardKey> key, std::uint8_t status);

    OpenPgpOptions options_;
    Bytes aid_;
    Bytes historical_;
    std::mt19937_64 random_;

    // Non-volatile.
    Password userPin_;
    Password adminPin_;
    Password resettingCode_;
    std::uint8_t pinPolicy_ = 1; // 00: PW1 (81) good for one signature; 01: for several
    std::map<std::uint16_t, Bytes> objects_;
    std::array<std::optional<CardKey>, 3> keys_;
    std::array<Bytes, 3> attributes_;
    std::array<std::uint8_t, 3> keyStatus_{};
    std::uint32_t signatureCount_ = 0;
    // The cardholder certificates (7F21), one per key: authentication,
    // decryption, signature.
    std::array<Bytes, 3> certificates_;

    // Volatile.
    bool signingVerified_ = false; // PW1 with reference 81
    bool userVerified_ = false;    // PW1 with reference 82
    bool adminVerified_ = false;   // PW3
    std::size_t certificate_ = 0; // the occurrence of 7F21 SELECT DATA chose
    std::optional<Chain> chain_;
    Bytes pending_; // kept for GET RESPONSE
};

} // namespace qv::sim
