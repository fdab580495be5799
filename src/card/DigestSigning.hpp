#pragma once

#include "card/CardCertificates.hpp"
#include "card/CardSignature.hpp"
#include "platform/crypto/PublicKey.hpp"
#include "platform/vocabulary/Bytes.hpp"
#include "platform/vocabulary/SecureBytes.hpp"

#include <optional>
#include <string>

namespace tarvo {

// Signs an agent-computed SHA-256 DigestInfo on the card with the supplied PIN,
// on the token that holds the chosen certificate. The PIN is taken by value;
// this working copy is wiped before returning. It is not tried at all when
// the token says its PIN is locked or has one try left: a robot that keeps a
// wrong PIN must not be the one who locks the card.
CardSignature udfSign(const std::string& modulePath, const Bytes& digestInfo, SecureBytes pin,
                      const std::optional<std::string>& fingerprint);

// The card half of document signing, in a module lifecycle of its own: the
// chosen certificate's token, its PIN state (C_GetTokenInfo), one login with
// the PIN, key by CKA_ID or else the token's first private key, sign, verify.
// The PIN is read in place by C_Login and wiped after the module is unloaded,
// whatever happened.
CardSignature signDigestOnCard(const std::string& modulePath, const CardCertificate& chosen,
                               const platform::PublicKey& publicKey, const Bytes& digestInfo, SecureBytes& pin);

}  // namespace tarvo
