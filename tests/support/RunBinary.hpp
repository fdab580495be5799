#pragma once

// Runs the built helper the way the agent does: request bytes on standard
// input, one document expected on standard output.

#include <chrono>
#include <filesystem>
#include <map>
#include <string>
#include <string_view>
#include <vector>

namespace tarvo::test {

using Environment = std::map<std::string, std::string>;

struct RunResult {
    std::string out;
    std::string err;
    // The exit status when the process exited; minus the signal number when a
    // signal ended it (a hung process is killed with SIGKILL).
    int status = -1;
};

// HOME as given, PATH as ours, and the sanitizer settings of the test run, so
// that a sanitizer build of the helper reports the same way the tests do.
Environment helperEnvironment(const std::string& home);

// When TARVO_ANSWER_RECORD names a file, every run of the helper that served a
// request is appended to it as one JSON line {"request", "status", "answer"},
// request and answer in Base64, for the schema check that runs after the
// end-to-end tests. Nothing when the variable is unset.
void recordAnswer(std::string_view request, const RunResult& result);

// Starts the helper with exactly this environment and no arguments, in the
// directory when one is given, writes the input and closes it, and collects
// both outputs until the process ends. The answer is recorded.
RunResult runBinary(std::string_view input, const Environment& environment, const std::filesystem::path& directory = {},
                    std::chrono::seconds patience = std::chrono::seconds(120));

// The same with these arguments, as a person types them; nothing is recorded,
// since an answer to an option is no protocol document.
RunResult runBinary(const std::vector<std::string>& arguments, std::string_view input, const Environment& environment);

}  // namespace tarvo::test
