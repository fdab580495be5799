#include "card/CardCertificates.hpp"

#include "card/CardSession.hpp"
#include "card/PKCS11.hpp"
#include "card/TokenSearch.hpp"
#include "certificate/Fingerprint.hpp"
#include "platform/vocabulary/HelperError.hpp"
#include "platform/vocabulary/Messages.hpp"

namespace tarvo {

void akisCertificates(const std::string& modulePath, const std::function<void(CardCertificate)>& take) {
    withPKCS11(modulePath, [&](const PKCS11& pkcs11) {
        for (const CK_SLOT_ID slot : slotsWithToken(pkcs11)) {
            const std::optional<CardSession> session = CardSession::openIfTokenUsable(pkcs11, slot);
            if (!session) {
                continue;
            }
            // Read once per token, for every action: signing a challenge must
            // know before its PIN dialog whether the PIN is locked or has one
            // try left.
            // Who the token is, too, so that a later load can tell it from another card.
            const std::optional<TokenInfo> info = tokenInfo(pkcs11, slot);
            const std::optional<CK_FLAGS> flags =
                info ? std::optional<CK_FLAGS>(info->flags) : std::optional<CK_FLAGS>();
            const std::optional<TokenIdentity> token =
                info ? std::optional<TokenIdentity>(info->identity) : std::optional<TokenIdentity>();
            for (const CK_OBJECT_HANDLE object : objects(pkcs11, session->handle(), CKO_CERTIFICATE, std::nullopt)) {
                // Objects that are unreadable, not certificates or not valid
                // now are left out without a word; the rest is still listed.
                const std::optional<Bytes> der = attributeValue(pkcs11, session->handle(), object, CKA_VALUE);
                if (!der) {
                    continue;
                }
                const std::optional<platform::Certificate> certificate = platform::Certificate::fromDER(*der);
                if (!certificate) {
                    continue;
                }
                std::optional<CertificateRecord> valid = record(*certificate);
                if (!valid) {
                    continue;
                }
                // attributeValue gives nothing for an empty CKA_ID, so an empty
                // one is listed as absent.
                take({std::move(*valid), attributeValue(pkcs11, session->handle(), object, CKA_ID), slot, flags,
                      token});
            }
        }
    });
}

CardCertificate udfCertificate(const std::string& modulePath, const std::optional<std::string>& fingerprint) {
    // Only the first certificate and the first match are kept while the card
    // is read; the others are dropped as they come.
    std::optional<CardCertificate> first;
    std::optional<CardCertificate> chosen;
    const bool choosing = fingerprint && !fingerprint->empty();
    akisCertificates(modulePath, [&](CardCertificate certificate) {
        if (choosing && !chosen && sameFingerprint(certificate.record.fingerprint, *fingerprint)) {
            chosen = certificate;
        }
        if (!first) {
            first = std::move(certificate);
        }
    });
    if (chosen) {
        return std::move(*chosen);
    }
    // A fingerprint that matches nothing is no error: the caller learns from
    // the record which certificate was taken instead.
    if (!first) {
        throw HelperError(messages::card::document::noCertificate);
    }
    return std::move(*first);
}

}  // namespace tarvo
