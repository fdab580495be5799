#pragma once

#include "platform/vocabulary/Bytes.hpp"
#include "platform/crypto/Certificate.hpp"
#include "platform/vocabulary/Time.hpp"

#include <map>
#include <optional>
#include <string>

namespace tarvo {

struct CertificateRecord;

// label=value components for the eight attribute types we show, commas in
// values escaped, joined with ", " in certificate order; empty when none.
std::string distinguishedName(const platform::Name& name);

// YYYY-MM-DDTHH:MM:SS.mmmZ in UTC, milliseconds rounded half up.
std::string dateText(Instant instant);

// The serial number's content bytes, last to first, as upper-case hex pairs.
std::optional<std::string> serialNumber(ByteView der);

// What every answer says about a certificate; every value is text. With a
// provider label it is the nine-key entry of a listing ("provider" falls back
// to the label when the issuer is empty). Without one it is the eight keys a
// signature answer starts from: "provider" is the issuer as it is, and there
// is no "providerName".
using CertificateEntry = std::map<std::string, std::string>;
CertificateEntry certificateJSON(const CertificateRecord& record, const std::optional<std::string>& provider);

}  // namespace tarvo
