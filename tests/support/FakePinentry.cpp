#include "support/FakePinentry.hpp"

#include <cstdlib>
#include <fstream>

namespace tarvo::test {

namespace {

const std::string standInFolder = std::string(TARVO_TESTS_DIR) + "/pin/stand-in";

}  // namespace

PinentryScript answeringPin(const std::string& escapedPin) {
    PinentryScript script;
    script.replies["GETPIN"] = "D " + escapedPin + "\nOK";
    return script;
}

FakePinentry::FakePinentry(PinentryScript script) : script_(std::move(script)) {
    // The record exists from the start, so that "nothing received" reads as an empty list.
    writeFile(folder_.path() / "received", std::string());
}

Environment FakePinentry::environment() const {
    Environment environment;
    // Appended piece by piece: GCC 12 misreads `":" + std::string(...)` at -O2 as an overlapping copy.
    std::string searchPath = standInFolder;
    if (const char* path = std::getenv("PATH"); path != nullptr && *path != '\0') {
        searchPath += ':';
        searchPath += path;
    }
    environment["PATH"] = searchPath;
    // It stands for a graphical pinentry, and the helper starts one only when
    // there is a display to show it on. Nothing connects to this one.
    environment["DISPLAY"] = ":stand-in";
    environment["FAKE_PINENTRY_RECORD"] = (folder_.path() / "received").string();
    environment["FAKE_PINENTRY_PIDFILE"] = (folder_.path() / "pid").string();
    environment["FAKE_PINENTRY_GREETING"] = script_.greeting;
    for (const auto& [word, reply] : script_.replies) {
        environment["FAKE_PINENTRY_REPLY_" + word] = reply;
    }
    return environment;
}

std::vector<std::string> FakePinentry::received() const {
    std::ifstream in(folder_.path() / "received", std::ios::binary);
    std::vector<std::string> lines;
    for (std::string line; std::getline(in, line);) {
        lines.push_back(line);
    }
    return lines;
}

pid_t FakePinentry::pid() const {
    std::ifstream in(folder_.path() / "pid");
    pid_t pid = 0;
    in >> pid;
    return in ? pid : 0;
}

ActiveFakePinentry::ActiveFakePinentry(PinentryScript script) : pinentry_(std::move(script)) {
    for (const auto& [name, value] : pinentry_.environment()) {
        environment_.set(name, value);
    }
}

}  // namespace tarvo::test
