// What reaches pinentry from the helper: its three standard streams and no
// other descriptor of the caller's, and only a pinentry found in an absolute
// PATH entry, never one planted where a relative entry points.

#include "CardDialog.hpp"
#include "support/FakePinentry.hpp"

#include <fcntl.h>

#include <csignal>
#include <vector>

namespace tarvo::test {
namespace {

const std::filesystem::path standIn = std::filesystem::path(TARVO_TESTS_DIR) / "pin" / "stand-in" / "pinentry";

std::vector<std::string> openDescriptors(pid_t pid) {
    std::vector<std::string> targets;
    std::error_code error;
    for (const auto& entry : std::filesystem::directory_iterator("/proc/" + std::to_string(pid) + "/fd", error)) {
        targets.push_back(entry.path().filename().string() + " -> " +
                          std::filesystem::read_symlink(entry.path(), error).string());
    }
    return targets;
}

TEST_F(CardDialog, PinentryGetsNoDescriptorLeftOpenByTheCaller) {
    PinentryScript waiting;
    waiting.replies["GETPIN"] = "<hang>";
    const FakePinentry pinentry(waiting);
    Environment environment = helperAndCard();
    for (const auto& [name, value] : pinentry.environment()) {
        environment[name] = value;
    }
    const TempDir folder;
    const std::filesystem::path leftOpen = folder.path() / "left-open";
    writeFile(leftOpen, std::string("not for pinentry"));

    RunOptions options;
    options.inChild = [&leftOpen] {
        // Three descriptors that the caller did not mark close-on-exec.
        for (const int fd : {3, 7, 20}) {
            const int opened = ::open(leftOpen.c_str(), O_RDONLY);
            if (opened != fd) {
                ::dup2(opened, fd);
                ::close(opened);
            }
        }
    };
    std::vector<std::string> seen;
    options.whileRunning = [&](pid_t helper) {
        const bool asked = eventually([&] {
            const auto received = pinentry.received();
            return !received.empty() && received.back() == "GETPIN";
        });
        if (asked) {
            seen = openDescriptors(pinentry.pid());
        }
        ::kill(helper, SIGTERM);
    };
    const RunResult result = runBinary(request(), environment, options);

    EXPECT_EQ(result.status, -SIGTERM);
    ASSERT_FALSE(seen.empty()) << "pinentry was not asked for the PIN";
    for (const std::string& descriptor : seen) {
        EXPECT_EQ(descriptor.find(leftOpen.string()), std::string::npos) << descriptor;
    }
}

struct SearchCase {
    std::string path;  // PATH
    bool signs;        // a pinentry was found and asked, or none was
};

TEST_F(CardDialog, PinentryIsSoughtOnlyInAbsolutePathEntries) {
    // A pinentry planted in the working folder and in a folder below it.
    const TempDir work;
    std::filesystem::create_directory(work.path() / "bin");
    std::filesystem::create_symlink(standIn, work.path() / "pinentry");
    std::filesystem::create_symlink(standIn, work.path() / "bin" / "pinentry");
    const std::string empty = programs.path().string();
    const std::string standInFolder = standIn.parent_path().string();
    const std::vector<SearchCase> cases = {
        {":" + empty, false},                // an empty entry: the working folder
        {".:" + empty, false},               // the working folder by name
        {"bin:" + empty, false},             // relative to the working folder
        {"::.:bin:" + standInFolder, true},  // the search goes on to the absolute entry
    };
    for (const SearchCase& c : cases) {
        SCOPED_TRACE(c.path);
        const FakePinentry pinentry(answeringPin(SoftHsmCard::userPin));
        Environment environment = helperAndCard();
        for (const auto& [name, value] : pinentry.environment()) {
            environment[name] = value;
        }
        environment["PATH"] = c.path;
        RunOptions options;
        options.directory = work.path();

        const RunResult result = runBinary(request(), environment, options);

        EXPECT_EQ(result.err, "");
        if (c.signs) {
            expectSigned(result);
            EXPECT_NE(pinentry.pid(), 0);
        } else {
            EXPECT_EQ(result.status, 2);
            EXPECT_EQ(result.out, noDialogAnswer);
            EXPECT_EQ(pinentry.pid(), 0);
        }
    }
}

}  // namespace
}  // namespace tarvo::test
