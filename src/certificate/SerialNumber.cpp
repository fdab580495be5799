#include "certificate/SerialNumber.hpp"

#include <cstdint>

namespace tarvo {

namespace {

struct Content {
    std::uint64_t start;
    std::uint64_t length;
};

// The length octets of the element whose tag stands at `at`; the caller has
// made sure that at + 1 < n. Only one to four length bytes are taken: no
// certificate needs more, and an indefinite length has no place in DER.
std::optional<Content> contentOf(ByteView b, std::uint64_t at) {
    const std::uint64_t n = b.size();
    const std::uint8_t c = b[at + 1];
    if (c < 0x80) {
        return Content{at + 2, c};
    }
    const std::uint64_t k = c & 0x7F;
    if (k < 1 || k > 4) {
        return std::nullopt;
    }
    const std::uint64_t start = at + 2 + k;
    if (start > n) {
        return std::nullopt;
    }
    std::uint64_t length = 0;
    for (std::uint64_t i = at + 2; i < start; ++i) {
        length = (length << 8) | b[i];
    }
    return Content{start, length};
}

// Where the content of the element at `at` starts, without reading its length:
// the outer lengths are never trusted, only skipped.
std::uint64_t skipLength(ByteView b, std::uint64_t at) {
    const std::uint8_t c = b[at + 1];
    return c < 0x80 ? at + 2 : at + 2 + (c & 0x7F);
}

}  // namespace

std::optional<std::string> serialNumber(ByteView der) {
    const std::uint64_t n = der.size();
    if (n < 9 || der[0] != 0x30) {
        return std::nullopt;
    }
    const std::uint64_t p = skipLength(der, 0);
    if (p >= n || der[p] != 0x30 || p + 1 >= n) {
        return std::nullopt;
    }
    std::uint64_t q = skipLength(der, p);
    if (q >= n) {
        return std::nullopt;
    }
    if (der[q] == 0xA0) {
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
    if (der[q] != 0x02 || q + 1 >= n) {
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
