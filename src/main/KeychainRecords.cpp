#include "main/KeychainRecords.hpp"

namespace tarvo {

std::vector<CertificateRecord> keychainRecords(const platform::Keychain& keychain) {
    std::vector<CertificateRecord> records;
    for (const auto& identity : keychain.identities()) {
        const auto certificate = platform::Certificate::fromDER(identity.certificateDER());
        if (!certificate) {
            continue;
        }
        if (auto made = record(*certificate, identity)) {
            records.push_back(std::move(*made));
        }
    }
    return records;
}

}  // namespace tarvo
