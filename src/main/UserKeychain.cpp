#include "main/UserKeychain.hpp"

#include "certificate/Fingerprint.hpp"
#include "pin/PinPrompt.hpp"

#include <utility>

namespace tarvo {

namespace {

std::optional<CertificateRecord> recordOf(const platform::KeychainIdentity& identity) {
    const auto certificate = platform::Certificate::fromDER(identity.certificateDER());
    return certificate ? record(*certificate) : std::nullopt;
}

}  // namespace

void UserKeychain::keychainRecords(const std::function<void(CertificateRecord)>& take) const {
    const platform::Keychain keychain = platform::Keychain::open();
    for (const auto& identity : keychain.identities()) {
        if (auto made = recordOf(identity)) {
            take(std::move(*made));
        }
    }
}

std::optional<KeychainRecord> UserKeychain::keychainRecord(const std::string& fingerprint) const {
    const platform::Keychain keychain = platform::Keychain::open();
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

Bytes UserKeychain::sign(const platform::KeychainIdentity& identity, ByteView message) const {
    return identity.sign(message, storePINPrompt);
}

}  // namespace tarvo
