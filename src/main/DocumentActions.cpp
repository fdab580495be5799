#include "main/Actions.hpp"

#include "platform/vocabulary/Base64.hpp"
#include "platform/vocabulary/HelperError.hpp"
#include "platform/vocabulary/Messages.hpp"

namespace tarvo {

JsonObject documentCertificateAnswer(const Request& request, const Providers& providers) {
    const auto chosen = providers.documentCertificate(request.fingerprint);
    return {
        {"certificate", base64Encode(chosen.record.der)},
        {"identityFingerprint", chosen.record.fingerprint},
    };
}

JsonObject documentSignatureAnswer(const Request& request, const Providers& providers) {
    std::optional<Bytes> digestInfo;
    if (request.digestInfo) {
        digestInfo = base64Decode(*request.digestInfo);
    }
    if (!digestInfo) {
        throw HelperError(messages::request::unreadableDigestInfo);
    }
    // The length and form of the DigestInfo, and an empty PIN, are judged by
    // the card signing itself, which knows what the card accepts.
    SecureBytes pin = request.pin ? request.pin->copy() : SecureBytes();
    const auto card = providers.signDigest(*digestInfo, std::move(pin), request.fingerprint);
    return {
        {"certificate", base64Encode(card.record.der)},
        {"signature", base64Encode(card.signature)},
    };
}

}  // namespace tarvo
