#include "platform/crypto/CertificateReading.hpp"

#include <algorithm>
#include <array>
#include <climits>
#include <cstdint>

namespace tarvo::platform {

namespace {

constexpr std::uint8_t booleanTag = 0x01;
constexpr std::uint8_t integerTag = 0x02;
constexpr std::uint8_t bitStringTag = 0x03;
constexpr std::uint8_t octetStringTag = 0x04;
constexpr std::uint8_t nullTag = 0x05;
constexpr std::uint8_t oidTag = 0x06;
constexpr std::uint8_t utcTimeTag = 0x17;
constexpr std::uint8_t generalizedTimeTag = 0x18;
constexpr std::uint8_t sequenceTag = 0x30;
constexpr std::uint8_t setTag = 0x31;
constexpr std::uint8_t versionTag = 0xA0;
constexpr std::uint8_t extensionsTag = 0xA3;

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

struct Element {
    std::uint8_t tag = 0;
    ByteView content;
};

// Consecutive DER elements inside one content; fails on anything that is not
// a single-byte tag with a definite, minimally encoded length inside the bounds.
class DerElements {
public:
    explicit DerElements(ByteView bytes) : rest_(bytes) {}

    bool atEnd() const { return rest_.empty(); }
    std::uint8_t nextTag() const { return rest_.front(); }

    bool next(Element& element) {
        if (rest_.size() < 2 || (rest_[0] & 0x1F) == 0x1F) {
            return false;
        }
        std::size_t length = rest_[1];
        std::size_t header = 2;
        if (length >= 0x80) {
            const std::size_t count = length & 0x7F;
            if (count < 1 || count > 3 || rest_.size() < 2 + count || rest_[2] == 0) {
                return false;
            }
            length = 0;
            for (std::size_t i = 0; i < count; ++i) {
                length = (length << 8) | rest_[2 + i];
            }
            if (length < 0x80 || (count > 1 && length < (std::size_t{1} << (8 * (count - 1))))) {
                return false;
            }
            header += count;
        }
        if (rest_.size() - header < length) {
            return false;
        }
        element = {rest_[0], rest_.subspan(header, length)};
        rest_ = rest_.subspan(header + length);
        return true;
    }

