#pragma once

// The scripted pinentry stand-in of the tests (tests/pin/stand-in/pinentry):
// what it answers, where it records what it was sent, and the environment that
// puts it first on PATH, for this process or for a helper started by a test.

#include "support/RunBinary.hpp"
#include "support/ScopedEnvironment.hpp"
#include "support/Tools.hpp"

#include <sys/types.h>

#include <map>
#include <string>
#include <vector>

namespace tarvo::test {

struct PinentryScript {
    // Lines separated by "\n"; see the stand-in for <read>, <close-input>, <exit>.
    std::string greeting = "OK Pleased to meet you";
    // Replies by the command's first word; commands not named here get "OK".
    std::map<std::string, std::string> replies;
};

// A script that answers GETPIN with one data line (already percent-escaped).
PinentryScript answeringPin(const std::string& escapedPin);

class FakePinentry {
public:
    explicit FakePinentry(PinentryScript script);

    // PATH with the stand-in first, a DISPLAY, the script and the record
    // file, ready to be merged into a child's environment.
    Environment environment() const;

    // Every line the stand-in read, in order, without the line feeds.
    std::vector<std::string> received() const;
    // The process id of the stand-in that ran last; 0 before one has started.
    pid_t pid() const;

private:
    TempDir folder_;
    PinentryScript script_;
};

// FakePinentry applied to our own environment for the scope's lifetime.
class ActiveFakePinentry {
public:
    explicit ActiveFakePinentry(PinentryScript script);
    std::vector<std::string> received() const { return pinentry_.received(); }

private:
    FakePinentry pinentry_;
    ScopedEnvironment environment_;
};

}  // namespace tarvo::test
