#pragma once

#include "platform/crypto/CertificateFields.hpp"
#include "platform/vocabulary/Bytes.hpp"

#include <optional>

namespace tarvo::platform {

// Reads the fields without OpenSSL, whose certificate object would cost
// several times the rest (its public-key decoder alone) and whose library
// would have to be loaded first. Only strict DER of the usual shape is read
// here, and only what OpenSSL's full decoder is known to accept and to read
// the same way: every element's encoding is checked, name values must be
// character strings that convert to UTF-8 exactly as OpenSSL converts them
// (ASN1_STRING_to_UTF8), and times must have one of the two forms RFC 5280
// allows, read as OpenSSL reads them (ASN1_TIME_to_tm). Anything else gives
// nothing, and the caller decodes fully.
std::optional<CertificateFields> readCertificateFields(ByteView der);

}  // namespace tarvo::platform
