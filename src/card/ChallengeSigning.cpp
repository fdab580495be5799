#include "card/ChallengeSigning.hpp"

#include "card/CardFailure.hpp"
#include "card/CardSession.hpp"
#include "card/CardSigner.hpp"
#include "card/ChosenToken.hpp"
#include "card/TokenSearch.hpp"
#include "certificate/Fingerprint.hpp"
#include "platform/crypto/Sha256.hpp"
#include "platform/vocabulary/HelperError.hpp"
#include "platform/vocabulary/Messages.hpp"

#include <array>
#include <optional>
#include <vector>

namespace tarvo {

namespace {

// What challenge signing answers when the card is gone or refuses a step.
// The person typed the PIN into a dialog, so any refused login reads the same.
constexpr std::array challengeFailures = {
    FailureText{CardCall::openSession, FailureKind::tokenAbsent, messages::card::challenge::noCard, false},
    FailureText{CardCall::login, FailureKind::other, messages::card::challenge::pinRefused, false},
    FailureText{CardCall::signInit, FailureKind::other, messages::card::challenge::signInitFailed, true},
    FailureText{CardCall::signatureLength, FailureKind::other, messages::card::challenge::signatureLengthFailed, true},
    FailureText{CardCall::sign, FailureKind::other, messages::card::challenge::signFailed, true},
};
static_assert(answers(challengeFailures, CardCall::openSession, FailureKind::tokenAbsent));
static_assert(answersEveryFailure(challengeFailures,
                                  {CardCall::login, CardCall::signInit, CardCall::signatureLength, CardCall::sign}));

// A signature whose digest cannot be taken could not be verified either:
// refused before the PIN is spent.
Bytes sha256DigestInfo(const Bytes& message) {
    const std::optional<platform::Sha256Digest> digest = platform::sha256(message);
    if (!digest) {
        throw HelperError(messages::card::challenge::notVerified);
    }
    Bytes digestInfo(sha256DigestInfoPrefix.begin(), sha256DigestInfoPrefix.end());
    digestInfo.insert(digestInfo.end(), digest->begin(), digest->end());
    return digestInfo;
}

}  // namespace

CardSignature signChallengeOnCard(const std::string& modulePath, const CardCertificate& chosen,
                                  const platform::PublicKey& publicKey, const Bytes& challenge, SecureBytes& pin) {
    const PinWipe wipe(pin);
    const Bytes digestInfo = sha256DigestInfo(challenge);
    Bytes signature = withPKCS11(modulePath, [&](const PKCS11& pkcs11) {
        const ChosenToken token = chosenToken(pkcs11, chosen, challengeFailures);
        const CardSession& session = token.session;
        // Read again right before the login: the card may have been used
        // while the person typed. A last try that the dialog did not warn
        // of is not spent; what the listing read stands in when the token
        // does not answer now.
        const std::optional<CK_FLAGS> flags = token.flags ? token.flags : chosen.tokenFlags;
        if (userPinLocked(flags)) {
            throw HelperError(messages::card::pinLocked);
        }
        if (userPinFinalTry(flags) && !userPinFinalTry(chosen.tokenFlags)) {
            throw HelperError(messages::card::finalTry);
        }
        // One attempt, whatever the card answers: the person typed the PIN
        // once and is not asked again.
        require(challengeFailures, CardCall::login, session.logIn(pin));
        const CardLogin login(session);
        const std::vector<CK_OBJECT_HANDLE> keys = objects(pkcs11, session.handle(), CKO_PRIVATE_KEY, chosen.id);
        if (keys.empty()) {
            throw HelperError(messages::card::challenge::noKey);
        }
        Bytes made = signOnCard(pkcs11, session.handle(), keys.front(), digestInfo, challengeFailures);
        if (!publicKey.verifyRSASHA256Message(challenge, made)) {
            throw HelperError(messages::card::challenge::notVerified);
        }
        return made;
    });
    return CardSignature{chosen.record, std::move(signature)};
}

CardSignature akisSign(const std::string& modulePath, const Bytes& challenge, const std::string& fingerprint,
                       const PinPrompt& prompt) {
    // Only the first match is kept while the card is read.
    std::optional<CardCertificate> chosen;
    akisCertificates(modulePath, [&](CardCertificate certificate) {
        if (!chosen && sameFingerprint(certificate.record.fingerprint, fingerprint)) {
            chosen = std::move(certificate);
        }
    });
    if (!chosen) {
        throw HelperError(messages::card::challenge::noCertificate);
    }
    // Everything that can be known without the card is checked before the
    // person is asked for a PIN.
    if (!chosen->id || chosen->id->empty()) {
        throw HelperError(messages::card::challenge::noKeyId);
    }
    const std::optional<platform::PublicKey> publicKey = chosen->record.certificate.publicKey();
    if (!publicKey || !publicKey->isRSA()) {
        throw HelperError(messages::card::challenge::notRSA);
    }
    // The token's PIN state as the listing read it: nobody types a PIN for a
    // locked card, and a person about to spend the last try is told so.
    if (userPinLocked(chosen->tokenFlags)) {
        throw HelperError(messages::card::pinLocked);
    }
    PinReply reply = prompt ? prompt(userPinFinalTry(chosen->tokenFlags)) : PinReply{};
    if (reply.outcome == PinOutcome::cancelled) {
        throw HelperError(messages::pin::cancelled);
    }
    if (reply.outcome != PinOutcome::entered) {
        throw HelperError(messages::pin::noDialog);
    }
    return signChallengeOnCard(modulePath, *chosen, *publicKey, challenge, reply.pin);
}

}  // namespace tarvo
