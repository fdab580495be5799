#include "platform/store/NssSecretQuestion.hpp"

#include "platform/vocabulary/Messages.hpp"

#include <algorithm>
#include <cstring>
#include <string>

namespace tarvo::platform {

namespace {

// What SECKEY_HAS_ATTRIBUTE_SET asks, through the loaded library.
bool alwaysAuthenticate(const SECKEYPrivateKey* key) {
    if ((key->staticflags & SECKEY_Attributes_Cached) != 0) {
        return (key->staticflags & SECKEY_CKA_ALWAYS_AUTHENTICATE) != 0;
    }
    return nss().PK11_HasAttributeSet(key->pkcs11Slot, key->pkcs11ID, CKA_ALWAYS_AUTHENTICATE, PR_FALSE) == PR_TRUE;
}

}  // namespace

NssSecretQuestion::NssSecretQuestion(const SecretPrompt& ask) : ask_(ask) {
    nss().PK11_SetPasswordFunc(&NssSecretQuestion::answerFromNss);
}

NssSecretQuestion::~NssSecretQuestion() {
    // The login is this signing's alone: the token is locked again before the
    // store is closed, as the card is after its signature.
    if (unlocked()) {
        nss().PK11_Logout(slot_.get());
    }
    nss().PK11_SetPasswordFunc(nullptr);
}

char* NssSecretQuestion::answerFromNss(PK11SlotInfo* slot, PRBool retry, void* context) {
    // Called from inside a call into the store: the person's time at the
    // dialog, and our own code, are not the store's.
    const ForeignCallback ours;
    if (context == nullptr || slot == nullptr) {
        return nullptr;
    }
    auto& question = *static_cast<NssSecretQuestion*>(context);
    // A retry means the one secret was refused; asking again would be a second try.
    if (retry) {
        return nullptr;
    }
    if (!question.asked_) {
        return question.ask(slot);
    }
    if (question.confirmationDue_ && slot == question.slot_.get()) {
        question.confirmationDue_ = false;
        return question.handOver();
    }
    return nullptr;
}

char* NssSecretQuestion::ask(PK11SlotInfo* slot) noexcept {
    asked_ = true;
    slot_.reset(nss().PK11_ReferenceSlot(slot));
    PinReply reply;
    try {
        const char* name = nss().PK11_GetTokenName(slot);
        reply = ask_(name != nullptr ? std::string(name) : std::string());
    } catch (...) {
        reply = {PinOutcome::unavailable, {}};
    }
    outcome_ = reply.outcome;
    if (outcome_ != PinOutcome::entered) {
        return nullptr;
    }
    // NSS takes the secret as a C string, tries it as far as its first NUL and
    // wipes it only that far before freeing it; so it gets no byte beyond.
    const ByteView typed = reply.pin.view();
    const auto length = static_cast<std::size_t>(std::find(typed.begin(), typed.end(), 0) - typed.begin());
    secret_ = std::move(reply.pin);
    secret_.truncate(length);
    char* answer = handOver();
    if (answer == nullptr) {
        outcome_ = PinOutcome::unavailable;
    }
    return answer;
}

char* NssSecretQuestion::handOver() const noexcept {
    // NSS frees the answer with its own allocator, so it must come from there.
    auto* answer = static_cast<char*>(nss().PORT_Alloc(secret_.size() + 1));
    if (answer == nullptr) {
        return nullptr;
    }
    if (!secret_.empty()) {
        std::memcpy(answer, secret_.data(), secret_.size());
    }
    answer[secret_.size()] = '\0';
    return answer;
}

void NssSecretQuestion::expectKeyConfirmation(SECKEYPrivateKey* key) {
    if (unlocked() && key->pkcs11Slot == slot_.get() && alwaysAuthenticate(key)) {
        confirmationDue_ = true;
    }
}

bool NssSecretQuestion::unlocked() const {
    return outcome_ == PinOutcome::entered && slot_ && nss().PK11_IsLoggedIn(slot_.get(), nullptr) == PR_TRUE;
}

std::optional<const char*> NssSecretQuestion::failure() const {
    if (!asked_) {
        return std::nullopt;
    }
    switch (outcome_) {
        case PinOutcome::cancelled:
            return messages::pin::cancelled;
        case PinOutcome::unavailable:
            return messages::pin::noDialog;
        case PinOutcome::entered:
            break;
    }
    if (unlocked()) {
        return std::nullopt;
    }
    return messages::store::wrongSecret;
}

}  // namespace tarvo::platform
