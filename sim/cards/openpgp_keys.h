// The private keys an OpenPGP card holds and what it does with them, all of
// it by OpenSSL's libcrypto: generation, import, the public key as the card
// hands it out, signatures, decryption and key agreement.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <span>

#include "card_interface.h"

struct evp_pkey_st; // OpenSSL's EVP_PKEY

namespace qv::sim {

enum class KeyAlgorithm {
    Rsa2048,      // signature, decryption and authentication
    EcdsaP256,    // NIST P-256: signature and authentication
    EcdhP256,     // NIST P-256: decryption
    Ed25519,      // EdDSA: signature and authentication
    X25519,       // ECDH on Curve25519: decryption
};

// The algorithm attributes data object (C1 to C3) for an algorithm: RSA with
// its modulus and exponent sizes and import format, or the algorithm id and
// the curve's object identifier.
Bytes AlgorithmAttributes(KeyAlgorithm algorithm);
// The algorithm that attributes written by a host stand for, when the card
// offers it; an ECC curve's trailing import-format byte (00 or FF) and the
// RSA exponent size (17 to 32 bits) may vary.
std::optional<KeyAlgorithm> ReadAlgorithmAttributes(std::span<const std::uint8_t> attributes);
bool IsRsa(KeyAlgorithm algorithm);
// Whether the algorithm decrypts (ECDH, RSA) or signs (ECDSA, EdDSA, RSA).
bool Decrypts(KeyAlgorithm algorithm);
bool Signs(KeyAlgorithm algorithm);

class CardKey {
  public:
    static std::optional<CardKey> Generate(KeyAlgorithm algorithm);
    // RSA from its public exponent and primes; the modulus must have 2048
    // bits.
    static std::optional<CardKey> ImportRsa(std::span<const std::uint8_t> e, std::span<const std::uint8_t> p,
                                            std::span<const std::uint8_t> q);
    // An ECC key from its private scalar (big-endian for P-256, the raw 32
    // bytes for Ed25519 and X25519).
    static std::optional<CardKey> ImportEcc(KeyAlgorithm algorithm, std::span<const std::uint8_t> secret);

    KeyAlgorithm Algorithm() const { return algorithm_; }

    // The public key data object 7F49: modulus (81) and exponent (82) for
    // RSA, the point (86) for ECC (04 X Y for P-256, 32 bytes for the
    // Curve25519 keys).
    Bytes PublicKeyTemplate() const;

    // RSA: PKCS #1 v1.5 block type 1 over the input (a DigestInfo), 256
    // bytes. ECDSA: the input taken as the hash, r and s of 32 bytes each.
    // EdDSA: the signature of the input, 64 bytes.
    std::optional<Bytes> Sign(std::span<const std::uint8_t> input) const;
    // RSA: the message inside a PKCS #1 v1.5 block type 2 cryptogram.
    std::optional<Bytes> Decrypt(std::span<const std::uint8_t> cryptogram) const;
    // ECDH with the other party's point: the shared secret (for P-256 its x
    // coordinate).
    std::optional<Bytes> Agree(std::span<const std::uint8_t> point) const;

  private:
    struct Free {
        void operator()(evp_pkey_st* key) const;
    };
    using Pointer = std::unique_ptr<evp_pkey_st, Free>;

    CardKey(KeyAlgorithm algorithm, Pointer key) : algorithm_(algorithm), key_(std::move(key)) {}

    KeyAlgorithm algorithm_;
    Pointer key_;
};

} // namespace qv::sim
