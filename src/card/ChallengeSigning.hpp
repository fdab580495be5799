#pragma once

#include "card/CardCertificates.hpp"
#include "card/CardSignature.hpp"
#include "platform/crypto/PublicKey.hpp"
#include "platform/vocabulary/Bytes.hpp"
#include "platform/vocabulary/PinReply.hpp"
#include "platform/vocabulary/SecureBytes.hpp"

#include <functional>
#include <string>

namespace tarvo {

// Asks for the PIN. Told whether the token has a single try left, so that the
// person can be warned before typing.
using PinPrompt = std::function<PinReply(bool finalTry)>;

// Signs a challenge on the card after asking for the PIN with the prompt, on
// the token that holds the certificate. A token that said while listing that
// its PIN is locked is not asked for one; one that has a single try left has
// the prompt warn the person.
CardSignature akisSign(const std::string& modulePath, const Bytes& challenge, const std::string& fingerprint,
                       const PinPrompt& prompt);

// The card half of challenge signing, in a module lifecycle of its own: the
// chosen certificate's token, one login with the PIN, the key with the
// certificate's CKA_ID only, sign the challenge's SHA-256 DigestInfo, verify
// against the challenge. The PIN is read in place by C_Login and wiped after
// the module is unloaded, whatever happened.
CardSignature signChallengeOnCard(const std::string& modulePath, const CardCertificate& chosen,
                                  const platform::PublicKey& publicKey, const Bytes& challenge, SecureBytes& pin);

}  // namespace tarvo
