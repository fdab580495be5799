#pragma once

#include <optional>
#include <span>
#include <string>

namespace tarvo {

// The robot starts the helper without arguments. A person who types one of
// the two usual options gets its text instead of a served request: the first
// of them on the command line counts, and every other argument is ignored.
// Nothing when no option asks for a text.
std::optional<std::string> commandLineText(std::span<const char* const> arguments);

}  // namespace tarvo
