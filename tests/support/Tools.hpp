#pragma once

// Small process and file helpers for tests that drive command-line tools.

#include "platform/vocabulary/Bytes.hpp"

#include <sys/types.h>

#include <chrono>
#include <filesystem>
#include <thread>
#include <string>
#include <vector>

namespace tarvo::test {

// A fresh directory under the system's temporary folder, removed with everything in it.
class TempDir {
public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    const std::filesystem::path& path() const { return path_; }

private:
    std::filesystem::path path_;
};

// Runs a program found on PATH with the extra environment entries ("NAME=value")
// added to ours; its output is discarded. The exit status, or -1.
int runTool(const std::vector<std::string>& argv, const std::vector<std::string>& environment = {});
// The same for a set-up step that must work: throws, naming the command, when it fails.
void runToolChecked(const std::vector<std::string>& argv, const std::vector<std::string>& environment = {});
// What a program that must work wrote to its standard output; throws like runToolChecked.
std::string toolOutput(const std::vector<std::string>& argv, const std::vector<std::string>& environment = {});

void writeFile(const std::filesystem::path& path, const Bytes& bytes);
void writeFile(const std::filesystem::path& path, const std::string& text);

std::string hex(ByteView bytes);

// Whether the process has ended: gone, or a zombie that nobody reaped.
bool processEnded(pid_t pid);

// Waits until the condition holds, looking again every few milliseconds; false
// when the patience runs out first.
template <typename Condition>
bool eventually(Condition condition, std::chrono::seconds patience = std::chrono::seconds(60)) {
    const auto deadline = std::chrono::steady_clock::now() + patience;
    while (!condition()) {
        if (std::chrono::steady_clock::now() > deadline) {
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return true;
}

}  // namespace tarvo::test
