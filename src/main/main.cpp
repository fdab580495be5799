#include "main/CommandLine.hpp"
#include "main/Helper.hpp"
#include "platform/system/FileDescriptor.hpp"
#include "platform/system/ProcessProtection.hpp"

#include <span>
#include <unistd.h>

int main(int argc, char** argv) {
    const std::span<const char* const> arguments(const_cast<const char* const*>(argv), static_cast<std::size_t>(argc));
    // argv[0] is the program's own name, not an argument.
    if (const auto text = tarvo::commandLineText(arguments.empty() ? arguments : arguments.subspan(1))) {
        // A reader that is gone makes the text undelivered, status 2, as with an answer.
        tarvo::platform::ignoreBrokenPipes();
        return tarvo::platform::writeAll(STDOUT_FILENO, text->data(), text->size()) ? 0 : 2;
    }
// The tests build a second helper whose module calls and store opening get a
// shorter deadline; the helper itself has no switch for it.
#ifdef TARVO_TEST_FOREIGN_CALL_DEADLINE_SECONDS
    return tarvo::runHelper(std::chrono::seconds(TARVO_TEST_FOREIGN_CALL_DEADLINE_SECONDS));
#else
    return tarvo::runHelper();
#endif
}
