#include "card/CardSession.hpp"

#include "card/CardFailure.hpp"

#include <utility>

namespace tarvo {

CardSession::CardSession(const PKCS11& pkcs11, CK_SESSION_HANDLE opened)
    : pkcs11_(&pkcs11), handle_(opened), open_(true) {}

std::optional<CardSession> CardSession::openIfTokenUsable(const PKCS11& pkcs11, CK_SLOT_ID slot) {
    CK_SESSION_HANDLE handle = 0;
    // CKF_RW_SESSION stays off: nothing on the card is ever changed.
    const CK_RV rv = pkcs11.C_OpenSession(slot, CKF_SERIAL_SESSION, nullptr, nullptr, &handle);
    const FailureKind kind = failureKind(CardCall::openSession, rv);
    if (kind == FailureKind::tokenAbsent) {
        return std::nullopt;
    }
    if (kind != FailureKind::none) {
        fail(moduleFailureTexts, {CardCall::openSession, kind, rv});
    }
    return CardSession(pkcs11, handle);
}

CardSession::CardSession(CardSession&& other) noexcept
    : pkcs11_(other.pkcs11_), handle_(other.handle_), open_(std::exchange(other.open_, false)) {}

CardSession::~CardSession() {
    if (open_) {
        pkcs11_->C_CloseSession(handle_);
    }
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
