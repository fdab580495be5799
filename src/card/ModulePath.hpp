#pragma once

#include <string>

namespace tarvo {

// Where the AKİS module is installed by default. The same text on every
// platform: callers on other systems name their module in the request.
inline constexpr const char* akisModulePath = "/usr/local/lib/libakisp11.dylib";

// The only path the module binding loads from. Set once at start-up, replaced
// at most once by the request's "p11".
extern std::string p11ModulePath;

}  // namespace tarvo
