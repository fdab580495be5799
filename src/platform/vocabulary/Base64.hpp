#pragma once

#include "platform/vocabulary/Bytes.hpp"

#include <optional>
#include <string>
#include <string_view>

namespace tarvo {

// RFC 4648 standard alphabet, with padding, on one line.
std::string base64Encode(ByteView bytes);

// Strict decoding: the empty text gives no bytes; the length must be a multiple
// of four; '=' only as the last one or two characters; any other character
// outside the alphabet (white space and line breaks included) is refused.
// The unused low bits of the last symbol are not checked.
std::optional<Bytes> base64Decode(std::string_view text);

}  // namespace tarvo
