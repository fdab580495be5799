#pragma once

// Small process and file helpers for tests that drive command-line tools.

#include "platform/Bytes.hpp"

#include <filesystem>
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

}  // namespace tarvo::test
