#include "main/SignAction.hpp"

#include "certificate/CertificateJSON.hpp"
#include "platform/vocabulary/Base64.hpp"
#include "platform/vocabulary/HelperError.hpp"
#include "platform/vocabulary/Messages.hpp"

namespace tarvo {

namespace {

constexpr std::size_t longestChallenge = 4096;

Bytes challengeOf(const Request& request) {
    std::optional<Bytes> challenge;
    if (request.challenge) {
        challenge = base64Decode(*request.challenge);
    }
    if (!challenge || challenge->empty() || challenge->size() > longestChallenge) {
        throw HelperError(messages::request::invalidChallenge);
    }
    return std::move(*challenge);
}

// The agent reads "provider" here as the signer's issuer itself, so unlike a
// listing entry it never falls back to a provider label, and there is no
// "providerName".
JsonObject answer(const CertificateRecord& record, const Bytes& signature) {
    JsonObject object = objectOf(certificateJSON(record, std::nullopt));
    object.emplace("signature", base64Encode(signature));
    return object;
}

}  // namespace

JsonObject signAnswer(const Request& request, const KeychainProvider& keychain, const CardProvider& card) {
    const Bytes challenge = challengeOf(request);
    if (!request.fingerprint || request.fingerprint->empty()) {
        throw HelperError(messages::request::noFingerprint);
    }
    // The store's own key wins, and its outcome is final: trying the card after
    // a store failure would ask for a PIN for a certificate the person already
    // chose to use through the store (and may already have been asked for).
    if (const auto found = keychain.keychainRecord(*request.fingerprint)) {
        return answer(found->record, keychain.sign(found->identity, challenge));
    }
    const CardSignature onCard = card.akisSign(challenge, *request.fingerprint);
    return answer(onCard.record, onCard.signature);
}

}  // namespace tarvo
