#include "main/CommandLine.hpp"
#include "main/Helper.hpp"
#include "main/Json.hpp"

#include <span>
#include <unistd.h>

int main(int argc, char** argv) {
    const std::span<const char* const> arguments(const_cast<const char* const*>(argv), static_cast<std::size_t>(argc));
    // argv[0] is the program's own name, not an argument.
    if (const auto text = tarvo::commandLineText(arguments.empty() ? arguments : arguments.subspan(1))) {
        tarvo::writeAll(STDOUT_FILENO, *text);
        return 0;
    }
    return tarvo::runHelper();
}
