#include "main/UserKeychain.hpp"

#include "certificate/Fingerprint.hpp"
#include "pin/PinPrompt.hpp"

#include <utility>

namespace tarvo {

namespace {

std::optional<CertificateRecord> recordOf(ByteView der) {
    const auto certificate = platform::Certificate::fromDER(der);
    return certificate ? record(*certificate) : std::nullopt;
}

}  // namespace

void UserKeychain::keychainRecords(const std::function<void(CertificateRecord)>& take) const {
    const platform::Keychain keychain = platform::Keychain::open();
    for (const auto& identity : keychain.identities()) {
        if (auto made = recordOf(identity.certificateDER())) {
            take(std::move(*made));
        }
    }
}

std::optional<KeychainRecord> UserKeychain::keychainRecord(const std::string& fingerprint) const {
    const platform::Keychain keychain = platform::Keychain::open();
    for (auto& identity : keychain.identities()) {
        // The bytes are copied out of the store once, for the comparison and the record alike.
        const Bytes der = identity.certificateDER();
        if (!sameFingerprint(fingerprintOf(der), fingerprint)) {
            continue;
        }
        if (auto made = recordOf(der)) {
            return KeychainRecord{std::move(*made), std::move(identity)};
        }
    }
    return std::nullopt;
}

Bytes UserKeychain::sign(const platform::KeychainIdentity& identity, ByteView message) const {
    return identity.sign(message, storePINPrompt);
}

}  // namespace tarvo
