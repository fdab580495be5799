#include "platform/NssSecretQuestion.hpp"

#include "Messages.hpp"

#include <keyhi.h>
#include <secport.h>

#include <algorithm>
#include <cstring>
#include <string>

namespace tarvo::platform {

NssSecretQuestion::NssSecretQuestion(const SecretPrompt& ask) : ask_(ask) {
    PK11_SetPasswordFunc(&NssSecretQuestion::answerFromNss);
}

NssSecretQuestion::~NssSecretQuestion() {
    // The login is this signing's alone: the token is locked again before the
    // store is closed, as the card is after its signature.
    if (unlocked()) {
        PK11_Logout(slot_.get());
    }
    PK11_SetPasswordFunc(nullptr);
}

char* NssSecretQuestion::answerFromNss(PK11SlotInfo* slot, PRBool retry, void* context) {
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
    slot_.reset(PK11_ReferenceSlot(slot));
    PinReply reply;
    try {
        const char* name = PK11_GetTokenName(slot);
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
    auto* answer = static_cast<char*>(PORT_Alloc(secret_.size() + 1));
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
    if (unlocked() && key->pkcs11Slot == slot_.get() && (SECKEY_HAS_ATTRIBUTE_SET(key, CKA_ALWAYS_AUTHENTICATE))) {
        confirmationDue_ = true;
    }
}

bool NssSecretQuestion::unlocked() const {
    return outcome_ == PinOutcome::entered && slot_ && PK11_IsLoggedIn(slot_.get(), nullptr) == PR_TRUE;
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
