#pragma once

#include "pin/SecretBuffer.hpp"
#include "platform/vocabulary/Bytes.hpp"

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace tarvo::assuan {

// Longest line either side may send, not counting the line ending. Longer
// replies are a broken peer, not a long answer.
inline constexpr std::size_t maxLineLength = 1000;

// A command parameter as the server expects it: '%', every control character
// and a backslash in last place percent-escaped, everything else (UTF-8
// included) passed through unchanged.
std::string escapeParameter(std::string_view text);

enum class Reply { ok, error, status, comment, data, inquire, unknown };

// Tells a server's line apart by its leading word, as the protocol defines it.
Reply classify(ByteView line);

// The error code of an "ERR <code> <description>" line; nothing when the line
// carries no decimal code that fits in 32 bits.
std::optional<std::uint32_t> errorCode(ByteView line);

// Appends the percent-decoded payload of a "D " line. False for a malformed
// escape or when the bytes do not fit; what was appended stays for the caller
// to wipe.
bool appendData(ByteView line, SecretBuffer& out);

}  // namespace tarvo::assuan
