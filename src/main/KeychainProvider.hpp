#pragma once

#include "certificate/CertificateRecord.hpp"
#include "platform/store/Keychain.hpp"
#include "platform/vocabulary/Bytes.hpp"

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

// The certificate store as the actions see it. The program asks the user's
// store (UserKeychain); tests give their own.
class KeychainProvider {
public:
    KeychainProvider() = default;
    KeychainProvider(const KeychainProvider&) = delete;
    KeychainProvider& operator=(const KeychainProvider&) = delete;
    virtual ~KeychainProvider() = default;

    // Each valid store identity as a record, in the store's order, handed over
    // one by one so that a listing holds only what it shows.
    virtual void keychainRecords(const std::function<void(CertificateRecord)>& take) const = 0;

    // The first valid store identity with that fingerprint (letter case aside).
    virtual std::optional<KeychainRecord> keychainRecord(const std::string& fingerprint) const = 0;

    // Signs with the identity's key; the person is asked for the PIN or
    // password when the key's token needs one. Throws HelperError.
    virtual Bytes sign(const platform::KeychainIdentity& identity, ByteView message) const = 0;
};

}  // namespace tarvo
