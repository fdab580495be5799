#pragma once

#include "certificate/CertificateRecord.hpp"
#include "platform/store/Keychain.hpp"

#include <functional>
#include <optional>
#include <string>

namespace tarvo {

// A store identity as an action meets it: the record it reports, and the
// identity that signs for it. The identity keeps the store open; the record
// is a plain value that outlives it.
struct KeychainRecord {
    CertificateRecord record;
    platform::KeychainIdentity identity;
};

// Hands over one record per identity of the store whose certificate is
// readable and valid now, in the store's order, each as soon as it is made, so
// that the caller keeps only what it needs of it. Identities that fail are
// left out without a word: the listing and the signing simply do not offer them.
void eachKeychainRecord(const platform::Keychain& keychain, const std::function<void(CertificateRecord)>& take);

// The record of the first such identity whose certificate has that
// fingerprint (letter case aside). Identities are told apart by the SHA-256 of
// the bytes the store holds; only the one that matches is made into a record,
// and one that is not valid now is passed over like any other.
std::optional<KeychainRecord> keychainRecordFor(const platform::Keychain& keychain, const std::string& fingerprint);

}  // namespace tarvo
