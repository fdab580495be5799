#pragma once

#include "platform/crypto/CertificateFields.hpp"

#include <string>

using X509 = struct x509_st;

namespace tarvo::platform {

// The fields as OpenSSL reads them from its decoded certificate, for the bytes
// that only its full decoder can judge. Name values that are not character
// strings, or not valid in their own encoding, become '#' and their content in
// hexadecimal. Needs the library loaded (loadedOpenSsl).
CertificateFields decodedCertificateFields(const X509* certificate);

// The subject on one line, as OpenSSL prints it; empty when it cannot be printed.
std::string oneLineSubject(const X509* certificate);

}  // namespace tarvo::platform
