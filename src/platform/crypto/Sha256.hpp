#pragma once

#include "platform/vocabulary/Bytes.hpp"

#include <array>
#include <cstdint>
#include <optional>

namespace tarvo::platform {

using Sha256Digest = std::array<std::uint8_t, 32>;

// SHA-256 by NSS while the certificate store is open (a store action then
// never loads OpenSSL's libcrypto), by libcrypto otherwise. Absent when
// neither can give it, as with everything else only libcrypto reads.
std::optional<Sha256Digest> sha256(ByteView bytes);

}  // namespace tarvo::platform
