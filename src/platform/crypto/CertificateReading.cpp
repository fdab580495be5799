#include "platform/crypto/CertificateReading.hpp"

#include "platform/crypto/CertificateNameReading.hpp"
#include "platform/crypto/CertificateTimeReading.hpp"
#include "platform/crypto/DerReader.hpp"

#include <climits>
#include <cstdint>

namespace tarvo::platform {

namespace {

constexpr std::uint8_t extensionsTag = 0xA3;

// BIT STRING of whole bytes, as keys and signatures are.
bool wholeBitString(DerElements& elements) {
    DerElement bits;
    return elements.next(bitStringTag, bits) && !bits.content.empty() && bits.content[0] == 0;
}

// AlgorithmIdentifier with no parameters, NULL, an identifier (a named curve)
// or a SEQUENCE, which OpenSSL keeps as it is without reading into it.
bool algorithm(DerElements& outer) {
    DerElement sequence;
    if (!outer.next(sequenceTag, sequence)) {
        return false;
    }
    DerElements inside(sequence.content);
    DerElement oid;
    if (!oidElement(inside, oid)) {
        return false;
    }
    if (inside.atEnd()) {
        return true;
    }
    DerElement parameters;
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

// Extensions are only checked for their shape here: the full decoder keeps
// each value as an opaque octet string, and so does everything we use.
bool extensions(DerElements& outer) {
    DerElement tagged;
    DerElement sequence;
    if (!outer.next(extensionsTag, tagged)) {
        return false;
    }
    DerElements inside(tagged.content);
    if (!inside.next(sequenceTag, sequence) || !inside.atEnd() || sequence.content.empty()) {
        return false;
    }
    DerElements list(sequence.content);
    while (!list.atEnd()) {
        DerElement extension;
        DerElement oid;
        DerElement value;
        if (!list.next(sequenceTag, extension)) {
            return false;
        }
        DerElements parts(extension.content);
        if (!oidElement(parts, oid)) {
            return false;
        }
        if (!parts.atEnd() && parts.nextTag() == booleanTag) {
            DerElement critical;
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
    DerElement tagged;
    DerElement number;
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
    DerElement certificate;
    DerElement tbsCertificate;
    DerElement serial;
    DerElement validity;
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
    auto issuer = readName(tbs);
    if (!issuer || !tbs.next(sequenceTag, validity)) {
        return std::nullopt;
    }
    DerElements times(validity.content);
    bool readable = true;
    fields.notBefore = readTime(times, readable);
    fields.notAfter = readTime(times, readable);
    auto subject = readName(tbs);
    if (!readable || !times.atEnd() || !subject) {
        return std::nullopt;
    }
    DerElement publicKeyInfo;
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
