#include "platform/crypto/CertificateNameReading.hpp"

#include <algorithm>
#include <array>
#include <cstdint>
#include <string>

namespace tarvo::platform {

namespace {

// Character string types that OpenSSL accepts in a name and converts to UTF-8:
// UTF8String, NumericString, PrintableString, T61String, IA5String,
// UniversalString, BMPString. Other types go to the full decoder, which
// refuses some of them and shows others in hexadecimal.
constexpr std::uint8_t utf8StringTag = 0x0C;
constexpr std::uint8_t universalStringTag = 0x1C;
constexpr std::uint8_t bmpStringTag = 0x1E;
constexpr std::array<std::uint8_t, 7> nameStringTags = {utf8StringTag, 0x12, 0x13, 0x14, 0x16, universalStringTag,
                                                        bmpStringTag};

// Names larger than this are left to the full decoder and its own limits.
constexpr std::size_t largestName = 0x10000;

// A code point that OpenSSL writes as UTF-8: at most U+10FFFF and no surrogate.
bool isScalar(std::uint32_t value) { return value <= 0x10FFFF && (value < 0xD800 || value > 0xDFFF); }

void appendUtf8(std::string& text, std::uint32_t value) {
    if (value < 0x80) {
        text += static_cast<char>(value);
    } else if (value < 0x800) {
        text += static_cast<char>(0xC0 | (value >> 6));
        text += static_cast<char>(0x80 | (value & 0x3F));
    } else if (value < 0x10000) {
        text += static_cast<char>(0xE0 | (value >> 12));
        text += static_cast<char>(0x80 | ((value >> 6) & 0x3F));
        text += static_cast<char>(0x80 | (value & 0x3F));
    } else {
        text += static_cast<char>(0xF0 | (value >> 18));
        text += static_cast<char>(0x80 | ((value >> 12) & 0x3F));
        text += static_cast<char>(0x80 | ((value >> 6) & 0x3F));
        text += static_cast<char>(0x80 | (value & 0x3F));
    }
}

// UTF-8 that OpenSSL takes as it is: every sequence in its shortest form, of
// a code point it writes.
bool isUtf8(ByteView bytes) {
    for (std::size_t i = 0; i < bytes.size();) {
        const std::uint8_t lead = bytes[i];
        std::size_t length = 1;
        std::uint32_t value = lead;
        std::uint32_t smallest = 0;
        if (lead >= 0x80) {
            if ((lead & 0xE0) == 0xC0) {
                length = 2;
                value = lead & 0x1F;
                smallest = 0x80;
            } else if ((lead & 0xF0) == 0xE0) {
                length = 3;
                value = lead & 0x0F;
                smallest = 0x800;
            } else if ((lead & 0xF8) == 0xF0) {
                length = 4;
                value = lead & 0x07;
                smallest = 0x10000;
            } else {
                return false;
            }
            if (bytes.size() - i < length) {
                return false;
            }
            for (std::size_t k = 1; k < length; ++k) {
                if ((bytes[i + k] & 0xC0) != 0x80) {
                    return false;
                }
                value = (value << 6) | (bytes[i + k] & 0x3F);
            }
            if (value < smallest || !isScalar(value)) {
                return false;
            }
        }
        i += length;
    }
    return true;
}

// A name value's text as ASN1_STRING_to_UTF8 gives it: UTF8String as it is,
// BMPString and UniversalString by code point (two and four bytes, big
// endian), the others one byte per code point (ISO 8859-1). Nothing when
// OpenSSL would refuse it, and then the full decoder judges the whole
// certificate.
std::optional<std::string> nameValueText(std::uint8_t tag, ByteView content) {
    if (tag == utf8StringTag) {
        return isUtf8(content) ? std::optional<std::string>(std::in_place, content.begin(), content.end())
                               : std::nullopt;
    }
    const std::size_t width = tag == universalStringTag ? 4 : tag == bmpStringTag ? 2 : 1;
    if (content.size() % width != 0) {
        return std::nullopt;
    }
    std::string text;
    text.reserve(content.size());
    for (std::size_t i = 0; i < content.size(); i += width) {
        std::uint32_t value = 0;
        for (std::size_t k = 0; k < width; ++k) {
            value = (value << 8) | content[i + k];
        }
        if (!isScalar(value)) {
            return std::nullopt;
        }
        appendUtf8(text, value);
    }
    return text;
}

}  // namespace

std::optional<Name> readName(DerElements& outer) {
    DerElement sequence;
    if (!outer.next(sequenceTag, sequence) || sequence.content.size() > largestName) {
        return std::nullopt;
    }
    Name result;
    DerElements sets(sequence.content);
    while (!sets.atEnd()) {
        DerElement set;
        if (!sets.next(setTag, set) || set.content.empty()) {
            return std::nullopt;
        }
        RelativeName& relativeName = result.emplace_back();
        DerElements attributes(set.content);
        while (!attributes.atEnd()) {
            DerElement attribute;
            DerElement oid;
            DerElement value;
            if (!attributes.next(sequenceTag, attribute)) {
                return std::nullopt;
            }
            DerElements inside(attribute.content);
            if (!oidElement(inside, oid) || !inside.next(value) || !inside.atEnd()) {
                return std::nullopt;
            }
            if (std::find(nameStringTags.begin(), nameStringTags.end(), value.tag) == nameStringTags.end()) {
                return std::nullopt;
            }
            std::optional<std::string> text = nameValueText(value.tag, value.content);
            std::optional<std::string> type = dottedText(oid.content);
            if (!text || !type) {
                return std::nullopt;
            }
            relativeName.push_back(NameAttribute{std::move(*type), std::move(*text)});
        }
    }
    return result;
}

}  // namespace tarvo::platform
