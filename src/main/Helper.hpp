#pragma once

namespace tarvo {

// Serves the one request on standard input with one document on standard
// output and returns the exit status: 0 after an answer, 2 after an error.
int runHelper();

}  // namespace tarvo
