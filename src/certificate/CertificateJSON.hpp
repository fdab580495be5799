#pragma once

#include "certificate/CertificateRecord.hpp"

#include <map>
#include <optional>
#include <string>

namespace tarvo {

// What every answer says about a certificate; every value is text. With a
// provider label it is the nine-key entry of a listing ("provider" falls back
// to the label when the issuer is empty). Without one it is the eight keys a
// signature answer starts from: "provider" is the issuer as it is, and there
// is no "providerName".
using CertificateEntry = std::map<std::string, std::string>;
CertificateEntry certificateJSON(const CertificateRecord& record, const std::optional<std::string>& provider);

}  // namespace tarvo
