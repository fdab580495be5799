#pragma once

// A card that can sign, and the signatures it ought to give, computed here
// independently of the mock (OpenSSL hashes and pads the message itself).

#include "MockCardTest.hpp"
#include "card/CardCertificates.hpp"
#include "card/ChallengeSigning.hpp"
#include "card/DigestSigning.hpp"
#include "certificate/CertificateRecord.hpp"
#include "platform/crypto/Sha256.hpp"
#include "support/OpenSslHandles.hpp"
#include "support/TestCertificates.hpp"

#include <openssl/evp.h>

#include <stdexcept>

namespace tarvo::test {

inline const Bytes signingKeyId = {0x0A, 0x1B};
inline constexpr CK_SLOT_ID signingSlot = 9;
inline const std::string cardPin = "çağ€1";  // multi-byte UTF-8, nine bytes

inline const Bytes& signingCertificate() {
    static const Bytes der = selfSignedCertificate(rsaKey(), "İmza Sahibi");
    return der;
}

// The signing slot: the certificate and its key under the same CKA_ID.
inline std::vector<mockp11::MockSlot> signingCard(const Key& cardKey = rsaKey(), Bytes keyId = signingKeyId) {
    mockp11::MockSlot slot{signingSlot, {mockp11::certificateObject(signingCertificate(), signingKeyId),
                               mockp11::privateKeyObject(cardKey, std::move(keyId))}};
    slot.pin = bytesOf(cardPin);
    return {slot};
}

// Another token in front of the signing card, in slot 5: it holds another
// certificate and its key under the signing key's CKA_ID, and its own PIN.
inline std::vector<mockp11::MockSlot> signingCardBehindAnotherToken(const Bytes& otherCertificate) {
    std::vector<mockp11::MockSlot> card = {
        mockp11::MockSlot{5,
                          {mockp11::certificateObject(otherCertificate, signingKeyId),
                           mockp11::privateKeyObject(otherRsaKey(), signingKeyId)}}};
    card[0].pin = bytesOf("başka-PIN");
    card.push_back(signingCard().front());
    return card;
}

inline Bytes sha256DigestInfoOf(const Bytes& message) {
    const platform::Sha256Digest digest = platform::sha256(message).value();
    Bytes info(sha256DigestInfoPrefix.size() + digest.size());
    std::copy(digest.begin(), digest.end(),
              std::copy(sha256DigestInfoPrefix.begin(), sha256DigestInfoPrefix.end(), info.begin()));
    return info;
}

// The card's certificate as the listing gives it, without a module lifecycle.
inline CardCertificate cardCertificate(const Bytes& der, std::optional<Bytes> id, CK_SLOT_ID slot = signingSlot) {
    const std::optional<platform::Certificate> certificate = platform::Certificate::fromDER(der);
    std::optional<CertificateRecord> made = certificate ? record(*certificate) : std::nullopt;
    if (!made) {
        throw std::runtime_error("card certificate");
    }
    return CardCertificate{std::move(*made), std::move(id), slot, std::nullopt};
}

}  // namespace tarvo::test

namespace tarvo::test {

// The certificate with its key's algorithm made unknown (rsaEncryption turned
// into an unassigned arc): it still parses, but its public key cannot be had.
inline Bytes withUnknownKeyAlgorithm(Bytes der) {
    const Bytes rsaEncryption = {0x06, 0x09, 0x2a, 0x86, 0x48, 0x86, 0xf7, 0x0d, 0x01, 0x01, 0x01};
    const auto at = std::search(der.begin(), der.end(), rsaEncryption.begin(), rsaEncryption.end());
    if (at == der.end()) {
        throw std::runtime_error("no rsaEncryption in the certificate");
    }
    *(at + static_cast<std::ptrdiff_t>(rsaEncryption.size()) - 1) = 0x63;
    return der;
}

}  // namespace tarvo::test
