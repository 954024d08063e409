#include "cards/openpgp_keys.h"

#include <openssl/bn.h>
#include <openssl/core_names.h>
#include <openssl/ec.h>
#include <openssl/evp.h>
#include <openssl/obj_mac.h>
#include <openssl/param_build.h>
#include <openssl/rsa.h>

#include <algorithm>
#include <array>

#include "cards/ber_tlv.h"

namespace qv::sim {

namespace {

// OpenPGP public-key algorithm ids (RFC 4880, 9.1, and its ECC additions).
constexpr std::uint8_t kAlgorithmRsa = 0x01;
constexpr std::uint8_t kAlgorithmEcdh = 0x12;
constexpr std::uint8_t kAlgorithmEcdsa = 0x13;
constexpr std::uint8_t kAlgorithmEddsa = 0x16;

// Curve object identifiers, without tag and length.
constexpr std::array<std::uint8_t, 8> kOidP256{0x2A, 0x86, 0x48, 0xCE, 0x3D, 0x03, 0x01, 0x07};
constexpr std::array<std::uint8_t, 9> kOidEd25519{0x2B, 0x06, 0x01, 0x04, 0x01, 0xDA, 0x47, 0x0F, 0x01};
constexpr std::array<std::uint8_t, 10> kOidCurve25519{0x2B, 0x06, 0x01, 0x04, 0x01, 0x97, 0x55, 0x01, 0x05, 0x01};
// After the OID an ECC attribute may say whether an imported key brings its
// public key (FF) or not (00).
constexpr std::uint8_t kImportWithoutPublic = 0x00;
constexpr std::uint8_t kImportWithPublic = 0xFF;

// RSA 2048 with a 32-bit exponent field, imported as e, p and q.
constexpr unsigned kRsaBits = 2048;
constexpr std::size_t kRsaBytes = kRsaBits / 8;
constexpr std::uint16_t kRsaMinExponentBits = 17;
constexpr std::uint16_t kRsaExponentBits = 32;
constexpr std::uint8_t kRsaImportStandard = 0x00;
constexpr std::size_t kRsaAttributesSize = 6;
constexpr unsigned kByteBits = 8;

constexpr std::size_t kP256Bytes = 32;
constexpr std::size_t kCurve25519Bytes = 32;

// Data objects of the public key template.
constexpr std::uint16_t kTagPublicKey = 0x7F49;
constexpr std::uint16_t kTagModulus = 0x81;
constexpr std::uint16_t kTagExponent = 0x82;
constexpr std::uint16_t kTagPoint = 0x86;

struct BnFree {
    void operator()(BIGNUM* bn) const { BN_free(bn); }
};
using Bn = std::unique_ptr<BIGNUM, BnFree>;
struct BnCtxFree {
    void operator()(BN_CTX* ctx) const { BN_CTX_free(ctx); }
};
struct ContextFree {
    void operator()(EVP_PKEY_CTX* ctx) const { EVP_PKEY_CTX_free(ctx); }
};
using Context = std::unique_ptr<EVP_PKEY_CTX, ContextFree>;
struct KeyFree {
    void operator()(EVP_PKEY* key) const { EVP_PKEY_free(key); }
};
using Key = std::unique_ptr<EVP_PKEY, KeyFree>;
struct BuilderFree {
    void operator()(OSSL_PARAM_BLD* builder) const { OSSL_PARAM_BLD_free(builder); }
};
struct ParamsFree {
    void operator()(OSSL_PARAM* params) const { OSSL_PARAM_free(params); }
};
using Params = std::unique_ptr<OSSL_PARAM, ParamsFree>;
struct GroupFree {
    void operator()(EC_GROUP* group) const { EC_GROUP_free(group); }
};
struct PointFree {
    void operator()(EC_POINT* point) const { EC_POINT_free(point); }
};
struct SignatureFree {
    void operator()(ECDSA_SIG* sig) const { ECDSA_SIG_free(sig); }
};
struct DigestContextFree {
    void operator()(EVP_MD_CTX* ctx) const { EVP_MD_CTX_free(ctx); }
};

Bn ToBn(std::span<const std::uint8_t> bytes) {
    return Bn(BN_bin2bn(bytes.data(), static_cast<int>(bytes.size()), nullptr));
}

Bytes FromBn(const BIGNUM* bn, std::size_t width = 0) {
    const std::size_t size = width != 0 ? width : static_cast<std::size_t>(BN_num_bytes(bn));
    Bytes out(size);
    if (BN_bn2binpad(bn, out.data(), static_cast<int>(size)) < 0) return {};
    return out;
}

Context ContextFor(EVP_PKEY* key) { return Context(EVP_PKEY_CTX_new_from_pkey(nullptr, key, nullptr)); }

const char* KeyTypeName(KeyAlgorithm algorithm) {
    switch (algorithm) {
    case KeyAlgorithm::Rsa2048: return "RSA";
    case KeyAlgorithm::EcdsaP256:
    case KeyAlgorithm::EcdhP256: return "EC";
    case KeyAlgorithm::Ed25519: return "ED25519";
    case KeyAlgorithm::X25519: return "X25519";
    }
    return "";
}

Key FromParams(const char* type, int selection, OSSL_PARAM_BLD* builder) {
    Params params(OSSL_PARAM_BLD_to_param(builder));
    Context ctx(EVP_PKEY_CTX_new_from_name(nullptr, type, nullptr));
    EVP_PKEY* key = nullptr;
    if (!params || !ctx || EVP_PKEY_fromdata_init(ctx.get()) <= 0 ||
        EVP_PKEY_fromdata(ctx.get(), &key, selection, params.get()) <= 0)
        return nullptr;
    return Key(key);
}

// A P-256 public key from its encoded point (04 X Y), checked to lie on the
// curve when it is used.
Key P256Point(std::span<const std::uint8_t> point) {
    std::unique_ptr<OSSL_PARAM_BLD, BuilderFree> builder(OSSL_PARAM_BLD_new());
    if (!builder || !OSSL_PARAM_BLD_push_utf8_string(builder.get(), OSSL_PKEY_PARAM_GROUP_NAME, SN_X9_62_prime256v1, 0) ||
        !OSSL_PARAM_BLD_push_octet_string(builder.get(), OSSL_PKEY_PARAM_PUB_KEY, point.data(), point.size()))
        return nullptr;
    return FromParams("EC", EVP_PKEY_PUBLIC_KEY, builder.get());
}

template <std::size_t N> bool Equal(std::span<const std::uint8_t> bytes, const std::array<std::uint8_t, N>& oid) {
    return std::ranges::equal(bytes, oid);
}

} // namespace

void CardKey::Free::operator()(evp_pkey_st* key) const { EVP_PKEY_free(key); }

Bytes AlgorithmAttributes(KeyAlgorithm algorithm) {
    auto ecc = [](std::uint8_t id, std::span<const std::uint8_t> oid) {
        Bytes out;
        out.reserve(1 + oid.size()); // also keeps GCC 12 -O3 from a false -Warray-bounds
        out.push_back(id);
        out.insert(out.end(), oid.begin(), oid.end());
        return out;
    };
    switch (algorithm) {
    case KeyAlgorithm::Rsa2048:
        return {kAlgorithmRsa, static_cast<std::uint8_t>(kRsaBits >> kByteBits), static_cast<std::uint8_t>(kRsaBits),
                0x00, static_cast<std::uint8_t>(kRsaExponentBits), kRsaImportStandard};
    case KeyAlgorithm::EcdsaP256: return ecc(kAlgorithmEcdsa, kOidP256);
    case KeyAlgorithm::EcdhP256: return ecc(kAlgorithmEcdh, kOidP256);
    case KeyAlgorithm::Ed25519: return ecc(kAlgorithmEddsa, kOidEd25519);
    case KeyAlgorithm::X25519: return ecc(kAlgorithmEcdh, kOidCurve25519);
    }
    return {};
}

std::optional<KeyAlgorithm> ReadAlgorithmAttributes(std::span<const std::uint8_t> attributes) {
    if (attributes.empty()) return std::nullopt;
    const std::uint8_t id = attributes[0];
    if (id == kAlgorithmRsa) {
        if (attributes.size() != kRsaAttributesSize - 1 && attributes.size() != kRsaAttributesSize) return std::nullopt;
        const unsigned bits = (unsigned{attributes[1]} << kByteBits) | attributes[2];
        const unsigned exponentBits = (unsigned{attributes[3]} << kByteBits) | attributes[4];
        const bool standardImport = attributes.size() == kRsaAttributesSize - 1 || attributes[5] == kRsaImportStandard;
        if (bits != kRsaBits || exponentBits < kRsaMinExponentBits || exponentBits > kRsaExponentBits || !standardImport)
            return std::nullopt;
        return KeyAlgorithm::Rsa2048;
    }
    auto oid = attributes.subspan(1);
    if (!oid.empty() && (oid.back() == kImportWithoutPublic || oid.back() == kImportWithPublic))
        oid = oid.first(oid.size() - 1);
    if (Equal(oid, kOidP256)) {
        if (id == kAlgorithmEcdsa) return KeyAlgorithm::EcdsaP256;
        if (id == kAlgorithmEcdh) return KeyAlgorithm::EcdhP256;
    } else if (Equal(oid, kOidEd25519) && id == kAlgorithmEddsa) {
        return KeyAlgorithm::Ed25519;
    } else if (Equal(oid, kOidCurve25519) && id == kAlgorithmEcdh) {
        return KeyAlgorithm::X25519;
    }
    return std::nullopt;
}

bool IsRsa(KeyAlgorithm algorithm) { return algorithm == KeyAlgorithm::Rsa2048; }
bool Decrypts(KeyAlgorithm algorithm) {
    return algorithm == KeyAlgorithm::Rsa2048 || algorithm == KeyAlgorithm::EcdhP256 || algorithm == KeyAlgorithm::X25519;
}
bool Signs(KeyAlgorithm algorithm) {
    return algorithm == KeyAlgorithm::Rsa2048 || algorithm == KeyAlgorithm::EcdsaP256 || algorithm == KeyAlgorithm::Ed25519;
}

std::optional<CardKey> CardKey::Generate(KeyAlgorithm algorithm) {
    EVP_PKEY* key = nullptr;
    if (IsRsa(algorithm)) key = EVP_PKEY_Q_keygen(nullptr, nullptr, "RSA", std::size_t{kRsaBits});
    else if (algorithm == KeyAlgorithm::EcdsaP256 || algorithm == KeyAlgorithm::EcdhP256)
        key = EVP_PKEY_Q_keygen(nullptr, nullptr, "EC", "P-256");
    else key = EVP_PKEY_Q_keygen(nullptr, nullptr, KeyTypeName(algorithm));
    if (key == nullptr) return std::nullopt;
    return CardKey(algorithm, Pointer(key));
}

std::optional<CardKey> CardKey::ImportRsa(std::span<const std::uint8_t> eBytes, std::span<const std::uint8_t> pBytes,
                                          std::span<const std::uint8_t> qBytes) {
    std::unique_ptr<BN_CTX, BnCtxFree> ctx(BN_CTX_new());
    Bn e = ToBn(eBytes), p = ToBn(pBytes), q = ToBn(qBytes);
    Bn n(BN_new()), d(BN_new()), phi(BN_new()), p1(BN_new()), q1(BN_new()), dp(BN_new()), dq(BN_new()), qinv(BN_new());
    if (!ctx || !e || !p || !q || !n || !d || !phi || !p1 || !q1 || !dp || !dq || !qinv) return std::nullopt;
    if (BN_is_zero(e.get()) || !BN_is_odd(e.get()) || BN_cmp(p.get(), q.get()) == 0) return std::nullopt;
    // n = pq, d = 1/e mod (p-1)(q-1), and the CRT values OpenSSL keeps.
    if (!BN_mul(n.get(), p.get(), q.get(), ctx.get()) || BN_num_bits(n.get()) != static_cast<int>(kRsaBits) ||
        !BN_sub(p1.get(), p.get(), BN_value_one()) || !BN_sub(q1.get(), q.get(), BN_value_one()) ||
        !BN_mul(phi.get(), p1.get(), q1.get(), ctx.get()) ||
        BN_mod_inverse(d.get(), e.get(), phi.get(), ctx.get()) == nullptr ||
        !BN_mod(dp.get(), d.get(), p1.get(), ctx.get()) || !BN_mod(dq.get(), d.get(), q1.get(), ctx.get()) ||
        BN_mod_inverse(qinv.get(), q.get(), p.get(), ctx.get()) == nullptr)
        return std::nullopt;
    std::unique_ptr<OSSL_PARAM_BLD, BuilderFree> builder(OSSL_PARAM_BLD_new());
    if (!builder || !OSSL_PARAM_BLD_push_BN(builder.get(), OSSL_PKEY_PARAM_RSA_N, n.get()) ||
        !OSSL_PARAM_BLD_push_BN(builder.get(), OSSL_PKEY_PARAM_RSA_E, e.get()) ||
        !OSSL_PARAM_BLD_push_BN(builder.get(), OSSL_PKEY_PARAM_RSA_D, d.get()) ||
        !OSSL_PARAM_BLD_push_BN(builder.get(), OSSL_PKEY_PARAM_RSA_FACTOR1, p.get()) ||
        !OSSL_PARAM_BLD_push_BN(builder.get(), OSSL_PKEY_PARAM_RSA_FACTOR2, q.get()) ||
        !OSSL_PARAM_BLD_push_BN(builder.get(), OSSL_PKEY_PARAM_RSA_EXPONENT1, dp.get()) ||
        !OSSL_PARAM_BLD_push_BN(builder.get(), OSSL_PKEY_PARAM_RSA_EXPONENT2, dq.get()) ||
        !OSSL_PARAM_BLD_push_BN(builder.get(), OSSL_PKEY_PARAM_RSA_COEFFICIENT1, qinv.get()))
        return std::nullopt;
    Key key = FromParams("RSA", EVP_PKEY_KEYPAIR, builder.get());
    if (!key) return std::nullopt;
    return CardKey(KeyAlgorithm::Rsa2048, Pointer(key.release()));
}

std::optional<CardKey> CardKey::ImportEcc(KeyAlgorithm algorithm, std::span<const std::uint8_t> secret) {
    if (algorithm == KeyAlgorithm::Ed25519 || algorithm == KeyAlgorithm::X25519) {
        if (secret.size() != kCurve25519Bytes) return std::nullopt;
        const int type = algorithm == KeyAlgorithm::Ed25519 ? EVP_PKEY_ED25519 : EVP_PKEY_X25519;
        EVP_PKEY* key = EVP_PKEY_new_raw_private_key(type, nullptr, secret.data(), secret.size());
        if (key == nullptr) return std::nullopt;
        return CardKey(algorithm, Pointer(key));
    }
    if (algorithm != KeyAlgorithm::EcdsaP256 && algorithm != KeyAlgorithm::EcdhP256) return std::nullopt;
    // The public point is the scalar times the generator.
    std::unique_ptr<EC_GROUP, GroupFree> group(EC_GROUP_new_by_curve_name(NID_X9_62_prime256v1));
    Bn scalar = ToBn(secret);
    if (!group || !scalar || BN_is_zero(scalar.get()) || BN_cmp(scalar.get(), EC_GROUP_get0_order(group.get())) >= 0)
        return std::nullopt;
    std::unique_ptr<EC_POINT, PointFree> point(EC_POINT_new(group.get()));
    std::unique_ptr<BN_CTX, BnCtxFree> ctx(BN_CTX_new());
    if (!point || !ctx || !EC_POINT_mul(group.get(), point.get(), scalar.get(), nullptr, nullptr, ctx.get()))
        return std::nullopt;
    Bytes encoded(1 + 2 * kP256Bytes);
    if (EC_POINT_point2oct(group.get(), point.get(), POINT_CONVERSION_UNCOMPRESSED, encoded.data(), encoded.size(),
                           ctx.get()) != encoded.size())
        return std::nullopt;
    std::unique_ptr<OSSL_PARAM_BLD, BuilderFree> builder(OSSL_PARAM_BLD_new());
    if (!builder || !OSSL_PARAM_BLD_push_utf8_string(builder.get(), OSSL_PKEY_PARAM_GROUP_NAME, SN_X9_62_prime256v1, 0) ||
        !OSSL_PARAM_BLD_push_BN(builder.get(), OSSL_PKEY_PARAM_PRIV_KEY, scalar.get()) ||
        !OSSL_PARAM_BLD_push_octet_string(builder.get(), OSSL_PKEY_PARAM_PUB_KEY, encoded.data(), encoded.size()))
        return std::nullopt;
    Key key = FromParams("EC", EVP_PKEY_KEYPAIR, builder.get());
    if (!key) return std::nullopt;
    return CardKey(algorithm, Pointer(key.release()));
}

Bytes CardKey::PublicKeyTemplate() const {
    Bytes inner;
    if (IsRsa(algorithm_)) {
        BIGNUM* n = nullptr;
        BIGNUM* e = nullptr;
        if (EVP_PKEY_get_bn_param(key_.get(), OSSL_PKEY_PARAM_RSA_N, &n) <= 0 ||
            EVP_PKEY_get_bn_param(key_.get(), OSSL_PKEY_PARAM_RSA_E, &e) <= 0) {
            BN_free(n);
            return {};
        }
        Bn modulus(n), exponent(e);
        PutTlv(inner, kTagModulus, FromBn(modulus.get(), kRsaBytes));
        PutTlv(inner, kTagExponent, FromBn(exponent.get()));
    } else {
        Bytes point(1 + 2 * kP256Bytes);
        std::size_t length = point.size();
        const bool raw = algorithm_ == KeyAlgorithm::Ed25519 || algorithm_ == KeyAlgorithm::X25519;
        const int ok = raw ? EVP_PKEY_get_raw_public_key(key_.get(), point.data(), &length)
                           : EVP_PKEY_get_octet_string_param(key_.get(), OSSL_PKEY_PARAM_PUB_KEY, point.data(),
                                                             point.size(), &length);
        if (ok <= 0) return {};
        point.resize(length);
        PutTlv(inner, kTagPoint, point);
    }
    Bytes out;
    PutTlv(out, kTagPublicKey, inner);
    return out;
}

std::optional<Bytes> CardKey::Sign(std::span<const std::uint8_t> input) const {
    if (!Signs(algorithm_)) return std::nullopt;
    if (algorithm_ == KeyAlgorithm::Ed25519) {
        // EdDSA signs the message itself, in one pass.
        std::unique_ptr<EVP_MD_CTX, DigestContextFree> md(EVP_MD_CTX_new());
        Bytes signature(2 * kCurve25519Bytes);
        std::size_t length = signature.size();
        if (!md || EVP_DigestSignInit(md.get(), nullptr, nullptr, nullptr, key_.get()) <= 0 ||
            EVP_DigestSign(md.get(), signature.data(), &length, input.data(), input.size()) <= 0)
            return std::nullopt;
        signature.resize(length);
        return signature;
    }
    Context ctx = ContextFor(key_.get());
    if (!ctx || EVP_PKEY_sign_init(ctx.get()) <= 0) return std::nullopt;
    // RSA without a digest set: the input, padded as block type 1, goes
    // through the private key as it is.
    if (IsRsa(algorithm_) && EVP_PKEY_CTX_set_rsa_padding(ctx.get(), RSA_PKCS1_PADDING) <= 0) return std::nullopt;
    std::size_t length = 0;
    if (EVP_PKEY_sign(ctx.get(), nullptr, &length, input.data(), input.size()) <= 0) return std::nullopt;
    Bytes signature(length);
    if (EVP_PKEY_sign(ctx.get(), signature.data(), &length, input.data(), input.size()) <= 0) return std::nullopt;
    signature.resize(length);
    if (IsRsa(algorithm_)) return signature;
    // ECDSA: OpenSSL gives the DER sequence of r and s; the card gives both
    // as 32-byte numbers side by side.
    const unsigned char* der = signature.data();
    std::unique_ptr<ECDSA_SIG, SignatureFree> sig(d2i_ECDSA_SIG(nullptr, &der, static_cast<long>(signature.size())));
    if (!sig) return std::nullopt;
    Bytes out = FromBn(ECDSA_SIG_get0_r(sig.get()), kP256Bytes);
    const Bytes s = FromBn(ECDSA_SIG_get0_s(sig.get()), kP256Bytes);
    if (out.empty() || s.empty()) return std::nullopt;
    out.insert(out.end(), s.begin(), s.end());
    return out;
}

std::optional<Bytes> CardKey::Decrypt(std::span<const std::uint8_t> cryptogram) const {
    if (!IsRsa(algorithm_) || cryptogram.size() != kRsaBytes) return std::nullopt;
    Context ctx = ContextFor(key_.get());
    if (!ctx || EVP_PKEY_decrypt_init(ctx.get()) <= 0 || EVP_PKEY_CTX_set_rsa_padding(ctx.get(), RSA_PKCS1_PADDING) <= 0)
        return std::nullopt;
    Bytes message(kRsaBytes);
    std::size_t length = message.size();
    if (EVP_PKEY_decrypt(ctx.get(), message.data(), &length, cryptogram.data(), cryptogram.size()) <= 0)
        return std::nullopt;
    message.resize(length);
    return message;
}

std::optional<Bytes> CardKey::Agree(std::span<const std::uint8_t> point) const {
    Key peer;
    if (algorithm_ == KeyAlgorithm::X25519) {
        if (point.size() != kCurve25519Bytes) return std::nullopt;
        peer.reset(EVP_PKEY_new_raw_public_key(EVP_PKEY_X25519, nullptr, point.data(), point.size()));
    } else if (algorithm_ == KeyAlgorithm::EcdhP256) {
        if (point.size() != 1 + 2 * kP256Bytes) return std::nullopt;
        peer = P256Point(point);
    } else {
        return std::nullopt;
    }
    Context ctx = ContextFor(key_.get());
    // The other party's point is checked to lie on the curve.
    if (!peer || !ctx || EVP_PKEY_derive_init(ctx.get()) <= 0 || EVP_PKEY_derive_set_peer_ex(ctx.get(), peer.get(), 1) <= 0)
        return std::nullopt;
    std::size_t length = 0;
    if (EVP_PKEY_derive(ctx.get(), nullptr, &length) <= 0) return std::nullopt;
    Bytes secret(length);
    if (EVP_PKEY_derive(ctx.get(), secret.data(), &length) <= 0) return std::nullopt;
    secret.resize(length);
    return secret;
}

} // namespace qv::sim
