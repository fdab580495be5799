#pragma once

#include "platform/vocabulary/Bytes.hpp"

#include <string>

namespace tarvo {

// 64 lower-case hexadecimal digits of the SHA-256 of the bytes; empty when
// no library can compute it.
std::string fingerprintOf(ByteView der);

// Case-insensitive comparison of fingerprint texts (ASCII letters only, as
// fingerprints are hexadecimal).
bool sameFingerprint(const std::string& a, const std::string& b);

}  // namespace tarvo
