#pragma once

#include "platform/vocabulary/Bytes.hpp"
#include "platform/vocabulary/SecureBytes.hpp"

namespace tarvo {

// A copy of a JSON text in which every number token outside strings is
// replaced by "0" padded with spaces to the token's length. Whether a request
// is accepted never depends on a number's value, only on where it stands, so
// the copy is read exactly like the original, except that a number too large
// for a double no longer stops the parser. Runs of number characters that are
// not one well-formed number are left as they are for the parser to refuse.
// The copy holds the request's secrets too, so it wipes itself.
SecureBytes withNumbersZeroed(ByteView json);

}  // namespace tarvo
