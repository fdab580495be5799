#include "certificate/SerialNumber.hpp"

#include "platform/crypto/DerReader.hpp"

#include <cstdint>

namespace tarvo {

namespace {

struct Content {
    std::uint64_t start;
    std::uint64_t length;
};

// The content of the element whose tag stands at `at`; the caller has made
// sure that at + 1 < n. Its length is taken as it stands, in one to four
// octets, without asking for the shortest form; whether the content fits is
// the caller's to check.
std::optional<Content> contentOf(ByteView b, std::uint64_t at) {
    const auto length = platform::readDerLength(b.subspan(at + 1));
    if (!length) {
        return std::nullopt;
    }
    return Content{at + 1 + length->octets, length->content};
}

// Where the content of the element at `at` starts, without reading its length:
// the outer lengths are never trusted, only skipped.
std::uint64_t skipLength(ByteView b, std::uint64_t at) { return at + 1 + platform::lengthOctetCount(b[at + 1]); }

}  // namespace

std::optional<std::string> serialNumber(ByteView der) {
    const std::uint64_t n = der.size();
    if (n < 9 || der[0] != platform::sequenceTag) {
        return std::nullopt;
    }
    const std::uint64_t p = skipLength(der, 0);
    if (p >= n || der[p] != platform::sequenceTag || p + 1 >= n) {
        return std::nullopt;
    }
    std::uint64_t q = skipLength(der, p);
    if (q >= n) {
        return std::nullopt;
    }
    if (der[q] == platform::versionTag) {
        if (q + 1 >= n) {
            return std::nullopt;
        }
        const auto version = contentOf(der, q);
        if (!version) {
            return std::nullopt;
        }
        q = version->start + version->length;
        if (q >= n) {
            return std::nullopt;
        }
    }
    if (der[q] != platform::integerTag || q + 1 >= n) {
        return std::nullopt;
    }
    const auto serial = contentOf(der, q);
    if (!serial || serial->length == 0 || serial->start + serial->length > n) {
        return std::nullopt;
    }

    // Last content byte first: the order in which these serial texts have
    // always been written, which callers compare against.
    static constexpr char digits[] = "0123456789ABCDEF";
    std::string text;
    text.reserve(serial->length * 2);
    for (std::uint64_t i = serial->start + serial->length; i > serial->start; --i) {
        text += digits[der[i - 1] >> 4];
        text += digits[der[i - 1] & 0x0F];
    }
    return text;
}

}  // namespace tarvo
