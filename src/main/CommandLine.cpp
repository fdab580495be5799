#include "main/CommandLine.hpp"

#include "platform/vocabulary/Messages.hpp"

#include <string_view>

namespace tarvo {

std::optional<std::string> commandLineText(std::span<const char* const> arguments) {
    for (const char* argument : arguments) {
        const std::string_view option = argument != nullptr ? argument : "";
        if (option == "--version") {
            return std::string(messages::commandLine::programName) + " " + TARVO_VERSION + "\n";
        }
        if (option == "--help") {
            return messages::commandLine::usage;
        }
    }
    return std::nullopt;
}

}  // namespace tarvo
