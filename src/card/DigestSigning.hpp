#pragma once

#include "card/CardCertificates.hpp"
#include "card/CardSigning.hpp"
#include "platform/crypto/PublicKey.hpp"

namespace tarvo {

// 51 bytes: the SHA-256 DigestInfo header followed by a 32-byte digest.
bool isSha256DigestInfo(ByteView bytes);

// The card half of document signing, in a module lifecycle of its own: the
// chosen certificate's token, its PIN state (C_GetTokenInfo), one login with
// the PIN, key by CKA_ID or else the token's first private key, sign, verify.
// The PIN is read in place by C_Login and wiped after the module is unloaded,
// whatever happened.
CardSignature signDigestOnCard(const std::string& modulePath, const CardCertificate& chosen,
                               const platform::PublicKey& publicKey, const Bytes& digestInfo, SecureBytes& pin);

}  // namespace tarvo
