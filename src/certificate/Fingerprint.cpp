#include "certificate/Fingerprint.hpp"

#include "platform/crypto/Sha256.hpp"

#include <algorithm>
#include <cstdint>
#include <optional>

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

bool sameFingerprint(const std::string& a, const std::string& b) {
    const auto lower = [](char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; };
    return a.size() == b.size() &&
           std::equal(a.begin(), a.end(), b.begin(), [&](char x, char y) { return lower(x) == lower(y); });
}

}  // namespace tarvo
