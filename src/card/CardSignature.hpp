#pragma once

#include "certificate/CertificateRecord.hpp"
#include "platform/vocabulary/Bytes.hpp"

#include <array>
#include <cstdint>

namespace tarvo {

// The DER header of a SHA-256 DigestInfo (RFC 8017, EMSA-PKCS1-v1_5).
inline constexpr std::array<std::uint8_t, 19> sha256DigestInfoPrefix = {
    0x30, 0x31, 0x30, 0x0d, 0x06, 0x09, 0x60, 0x86, 0x48, 0x01,
    0x65, 0x03, 0x04, 0x02, 0x01, 0x05, 0x00, 0x04, 0x20};

// A signature the card made and that was verified against the certificate it
// was made for.
struct CardSignature {
    CertificateRecord record;
    Bytes signature;
};

}  // namespace tarvo
