#pragma once

#include <p11-kit/pkcs11.h>

#include <initializer_list>
#include <span>
#include <string>

namespace tarvo {

// The calls into the module whose return codes the card code judges. The
// length query and the signing itself are both C_Sign, yet fail differently
// in the person's eyes, so they are two calls here.
enum class CardCall {
    getFunctionList,
    initialize,
    slotList,
    openSession,
    findObjectsInit,
    findObjects,
    attributeValue,
    tokenInfo,
    login,
    signInit,
    signatureLength,
    sign,
};

// What a return code means for the call that gave it. Only what some flow
// answers differently is told apart; everything else is `other`, and the
// code itself stays with the failure.
enum class FailureKind {
    none,         // the call did what was asked, also when it had been done before
    tokenAbsent,  // the slot holds no token the module can use: as good as empty
    wrongPin,
    pinLocked,
    other,
};

// The one place where a PKCS#11 return code is judged.
FailureKind failureKind(CardCall call, CK_RV code);

inline bool succeeded(CardCall call, CK_RV code) { return failureKind(call, code) == FailureKind::none; }

// "0x%lx" of a return code, as every text that carries one shows it.
std::string hexCode(CK_RV code);

// A call that did not do what was asked, and the module's own code for it.
struct CardFailure {
    CardCall call;
    FailureKind kind;
    CK_RV code;
};

// What a flow answers for one kind of failure of one call: a fixed text,
// followed by the code when the person may need it to get help.
struct FailureText {
    CardCall call;
    FailureKind kind;
    const char* text;
    bool followedByCode;
};

using FailureTexts = std::span<const FailureText>;

// The texts for the module's own calls (loading it, finding slots, sessions
// and objects): every flow answers these the same way, and listing the card
// answers nothing else.
extern const FailureTexts moduleFailureTexts;

// Throws HelperError with the flow's text for the failure: the row for its
// call and kind, else the row for its call and `other`, else the module's
// text for the call.
[[noreturn]] void fail(FailureTexts texts, const CardFailure& failure);

// Returns when the call succeeded, else fails as above.
void require(FailureTexts texts, CardCall call, CK_RV code);

// Whether the table has a row of its own for that kind of failure of the call.
constexpr bool answers(FailureTexts texts, CardCall call, FailureKind kind) {
    for (const FailureText& row : texts) {
        if (row.call == call && row.kind == kind) {
            return true;
        }
    }
    return false;
}

// Whether the table answers `other` for each of the calls, so that no failure
// of those calls can be left without a text.
constexpr bool answersEveryFailure(FailureTexts texts, std::initializer_list<CardCall> calls) {
    for (const CardCall call : calls) {
        if (!answers(texts, call, FailureKind::other)) {
            return false;
        }
    }
    return true;
}

}  // namespace tarvo
