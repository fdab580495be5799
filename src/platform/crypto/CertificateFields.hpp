#pragma once

#include "platform/crypto/CertificateName.hpp"
#include "platform/vocabulary/Time.hpp"

#include <optional>

namespace tarvo::platform {

// The fields a record needs; a time is absent when it cannot be read.
struct CertificateFields {
    Name subject;
    Name issuer;
    std::optional<Instant> notBefore;
    std::optional<Instant> notAfter;
};

}  // namespace tarvo::platform
