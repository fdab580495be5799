#pragma once

#include "platform/vocabulary/Bytes.hpp"

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>

namespace tarvo::platform {

// Universal tags of the DER elements a certificate is made of.
inline constexpr std::uint8_t booleanTag = 0x01;
inline constexpr std::uint8_t integerTag = 0x02;
inline constexpr std::uint8_t bitStringTag = 0x03;
inline constexpr std::uint8_t octetStringTag = 0x04;
inline constexpr std::uint8_t nullTag = 0x05;
inline constexpr std::uint8_t oidTag = 0x06;
inline constexpr std::uint8_t utcTimeTag = 0x17;
inline constexpr std::uint8_t generalizedTimeTag = 0x18;
inline constexpr std::uint8_t sequenceTag = 0x30;
inline constexpr std::uint8_t setTag = 0x31;
// The certificate's version, [0] EXPLICIT, before the serial number (absent for version 1).
inline constexpr std::uint8_t versionTag = 0xA0;

// How many length octets the first of them announces: itself alone in the
// short form, else itself and as many as its low seven bits count (none for
// 0x80, the indefinite form).
constexpr std::size_t lengthOctetCount(std::uint8_t first) { return first < 0x80 ? 1 : 1 + (first & 0x7F); }

struct DerLength {
    std::size_t octets = 0;     // how many length octets there are
    std::uint64_t content = 0;  // the length they give
    bool minimal = false;       // in the shortest form DER allows
};

// The length octets at the start of `bytes` (not empty): the short form, or
// the long form with one to four octets, whether or not in the shortest form.
// Nothing for the indefinite form, for more octets, or for octets that run
// past the end. Whether the content fits is left to the caller.
std::optional<DerLength> readDerLength(ByteView bytes);

struct DerElement {
    std::uint8_t tag = 0;
    ByteView content;
};

// Consecutive DER elements inside one content; fails on anything that is not
// a single-byte tag with a definite, minimally encoded length of at most three
// octets after the first, inside the bounds.
class DerElements {
public:
    explicit DerElements(ByteView bytes) : rest_(bytes) {}

    bool atEnd() const { return rest_.empty(); }
    std::uint8_t nextTag() const { return rest_.front(); }

    bool next(DerElement& element);
    bool next(std::uint8_t tag, DerElement& element) { return !atEnd() && nextTag() == tag && next(element); }

private:
    ByteView rest_;
};

// INTEGER content that OpenSSL takes: not empty, no redundant leading byte.
bool minimalInteger(ByteView content);

// OBJECT IDENTIFIER content that OpenSSL takes: not empty, the last
// subidentifier complete, none starting with a padding byte 0x80.
bool wellFormedOid(ByteView content);

// Dotted text of a well-formed identifier, as OBJ_obj2txt writes it when told
// to use numbers only; nothing for arcs beyond 64 bits, which OpenSSL writes
// through its big numbers.
std::optional<std::string> dottedText(ByteView content);

// The next element, when it is a well-formed OBJECT IDENTIFIER.
bool oidElement(DerElements& elements, DerElement& oid);

}  // namespace tarvo::platform
