#include "main/KeychainRecords.hpp"

#include "card/CardCertificates.hpp"
#include "certificate/Fingerprint.hpp"

namespace tarvo {

namespace {

std::optional<CertificateRecord> recordOf(const platform::KeychainIdentity& identity) {
    const auto certificate = platform::Certificate::fromDER(identity.certificateDER());
    return certificate ? record(*certificate) : std::nullopt;
}

}  // namespace

void eachKeychainRecord(const platform::Keychain& keychain, const std::function<void(CertificateRecord)>& take) {
    for (const auto& identity : keychain.identities()) {
        if (auto made = recordOf(identity)) {
            take(std::move(*made));
        }
    }
}

std::optional<KeychainRecord> keychainRecordFor(const platform::Keychain& keychain, const std::string& fingerprint) {
    for (auto& identity : keychain.identities()) {
        if (!sameFingerprint(fingerprintOf(identity.certificateDER()), fingerprint)) {
            continue;
        }
        if (auto made = recordOf(identity)) {
            return KeychainRecord{std::move(*made), std::move(identity)};
        }
    }
    return std::nullopt;
}

}  // namespace tarvo
