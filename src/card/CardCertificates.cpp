#include "card/CardCertificates.hpp"

#include "card/CardSession.hpp"
#include "card/PKCS11.hpp"
#include "platform/Messages.hpp"

#include <algorithm>

namespace tarvo {

std::vector<CardCertificate> akisCertificates(const std::string& modulePath) {
    return withPKCS11(modulePath, [](const PKCS11& pkcs11) {
        std::vector<CardCertificate> found;
        for (const CK_SLOT_ID slot : pkcs11.slotsWithToken()) {
            const std::optional<CardSession> session = CardSession::openIfTokenUsable(pkcs11, slot);
            if (!session) {
                continue;
            }
            // Read once per token, for every action: signing a challenge must
            // know before its PIN dialog whether the PIN is locked or has one
            // try left.
            const std::optional<CK_FLAGS> flags = pkcs11.tokenFlags(slot);
            for (const CK_OBJECT_HANDLE object : pkcs11.objects(session->handle(), CKO_CERTIFICATE, std::nullopt)) {
                // Objects that are unreadable, not certificates or not valid
                // now are left out without a word; the rest is still listed.
                const std::optional<Bytes> der = pkcs11.attributeValue(session->handle(), object, CKA_VALUE);
                if (!der) {
                    continue;
                }
                const std::optional<platform::Certificate> certificate = platform::Certificate::fromDER(*der);
                if (!certificate) {
                    continue;
                }
                std::optional<CertificateRecord> valid = record(*certificate, std::nullopt);
                if (!valid) {
                    continue;
                }
                // attributeValue gives nothing for an empty CKA_ID, so an empty
                // one is listed as absent.
                found.push_back(
                    {std::move(*valid), pkcs11.attributeValue(session->handle(), object, CKA_ID), slot, flags});
            }
        }
        return found;
    });
}

CardCertificate udfCertificate(const std::string& modulePath, const std::optional<std::string>& fingerprint) {
    std::vector<CardCertificate> certificates = akisCertificates(modulePath);
    if (fingerprint && !fingerprint->empty()) {
        const auto chosen = std::find_if(certificates.begin(), certificates.end(), [&](const CardCertificate& c) {
            return sameFingerprint(c.record.fingerprint, *fingerprint);
        });
        if (chosen != certificates.end()) {
            return std::move(*chosen);
        }
    }
    // A fingerprint that matches nothing is no error: the caller learns from
    // the record which certificate was taken instead.
    if (certificates.empty()) {
        throw HelperError(messages::card::document::noCertificate);
    }
    return std::move(certificates.front());
}

bool sameFingerprint(const std::string& a, const std::string& b) {
    const auto lower = [](char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; };
    return a.size() == b.size() &&
           std::equal(a.begin(), a.end(), b.begin(), [&](char x, char y) { return lower(x) == lower(y); });
}

}  // namespace tarvo
