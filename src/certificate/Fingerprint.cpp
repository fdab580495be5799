#include "certificate/CertificateRecord.hpp"

#include "platform/Sha256.hpp"

namespace tarvo {

std::string fingerprintOf(ByteView der) {
    static constexpr char digits[] = "0123456789abcdef";
    std::string text;
    text.reserve(64);
    for (const std::uint8_t byte : platform::sha256(der)) {
        text += digits[byte >> 4];
        text += digits[byte & 0x0F];
    }
    return text;
}

}  // namespace tarvo
