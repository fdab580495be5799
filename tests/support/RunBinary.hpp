#pragma once

// Runs the built helper the way the agent does: request bytes on standard
// input, one document expected on standard output.

#include <chrono>
#include <filesystem>
#include <functional>
#include <map>
#include <string>
#include <string_view>
#include <sys/types.h>
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

// Starts the helper with exactly this environment and no arguments, in the
// directory when one is given, writes the input and closes it, and collects
// both outputs until the process ends.
RunResult runBinary(std::string_view input, const Environment& environment, const std::filesystem::path& directory = {},
                    std::chrono::seconds patience = std::chrono::seconds(120));

// What the helper's standard output is.
enum class Output {
    pipe,           // a pipe we read as fast as it fills
    devFull,        // /dev/full: every write fails for want of space
    readerGone,     // a pipe whose reading end is closed before the helper writes
    closed,         // no descriptor 1 at all
    slowFullPipe,   // a non-blocking pipe of one page, read only once it is full, then in small pieces
};

struct RunOptions {
    std::string binary = TARVO_BINARY;
    Output output = Output::pipe;
    // Runs in the child just before the helper is started (limits, working folder).
    std::function<void()> inChild;
    // Runs in the parent once the helper has the whole request, before its output is read.
    std::function<void(pid_t)> whileRunning;
    std::filesystem::path directory;  // the helper's working folder; ours when empty
    std::chrono::seconds patience{120};
    // None, as the robot starts the helper; a person may type some.
    std::vector<std::string> arguments;
};

// When TARVO_ANSWER_RECORD names a file, every run that served a request (no
// arguments, the whole output read, the helper exited by itself) is appended to it as one JSON line
// {"request", "status", "answer"}, request and answer in Base64, for the
// schema check that runs after the end-to-end tests. Nothing when the
// variable is unset.
void recordAnswer(std::string_view request, const RunResult& result);

RunResult runBinary(std::string_view input, const Environment& environment, const RunOptions& options);

}  // namespace tarvo::test
