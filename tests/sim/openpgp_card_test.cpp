// The simulated OpenPGP card: what it announces (AID, historical bytes,
// capabilities), its passwords and their retry counters, access conditions,
// short APDUs with command chaining and GET RESPONSE, key generation,
// import and the private-key operations checked with OpenSSL against the
// public keys the card hands out, what a reset keeps, and on the line the
// waiting-time extensions under T=1 and NULL bytes under T=0 while it
// generates a key.
#include <gtest/gtest.h>

#include <openssl/bn.h>
#include <openssl/core_names.h>
#include <openssl/ecdsa.h>
#include <openssl/evp.h>
#include <openssl/param_build.h>
#include <openssl/rsa.h>

#include <algorithm>
#include <memory>

#include "card_host.h"
#include "cards/atr.h"
#include "cards/ber_tlv.h"
#include "cards/openpgp_application.h"

namespace qv::sim {
namespace {

using test::CardBench;
using test::CardInf;
using test::Concat;
using test::Hex;

constexpr std::uint32_t kSerial = 0x51563101;
constexpr std::string_view kVerifySigner = "00 20 00 81 06 31 32 33 34 35 36";
constexpr std::string_view kVerifyUser = "00 20 00 82 06 31 32 33 34 35 36";
constexpr std::string_view kVerifyAdmin = "00 20 00 83 08 31 32 33 34 35 36 37 38";
// A SHA-256 DigestInfo as a host hands it to PSO:CDS: the algorithm's DER
// prefix, then the 32-byte hash.
constexpr std::string_view kSha256Prefix = "30 31 30 0D 06 09 60 86 48 01 65 03 04 02 01 05 00 04 20";

struct KeyFree {
    void operator()(EVP_PKEY* key) const { EVP_PKEY_free(key); }
};
using Key = std::unique_ptr<EVP_PKEY, KeyFree>;
struct ContextFree {
    void operator()(EVP_PKEY_CTX* ctx) const { EVP_PKEY_CTX_free(ctx); }
};
using Context = std::unique_ptr<EVP_PKEY_CTX, ContextFree>;
struct BnFree {
    void operator()(BIGNUM* bn) const { BN_free(bn); }
};

// A short APDU from its bytes, as the card's engines hand it over.
Apdu Parse(const Bytes& command) {
    Apdu apdu{command[0], command[1], command[2], command[3]};
    if (command.size() == 5) apdu.le = command[4] == 0 ? 256 : command[4];
    if (command.size() > 5) {
        apdu.data = std::span(command).subspan(5, command[4]);
        if (command.size() == 6u + command[4]) apdu.le = command.back() == 0 ? 256 : command.back();
    }
    return apdu;
}

ApduAnswer Send(CardApplication& card, const Bytes& command, Transport transport = Transport::T1) {
    return card.Run(Parse(command), transport);
}
ApduAnswer Send(CardApplication& card, std::string_view hex, Transport transport = Transport::T1) {
    return Send(card, Hex(hex), transport);
}

// GET RESPONSE until the card has given everything, behind what came first.
Bytes Collect(CardApplication& card, ApduAnswer answer, Transport transport = Transport::T1) {
    Bytes all = answer.data;
    for (int guard = 0; guard < 64 && (answer.sw & 0xFF00) == kSwBytesAvailable; ++guard) {
        const std::uint8_t more = static_cast<std::uint8_t>(answer.sw);
        answer = Send(card, Bytes{0x00, 0xC0, 0x00, 0x00, more}, transport);
        all.insert(all.end(), answer.data.begin(), answer.data.end());
    }
    EXPECT_EQ(answer.sw, kSwOk);
    return all;
}

Bytes GetData(CardApplication& card, std::uint16_t tag) {
    const Bytes command{0x00, 0xCA, static_cast<std::uint8_t>(tag >> 8), static_cast<std::uint8_t>(tag), 0x00};
    return Collect(card, Send(card, command));
}

// A command with data, cut into chained short APDUs of at most 254 bytes.
ApduAnswer Chained(CardApplication& card, const Bytes& header, const Bytes& data, bool withLe) {
    constexpr std::size_t kPiece = 254;
    ApduAnswer answer;
    for (std::size_t sent = 0; sent < data.size();) {
        const std::size_t piece = std::min(kPiece, data.size() - sent);
        const bool last = sent + piece == data.size();
        Bytes command{static_cast<std::uint8_t>(last ? 0x00 : 0x10), header[1], header[2], header[3],
                      static_cast<std::uint8_t>(piece)};
        command.insert(command.end(), data.begin() + static_cast<std::ptrdiff_t>(sent),
                       data.begin() + static_cast<std::ptrdiff_t>(sent + piece));
        if (last && withLe) command.push_back(0x00);
        answer = Send(card, command);
        if (!last) {
            EXPECT_EQ(answer.sw, kSwOk) << "a link of the chain";
        }
        sent += piece;
    }
    return answer;
}

std::span<const std::uint8_t> Value(std::span<const std::uint8_t> bytes, std::uint16_t tag) {
    const auto tlv = FindTlv(bytes, tag);
    EXPECT_TRUE(tlv.has_value()) << "tag " << std::hex << tag;
    return tlv ? tlv->value : std::span<const std::uint8_t>{};
}

// The RSA public key of a 7F49 template.
Key RsaPublic(const Bytes& publicKeyTemplate) {
    const auto inner = Value(publicKeyTemplate, 0x7F49);
    const auto n = Value(inner, 0x81);
    const auto e = Value(inner, 0x82);
    std::unique_ptr<BIGNUM, BnFree> bnN(BN_bin2bn(n.data(), static_cast<int>(n.size()), nullptr));
    std::unique_ptr<BIGNUM, BnFree> bnE(BN_bin2bn(e.data(), static_cast<int>(e.size()), nullptr));
    OSSL_PARAM_BLD* builder = OSSL_PARAM_BLD_new();
    OSSL_PARAM_BLD_push_BN(builder, OSSL_PKEY_PARAM_RSA_N, bnN.get());
    OSSL_PARAM_BLD_push_BN(builder, OSSL_PKEY_PARAM_RSA_E, bnE.get());
    OSSL_PARAM* params = OSSL_PARAM_BLD_to_param(builder);
    Context ctx(EVP_PKEY_CTX_new_from_name(nullptr, "RSA", nullptr));
    EVP_PKEY* key = nullptr;
    EVP_PKEY_fromdata_init(ctx.get());
    EVP_PKEY_fromdata(ctx.get(), &key, EVP_PKEY_PUBLIC_KEY, params);
    OSSL_PARAM_free(params);
    OSSL_PARAM_BLD_free(builder);
    return Key(key);
}

// What an RSA signature holds: the DigestInfo the card padded.
Bytes Recover(EVP_PKEY* key, const Bytes& signature) {
    Context ctx(EVP_PKEY_CTX_new_from_pkey(nullptr, key, nullptr));
    EVP_PKEY_verify_recover_init(ctx.get());
    EVP_PKEY_CTX_set_rsa_padding(ctx.get(), RSA_PKCS1_PADDING);
    Bytes out(256);
    std::size_t length = out.size();
    if (EVP_PKEY_verify_recover(ctx.get(), out.data(), &length, signature.data(), signature.size()) <= 0) return {};
    out.resize(length);
    return out;
}

// 61xx for that many bytes (00 for 256 and more).
std::uint16_t Available(std::size_t bytes) {
    return static_cast<std::uint16_t>(kSwBytesAvailable | (bytes >= 256 ? 0 : bytes));
}

Bytes DigestInfo(std::uint8_t fill) {
    Bytes info = Hex(kSha256Prefix);
    info.resize(info.size() + 32, fill);
    return info;
}

TEST(OpenPgpCard, AnnouncesItselfAndShortApdusWithChaining) {
    OpenPgpApplication card(1, {.serial = kSerial});
    EXPECT_EQ(GetData(card, 0x4F), Hex("D2 76 00 01 24 01 03 04 FF 00 51 56 31 01 00 00"));
    const Bytes historical = GetData(card, 0x5F52);
    EXPECT_EQ(historical, OpenPgpHistoricalBytes());
    // Card capabilities (73): command chaining, no extended Lc and Le.
    ASSERT_EQ(historical.size(), 10u);
    EXPECT_EQ(Bytes(historical.begin() + 3, historical.begin() + 7), Hex("73 C0 01 80"));
    for (std::string_view name : {"openpgp", "openpgp-t0"}) {
        const Bytes atr = CardOptions(name)->atr;
        const AtrProfile profile = ReadAtr(atr);
        ASSERT_EQ(profile.historicalCount, historical.size()) << name;
        const std::size_t start = atr.size() - historical.size() - (profile.tckPresent ? 1 : 0);
        EXPECT_EQ(Bytes(atr.begin() + static_cast<std::ptrdiff_t>(start),
                        atr.begin() + static_cast<std::ptrdiff_t>(start + historical.size())),
                  historical)
            << name << ": the ATR's historical bytes are the card's";
    }
    const Bytes related = GetData(card, 0x6E);
    const auto inner = Value(related, 0x6E);
    EXPECT_EQ(Bytes(Value(inner, 0x4F).begin(), Value(inner, 0x4F).end()), GetData(card, 0x4F));
    const auto discretionary = Value(inner, 0x73);
    // GET CHALLENGE, key import, PW1 policy, private DOs, attributes.
    EXPECT_EQ(Bytes(Value(discretionary, 0xC0).begin(), Value(discretionary, 0xC0).end()),
              Hex("7C 00 01 00 08 00 00 FF 00 00"));
    EXPECT_EQ(Bytes(Value(discretionary, 0xC1).begin(), Value(discretionary, 0xC1).end()), Hex("01 08 00 00 20 00"));
    EXPECT_EQ(Bytes(Value(discretionary, 0xC4).begin(), Value(discretionary, 0xC4).end()), Hex("01 7F 7F 7F 03 00 03"));
    EXPECT_EQ(Value(discretionary, 0xC5).size(), 60u);
    EXPECT_EQ(Bytes(Value(discretionary, 0xDE).begin(), Value(discretionary, 0xDE).end()), Hex("01 00 02 00 03 00"));
    EXPECT_EQ(GetData(card, 0x7A), Hex("7A 05 93 03 00 00 00"));
    EXPECT_EQ(GetData(card, 0xC4), Hex("01 7F 7F 7F 03 00 03"));

    EXPECT_EQ(Send(card, "00 A4 04 00 06 D2 76 00 01 24 01").sw, kSwOk) << "by its first bytes";
    EXPECT_EQ(Send(card, "00 A4 04 0C 10 D2 76 00 01 24 01 03 04 FF 00 51 56 31 01 00 00").sw, kSwOk);
    EXPECT_EQ(Send(card, "00 A4 04 00 07 A0 00 00 03 08 00 00").sw, kSwFileNotFound) << "another application";
    EXPECT_EQ(Send(card, "00 A4 00 0C 02 3F 00").sw, kSwFileNotFound) << "the card has no MF";
    EXPECT_EQ(Send(card, "00 CA 00 D3 00").sw, kSwDataNotFound) << "the resetting code cannot be read";
    EXPECT_EQ(Send(card, "00 B0 00 00 04").sw, kSwUnknownInstruction);
    EXPECT_EQ(Send(card, "80 CA 00 4F 00").sw, kSwUnknownClass);
    EXPECT_EQ(Send(card, "0C CA 00 4F 00").sw, kSwSecureMessagingUnsupported);
    EXPECT_EQ(Send(card, "01 CA 00 4F 00").sw, kSwLogicalChannelUnsupported);
}

// The challenge is the card's own randomness, and like everything the
// simulation varies it comes from the seed: the same seed, the same bytes
// (a run replays), and successive challenges differ.
TEST(OpenPgpCard, ChallengesComeFromTheSeed) {
    OpenPgpApplication first(7);
    OpenPgpApplication again(7);
    OpenPgpApplication other(8);
    const ApduAnswer a = Send(first, "00 84 00 00 08");
    ASSERT_EQ(a.sw, kSwOk);
    EXPECT_EQ(a.data.size(), 8u);
    EXPECT_EQ(Send(again, "00 84 00 00 08").data, a.data);
    EXPECT_NE(Send(other, "00 84 00 00 08").data, a.data);
    EXPECT_NE(Send(first, "00 84 00 00 08").data, a.data);
}

TEST(OpenPgpCard, WrongPinsCountDownAndTheRightOneRestoresThem) {
    OpenPgpApplication card(1);
    EXPECT_EQ(Send(card, "00 20 00 82").sw, 0x63C3) << "without data: the tries left";
    EXPECT_EQ(Send(card, "00 20 00 82 06 30 30 30 30 30 30").sw, kSwSecurityNotSatisfied);
    EXPECT_EQ(GetData(card, 0xC4)[4], 2) << "PW1's counter in the status bytes";
    EXPECT_EQ(Send(card, "00 20 00 81 06 31 32 33 34 35 37").sw, kSwSecurityNotSatisfied) << "81 and 82 share PW1";
    EXPECT_EQ(Send(card, "00 20 00 82").sw, 0x63C1);
    EXPECT_EQ(Send(card, kVerifyUser).sw, kSwOk);
    EXPECT_EQ(card.UserPinRetries(), 3);
    EXPECT_EQ(Send(card, "00 20 00 82").sw, kSwOk) << "now verified";
    EXPECT_EQ(Send(card, "00 20 FF 82").sw, kSwOk);
    EXPECT_EQ(Send(card, "00 20 00 82").sw, 0x63C3) << "forgotten again";

    for (int i = 0; i < 2; ++i) EXPECT_EQ(Send(card, "00 20 00 83 08 30 30 30 30 30 30 30 30").sw, kSwSecurityNotSatisfied);
    EXPECT_EQ(Send(card, "00 20 00 83 08 30 30 30 30 30 30 30 30").sw, kSwAuthenticationBlocked);
    EXPECT_EQ(Send(card, kVerifyAdmin).sw, kSwAuthenticationBlocked) << "blocked: the right PIN does not open it";
    EXPECT_EQ(GetData(card, 0xC4)[6], 0);
}

TEST(OpenPgpCard, PasswordsChangeAndTheUserPinIsReset) {
    OpenPgpApplication card(1);
    // Old and new in one field; a wrong old one costs a try.
    EXPECT_EQ(Send(card, "00 24 00 81 0C 30 30 30 30 30 30 36 35 34 33 32 31").sw, kSwSecurityNotSatisfied);
    EXPECT_EQ(card.UserPinRetries(), 2);
    EXPECT_EQ(Send(card, "00 24 00 81 0A 31 32 33 34 35 36 31 32 33 34").sw, kSwWrongData) << "a new PIN of 4";
    EXPECT_EQ(card.UserPinRetries(), 3) << "the old one was right";
    EXPECT_EQ(Send(card, "00 24 00 81 0C 31 32 33 34 35 36 36 35 34 33 32 31").sw, kSwOk);
    EXPECT_EQ(Send(card, kVerifyUser).sw, kSwSecurityNotSatisfied);
    EXPECT_EQ(Send(card, "00 20 00 82 06 36 35 34 33 32 31").sw, kSwOk);

    // Blocked, then reset by the admin, or with the resetting code.
    for (int i = 0; i < 3; ++i) Send(card, "00 20 00 82 06 30 30 30 30 30 30");
    EXPECT_EQ(card.UserPinRetries(), 0);
    EXPECT_EQ(Send(card, "00 2C 02 81 06 31 31 31 31 31 31").sw, kSwSecurityNotSatisfied) << "needs PW3";
    EXPECT_EQ(Send(card, "00 2C 00 81 06 31 31 31 31 31 31").sw, kSwConditionsNotSatisfied) << "no resetting code set";
    ASSERT_EQ(Send(card, kVerifyAdmin).sw, kSwOk);
    EXPECT_EQ(Send(card, "00 2C 02 81 06 31 31 31 31 31 31").sw, kSwOk);
    EXPECT_EQ(card.UserPinRetries(), 3);
    EXPECT_EQ(Send(card, "00 20 00 82 06 31 31 31 31 31 31").sw, kSwOk);
    EXPECT_EQ(Send(card, "00 DA 00 D3 08 52 52 52 52 52 52 52 52").sw, kSwOk);
    EXPECT_EQ(GetData(card, 0xC4)[5], 3) << "the resetting code's counter";
    EXPECT_EQ(Send(card, "00 2C 00 81 0E 52 52 52 52 52 52 52 52 32 32 32 32 32 32").sw, kSwOk);
    EXPECT_EQ(Send(card, "00 20 00 82 06 32 32 32 32 32 32").sw, kSwOk);
    EXPECT_EQ(Send(card, "00 2C 00 81 0E 51 52 52 52 52 52 52 52 32 32 32 32 32 32").sw, kSwSecurityNotSatisfied);
    EXPECT_EQ(GetData(card, 0xC4)[5], 2);
}

TEST(OpenPgpCard, EachCommandAsksForItsPassword) {
    OpenPgpApplication card(1);
    EXPECT_EQ(Send(card, "00 DA 00 5B 03 51 56 53").sw, kSwSecurityNotSatisfied);
    EXPECT_EQ(Send(card, "00 47 80 00 02 B6 00 00").sw, kSwSecurityNotSatisfied);
    EXPECT_EQ(Send(card, "00 CA 01 03 00").sw, kSwSecurityNotSatisfied);
    ASSERT_EQ(Send(card, kVerifyUser).sw, kSwOk);
    EXPECT_EQ(Send(card, "00 2A 9E 9A 04 01 02 03 04 00").sw, kSwSecurityNotSatisfied) << "a signature needs 81, not 82";
    EXPECT_EQ(Send(card, "00 CA 01 03 00").sw, kSwOk);
    EXPECT_EQ(Send(card, "00 DA 01 01 02 AA BB").sw, kSwOk) << "private DO 1 is the user's";
    EXPECT_EQ(Send(card, "00 DA 01 02 02 AA BB").sw, kSwSecurityNotSatisfied) << "private DO 2 the admin's";
    ASSERT_EQ(Send(card, kVerifyAdmin).sw, kSwOk);
    EXPECT_EQ(Send(card, "00 DA 00 5B 09 51 56 3C 3C 54 65 73 74 65").sw, kSwOk);
    const Bytes cardholder = GetData(card, 0x65);
    EXPECT_EQ(Value(cardholder, 0x65).size(), 11u + 3 + 3) << "name, language and sex, the last two empty";
    EXPECT_EQ(Send(card, "00 DA 00 C7 04 01 02 03 04").sw, kSwWrongLength) << "a fingerprint has 20 bytes";
    EXPECT_EQ(Send(card, "00 DA 00 C1 06 01 10 00 00 20 00").sw, kSwWrongData) << "RSA 4096 is not offered";
    EXPECT_EQ(Send(card, "00 DA 00 C2 09 13 2A 86 48 CE 3D 03 01 07").sw, kSwWrongData) << "ECDSA cannot decrypt";
    EXPECT_EQ(Send(card, "00 2A 9E 9A 04 01 02 03 04 00").sw, kSwSecurityNotSatisfied);
    ASSERT_EQ(Send(card, kVerifySigner).sw, kSwOk);
    EXPECT_EQ(Send(card, "00 2A 9E 9A 04 01 02 03 04 00").sw, kSwDataNotFound) << "no key yet";
}

TEST(OpenPgpCard, ResponsesLongerThanLeComeInPiecesForGetResponse) {
    OpenPgpApplication card(1);
    const Bytes whole = GetData(card, 0xFA);
    ASSERT_GT(whole.size(), 64u);
    // Le 32 under T=1: 32 bytes, then 61xx for the rest.
    ApduAnswer first = Send(card, "00 CA 00 FA 20");
    EXPECT_EQ(first.data.size(), 32u);
    EXPECT_EQ(first.sw, Available(whole.size() - 32));
    EXPECT_EQ(Collect(card, first), whole);
    // No Le at all: everything waits for GET RESPONSE.
    ApduAnswer none = Send(card, "00 CA 00 FA");
    EXPECT_TRUE(none.data.empty());
    EXPECT_EQ(Collect(card, none), whole);
    // An answer kept lives until the next command only.
    EXPECT_EQ(Send(card, "00 CA 00 FA 10").data.size(), 16u);
    EXPECT_EQ(Send(card, "00 CA 00 4F 00").sw, kSwOk);
    EXPECT_EQ(Send(card, "00 C0 00 00 10").sw, kSwConditionsNotSatisfied);

    // Under T=0 a case 2 Le is the exact length or 6Cxx says it.
    EXPECT_EQ(Send(card, "00 CA 00 C4 10", Transport::T0).sw, 0x6C07);
    const ApduAnswer exact = Send(card, "00 CA 00 C4 07", Transport::T0);
    EXPECT_EQ(exact.sw, kSwOk);
    EXPECT_EQ(exact.data, Hex("01 7F 7F 7F 03 00 03"));
}

TEST(OpenPgpCard, LongDataArrivesInChainedCommands) {
    OpenPgpApplication card(1);
    ASSERT_EQ(Send(card, kVerifyAdmin).sw, kSwOk);
    Bytes certificate(700);
    for (std::size_t i = 0; i < certificate.size(); ++i) certificate[i] = static_cast<std::uint8_t>(i * 13);
    EXPECT_EQ(Chained(card, Hex("00 DA 7F 21"), certificate, false).sw, kSwOk);
    EXPECT_EQ(GetData(card, 0x7F21), certificate);

    // A chain cut off by another command is dropped: only the last piece
    // arrives, and it is taken alone.
    EXPECT_EQ(Send(card, "10 DA 01 02 03 01 02 03").sw, kSwOk);
    EXPECT_EQ(Send(card, "00 CA 00 4F 00").sw, kSwOk);
    EXPECT_EQ(Send(card, "00 DA 01 02 02 04 05").sw, kSwOk);
    EXPECT_EQ(GetData(card, 0x0102), Hex("04 05"));
    EXPECT_EQ(Send(card, "10 A4 04 00 06 D2 76 00 01 24 01").sw, 0x6884) << "SELECT does not chain";
    // A chain longer than any object the card keeps ends at the link that
    // overflows it, and what came before is dropped.
    std::size_t sent = 0;
    std::uint16_t sw = kSwOk;
    for (; sw == kSwOk && sent < 5000; sent += 254) sw = Send(card, Concat(Hex("10 DA 7F 21 FE"), Bytes(254, 0x11))).sw;
    EXPECT_EQ(sw, kSwWrongLength);
    EXPECT_GT(sent, 4096u);
    EXPECT_EQ(Send(card, "00 DA 01 02 01 03").sw, kSwOk);

    // SELECT DATA chooses which key's certificate 7F21 is.
    EXPECT_EQ(Send(card, "00 A5 02 04 06 60 04 5C 02 7F 21").sw, kSwOk);
    EXPECT_EQ(Send(card, "00 DA 7F 21 03 AA BB CC").sw, kSwOk);
    EXPECT_EQ(Send(card, "00 A5 00 04 06 60 04 5C 02 7F 21").sw, kSwOk);
    EXPECT_EQ(GetData(card, 0x7F21), certificate) << "the first occurrence kept its own";
    EXPECT_EQ(Send(card, "00 CC 7F 21 00").sw, kSwOk) << "GET NEXT DATA: the second, empty";
    EXPECT_EQ(Send(card, "00 CC 7F 21 00").data, Hex("AA BB CC"));
    EXPECT_EQ(Send(card, "00 CC 7F 21 00").sw, kSwDataNotFound) << "there is no fourth";
    EXPECT_EQ(Send(card, "00 A5 03 04 06 60 04 5C 02 7F 21").sw, kSwDataNotFound);
}

// RSA 2048: a key generated on the card signs; the test's own key,
// imported in a chain, decrypts what OpenSSL encrypted to it and
// authenticates.
TEST(OpenPgpCard, RsaKeysGeneratedAndImportedSignDecryptAndAuthenticate) {
    OpenPgpApplication card(7);
    ASSERT_EQ(Send(card, kVerifyAdmin).sw, kSwOk);
    const ApduAnswer generated = Send(card, "00 47 80 00 02 B6 00 00");
    EXPECT_GE(generated.work, 2'500 * kMillisecond) << "seconds of prime search";
    EXPECT_LE(generated.work, 6'500 * kMillisecond);
    const Bytes publicKey = Collect(card, generated);
    EXPECT_EQ(publicKey.size(), 5u + 4 + 256 + 5) << "7F 49 82 01 09, 81 82 01 00 n, 82 03 e";
    EXPECT_EQ(Collect(card, Send(card, "00 47 81 00 02 B6 00 00")), publicKey) << "read back";
    Key cardKey = RsaPublic(publicKey);
    ASSERT_TRUE(cardKey);

    ASSERT_EQ(Send(card, kVerifySigner).sw, kSwOk);
    const Bytes info = DigestInfo(0x5A);
    Bytes command = Hex("00 2A 9E 9A");
    command.push_back(static_cast<std::uint8_t>(info.size()));
    command.insert(command.end(), info.begin(), info.end());
    command.push_back(0x00);
    const ApduAnswer signature = Send(card, command);
    EXPECT_EQ(signature.work, 140 * kMillisecond);
    const Bytes signatureBytes = Collect(card, signature);
    EXPECT_EQ(signatureBytes.size(), 256u);
    EXPECT_EQ(Recover(cardKey.get(), signatureBytes), info);
    EXPECT_EQ(card.SignatureCount(), 1u);
    EXPECT_EQ(GetData(card, 0x7A), Hex("7A 05 93 03 00 00 01"));
    // The policy 00: PW1 is good for one signature.
    EXPECT_EQ(Send(card, "00 DA 00 C4 01 00").sw, kSwOk);
    EXPECT_EQ(Send(card, command).sw, kSwOk);
    EXPECT_EQ(Send(card, command).sw, kSwSecurityNotSatisfied);

    // Import: the extended header list 4D with e, p and q, into the
    // decryption and the authentication slot, each in a chain.
    Key own(EVP_PKEY_Q_keygen(nullptr, nullptr, "RSA", std::size_t{2048}));
    ASSERT_TRUE(own);
    auto part = [&](const char* name) {
        BIGNUM* bn = nullptr;
        EVP_PKEY_get_bn_param(own.get(), name, &bn);
        Bytes bytes(static_cast<std::size_t>(BN_num_bytes(bn)));
        BN_bn2bin(bn, bytes.data());
        BN_free(bn);
        return bytes;
    };
    const Bytes e = part(OSSL_PKEY_PARAM_RSA_E), p = part(OSSL_PKEY_PARAM_RSA_FACTOR1),
                q = part(OSSL_PKEY_PARAM_RSA_FACTOR2);
    for (std::uint8_t crt : {0xB8, 0xA4}) {
        Bytes list{0x91, static_cast<std::uint8_t>(e.size()), 0x92, 0x81, static_cast<std::uint8_t>(p.size()),
                   0x93, 0x81, static_cast<std::uint8_t>(q.size())};
        Bytes parts = e;
        parts.insert(parts.end(), p.begin(), p.end());
        parts.insert(parts.end(), q.begin(), q.end());
        Bytes inner{crt, 0x00};
        PutTlv(inner, 0x7F48, list);
        PutTlv(inner, 0x5F48, parts);
        Bytes header;
        PutTlv(header, 0x4D, inner);
        EXPECT_EQ(Chained(card, Hex("00 DB 3F FF"), header, false).sw, kSwOk);
    }
    EXPECT_TRUE(card.HasKey(KeySlot::Decryption));
    EXPECT_EQ(GetData(card, 0xDE), Hex("01 01 02 02 03 02")) << "generated, imported, imported";

    // OpenSSL encrypts to the imported key; the card deciphers a chained
    // command of 257 bytes: the padding indicator 00 and the cryptogram.
    const Bytes message = Hex("11 22 33 44 55 66 77 88 99 AA BB CC DD EE FF 00");
    Context encrypt(EVP_PKEY_CTX_new_from_pkey(nullptr, own.get(), nullptr));
    EVP_PKEY_encrypt_init(encrypt.get());
    EVP_PKEY_CTX_set_rsa_padding(encrypt.get(), RSA_PKCS1_PADDING);
    Bytes cryptogram(256);
    std::size_t length = cryptogram.size();
    ASSERT_GT(EVP_PKEY_encrypt(encrypt.get(), cryptogram.data(), &length, message.data(), message.size()), 0);
    Bytes data{0x00};
    data.insert(data.end(), cryptogram.begin(), cryptogram.end());
    EXPECT_EQ(Chained(card, Hex("00 2A 80 86"), data, true).sw, kSwSecurityNotSatisfied) << "needs PW1 82";
    ASSERT_EQ(Send(card, kVerifyUser).sw, kSwOk);
    EXPECT_EQ(Collect(card, Chained(card, Hex("00 2A 80 86"), data, true)), message);
    data[0] = 0x02;
    EXPECT_EQ(Chained(card, Hex("00 2A 80 86"), data, true).sw, kSwWrongData) << "no symmetric key";

    Bytes authenticate = Hex("00 88 00 00");
    authenticate.push_back(static_cast<std::uint8_t>(info.size()));
    authenticate.insert(authenticate.end(), info.begin(), info.end());
    authenticate.push_back(0x00);
    EXPECT_EQ(Recover(own.get(), Collect(card, Send(card, authenticate))), info);
}

// Curve25519 and P-256: the attributes change the slots' algorithms (and
// delete their keys), and every operation checks out with OpenSSL.
TEST(OpenPgpCard, EccKeysSignAgreeAndAuthenticate) {
    OpenPgpApplication card(3);
    ASSERT_EQ(Send(card, kVerifyAdmin).sw, kSwOk);
    ASSERT_EQ(Send(card, "00 DA 00 C1 0A 16 2B 06 01 04 01 DA 47 0F 01").sw, kSwOk);      // Ed25519
    ASSERT_EQ(Send(card, "00 DA 00 C2 0B 12 2B 06 01 04 01 97 55 01 05 01").sw, kSwOk);   // X25519
    ASSERT_EQ(Send(card, "00 DA 00 C3 09 13 2A 86 48 CE 3D 03 01 07").sw, kSwOk);         // ECDSA P-256
    std::vector<Bytes> points;
    for (std::string_view crt : {"B6", "B8", "A4"}) {
        const ApduAnswer generated = Send(card, "00 47 80 00 02 " + std::string(crt) + " 00 00");
        EXPECT_EQ(generated.sw, kSwOk);
        EXPECT_EQ(generated.work, 120 * kMillisecond);
        const auto point = Value(Value(generated.data, 0x7F49), 0x86);
        points.emplace_back(point.begin(), point.end());
    }
    ASSERT_EQ(points[0].size(), 32u);
    ASSERT_EQ(points[1].size(), 32u);
    ASSERT_EQ(points[2].size(), 65u) << "04 X Y";
    ASSERT_EQ(Send(card, kVerifySigner).sw, kSwOk);
    ASSERT_EQ(Send(card, kVerifyUser).sw, kSwOk);

    // EdDSA over the message itself.
    const Bytes message = Hex("4F 70 65 6E 50 47 50");
    Bytes sign = Hex("00 2A 9E 9A 07");
    sign.insert(sign.end(), message.begin(), message.end());
    sign.push_back(0x00);
    const ApduAnswer signed_ = Send(card, sign);
    ASSERT_EQ(signed_.data.size(), 64u);
    Key ed(EVP_PKEY_new_raw_public_key(EVP_PKEY_ED25519, nullptr, points[0].data(), points[0].size()));
    EVP_MD_CTX* md = EVP_MD_CTX_new();
    EVP_DigestVerifyInit(md, nullptr, nullptr, nullptr, ed.get());
    EXPECT_EQ(EVP_DigestVerify(md, signed_.data.data(), signed_.data.size(), message.data(), message.size()), 1);
    EVP_MD_CTX_free(md);

    // X25519 with the host's ephemeral key: both sides reach one secret.
    Key ephemeral(EVP_PKEY_Q_keygen(nullptr, nullptr, "X25519"));
    Bytes own(32);
    std::size_t ownLength = own.size();
    EVP_PKEY_get_raw_public_key(ephemeral.get(), own.data(), &ownLength);
    Bytes point;
    PutTlv(point, 0x86, own);
    Bytes key;
    PutTlv(key, 0x7F49, point);
    Bytes cipher;
    PutTlv(cipher, 0xA6, key);
    Bytes decipher = Hex("00 2A 80 86");
    decipher.push_back(static_cast<std::uint8_t>(cipher.size()));
    decipher.insert(decipher.end(), cipher.begin(), cipher.end());
    decipher.push_back(0x00);
    const ApduAnswer agreed = Send(card, decipher);
    EXPECT_EQ(agreed.work, 30 * kMillisecond);
    Key cardPoint(EVP_PKEY_new_raw_public_key(EVP_PKEY_X25519, nullptr, points[1].data(), points[1].size()));
    Context derive(EVP_PKEY_CTX_new_from_pkey(nullptr, ephemeral.get(), nullptr));
    EVP_PKEY_derive_init(derive.get());
    EVP_PKEY_derive_set_peer(derive.get(), cardPoint.get());
    Bytes secret(32);
    std::size_t secretLength = secret.size();
    EVP_PKEY_derive(derive.get(), secret.data(), &secretLength);
    EXPECT_EQ(agreed.data, secret);

    // ECDSA P-256 authentication: r and s, each 32 bytes.
    const Bytes hash(32, 0x42);
    Bytes authenticate = Hex("00 88 00 00 20");
    authenticate.insert(authenticate.end(), hash.begin(), hash.end());
    authenticate.push_back(0x00);
    const ApduAnswer rs = Send(card, authenticate);
    ASSERT_EQ(rs.data.size(), 64u);
    ECDSA_SIG* sig = ECDSA_SIG_new();
    ECDSA_SIG_set0(sig, BN_bin2bn(rs.data.data(), 32, nullptr), BN_bin2bn(rs.data.data() + 32, 32, nullptr));
    unsigned char* der = nullptr;
    const int derLength = i2d_ECDSA_SIG(sig, &der);
    ECDSA_SIG_free(sig);
    OSSL_PARAM_BLD* builder = OSSL_PARAM_BLD_new();
    OSSL_PARAM_BLD_push_utf8_string(builder, OSSL_PKEY_PARAM_GROUP_NAME, "prime256v1", 0);
    OSSL_PARAM_BLD_push_octet_string(builder, OSSL_PKEY_PARAM_PUB_KEY, points[2].data(), points[2].size());
    OSSL_PARAM* params = OSSL_PARAM_BLD_to_param(builder);
    Context from(EVP_PKEY_CTX_new_from_name(nullptr, "EC", nullptr));
    EVP_PKEY* p256 = nullptr;
    EVP_PKEY_fromdata_init(from.get());
    EVP_PKEY_fromdata(from.get(), &p256, EVP_PKEY_PUBLIC_KEY, params);
    Key verifier(p256);
    Context verify(EVP_PKEY_CTX_new_from_pkey(nullptr, verifier.get(), nullptr));
    EVP_PKEY_verify_init(verify.get());
    EXPECT_EQ(EVP_PKEY_verify(verify.get(), der, static_cast<std::size_t>(derLength), hash.data(), hash.size()), 1);
    OPENSSL_free(der);
    OSSL_PARAM_free(params);
    OSSL_PARAM_BLD_free(builder);

    // Other attributes delete the slot's key.
    ASSERT_EQ(Send(card, "00 DA 00 C3 06 01 08 00 00 20 00").sw, kSwOk);
    EXPECT_FALSE(card.HasKey(KeySlot::Authentication));
    EXPECT_EQ(GetData(card, 0xDE), Hex("01 01 02 01 03 00"));
}

TEST(OpenPgpCard, AResetForgetsTheVerifiedPinsButKeepsWhatWasWritten) {
    OpenPgpApplication card(1);
    ASSERT_EQ(Send(card, kVerifyAdmin).sw, kSwOk);
    ASSERT_EQ(Send(card, "00 DA 00 5E 02 71 76").sw, kSwOk);
    EXPECT_EQ(Send(card, "00 20 00 82 06 30 30 30 30 30 30").sw, kSwSecurityNotSatisfied);
    EXPECT_EQ(Send(card, "10 DA 01 02 01 01").sw, kSwOk) << "a chain begun";
    card.Reset();
    EXPECT_EQ(Send(card, "00 DA 00 5E 02 71 76").sw, kSwSecurityNotSatisfied);
    EXPECT_EQ(GetData(card, 0x5E), Hex("71 76"));
    EXPECT_EQ(card.UserPinRetries(), 2) << "a retry counter is no RAM";
    ASSERT_EQ(Send(card, kVerifyAdmin).sw, kSwOk);
    EXPECT_EQ(Send(card, "00 DA 01 02 01 02").sw, kSwOk);
    EXPECT_EQ(GetData(card, 0x0102), Hex("02")) << "the chain did not survive";
}

// On the line: RSA generation outlasts the T=1 card's block waiting time,
// so it asks S(WTX); under T=0 it sends NULL bytes while it works. Both
// count as the card's busy time, and the commands are counted.
TEST(OpenPgpCard, KeyGenerationAsksForTimeOnTheLine) {
    CardBench b("openpgp", kProtocolT1);
    ASSERT_EQ(b.status, kStatusOk);
    const SimpleCard& card = *b.reader.Simple();
    EXPECT_EQ(test::Sw(b.T1(kVerifyAdmin)), Hex("90 00"));
    const usb::Time busyBefore = card.Statistics().busy;
    Bytes reply = b.Block(b.hostSequence, Hex("00 47 80 00 02 B6 00 00"));
    b.hostSequence ^= kPcbSequence;
    ASSERT_FALSE(reply.empty());
    EXPECT_EQ(reply[kPcbOffset], kPcbWtxRequest) << "the card asks for time before it answers";
    unsigned requests = 0;
    Bytes answer;
    for (int guard = 0; guard < 20 && !reply.empty(); ++guard) {
        if (reply[kPcbOffset] == kPcbWtxRequest) {
            ++requests;
            reply = b.Block(kPcbWtxResponse, CardInf(reply, b.crc));
            continue;
        }
        ASSERT_TRUE(IsIBlock(reply[kPcbOffset]));
        const auto inf = CardInf(reply, b.crc);
        answer.insert(answer.end(), inf.begin(), inf.end());
        b.cardSequence ^= kPcbSequence;
        if ((reply[kPcbOffset] & kPcbMore) == 0) break;
        reply = b.Block(static_cast<std::uint8_t>(kPcbRBlockType | (b.cardSequence >> kSequenceToRShift)));
    }
    EXPECT_GE(requests, 1u);
    ASSERT_GE(answer.size(), 2u);
    EXPECT_EQ(answer.size(), 256u + 2) << "256 bytes, then 61 0E";
    EXPECT_EQ(test::Sw(answer), Hex("61 0E"));
    EXPECT_GE(card.Statistics().busy - busyBefore, 2'500 * kMillisecond);
    EXPECT_EQ(b.T1("00 C0 00 00 0E").size(), 14u + 2);
    EXPECT_EQ(card.Statistics().getResponses, 1u);
    EXPECT_EQ(card.Statistics().extended, 0u);
    EXPECT_EQ(test::Sw(b.T1("00 CA 00 4F 00 00 10")), Hex("67 00")) << "an extended Le is refused";
    EXPECT_EQ(card.Statistics().extended, 1u);

    // T=0: VERIFY, then the generation, its data asked for with INS; while
    // the card works a NULL byte comes every half waiting time.
    auto t0 = MakeCard("openpgp-t0");
    ASSERT_TRUE(t0->Reset(ResetKind::Cold).bytes.has_value());
    EXPECT_EQ(*t0->T0Characters(Hex("00 20 00 83 08")).bytes, Hex("20"));
    EXPECT_EQ(*t0->T0Characters(Hex("31 32 33 34 35 36 37 38")).bytes, Hex("90 00"));
    EXPECT_EQ(*t0->T0Characters(Hex("00 47 80 00 02")).bytes, Hex("47"));
    const CardReply working = t0->T0Characters(Hex("B6 00"));
    ASSERT_TRUE(working.bytes.has_value());
    const Bytes& bytes = *working.bytes;
    const std::size_t nulls = static_cast<std::size_t>(std::ranges::count(bytes, 0x60));
    EXPECT_GE(nulls, 4u);
    EXPECT_EQ(Bytes(bytes.end() - 2, bytes.end()), Hex("61 00")) << "270 bytes wait for GET RESPONSE";
    EXPECT_LT(working.longestSilence, t0->WaitingTime());
}

} // namespace
} // namespace qv::sim
