#pragma once

#include <optional>
#include <span>
#include <string>

namespace tarvo {

// Where the AKİS module is looked for when a request names none, in order:
// the build's TARVO_DEFAULT_MODULE_PATHS, never empty.
std::span<const char* const> defaultModuleCandidates();

// The first candidate that is a regular file; else the first candidate, so
// that the missing-module message names the module's usual place.
std::string defaultModulePath(std::span<const char* const> candidates);

// The module path of this run: the request's "p11" unchanged when it names a
// regular file (links followed), else the default. A "p11" naming nothing,
// or a directory, FIFO or device, is no error: the default stays, silently.
std::string chooseModulePath(const std::optional<std::string>& p11);

}  // namespace tarvo
