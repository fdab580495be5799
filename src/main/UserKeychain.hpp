#pragma once

#include "main/KeychainProvider.hpp"

namespace tarvo {

// The user's certificate store, opened afresh for each question and closed
// again when the last record's identity is gone. Identities whose certificate
// cannot be read or is not valid now are left out without a word: the listing
// and the signing simply do not offer them.
class UserKeychain final : public KeychainProvider {
public:
    // Made as soon as each identity is read, so that the caller keeps only what it needs of it.
    void keychainRecords(const std::function<void(CertificateRecord)>& take) const override;

    // Identities are told apart by the SHA-256 of the bytes the store holds;
    // only the one that matches is made into a record, and one that is not
    // valid now is passed over like any other.
    std::optional<KeychainRecord> keychainRecord(const std::string& fingerprint) const override;

    // Asks for the PIN or password in the store's own dialog.
    Bytes sign(const platform::KeychainIdentity& identity, ByteView message) const override;
};

}  // namespace tarvo
