#pragma once

#include "card/PKCS11.hpp"

#include <string>

namespace tarvo {

// The prefixes of the three signing steps' failure messages; the two kinds
// of card signing word them differently.
struct SigningMessages {
    std::string signInit;
    std::string signatureLength;
    std::string sign;
};

// Signs the bytes as they are with CKM_RSA_PKCS (the card only pads them):
// C_SignInit, C_Sign for the length, C_Sign for the signature. The signature
// is not verified here.
Bytes signOnCard(const PKCS11& pkcs11, CK_SESSION_HANDLE session, CK_OBJECT_HANDLE key, ByteView data,
                 const SigningMessages& messages);

}  // namespace tarvo
