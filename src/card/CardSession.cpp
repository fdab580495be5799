#include "card/CardSession.hpp"

#include "platform/Messages.hpp"

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

CardSession chosenTokenSession(const PKCS11& pkcs11, CK_SLOT_ID slot, const char* noTokenMessage) {
    // The slot list tells whether the card is still in its reader; a session
    // is not even tried on a slot the module no longer counts.
    const std::vector<CK_SLOT_ID> slots = pkcs11.slotsWithToken();
    if (std::find(slots.begin(), slots.end(), slot) == slots.end()) {
        throw HelperError(noTokenMessage);
    }
    std::optional<CardSession> session = CardSession::openIfTokenUsable(pkcs11, slot);
    if (!session) {
        throw HelperError(noTokenMessage);
    }
    return std::move(*session);
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
