#include "card/ChosenToken.hpp"

#include "card/TokenSearch.hpp"
#include "platform/vocabulary/HelperError.hpp"
#include "platform/vocabulary/Messages.hpp"

#include <algorithm>
#include <utility>
#include <vector>

namespace tarvo {

namespace {

// Whether the session's token holds the chosen certificate: the same bytes
// under the same CKA_ID (any certificate object, when the listing read none).
bool holdsCertificate(const PKCS11& pkcs11, const CardSession& session, const CardCertificate& chosen) {
    for (const CK_OBJECT_HANDLE object : objects(pkcs11, session.handle(), CKO_CERTIFICATE, chosen.id)) {
        if (attributeValue(pkcs11, session.handle(), object, CKA_VALUE) == chosen.record.der) {
            return true;
        }
    }
    return false;
}

enum class Finding { notThere, anotherCard, found };

// Looks at one slot's token; the session and flags of the chosen one when it is that.
Finding look(const PKCS11& pkcs11, CK_SLOT_ID slot, const CardCertificate& chosen, std::optional<ChosenToken>& found) {
    std::optional<CardSession> session = CardSession::openIfTokenUsable(pkcs11, slot);
    if (!session) {
        return Finding::notThere;
    }
    const std::optional<TokenInfo> info = tokenInfo(pkcs11, slot);
    // Compared where the module named the token both times; the certificate decides in any case.
    if (chosen.token && info && info->identity != *chosen.token) {
        return Finding::anotherCard;
    }
    if (!holdsCertificate(pkcs11, *session, chosen)) {
        return Finding::anotherCard;
    }
    found.emplace(ChosenToken{std::move(*session), info ? std::optional<CK_FLAGS>(info->flags) : std::nullopt});
    return Finding::found;
}

}  // namespace

ChosenToken chosenToken(const PKCS11& pkcs11, const CardCertificate& chosen, FailureTexts texts) {
    // The slot list tells whether the card is still in its reader; a session
    // is not even tried on a slot the module no longer counts.
    const std::vector<CK_SLOT_ID> slots = slotsWithToken(pkcs11);
    std::optional<ChosenToken> found;
    Finding remembered = Finding::notThere;
    if (std::find(slots.begin(), slots.end(), chosen.slot) != slots.end()) {
        remembered = look(pkcs11, chosen.slot, chosen, found);
    }
    // Elsewhere only by its serial number: without one, any card could be taken for it.
    if (!found && chosen.token && chosen.token->hasSerialNumber()) {
        for (const CK_SLOT_ID slot : slots) {
            if (slot != chosen.slot && look(pkcs11, slot, chosen, found) == Finding::found) {
                break;
            }
        }
    }
    if (found) {
        return std::move(*found);
    }
    if (remembered == Finding::anotherCard) {
        throw HelperError(messages::card::challenge::noCertificate);
    }
    // A slot the module no longer lists holds no token as much as one it
    // says so of.
    fail(texts, {CardCall::openSession, FailureKind::tokenAbsent, CKR_TOKEN_NOT_PRESENT});
}

}  // namespace tarvo
