#include "card/DigestSigning.hpp"

#include "card/CardFailure.hpp"
#include "card/CardSession.hpp"
#include "card/CardSigner.hpp"
#include "card/ChosenToken.hpp"
#include "card/TokenSearch.hpp"
#include "platform/vocabulary/HelperError.hpp"
#include "platform/vocabulary/Messages.hpp"

#include <algorithm>
#include <array>
#include <vector>

namespace tarvo {

namespace {

constexpr std::size_t sha256Length = 32;

// What document signing answers when the card is gone or refuses a step.
// The robot's owner reads these in its log, so a wrong or locked PIN is told
// apart, and the rest carry the module's code.
constexpr std::array documentFailures = {
    FailureText{CardCall::openSession, FailureKind::tokenAbsent, messages::card::document::noToken, false},
    FailureText{CardCall::login, FailureKind::wrongPin, messages::card::document::wrongPin, false},
    FailureText{CardCall::login, FailureKind::pinLocked, messages::card::document::pinBlocked, false},
    FailureText{CardCall::login, FailureKind::other, messages::card::document::loginFailed, true},
    FailureText{CardCall::signInit, FailureKind::other, messages::card::document::signInitFailed, true},
    FailureText{CardCall::signatureLength, FailureKind::other, messages::card::document::signatureLengthFailed, true},
    FailureText{CardCall::sign, FailureKind::other, messages::card::document::signFailed, true},
};
static_assert(answers(documentFailures, CardCall::openSession, FailureKind::tokenAbsent));
static_assert(answersEveryFailure(documentFailures,
                                  {CardCall::login, CardCall::signInit, CardCall::signatureLength, CardCall::sign}));

// 51 bytes: the SHA-256 DigestInfo header followed by a 32-byte digest.
bool isSha256DigestInfo(ByteView bytes) {
    return bytes.size() == sha256DigestInfoPrefix.size() + sha256Length &&
           std::equal(sha256DigestInfoPrefix.begin(), sha256DigestInfoPrefix.end(), bytes.begin());
}

CK_OBJECT_HANDLE documentKey(const PKCS11& pkcs11, CK_SESSION_HANDLE session, const std::optional<Bytes>& id) {
    if (id) {
        const std::vector<CK_OBJECT_HANDLE> byId = objects(pkcs11, session, CKO_PRIVATE_KEY, id);
        if (!byId.empty()) {
            return byId.front();
        }
    }
    // Without a key of the certificate's CKA_ID the token's first private key
    // is tried; the verification afterwards decides whether it was the right one.
    const std::vector<CK_OBJECT_HANDLE> any = objects(pkcs11, session, CKO_PRIVATE_KEY, std::nullopt);
    if (any.empty()) {
        throw HelperError(messages::card::document::noKey);
    }
    return any.front();
}

}  // namespace

CardSignature signDigestOnCard(const std::string& modulePath, const CardCertificate& chosen,
                               const platform::PublicKey& publicKey, const Bytes& digestInfo, SecureBytes& pin) {
    const PinWipe wipe(pin);
    Bytes signature = withPKCS11(modulePath, [&](const PKCS11& pkcs11) {
        const ChosenToken token = chosenToken(pkcs11, chosen, documentFailures);
        const CardSession& session = token.session;
        // Asked right before the login, as the robot may have tried a wrong
        // PIN since the listing; what the listing read stands in when the
        // token does not answer now. The robot's PIN comes from its settings
        // and would be just as wrong the next time, so a last try is not spent.
        const std::optional<CK_FLAGS> flags = token.flags ? token.flags : chosen.tokenFlags;
        if (userPinLocked(flags)) {
            throw HelperError(messages::card::pinLocked);
        }
        if (userPinFinalTry(flags)) {
            throw HelperError(messages::card::finalTry);
        }
        // Tried exactly once: a second wrong PIN brings the card closer to locking.
        require(documentFailures, CardCall::login, session.logIn(pin));
        const CardLogin login(session);
        const CK_OBJECT_HANDLE key = documentKey(pkcs11, session.handle(), chosen.id);
        Bytes made = signOnCard(pkcs11, session.handle(), key, digestInfo, documentFailures);
        const ByteView digest = ByteView(digestInfo).last(sha256Length);
        if (!publicKey.verifyRSASHA256Digest(digest, made)) {
            throw HelperError(messages::card::document::notVerified);
        }
        return made;
    });
    return CardSignature{chosen.record, std::move(signature)};
}

CardSignature udfSign(const std::string& modulePath, const Bytes& digestInfo, SecureBytes pin,
                      const std::optional<std::string>& fingerprint) {
    // Both inputs are checked before the card is touched at all.
    if (!isSha256DigestInfo(digestInfo)) {
        throw HelperError(messages::card::document::notDigestInfo);
    }
    if (pin.empty()) {
        throw HelperError(messages::card::document::emptyPin);
    }
    const CardCertificate chosen = udfCertificate(modulePath, fingerprint);
    const std::optional<platform::PublicKey> publicKey = chosen.record.certificate.publicKey();
    if (!publicKey) {
        throw HelperError(messages::card::document::noPublicKey);
    }
    return signDigestOnCard(modulePath, chosen, *publicKey, digestInfo, pin);
}

}  // namespace tarvo
