#include "platform/crypto/DerReader.hpp"

#include <climits>

namespace tarvo::platform {

std::optional<DerLength> readDerLength(ByteView bytes) {
    const std::uint8_t first = bytes[0];
    if (first < 0x80) {
        return DerLength{1, first, true};
    }
    const std::size_t count = first & 0x7F;
    if (count < 1 || count > 4 || bytes.size() < 1 + count) {
        return std::nullopt;
    }
    std::uint64_t content = 0;
    for (std::size_t i = 1; i <= count; ++i) {
        content = (content << 8) | bytes[i];
    }
    // A leading zero octet, or a long form for what the short one holds, is
    // longer than it need be.
    return DerLength{1 + count, content, bytes[1] != 0 && content >= 0x80};
}

bool DerElements::next(DerElement& element) {
    if (rest_.size() < 2 || (rest_[0] & 0x1F) == 0x1F) {
        return false;
    }
    const std::optional<DerLength> length = readDerLength(rest_.subspan(1));
    if (!length || length->octets > 4 || !length->minimal) {
        return false;
    }
    const std::size_t header = 1 + length->octets;
    if (rest_.size() - header < length->content) {
        return false;
    }
    element = {rest_[0], rest_.subspan(header, static_cast<std::size_t>(length->content))};
    rest_ = rest_.subspan(header + static_cast<std::size_t>(length->content));
    return true;
}

bool minimalInteger(ByteView content) {
    if (content.empty()) {
        return false;
    }
    if (content.size() == 1) {
        return true;
    }
    return !(content[0] == 0x00 && content[1] < 0x80) && !(content[0] == 0xFF && content[1] >= 0x80);
}

bool wellFormedOid(ByteView content) {
    if (content.empty() || (content.back() & 0x80) != 0) {
        return false;
    }
    for (std::size_t i = 0; i < content.size(); ++i) {
        if (content[i] == 0x80 && (i == 0 || (content[i - 1] & 0x80) == 0)) {
            return false;
        }
    }
    return true;
}

std::optional<std::string> dottedText(ByteView content) {
    std::string text;
    std::uint64_t value = 0;
    bool first = true;
    for (const std::uint8_t byte : content) {
        if (value > (UINT64_MAX >> 7)) {
            return std::nullopt;
        }
        value = (value << 7) | (byte & 0x7F);
        if ((byte & 0x80) != 0) {
            continue;
        }
        if (first) {
            const std::uint64_t top = value < 80 ? value / 40 : 2;
            text = std::to_string(top) + '.' + std::to_string(value - top * 40);
            first = false;
        } else {
            text += '.';
            text += std::to_string(value);
        }
        value = 0;
    }
    return text;
}

bool oidElement(DerElements& elements, DerElement& oid) {
    return elements.next(oidTag, oid) && wellFormedOid(oid.content);
}

}  // namespace tarvo::platform
