#pragma once

#include "card/CardFailure.hpp"
#include "card/PKCS11.hpp"
#include "platform/vocabulary/Bytes.hpp"

#include <p11-kit/pkcs11.h>

namespace tarvo {

// Signs the bytes as they are with CKM_RSA_PKCS (the card only pads them):
// C_SignInit, C_Sign for the length, C_Sign for the signature. A failing step
// is answered from the flow's texts (CardCall::signInit, signatureLength,
// sign), since the two kinds of card signing word them differently. The
// signature is not verified here.
Bytes signOnCard(const PKCS11& pkcs11, CK_SESSION_HANDLE session, CK_OBJECT_HANDLE key, ByteView data,
                 FailureTexts texts);

}  // namespace tarvo
