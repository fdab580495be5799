// Where the robot runs decides where the card's PIN dialog can appear: a
// graphical pinentry on a private X display, driven as a person would, and
// every kind of pinentry when the helper has neither a terminal nor a display.

#include "CardDialog.hpp"
#include "support/FakePinentry.hpp"
#include "support/RunningHelper.hpp"
#include "support/VirtualDisplay.hpp"

#include <cctype>

namespace tarvo::test {
namespace {

constexpr const char* graphicalPinentry = "pinentry-gtk-2";

struct DisplayCase {
    const char* name;
    std::vector<std::vector<std::string>> actions;  // xdotool commands, in order
    std::string answer;                              // the exact answer; empty for a signature
};

void PrintTo(const DisplayCase& c, std::ostream* out) { *out << c.name; }

class PinentryOnDisplay : public CardDialog, public ::testing::WithParamInterface<DisplayCase> {};

TEST_P(PinentryOnDisplay, AsksInAWindowAndAnswersTheRobot) {
    const DisplayCase& c = GetParam();
    if (const std::string reason = VirtualDisplay::unavailableReason(); !reason.empty()) {
        GTEST_SKIP() << reason;
    }
    const std::filesystem::path executable = onPath(graphicalPinentry);
    if (executable.empty()) {
        GTEST_SKIP() << graphicalPinentry << " is not installed (scripts/install-deps.sh installs it)";
    }
    const VirtualDisplay display;
    Environment environment = this->environment(executable);
    environment["DISPLAY"] = display.name();
    // Started from a desktop, not from a terminal.
    RunningHelper helper(request(), environment, RunningHelper::Terminal::none);

    // The window carries the dialog's title, Turkish letters and all.
    std::string window = display.xdotool({"search", "--sync", "--onlyvisible", "--classname", "pinentry"});
    window = window.substr(0, window.find('\n'));
    EXPECT_EQ(display.xdotool({"getwindowname", window}), "AKİS kart PIN’i\n");
    for (const auto& action : c.actions) {
        display.xdotool(action);
    }
    const RunResult result = helper.finish();

    EXPECT_EQ(result.err, "");
    if (c.answer.empty()) {
        expectSigned(result);
    } else {
        EXPECT_EQ(result.status, 2);
        EXPECT_EQ(result.out, c.answer);
    }
}

const DisplayCase displayCases[] = {
    {"TypedPinSigns", {{"type", "--delay", "20", SoftHsmCard::userPin}, {"key", "Return"}}, ""},
    {"EscapeCancels", {{"key", "Escape"}}, cancelledAnswer},
};

INSTANTIATE_TEST_SUITE_P(Gtk2, PinentryOnDisplay, ::testing::ValuesIn(displayCases),
                         [](const auto& testParam) { return std::string(testParam.param.name); });

// Without a controlling terminal and without DISPLAY or WAYLAND_DISPLAY no
// pinentry can reach the person, whichever is first on PATH: the robot learns
// that no dialog was shown, never that the person cancelled, and no pinentry
// is started (the stand-in would record it).
class NowhereToAsk : public CardDialog, public ::testing::WithParamInterface<const char*> {};

TEST_P(NowhereToAsk, NoDialogAndNoPinentry) {
    const std::string program = GetParam();
    const FakePinentry standIn(answeringPin(SoftHsmCard::userPin));
    Environment environment;
    if (program == "stand-in") {
        environment = helperAndCard();
        for (const auto& [name, value] : standIn.environment()) {
            environment[name] = value;
        }
    } else {
        const std::filesystem::path executable = onPath(program);
        if (executable.empty()) {
            GTEST_SKIP() << program << " is not installed (scripts/install-deps.sh installs it)";
        }
        environment = this->environment(executable);
    }
    environment.erase("DISPLAY");
    environment.erase("WAYLAND_DISPLAY");

    RunningHelper helper(request(), environment, RunningHelper::Terminal::none);
    const RunResult result = helper.finish();

    EXPECT_EQ(result.status, 2);
    EXPECT_EQ(result.out, noDialogAnswer);
    EXPECT_EQ(result.err, "");
    EXPECT_EQ(standIn.pid(), 0);
}

INSTANTIATE_TEST_SUITE_P(Programs, NowhereToAsk,
                         ::testing::Values("pinentry-tty", "pinentry-curses", graphicalPinentry, "stand-in"),
                         [](const auto& testParam) {
                             std::string name;
                             for (const char c : std::string(testParam.param)) {
                                 if (std::isalnum(static_cast<unsigned char>(c))) name += c;
                             }
                             return name;
                         });

}  // namespace
}  // namespace tarvo::test
