#include "certificate/CertificateRecord.hpp"

#include "platform/crypto/Sha256.hpp"

namespace tarvo {

std::string fingerprintOf(ByteView der) {
    static constexpr char digits[] = "0123456789abcdef";
    const std::optional<platform::Sha256Digest> digest = platform::sha256(der);
    std::string text;
    if (!digest) {
        return text;
    }
    text.reserve(64);
    for (const std::uint8_t byte : *digest) {
        text += digits[byte >> 4];
        text += digits[byte & 0x0F];
    }
    return text;
}

}  // namespace tarvo
