#include "main/DocumentActions.hpp"

#include "platform/vocabulary/Base64.hpp"
#include "platform/vocabulary/HelperError.hpp"
#include "platform/vocabulary/Messages.hpp"

namespace tarvo {

JsonObject documentCertificateAnswer(const Request& request, const CardProvider& card) {
    const auto chosen = card.udfCertificate(request.fingerprint);
    return {
        {"certificate", base64Encode(chosen.record.der)},
        {"identityFingerprint", chosen.record.fingerprint},
    };
}

JsonObject documentSignatureAnswer(const Request& request, const CardProvider& card) {
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
    const CardSignature onCard = card.udfSign(*digestInfo, std::move(pin), request.fingerprint);
    return {
        {"certificate", base64Encode(onCard.record.der)},
        {"signature", base64Encode(onCard.signature)},
    };
}

}  // namespace tarvo
