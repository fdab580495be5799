#pragma once

#include "platform/store/SecretPrompt.hpp"
#include "platform/vocabulary/Bytes.hpp"

#include <memory>
#include <string>
#include <vector>

namespace tarvo::platform {

class KeychainSession;

// One identity of the user's certificate store: a certificate whose private key
// the store holds. Keeps its own reference on the certificate and on the open
// store, so the store is closed only after the last identity is gone.
class KeychainIdentity {
public:
    ~KeychainIdentity();
    KeychainIdentity(const KeychainIdentity&);
    KeychainIdentity& operator=(const KeychainIdentity&);
    KeychainIdentity(KeychainIdentity&&) noexcept;
    KeychainIdentity& operator=(KeychainIdentity&&) noexcept;

    // The certificate's DER bytes exactly as the store holds them.
    Bytes certificateDER() const;

    // Signs the message with the identity's private key: RSA PKCS#1 v1.5 with
    // SHA-256 for RSA keys, else ECDSA with SHA-256 (X9.62 DER) for EC keys.
    // When the key's token is locked, `ask` is called at most once and what it
    // gives is tried once; a token this signing unlocked is locked again before
    // returning. Throws HelperError with the fixed messages, or the store's own
    // error text.
    Bytes sign(ByteView message, const SecretPrompt& ask) const;

    struct State;
    explicit KeychainIdentity(std::shared_ptr<State> state);

private:
    std::shared_ptr<State> state_;
};

// The user's certificate store. Opening never fails loudly: a store that is
// missing or cannot be opened simply has no identities.
class Keychain {
public:
    static Keychain open();
    std::vector<KeychainIdentity> identities() const;

private:
    explicit Keychain(std::shared_ptr<KeychainSession> session);
    std::shared_ptr<KeychainSession> session_;
};

}  // namespace tarvo::platform
