#pragma once

#include "platform/vocabulary/Bytes.hpp"
#include "platform/vocabulary/SecureBytes.hpp"

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
// string the parser hands over is wiped once taken, and nothing of a request
// that is read to its end is left in the parser's own buffers (the raw copy
// of each token, and the decoded one). Of a request at which the parser stops
// part-way (one it refuses, or one read again for a number beyond the range
// of a double), the token at which it stopped may stay there.
std::optional<Request> decodeRequest(ByteView input);

}  // namespace tarvo
