#pragma once

#include "card/PKCS11.hpp"
#include "platform/Messages.hpp"
#include "platform/SecureBytes.hpp"

namespace tarvo {

// A read-only session on one slot, closed exactly once when it goes.
class CardSession {
public:
    // Throws HelperError messages::card::sessionFailed + code.
    CardSession(const PKCS11& pkcs11, CK_SLOT_ID slot);
    ~CardSession();
    CardSession(const CardSession&) = delete;
    CardSession& operator=(const CardSession&) = delete;

    CK_SESSION_HANDLE handle() const { return handle_; }
    const PKCS11& pkcs11() const { return pkcs11_; }

    // One C_Login as the user with exactly the PIN's bytes, read from the
    // caller's own buffer so that the bytes the module saw are the ones the
    // caller wipes. Judging the answer is the caller's business.
    CK_RV logIn(SecureBytes& pin) const;

private:
    const PKCS11& pkcs11_;
    CK_SESSION_HANDLE handle_ = 0;
};

// A session on the first slot that holds a token: signing always uses that
// token, whichever token listed the certificate. Throws HelperError with the
// caller's message when no slot holds one.
CardSession firstTokenSession(const PKCS11& pkcs11, const char* noTokenMessage);

// Stands for a successful login and logs out when it goes. Made only after
// C_Login succeeded, so a failed login is never followed by C_Logout.
class CardLogin {
public:
    explicit CardLogin(const CardSession& session) : session_(session) {}
    ~CardLogin();
    CardLogin(const CardLogin&) = delete;
    CardLogin& operator=(const CardLogin&) = delete;

private:
    const CardSession& session_;
};

// Wipes a PIN when it goes. Made before a card operation starts, so that the
// wipe comes after the module has been unloaded, on every path.
class PinWipe {
public:
    explicit PinWipe(SecureBytes& pin) : pin_(pin) {}
    ~PinWipe() { pin_.wipe(); }
    PinWipe(const PinWipe&) = delete;
    PinWipe& operator=(const PinWipe&) = delete;

private:
    SecureBytes& pin_;
};

}  // namespace tarvo