    bool next(std::uint8_t tag, Element& element) { return !atEnd() && nextTag() == tag && next(element); }

private:
    ByteView rest_;
};

// INTEGER content that OpenSSL takes: not empty, no redundant leading byte.
bool minimalInteger(ByteView content) {
    if (content.empty()) {
        return false;
    }
    if (content.size() == 1) {
        return true;
    }
    return !(content[0] == 0x00 && content[1] < 0x80) && !(content[0] == 0xFF && content[1] >= 0x80);
}

// OBJECT IDENTIFIER content that OpenSSL takes: not empty, the last
// subidentifier complete, none starting with a padding byte 0x80.
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

// Dotted text of a well-formed identifier, as OBJ_obj2txt writes it when told
// to use numbers only; nothing for arcs beyond 64 bits, which OpenSSL writes
// through its big numbers.
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

bool oidElement(DerElements& elements, Element& oid) {
    return elements.next(oidTag, oid) && wellFormedOid(oid.content);
}

// BIT STRING of whole bytes, as keys and signatures are.
bool wholeBitString(DerElements& elements) {
    Element bits;
    return elements.next(bitStringTag, bits) && !bits.content.empty() && bits.content[0] == 0;
}

// AlgorithmIdentifier with no parameters, NULL, an identifier (a named curve)
// or a SEQUENCE, which OpenSSL keeps as it is without reading into it.
bool algorithm(DerElements& outer) {
    Element sequence;
    if (!outer.next(sequenceTag, sequence)) {
        return false;
    }
    DerElements inside(sequence.content);
    Element oid;
    if (!oidElement(inside, oid)) {
        return false;
    }
    if (inside.atEnd()) {
        return true;
    }
    Element parameters;
    if (!inside.next(parameters) || !inside.atEnd()) {
        return false;
    }
    switch (parameters.tag) {
        case nullTag:
            return parameters.content.empty();
        case oidTag:
            return wellFormedOid(parameters.content);
        case sequenceTag:
            return true;
        default:
            return false;
    }
}

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

std::optional<Name> name(DerElements& outer) {
    Element sequence;
    if (!outer.next(sequenceTag, sequence) || sequence.content.size() > largestName) {
        return std::nullopt;
    }
    Name result;
    DerElements sets(sequence.content);
    while (!sets.atEnd()) {
        Element set;
        if (!sets.next(setTag, set) || set.content.empty()) {
            return std::nullopt;
        }
        RelativeName& relativeName = result.emplace_back();
        DerElements attributes(set.content);
        while (!attributes.atEnd()) {
            Element attribute;
            Element oid;
            Element value;
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

// The two digits at `at` as a number, or -1 when they are not digits.
int twoDigits(ByteView text, std::size_t at) {
    const auto digit = [&](std::size_t i) { return text[i] >= '0' && text[i] <= '9' ? text[i] - '0' : -100; };
    const int value = digit(at) * 10 + digit(at + 1);
    return value < 0 ? -1 : value;
}

// UTCTime YYMMDDHHMMSSZ and GeneralizedTime YYYYMMDDHHMMSSZ, the forms RFC
// 5280 allows, read as ASN1_TIME_to_tm reads them: two-digit years from 1950
// to 2049, each field within its range, days within their month. For these
// lengths and the closing Z, OpenSSL reads nothing else either: any other
// character fails there as here. Other forms (offsets, fractions, no seconds)
// are left to the full decoder: `readable` is cleared.
std::optional<Instant> timeOf(const Element& time, bool& readable) {
    const ByteView text = time.content;
    const std::size_t yearDigits = time.tag == utcTimeTag ? 2 : 4;
    if (text.size() != yearDigits + 11 || text.back() != 'Z') {
        readable = false;
        return std::nullopt;
    }
    int year = twoDigits(text, 0);
    if (yearDigits == 2) {
        year = year < 0 ? -1 : year < 50 ? 2000 + year : 1900 + year;
    } else {
        const int low = twoDigits(text, 2);
        year = year < 0 || low < 0 ? -1 : year * 100 + low;
    }
    const std::size_t at = yearDigits;
    const int month = twoDigits(text, at);
    const int day = twoDigits(text, at + 2);
    const int hour = twoDigits(text, at + 4);
    const int minute = twoDigits(text, at + 6);
    const int second = twoDigits(text, at + 8);
    if (year < 0 || month < 1 || month > 12 || day < 1 || hour < 0 || hour > 23 || minute < 0 || minute > 59 ||
        second < 0 || second > 59) {
        return std::nullopt;
    }
    const std::chrono::year_month_day date{std::chrono::year{year}, std::chrono::month{static_cast<unsigned>(month)},
                                           std::chrono::day{static_cast<unsigned>(day)}};
    if (!date.ok()) {
        return std::nullopt;
    }
    return Instant{std::chrono::sys_days{date}} + std::chrono::hours{hour} + std::chrono::minutes{minute} +
           std::chrono::seconds{second};
}

std::optional<Instant> timeElement(DerElements& outer, bool& readable) {
    Element time;
    if (outer.atEnd() || (outer.nextTag() != utcTimeTag && outer.nextTag() != generalizedTimeTag) ||
        !outer.next(time)) {
        readable = false;
        return std::nullopt;
    }
    return timeOf(time, readable);
}

// Extensions are only checked for their shape here: the full decoder keeps
// each value as an opaque octet string, and so does everything we use.
bool extensions(DerElements& outer) {
    Element tagged;
    Element sequence;
    if (!outer.next(extensionsTag, tagged)) {
        return false;
    }
    DerElements inside(tagged.content);
    if (!inside.next(sequenceTag, sequence) || !inside.atEnd() || sequence.content.empty()) {
        return false;
    }
    DerElements list(sequence.content);
    while (!list.atEnd()) {
        Element extension;
        Element oid;
        Element value;
        if (!list.next(sequenceTag, extension)) {
            return false;
        }
        DerElements parts(extension.content);
        if (!oidElement(parts, oid)) {
            return false;
        }
        if (!parts.atEnd() && parts.nextTag() == booleanTag) {
            Element critical;
            if (!parts.next(critical) || critical.content.size() != 1) {
                return false;
            }
        }
        if (!parts.next(octetStringTag, value) || !parts.atEnd()) {
            return false;
        }
    }
    return true;
}

bool version(DerElements& tbs) {
    if (tbs.atEnd() || tbs.nextTag() != versionTag) {
        return true;  // absent: version 1
    }
    Element tagged;
    Element number;
    if (!tbs.next(tagged)) {
        return false;
    }
    DerElements inside(tagged.content);
    return inside.next(integerTag, number) && inside.atEnd() && number.content.size() == 1 && number.content[0] <= 2;
}

}  // namespace

std::optional<CertificateFields> readCertificateFields(ByteView der) {
    if (der.size() > static_cast<std::size_t>(INT_MAX)) {
        return std::nullopt;
    }
    DerElements whole(der);
    Element certificate;
    Element tbsCertificate;
    Element serial;
    Element validity;
    if (!whole.next(sequenceTag, certificate) || !whole.atEnd()) {
        return std::nullopt;
    }
    DerElements outer(certificate.content);
    if (!outer.next(sequenceTag, tbsCertificate) || !algorithm(outer) || !wholeBitString(outer) || !outer.atEnd()) {
        return std::nullopt;
    }
    DerElements tbs(tbsCertificate.content);
    if (!version(tbs) || !tbs.next(integerTag, serial) || !minimalInteger(serial.content) || !algorithm(tbs)) {
        return std::nullopt;
    }
    CertificateFields fields;
    auto issuer = name(tbs);
    if (!issuer || !tbs.next(sequenceTag, validity)) {
        return std::nullopt;
    }
    DerElements times(validity.content);
    bool readable = true;
    fields.notBefore = timeElement(times, readable);
    fields.notAfter = timeElement(times, readable);
    auto subject = name(tbs);
    if (!readable || !times.atEnd() || !subject) {
        return std::nullopt;
    }
    Element publicKeyInfo;
    if (!tbs.next(sequenceTag, publicKeyInfo)) {
        return std::nullopt;
    }
    DerElements key(publicKeyInfo.content);
    if (!algorithm(key) || !wholeBitString(key) || !key.atEnd()) {
        return std::nullopt;
    }
    // Unique identifiers ([1], [2]) are rare enough to be left to the full decoder.
    if (!tbs.atEnd() && !extensions(tbs)) {
        return std::nullopt;
    }
    if (!tbs.atEnd()) {
        return std::nullopt;
    }
    fields.subject = std::move(*subject);
    fields.issuer = std::move(*issuer);
    return fields;
}

}  // namespace tarvo::platform
