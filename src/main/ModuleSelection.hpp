#pragma once

#include <optional>
#include <string>

namespace tarvo {

// True when something (file, directory, device, …) exists at the path, links
// followed. A text with a NUL byte names nothing: the system would only see
// the part before it.
bool fileExistsAtPath(const std::string& path);

// Lets a non-empty "p11" that names something existing replace the module
// path set at start-up, unchanged. A "p11" naming nothing is not an
// error: the default stays, silently.
void selectModulePath(const std::optional<std::string>& p11);

}  // namespace tarvo
