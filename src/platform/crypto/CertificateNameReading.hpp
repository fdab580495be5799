#pragma once

#include "platform/crypto/CertificateName.hpp"
#include "platform/crypto/DerReader.hpp"

#include <optional>

namespace tarvo::platform {

// The next element as a distinguished name, when it is one whose every value
// is a character string that converts to UTF-8 exactly as OpenSSL converts it
// (ASN1_STRING_to_UTF8). Nothing otherwise, and then the full decoder judges
// the whole certificate.
std::optional<Name> readName(DerElements& elements);

}  // namespace tarvo::platform
