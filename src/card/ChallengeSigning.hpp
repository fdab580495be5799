#pragma once

#include "card/CardCertificates.hpp"
#include "card/CardSigning.hpp"
#include "platform/crypto/PublicKey.hpp"

namespace tarvo {

// The card half of challenge signing, in a module lifecycle of its own: the
// chosen certificate's token, one login with the PIN, the key with the
// certificate's CKA_ID only, sign the challenge's SHA-256 DigestInfo, verify
// against the challenge. The PIN is read in place by C_Login and wiped after
// the module is unloaded, whatever happened.
CardSignature signChallengeOnCard(const std::string& modulePath, const CardCertificate& chosen,
                                  const platform::PublicKey& publicKey, const Bytes& challenge, SecureBytes& pin);

}  // namespace tarvo
