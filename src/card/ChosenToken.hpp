#pragma once

#include "card/CardCertificates.hpp"
#include "card/CardFailure.hpp"
#include "card/CardSession.hpp"
#include "card/PKCS11.hpp"

#include <p11-kit/pkcs11.h>

#include <optional>

namespace tarvo {

// The token that holds the chosen certificate, found again on a later load of
// the module, with its flags as it gives them now (absent when it does not).
struct ChosenToken {
    CardSession session;
    std::optional<CK_FLAGS> flags;
};

// A session on the token that holds the chosen certificate, so that the PIN
// for that certificate never reaches another card: the token in the slot
// where the certificate was listed, when it is the same token (the same label
// and serial number, where the module gave them both times) and still holds the same
// certificate bytes under the same CKA_ID; else, when that slot holds another
// card, the token with the same serial number in another slot (a card moved
// to another reader, slot numbers that moved). Throws HelperError with the
// caller's text for an absent token (CardCall::openSession,
// FailureKind::tokenAbsent) when the slot no longer holds a usable token and
// the card is nowhere else, and with messages::card::challenge::noCertificate
// when the slot holds another card and the chosen one is nowhere else.
ChosenToken chosenToken(const PKCS11& pkcs11, const CardCertificate& chosen, FailureTexts texts);

}  // namespace tarvo
