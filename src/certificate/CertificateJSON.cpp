#include "certificate/CertificateJSON.hpp"

#include "certificate/SerialNumber.hpp"
#include "platform/vocabulary/Base64.hpp"

namespace tarvo {

CertificateEntry certificateJSON(const CertificateRecord& record, const std::optional<std::string>& provider) {
    CertificateEntry entry{
        {"certificate", base64Encode(record.der)},
        {"certificateSerial", serialNumber(record.der).value_or("")},
        {"certificateSubject", record.subject},
        {"provider", record.issuer},
        {"fingerprint", record.fingerprint},
        {"identityFingerprint", record.fingerprint},
        {"validFrom", record.validFrom},
        {"validUntil", record.validUntil},
    };
    if (provider) {
        // An issuer with none of the attributes we show renders empty; the
        // provider label then stands in so the entry still names a source.
        if (record.issuer.empty()) {
            entry["provider"] = *provider;
        }
        entry.emplace("providerName", *provider);
    }
    return entry;
}

}  // namespace tarvo
