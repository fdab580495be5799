#pragma once

#include "Bytes.hpp"

#include <array>
#include <cstdint>

namespace tarvo::platform {

using Sha256Digest = std::array<std::uint8_t, 32>;

// SHA-256 (FIPS 180-4), computed here rather than by a library: fingerprints
// are taken of every certificate an action reads, and a library for them
// would first have to be loaded (OpenSSL's costs a store signature more than
// the signing does). The processor's SHA extensions do the rounds where it
// has them.
Sha256Digest sha256(ByteView bytes);

namespace detail {
// The same without the processor's extensions, which is what other processors run.
Sha256Digest portableSha256(ByteView bytes);
}  // namespace detail

}  // namespace tarvo::platform
