#pragma once

#include "platform/system/ForeignCall.hpp"

#include <chrono>

namespace tarvo {

// Serves the one request on standard input with one document on the answer
// channel (the caller's standard output) and returns the exit status: 0 once
// the caller has the whole answer, 2 after an error or an answer that could
// not be delivered. A module call or the opening of the certificate store
// that takes longer than the deadline ends the run with its own error document.
int runHelper(std::chrono::seconds foreignCallDeadline = platform::foreignCallDeadline);

}  // namespace tarvo
