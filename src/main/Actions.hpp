#pragma once

#include "card/CardCertificates.hpp"
#include "card/CardSigning.hpp"
#include "certificate/CertificateRecord.hpp"
#include "main/Json.hpp"
#include "main/KeychainRecords.hpp"
#include "main/Request.hpp"
#include "platform/store/Keychain.hpp"
#include "platform/vocabulary/Messages.hpp"
#include "platform/vocabulary/SecureBytes.hpp"

#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace tarvo {

// Where the actions get certificates and signatures from. The program uses
// systemProviders(); tests put their own in place of the store and the card.
struct Providers {
    // Each valid store identity as a record, in the store's order, handed over
    // one by one so that a listing holds only what it shows.
    std::function<void(const std::function<void(CertificateRecord)>&)> keychainRecords;
    // The first valid store identity with that fingerprint (letter case aside).
    std::function<std::optional<KeychainRecord>(const std::string& fingerprint)> keychainRecord;
    // Each valid card certificate, handed over one by one; throws HelperError
    // when the enumeration fails, after which what was handed over counts for nothing.
    std::function<void(const std::function<void(CardCertificate)>&)> cardCertificates;
    std::function<CardCertificate(const std::optional<std::string>& fingerprint)> documentCertificate;
    std::function<CardSignature(const Bytes& digestInfo, SecureBytes pin,
                                const std::optional<std::string>& fingerprint)> signDigest;
    std::function<CardSignature(const Bytes& challenge, const std::string& fingerprint)> signChallenge;
    // The dialog for a PIN or password that the store needs while signing.
    platform::SecretPrompt storeSecret;
};

// The store and the card behind the module at the path.
Providers systemProviders(const std::string& modulePath);

inline const std::string keychainProviderLabel = messages::provider::store;
inline const std::string cardProviderLabel = messages::provider::card;

// Each builds its answer or throws HelperError with the text of the error document.
JsonObject listAnswer(const Providers& providers);
JsonObject signAnswer(const Request& request, const Providers& providers);
JsonObject documentCertificateAnswer(const Request& request, const Providers& providers);
JsonObject documentSignatureAnswer(const Request& request, const Providers& providers);

// Chooses the action by its exact name. The store is opened only for actions
// that may need it, and it is closed again before the answer goes out.
JsonObject dispatch(const Request& request, const Providers& providers);

}  // namespace tarvo
