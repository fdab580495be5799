#include "certificate/CertificateRecord.hpp"
#include "certificate/CertificateText.hpp"

#include "platform/Base64.hpp"

namespace tarvo {

CertificateEntry certificateJSON(const CertificateRecord& record, const std::string& provider) {
    return CertificateEntry{
        {"certificate", base64Encode(record.der)},
        {"certificateSerial", serialNumber(record.der).value_or("")},
        {"certificateSubject", record.subject},
        // An issuer with none of the attributes we show renders empty; the
        // provider label then stands in so the entry still names a source.
        {"provider", record.issuer.empty() ? provider : record.issuer},
        {"providerName", provider},
        {"fingerprint", record.fingerprint},
        {"identityFingerprint", record.fingerprint},
        {"validFrom", record.validFrom},
        {"validUntil", record.validUntil},
    };
}

}  // namespace tarvo
