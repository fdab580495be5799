#pragma once

#include "platform/Bytes.hpp"
#include "platform/SecureBytes.hpp"

#include <optional>
#include <string>

namespace tarvo {

// One decoded request. An optional key that was missing or null is absent;
// an empty string stays an empty text, since each action gives it its own meaning.
struct Request {
    std::string action;
    std::optional<std::string> challenge;
    std::optional<std::string> fingerprint;
    std::optional<std::string> digestInfo;
    std::optional<SecureBytes> pin;
    std::optional<std::string> p11;
};

// Nothing unless the bytes are one JSON object (a UTF-8 byte order mark may
// lead, white space may follow) whose "action" is a string and whose other
// known keys hold strings or null. Unknown keys may hold anything, numbers
// beyond the range of a double included. When a known key repeats, every
// occurrence must be of an accepted kind and the last one counts. Every
// string the parser hands over is wiped once taken; the parser's own scratch
// buffers (a raw copy of each token, and buffers outgrown while reading a long
// string) are freed unwiped, out of our reach.
std::optional<Request> decodeRequest(ByteView input);

}  // namespace tarvo
