#pragma once

#include "certificate/CertificateRecord.hpp"
#include "platform/vocabulary/Bytes.hpp"
#include "platform/vocabulary/PinReply.hpp"
#include "platform/vocabulary/SecureBytes.hpp"

#include <array>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>

namespace tarvo {

// The DER header of a SHA-256 DigestInfo (RFC 8017, EMSA-PKCS1-v1_5).
inline constexpr std::array<std::uint8_t, 19> sha256DigestInfoPrefix = {
    0x30, 0x31, 0x30, 0x0d, 0x06, 0x09, 0x60, 0x86, 0x48, 0x01,
    0x65, 0x03, 0x04, 0x02, 0x01, 0x05, 0x00, 0x04, 0x20};

struct CardSignature {
    CertificateRecord record;
    Bytes signature;
};

// Signs an agent-computed SHA-256 DigestInfo on the card with the supplied PIN,
// on the token that holds the chosen certificate. The PIN is taken by value;
// this working copy is wiped before returning. It is not tried at all when
// the token says its PIN is locked or has one try left: a robot that keeps a
// wrong PIN must not be the one who locks the card.
CardSignature udfSign(const std::string& modulePath, const Bytes& digestInfo, SecureBytes pin,
                      const std::optional<std::string>& fingerprint);

// Asks for the PIN. Told whether the token has a single try left, so that the
// person can be warned before typing.
using PinPrompt = std::function<PinReply(bool finalTry)>;

// Signs a challenge on the card after asking for the PIN with the prompt, on
// the token that holds the certificate. A token that said while listing that
// its PIN is locked is not asked for one; one that has a single try left has
// the prompt warn the person.
CardSignature akisSign(const std::string& modulePath, const Bytes& challenge, const std::string& fingerprint,
                       const PinPrompt& prompt);

}  // namespace tarvo
