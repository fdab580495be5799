#include "certificate/CertificateRecord.hpp"

#include "certificate/DateText.hpp"
#include "certificate/DistinguishedName.hpp"
#include "certificate/Fingerprint.hpp"

namespace tarvo {

std::optional<CertificateRecord> record(const platform::Certificate& certificate, Instant now) {
    Bytes der = certificate.der();
    std::string fingerprint = fingerprintOf(der);
    if (fingerprint.empty()) {
        return std::nullopt;
    }

    // A certificate is offered only inside its validity window, both ends
    // included; one whose dates cannot be read is never offered.
    const auto notBefore = certificate.notBefore();
    if (!notBefore || now < *notBefore) {
        return std::nullopt;
    }
    const auto notAfter = certificate.notAfter();
    if (!notAfter || *notAfter < now) {
        return std::nullopt;
    }

    std::string subject = distinguishedName(certificate.subject());
    std::string issuer = distinguishedName(certificate.issuer());
    // A subject made only of attributes we do not label still needs a name to
    // show; the issuer is shown only as it is.
    if (subject.empty()) {
        subject = certificate.subjectSummary();
    }

    return CertificateRecord{
        certificate,       std::move(der),       std::move(fingerprint), std::move(subject),
        std::move(issuer), dateText(*notBefore), dateText(*notAfter),
    };
}

}  // namespace tarvo
