#pragma once

#include "platform/crypto/Certificate.hpp"
#include "platform/vocabulary/Bytes.hpp"
#include "platform/vocabulary/Time.hpp"

#include <optional>
#include <string>

namespace tarvo {

// One certificate as every action reports it, whichever provider holds it.
// Only record() makes one, and only for a certificate that is valid at the
// moment it is made.
struct CertificateRecord {
    platform::Certificate certificate;
    Bytes der;
    std::string fingerprint;  // SHA-256 of der, 64 lower-case hexadecimal digits
    std::string subject;
    std::string issuer;
    std::string validFrom;
    std::string validUntil;
};

// Nothing when a validity date or the fingerprint cannot be read or `now`
// lies outside [notBefore, notAfter] (both ends inclusive).
std::optional<CertificateRecord> record(const platform::Certificate& certificate, Instant now = currentTime());

}  // namespace tarvo
