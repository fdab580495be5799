#pragma once

#include "card/PKCS11.hpp"
#include "platform/vocabulary/SecureBytes.hpp"

#include <p11-kit/pkcs11.h>

#include <optional>

namespace tarvo {

// A read-only session on one slot, closed exactly once when its last owner
// goes. Move-only.
class CardSession {
public:
    ~CardSession();
    CardSession(CardSession&& other) noexcept;
    CardSession& operator=(CardSession&&) = delete;
    CardSession(const CardSession&) = delete;
    CardSession& operator=(const CardSession&) = delete;

    // A session on the slot, or nothing when the module says the slot holds
    // no token it can use (CKR_TOKEN_NOT_PRESENT, CKR_TOKEN_NOT_RECOGNIZED):
    // such a slot is as good as empty. Any other refusal throws HelperError
    // messages::card::sessionFailed + code.
    static std::optional<CardSession> openIfTokenUsable(const PKCS11& pkcs11, CK_SLOT_ID slot);

    CK_SESSION_HANDLE handle() const { return handle_; }
    const PKCS11& pkcs11() const { return *pkcs11_; }

    // One C_Login as the user with exactly the PIN's bytes, read from the
    // caller's own buffer so that the bytes the module saw are the ones the
    // caller wipes. Judging the answer is the caller's business.
    CK_RV logIn(SecureBytes& pin) const;

private:
    CardSession(const PKCS11& pkcs11, CK_SESSION_HANDLE opened);

    const PKCS11* pkcs11_;
    CK_SESSION_HANDLE handle_;
    bool open_;
};

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

// What the token's flags say about its user PIN. Absent flags (the module
// could not tell) say nothing.
inline bool userPinLocked(const std::optional<CK_FLAGS>& flags) {
    return flags && (*flags & CKF_USER_PIN_LOCKED) != 0;
}
inline bool userPinFinalTry(const std::optional<CK_FLAGS>& flags) {
    return flags && (*flags & CKF_USER_PIN_FINAL_TRY) != 0;
}

}  // namespace tarvo
