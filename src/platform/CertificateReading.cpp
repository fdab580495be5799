#include "CertificateReading.hpp"

#include "OpenSslHandles.hpp"

#include <openssl/err.h>

#include <algorithm>
#include <array>
#include <climits>
#include <cstdint>
#include <ctime>

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
constexpr std::array<std::uint8_t, 7> nameStringTags = {0x0C, 0x12, 0x13, 0x14, 0x16, 0x1C, 0x1E};

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

ASN1_STRING stringView(int type, ByteView content) {
    ASN1_STRING view{};
    view.length = static_cast<int>(content.size());
    view.type = type;
    view.data = const_cast<unsigned char*>(content.data());
    view.flags = ASN1_STRING_FLAG_MSTRING;
    return view;
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
            const ASN1_STRING view = stringView(value.tag, value.content);
            std::optional<std::string> text = utf8Of(&view);
            std::optional<std::string> type = dottedText(oid.content);
            if (!text || !type) {
                return std::nullopt;
            }
            relativeName.push_back(NameAttribute{std::move(*type), std::move(*text)});
        }
    }
    return result;
}

// A time shorter than its type's full form (YYMMDDHHMMSSZ, YYYYMMDDHHMMSSZ)
// is refused by the full decoder of newer OpenSSL (3.5) and taken by older
// ones (3.0): that decoder decides, so that the bytes count as a certificate
// exactly when the OpenSSL we run with takes them.
constexpr std::size_t shortestUtcTime = 13;
constexpr std::size_t shortestGeneralizedTime = 15;

std::optional<Instant> timeElement(DerElements& outer, bool& readable) {
    Element time;
    if (outer.atEnd() || (outer.nextTag() != utcTimeTag && outer.nextTag() != generalizedTimeTag) ||
        !outer.next(time) ||
        time.content.size() < (time.tag == utcTimeTag ? shortestUtcTime : shortestGeneralizedTime)) {
        readable = false;
        return std::nullopt;
    }
    const ASN1_TIME view = stringView(time.tag, time.content);
    return instantOf(&view);
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

std::optional<Instant> instantOf(const ASN1_TIME* time) {
    std::tm fields{};
    if (time == nullptr || ASN1_TIME_to_tm(time, &fields) != 1) {
        ERR_clear_error();
        return std::nullopt;
    }
    // The calendar of std::chrono rather than time_t: timegm and friends stop
    // short of the full range of years (0000–9999) that certificates may name.
    const std::chrono::year_month_day date{std::chrono::year{fields.tm_year + 1900},
                                           std::chrono::month{static_cast<unsigned>(fields.tm_mon + 1)},
                                           std::chrono::day{static_cast<unsigned>(fields.tm_mday)}};
    if (!date.ok()) {
        return std::nullopt;
    }
    const auto seconds = std::chrono::hours{fields.tm_hour} + std::chrono::minutes{fields.tm_min} +
                         std::chrono::seconds{fields.tm_sec};
    return Instant{std::chrono::sys_days{date}} + seconds;
}

std::optional<std::string> utf8Of(const ASN1_STRING* value) {
    unsigned char* utf8 = nullptr;
    const int length = ASN1_STRING_to_UTF8(&utf8, value);
    if (length < 0) {
        ERR_clear_error();
        return std::nullopt;
    }
    const UniqueOpenSslText owned(utf8);
    return std::string(reinterpret_cast<const char*>(utf8), static_cast<std::size_t>(length));
}

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
