#pragma once

#include "platform/store/SecretPrompt.hpp"
#include "platform/vocabulary/PinReply.hpp"

#include "platform/store/NssLibrary.hpp"

#include <memory>
#include <optional>

namespace tarvo::platform {

// The one question that a signing with a store key may put to the person: NSS
// asks for a token's PIN (or the database password) through its process-wide
// password callback, which this object installs for its own lifetime and
// answers through the prompt — once. NSS retries a refused secret by asking
// again; every further call gets no answer, so a wrong secret is tried exactly
// once. NSS finds this object through the window context (wincx) it is given,
// so any NSS call made without it (the listing passes none) gets no answer and
// shows no dialog. The secret is kept, for the one confirmation below, until
// this object is gone, and wiped then.
class NssSecretQuestion {
public:
    explicit NssSecretQuestion(const SecretPrompt& ask);
    // Logs out of the token that the answer logged into, then uninstalls the callback.
    ~NssSecretQuestion();
    NssSecretQuestion(const NssSecretQuestion&) = delete;
    NssSecretQuestion& operator=(const NssSecretQuestion&) = delete;

    // What to give NSS as wincx.
    void* context() { return this; }

    // A key that must be confirmed at each use (CKA_ALWAYS_AUTHENTICATE) makes
    // NSS ask for its token's PIN once more, inside the signature. When the
    // secret that was entered has just unlocked that key's token, it is the one
    // the person gave for this signature and answers that question too, without
    // a second dialog; having been accepted, it is no second try of a wrong one.
    void expectKeyConfirmation(SECKEYPrivateKey* key);

    // The message that explains a failed signing when the question does: the
    // person cancelled, no dialog could be shown, or the token refused the
    // secret. Nothing when no question was put or the secret was accepted.
    std::optional<const char*> failure() const;

private:
    struct SlotRelease {
        void operator()(PK11SlotInfo* slot) const { nss().PK11_FreeSlot(slot); }
    };

    static char* answerFromNss(PK11SlotInfo* slot, PRBool retry, void* context);
    char* ask(PK11SlotInfo* slot) noexcept;
    // A copy of the secret in NSS's allocator, which NSS wipes and frees; null when out of memory.
    char* handOver() const noexcept;
    bool unlocked() const;

    const SecretPrompt& ask_;
    bool asked_ = false;
    bool confirmationDue_ = false;
    PinOutcome outcome_ = PinOutcome::unavailable;
    SecureBytes secret_;
    std::unique_ptr<PK11SlotInfo, SlotRelease> slot_;  // the token the question was for
};

}  // namespace tarvo::platform
