#include "card/CardSession.hpp"

#include "platform/Messages.hpp"

namespace tarvo {

CardSession::CardSession(const PKCS11& pkcs11, CK_SLOT_ID slot) : pkcs11_(pkcs11) {
    // CKF_RW_SESSION stays off: nothing on the card is ever changed.
    const CK_RV rv = pkcs11_.C_OpenSession(slot, CKF_SERIAL_SESSION, nullptr, nullptr, &handle_);
    if (rv != CKR_OK) {
        throw HelperError(messages::card::sessionFailed + hexCode(rv));
    }
}

CardSession firstTokenSession(const PKCS11& pkcs11, const char* noTokenMessage) {
    const std::vector<CK_SLOT_ID> slots = pkcs11.slotsWithToken();
    if (slots.empty()) {
        throw HelperError(noTokenMessage);
    }
    return CardSession(pkcs11, slots.front());
}

CardSession::~CardSession() { pkcs11_.C_CloseSession(handle_); }

CK_RV CardSession::logIn(SecureBytes& pin) const {
    // No terminating NUL, no padding, no conversion: the module gets the bytes as typed.
    // An empty PIN still needs a real address: a null one asks the module to
    // take the PIN from the reader's own PIN pad instead.
    CK_UTF8CHAR noBytes[1] = {0};
    CK_UTF8CHAR* bytes = pin.empty() ? noBytes : pin.data();
    return pkcs11_.C_Login(handle_, CKU_USER, bytes, pin.size());
}

CardLogin::~CardLogin() { session_.pkcs11().C_Logout(session_.handle()); }

}  // namespace tarvo
