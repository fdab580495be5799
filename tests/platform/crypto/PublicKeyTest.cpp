#include "platform/crypto/Certificate.hpp"
#include "platform/crypto/Sha256.hpp"
#include "support/OpenSslHandles.hpp"
#include "support/TestCertificates.hpp"

#include <gtest/gtest.h>

#include <openssl/rsa.h>

#include <stdexcept>

namespace tarvo::test {
namespace {

using platform::Certificate;
using platform::PublicKey;

PublicKey publicKeyOf(const Key& key) {
    CertificateRecipe wanted;
    wanted.key = key;
    const auto certificate = Certificate::fromDER(mintCertificate(wanted));
    if (!certificate || !certificate->publicKey()) {
        throw std::runtime_error("no public key in minted certificate");
    }
    return *certificate->publicKey();
}

// PKCS#1 v1.5 padding around the bare digest, without the DigestInfo that
// names SHA-256: a signature the digest check must not accept.
Bytes signBareDigest(const Key& key, const platform::Sha256Digest& digest) {
    const UniqueEvpKeyContext context(EVP_PKEY_CTX_new(key.get(), nullptr));
    std::size_t length = 0;
    if (!context || EVP_PKEY_sign_init(context.get()) != 1 ||
        EVP_PKEY_CTX_set_rsa_padding(context.get(), RSA_PKCS1_PADDING) != 1 ||
        EVP_PKEY_sign(context.get(), nullptr, &length, digest.data(), digest.size()) != 1) {
        throw std::runtime_error("EVP_PKEY_sign");
    }
    Bytes signature(length);
    if (EVP_PKEY_sign(context.get(), signature.data(), &length, digest.data(), digest.size()) != 1) {
        throw std::runtime_error("EVP_PKEY_sign");
    }
    signature.resize(length);
    return signature;
}

Bytes flipped(Bytes bytes, std::size_t index) {
    bytes.at(index) ^= 0x01;
    return bytes;
}

const Bytes message = {'m', 'e', 's', 's', 'a', 'g', 'e'};

TEST(PublicKey, TellsRsaFromOtherKeys) {
    EXPECT_TRUE(publicKeyOf(rsaKey()).isRSA());
    EXPECT_FALSE(publicKeyOf(ecKey()).isRSA());
}

TEST(PublicKey, CopiesShareOneKey) {
    const PublicKey key = publicKeyOf(rsaKey());
    const PublicKey copy = key;  // NOLINT: the copy is what is tested
    EXPECT_EQ(copy.native(), key.native());
}

struct VerifyCase {
    const char* what;
    Bytes signed_;   // what the signature is checked against
    Bytes signature;
    bool expected;
};

TEST(PublicKey, VerifiesMessageSignaturesAndRefusesEveryOther) {
    const PublicKey key = publicKeyOf(rsaKey());
    const Bytes good = sha256Signature(rsaKey(), message);
    const VerifyCase cases[] = {
        {"valid", message, good, true},
        {"signature tampered", message, flipped(good, good.size() - 1), false},
        {"message tampered", flipped(message, 0), good, false},
        {"other key's signature", message, sha256Signature(otherRsaKey(), message), false},
        {"empty signature", message, {}, false},
        {"signature one byte short", message, Bytes(good.begin(), good.end() - 1), false},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(key.verifyRSASHA256Message(c.signed_, c.signature), c.expected) << c.what;
    }
}

TEST(PublicKey, VerifiesDigestSignaturesAndRefusesEveryOther) {
    const PublicKey key = publicKeyOf(rsaKey());
    const platform::Sha256Digest digest = platform::sha256(message).value();
    const Bytes digestBytes(digest.begin(), digest.end());
    // A message signature carries the DigestInfo of the message's digest, so
    // the same bytes must verify as a signature of that digest.
    const Bytes good = sha256Signature(rsaKey(), message);
    const VerifyCase cases[] = {
        {"valid", digestBytes, good, true},
        {"signature tampered", digestBytes, flipped(good, 0), false},
        {"digest tampered", flipped(digestBytes, 31), good, false},
        {"digest 31 bytes", Bytes(digestBytes.begin(), digestBytes.end() - 1), good, false},
        {"digest 33 bytes", [&] { Bytes b = digestBytes; b.push_back(0); return b; }(), good, false},
        {"message instead of digest", message, good, false},
        {"no DigestInfo", digestBytes, signBareDigest(rsaKey(), digest), false},
        {"other key's signature", digestBytes, sha256Signature(otherRsaKey(), message), false},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(key.verifyRSASHA256Digest(c.signed_, c.signature), c.expected) << c.what;
    }
}

TEST(PublicKey, NonRsaKeysVerifyNothing) {
    const PublicKey key = publicKeyOf(ecKey());
    const Bytes ecdsa = sha256Signature(ecKey(), message);
    const platform::Sha256Digest digest = platform::sha256(message).value();
    EXPECT_FALSE(key.verifyRSASHA256Message(message, ecdsa));
    EXPECT_FALSE(key.verifyRSASHA256Digest(Bytes(digest.begin(), digest.end()), ecdsa));
}

}  // namespace
}  // namespace tarvo::test
