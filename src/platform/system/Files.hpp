#pragma once

#include <string>

namespace tarvo::platform {

// True when the path names a regular file, links followed. A directory, a
// device or a FIFO is not one (loading a FIFO would block on its open), and
// a text with a NUL byte names nothing: the system would only see the part
// before it.
bool isRegularFile(const std::string& path);

}  // namespace tarvo::platform
