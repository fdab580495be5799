#pragma once

#include "platform/crypto/DerReader.hpp"
#include "platform/vocabulary/Time.hpp"

#include <optional>

namespace tarvo::platform {

// The next element as a certificate's time, in one of the two forms RFC 5280
// allows (UTCTime YYMMDDHHMMSSZ, GeneralizedTime YYYYMMDDHHMMSSZ), read as
// OpenSSL reads it (ASN1_TIME_to_tm). Nothing for a time of such a form that
// names no moment; `readable` is cleared for any other element or form,
// which is left to the full decoder.
std::optional<Instant> readTime(DerElements& elements, bool& readable);

}  // namespace tarvo::platform
