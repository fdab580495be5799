#include "card/CardFailure.hpp"

#include "platform/vocabulary/HelperError.hpp"
#include "platform/vocabulary/Messages.hpp"

#include <array>
#include <cstdio>

namespace tarvo {

namespace {

constexpr std::array moduleTexts = {
    FailureText{CardCall::initialize, FailureKind::other, messages::card::initializeFailed, true},
    FailureText{CardCall::slotList, FailureKind::other, messages::card::slotListFailed, true},
    FailureText{CardCall::openSession, FailureKind::other, messages::card::sessionFailed, true},
    FailureText{CardCall::findObjectsInit, FailureKind::other, messages::card::objectSearchFailed, true},
    FailureText{CardCall::findObjects, FailureKind::other, messages::card::objectReadFailed, true},
};
static_assert(answersEveryFailure(moduleTexts, {CardCall::initialize, CardCall::slotList, CardCall::openSession,
                                                CardCall::findObjectsInit, CardCall::findObjects}));

const FailureText* rowFor(FailureTexts texts, CardCall call, FailureKind kind) {
    for (const FailureText& row : texts) {
        if (row.call == call && row.kind == kind) {
            return &row;
        }
    }
    return nullptr;
}

}  // namespace

const FailureTexts moduleFailureTexts = moduleTexts;

FailureKind failureKind(CardCall call, CK_RV code) {
    if (code == CKR_OK) {
        return FailureKind::none;
    }
    switch (call) {
        case CardCall::initialize:
            // Another part of the process initialised the module first; it is just as usable.
            return code == CKR_CRYPTOKI_ALREADY_INITIALIZED ? FailureKind::none : FailureKind::other;
        case CardCall::openSession:
            return code == CKR_TOKEN_NOT_PRESENT || code == CKR_TOKEN_NOT_RECOGNIZED ? FailureKind::tokenAbsent
                                                                                   : FailureKind::other;
        case CardCall::login:
            switch (code) {
                case CKR_USER_ALREADY_LOGGED_IN:
                    return FailureKind::none;
                case CKR_PIN_INCORRECT:
                    return FailureKind::wrongPin;
                case CKR_PIN_LOCKED:
                    return FailureKind::pinLocked;
                default:
                    return FailureKind::other;
            }
        default:
            return FailureKind::other;
    }
}

std::string hexCode(CK_RV code) {
    char text[2 + 2 * sizeof(CK_RV) + 1];
    std::snprintf(text, sizeof text, "0x%lx", code);
    return text;
}

void fail(FailureTexts texts, const CardFailure& failure) {
    const FailureText* row = rowFor(texts, failure.call, failure.kind);
    if (row == nullptr) {
        row = rowFor(texts, failure.call, FailureKind::other);
    }
    if (row == nullptr) {
        row = rowFor(moduleFailureTexts, failure.call, FailureKind::other);
    }
    // Every table is checked at compile time to answer `other` for the calls
    // it is used for, so every failure has found its row by now.
    const std::string text = row != nullptr ? row->text : "";
    throw HelperError(row != nullptr && row->followedByCode ? text + hexCode(failure.code) : text);
}

void require(FailureTexts texts, CardCall call, CK_RV code) {
    const FailureKind kind = failureKind(call, code);
    if (kind != FailureKind::none) {
        fail(texts, {call, kind, code});
    }
}

}  // namespace tarvo
