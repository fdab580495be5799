#pragma once

#include "Bytes.hpp"
#include "Certificate.hpp"
#include "Time.hpp"

#include <openssl/asn1.h>

#include <optional>
#include <string>

namespace tarvo::platform {

// The fields a record needs, read straight from the DER bytes.
struct CertificateFields {
    Name subject;
    Name issuer;
    std::optional<Instant> notBefore;
    std::optional<Instant> notAfter;
};

// Reads the fields without building OpenSSL's certificate object, whose
// public-key decoder alone costs several times the rest. Only strict DER of
// the usual shape is read here, and only what OpenSSL's full decoder is known
// to accept and to read the same way: every element's encoding is checked,
// name values must be character strings that convert to UTF-8, and the texts
// and times come from the same OpenSSL conversions the full decoder's objects
// go through. Anything else gives nothing, and the caller decodes fully.
std::optional<CertificateFields> readCertificateFields(ByteView der);

// Time values as OpenSSL reads them; absent when unreadable.
std::optional<Instant> instantOf(const ASN1_TIME* time);
// A name value's text as OpenSSL converts it, or nothing when it will not convert.
std::optional<std::string> utf8Of(const ASN1_STRING* value);

}  // namespace tarvo::platform
