// The card's PIN dialog through the real text-mode pinentry programs, on a
// pseudo-terminal that stands for the one the robot was started from, in
// whatever locale the robot has, and what the robot gets when no dialog can be
// shown or the helper is ended meanwhile.

#include "CardDialog.hpp"
#include "support/FakePinentry.hpp"
#include "support/RunningHelper.hpp"

#include <locale.h>

#include <csignal>

namespace tarvo::test {
namespace {

struct Program {
    const char* name;
    const char* executable;
    const char* ready;   // drawn last, once the dialog waits for keys
    const char* cancel;  // the keys that cancel
};

const Program programs[] = {
    // Tab, Tab reaches the cancel button.
    {"Curses", "pinentry-curses", "<Vazgeç>", "\t\t\r"},
    // Ctrl-D on the empty line.
    {"Tty", "pinentry-tty", "Kart PIN’i: ", "\x04"},
};

void PrintTo(const Program& program, std::ostream* out) { *out << program.name; }

enum class Keys { rightPin, wrongPin, cancel, interrupt, terminate };

struct TerminalCase {
    const char* name;
    Keys keys;
    Environment locale;  // the locale variables set; none at all when empty
    std::string answer;  // the exact answer; empty for a signature or a signal
};

// A UTF-8 locale that this machine does not have: Turkish, as a robot's
// settings would name it, unless it is installed here.
std::string missingLocale() {
    for (const char* name : {"tr_TR.UTF-8", "tr_ZZ.UTF-8"}) {
        const locale_t locale = ::newlocale(LC_ALL_MASK, name, static_cast<locale_t>(nullptr));
        if (locale == static_cast<locale_t>(nullptr)) {
            return name;
        }
        ::freelocale(locale);
    }
    return "zz_ZZ.UTF-8";
}

const Environment utf8 = {{"LANG", "C.UTF-8"}};

const TerminalCase terminalCases[] = {
    {"RightPinSigns", Keys::rightPin, utf8, ""},
    {"WrongPinStops", Keys::wrongPin, utf8, wrongPinAnswer},
    {"CancelIsCancelled", Keys::cancel, utf8, cancelledAnswer},
    // The terminal's interrupt ends pinentry; the helper lives on to answer.
    {"CtrlCIsCancelled", Keys::interrupt, utf8, cancelledAnswer},
    // Services and cron jobs: no locale, C or POSIX, or one that is not installed.
    {"NoLocaleStillDraws", Keys::rightPin, {}, ""},
    {"CLocaleStillDraws", Keys::rightPin, {{"LANG", "C"}}, ""},
    {"MissingLocaleStillDraws", Keys::rightPin, {{"LANG", missingLocale()}}, ""},
    // Ended by whoever started it: no answer, no dialog left behind.
    {"TerminatedLeavesNothing", Keys::terminate, utf8, ""},
};

void PrintTo(const TerminalCase& c, std::ostream* out) { *out << c.name; }

class PinentryOnTerminal : public CardDialog,
                           public ::testing::WithParamInterface<std::tuple<Program, TerminalCase>> {};

TEST_P(PinentryOnTerminal, AsksOnTheTerminalAndAnswersTheRobot) {
    const auto& [program, c] = GetParam();
    const std::filesystem::path executable = onPath(program.executable);
    ASSERT_FALSE(executable.empty()) << program.executable << " is not installed";
    Environment environment = this->environment(executable);
    environment.insert(c.locale.begin(), c.locale.end());
    RunningHelper helper(request(), environment, RunningHelper::Terminal::pseudo);

    // The title opens the description, for neither program shows a title.
    ASSERT_TRUE(helper.waitForScreen("AKİS kart PIN’i")) << helper.screen();
    ASSERT_TRUE(helper.waitForScreen(program.ready)) << helper.screen();
    ASSERT_TRUE(helper.waitForEchoOff()) << helper.screen();
    switch (c.keys) {
        case Keys::rightPin:
            helper.type(std::string(SoftHsmCard::userPin) + "\r");
            break;
        case Keys::wrongPin:
            helper.type("0000\r");
            break;
        case Keys::cancel:
            helper.type(program.cancel);
            break;
        case Keys::interrupt:
            helper.type("\x03");
            break;
        case Keys::terminate:
            ::kill(helper.pid(), SIGTERM);
            break;
    }
    const RunResult result = helper.finish();

    // However the dialog ended, the person's terminal echoes again.
    EXPECT_TRUE(helper.echoing());
    EXPECT_EQ(result.err, "");
    if (c.keys == Keys::terminate) {
        EXPECT_EQ(result.status, -SIGTERM);
        EXPECT_EQ(result.out, "");
    } else if (c.answer.empty()) {
        expectSigned(result);
    } else {
        EXPECT_EQ(result.status, 2);
        EXPECT_EQ(result.out, c.answer);
    }
}

INSTANTIATE_TEST_SUITE_P(Programs, PinentryOnTerminal,
                         ::testing::Combine(::testing::ValuesIn(programs), ::testing::ValuesIn(terminalCases)),
                         [](const auto& testParam) {
                             return std::string(std::get<0>(testParam.param).name) + std::get<1>(testParam.param).name;
                         });

TEST_F(CardDialog, NoPinentryIsNoDialog) {
    Environment environment = helperAndCard();
    environment["PATH"] = programs.path().string();  // empty
    // A display to show a dialog on, so that it is the missing program that stops it.
    environment["DISPLAY"] = ":0";

    RunningHelper helper(request(), environment, RunningHelper::Terminal::none);
    const RunResult result = helper.finish();

    EXPECT_EQ(result.status, 2);
    EXPECT_EQ(result.out, noDialogAnswer);
    EXPECT_EQ(result.err, "");
}

// Ended while the dialog is open, the helper takes pinentry along. Here it has
// no terminal, whose hang-up could end pinentry by itself.
class EndedDuringTheDialog : public CardDialog, public ::testing::WithParamInterface<int> {};

TEST_P(EndedDuringTheDialog, LeavesNoPinentryBehind) {
    PinentryScript silent;
    silent.replies["GETPIN"] = "<hang>";
    const FakePinentry pinentry(silent);
    Environment environment = helperAndCard();
    for (const auto& [name, value] : pinentry.environment()) {
        environment[name] = value;
    }
    RunningHelper helper(request(), environment, RunningHelper::Terminal::none);
    ASSERT_TRUE(eventually([&] {
        const auto received = pinentry.received();
        return !received.empty() && received.back() == "GETPIN";
    }));
    const pid_t dialog = pinentry.pid();
    ASSERT_GT(dialog, 0);
    ASSERT_FALSE(processEnded(dialog));

    ::kill(helper.pid(), GetParam());
    const RunResult result = helper.finish();

    EXPECT_EQ(result.status, -GetParam());
    EXPECT_EQ(result.out, "");
    EXPECT_EQ(result.err, "");
    // Well before the stand-in would end by itself.
    EXPECT_TRUE(eventually([&] { return processEnded(dialog); }, std::chrono::seconds(30)))
        << "pinentry " << dialog << " outlived the helper";
}

INSTANTIATE_TEST_SUITE_P(Signals, EndedDuringTheDialog, ::testing::Values(SIGTERM, SIGHUP),
                         [](const auto& testParam) { return testParam.param == SIGTERM ? "Terminate" : "HangUp"; });

}  // namespace
}  // namespace tarvo::test
