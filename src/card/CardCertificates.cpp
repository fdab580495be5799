#include "card/CardCertificates.hpp"

#include "card/CardSession.hpp"
#include "card/PKCS11.hpp"
#include "platform/Messages.hpp"

#include <algorithm>

namespace tarvo {

void eachCardCertificate(const std::function<void(CardCertificate)>& take) {
    withPKCS11([&](const PKCS11& pkcs11) {
        for (const CK_SLOT_ID slot : pkcs11.slotsWithToken()) {
            const CardSession session(pkcs11, slot);
            for (const CK_OBJECT_HANDLE object : pkcs11.objects(session.handle(), CKO_CERTIFICATE, std::nullopt)) {
                // Objects that are unreadable, not certificates or not valid
                // now are left out without a word; the rest is still listed.
                const std::optional<Bytes> der = pkcs11.attributeValue(session.handle(), object, CKA_VALUE);
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
                take({std::move(*valid), pkcs11.attributeValue(session.handle(), object, CKA_ID)});
            }
        }
    });
}

std::vector<CardCertificate> akisCertificates() {
    std::vector<CardCertificate> found;
    eachCardCertificate([&](CardCertificate certificate) { found.push_back(std::move(certificate)); });
    return found;
}

CardCertificate udfCertificate(const std::optional<std::string>& fingerprint) {
    std::vector<CardCertificate> certificates = akisCertificates();
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
