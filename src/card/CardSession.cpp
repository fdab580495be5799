#include "card/CardSession.hpp"

#include "platform/vocabulary/Messages.hpp"

#include <algorithm>
#include <utility>

namespace tarvo {

CardSession::CardSession(const PKCS11& pkcs11, CK_SLOT_ID slot, CK_SESSION_HANDLE opened)
    : pkcs11_(&pkcs11), slot_(slot), handle_(opened), open_(true) {}

std::optional<CardSession> CardSession::openIfTokenUsable(const PKCS11& pkcs11, CK_SLOT_ID slot) {
    CK_SESSION_HANDLE handle = 0;
    // CKF_RW_SESSION stays off: nothing on the card is ever changed.
    const CK_RV rv = pkcs11.C_OpenSession(slot, CKF_SERIAL_SESSION, nullptr, nullptr, &handle);
    if (rv == CKR_TOKEN_NOT_PRESENT || rv == CKR_TOKEN_NOT_RECOGNIZED) {
        return std::nullopt;
    }
    if (rv != CKR_OK) {
        throw HelperError(messages::card::sessionFailed + hexCode(rv));
    }
    return CardSession(pkcs11, slot, handle);
}

CardSession::CardSession(CardSession&& other) noexcept
    : pkcs11_(other.pkcs11_), slot_(other.slot_), handle_(other.handle_), open_(std::exchange(other.open_, false)) {}

CardSession::~CardSession() {
    if (open_) {
        pkcs11_->C_CloseSession(handle_);
    }
}

namespace {

// Whether the session's token holds the chosen certificate: the same bytes
// under the same CKA_ID (any certificate object, when the listing read none).
bool holdsCertificate(const PKCS11& pkcs11, const CardSession& session, const CardCertificate& chosen) {
    for (const CK_OBJECT_HANDLE object : pkcs11.objects(session.handle(), CKO_CERTIFICATE, chosen.id)) {
        if (pkcs11.attributeValue(session.handle(), object, CKA_VALUE) == chosen.record.der) {
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
    const std::optional<TokenInfo> info = pkcs11.tokenInfo(slot);
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

ChosenToken chosenToken(const PKCS11& pkcs11, const CardCertificate& chosen, const char* noTokenMessage) {
    // The slot list tells whether the card is still in its reader; a session
    // is not even tried on a slot the module no longer counts.
    const std::vector<CK_SLOT_ID> slots = pkcs11.slotsWithToken();
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
    throw HelperError(remembered == Finding::anotherCard ? messages::card::challenge::noCertificate : noTokenMessage);
}

CK_RV CardSession::logIn(SecureBytes& pin) const {
    // No terminating NUL, no padding, no conversion: the module gets the bytes as typed.
    // An empty PIN still needs a real address: a null one asks the module to
    // take the PIN from the reader's own PIN pad instead.
    CK_UTF8CHAR noBytes[1] = {0};
    CK_UTF8CHAR* bytes = pin.empty() ? noBytes : pin.data();
    return pkcs11_->C_Login(handle_, CKU_USER, bytes, pin.size());
}

CardLogin::~CardLogin() { session_.pkcs11().C_Logout(session_.handle()); }

}  // namespace tarvo
