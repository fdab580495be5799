#pragma once

#include <stdexcept>
#include <string>

namespace tarvo {

// The one error type of the program. Its message is the complete Turkish text
// that ends up, unchanged, in the error document.
class HelperError : public std::runtime_error {
public:
    explicit HelperError(const std::string& message) : std::runtime_error(message) {}
    const char* message() const noexcept { return what(); }
};

}  // namespace tarvo
