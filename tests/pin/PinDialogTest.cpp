#include "pin/PinDialog.hpp"

#include "PinTestSupport.hpp"
#include "support/FakePinentry.hpp"

#include <gtest/gtest.h>

#include <pthread.h>

#include <csignal>
#include <future>
#include <thread>

#include <map>
#include <optional>
#include <string>
#include <vector>

namespace tarvo {
namespace {

using namespace std::chrono_literals;

using test::ActiveFakePinentry;
using test::PinentryScript;

const std::vector<std::string> dialogue = {
    "OPTION lc-ctype=C.utf8",
    "OPTION lc-messages=C.utf8",
    "SETTIMEOUT 300",
    "SETTITLE AKİS kart PIN’i",
    "SETDESC AKİS kart PIN’i%0APIN yalnızca bu imza denemesi için kart sürücüsüne iletilir; kaydedilmez veya "
    "loglanmaz. Tek deneme yapılacaktır.",
    "SETPROMPT Kart PIN’i",
    "SETOK İmzala",
    "SETCANCEL Vazgeç",
    "GETPIN",
};

// The dialogue through the command that starts with `word`, then whatever follows.
std::vector<std::string> through(const std::string& word, const std::vector<std::string>& then = {"BYE"}) {
    std::vector<std::string> lines;
    for (const std::string& line : dialogue) {
        lines.push_back(line);
        if (line.starts_with(word)) {
            break;
        }
    }
    lines.insert(lines.end(), then.begin(), then.end());
    return lines;
}

// The outcome and the PIN as one comparable text.
std::string describe(const PinReply& reply) {
    switch (reply.outcome) {
        case PinOutcome::entered:
            return "entered " + std::string(reply.pin.view().begin(), reply.pin.view().end());
        case PinOutcome::cancelled:
            return reply.pin.empty() ? "cancelled" : "cancelled with bytes";
        case PinOutcome::unavailable:
            return reply.pin.empty() ? "unavailable" : "unavailable with bytes";
    }
    return "?";
}

// Every dialog test sees the same locale, whatever the machine's: one that
// every machine has, spelt unlike the fallback.
class LocaleFixed {
protected:
    LocaleFixed() {
        for (const char* name : {"LC_ALL", "LC_CTYPE", "LC_MESSAGES"}) {
            locale_.unset(name);
        }
        locale_.set("LANG", "C.utf8");
    }
    test::ScopedEnvironment locale_;
};

class PinDialogInterrupt : public LocaleFixed, public testing::Test {};

using Replies = std::map<std::string, std::string>;

struct DialogCase {
    std::string name;
    Replies replies;
    std::string reply;  // as described above
    std::vector<std::string> received = through("GETPIN");
    std::string greeting = "OK Pleased to meet you";
};

void PrintTo(const DialogCase& c, std::ostream* out) { *out << c.name; }

class PinDialog : public LocaleFixed, public testing::TestWithParam<DialogCase> {};

TEST_P(PinDialog, AnswersAndSendsExactly) {
    const DialogCase& c = GetParam();
    PinentryScript script;
    script.greeting = c.greeting;
    script.replies = c.replies;
    const ActiveFakePinentry pinentry(script);

    const PinReply reply = test::cleanCall([] { return runPinDialog(cardDialogTexts(false), std::nullopt); });

    EXPECT_EQ(describe(reply), c.reply);
    EXPECT_EQ(pinentry.received(), c.received);
}

const std::string longData(998, 'x');  // "D " and these make a line of exactly the limit

DialogCase answered(std::string name, Replies replies, const std::string& pin,
                    std::vector<std::string> received = through("GETPIN")) {
    return {std::move(name), std::move(replies), "entered " + pin, std::move(received)};
}

DialogCase cancelled(std::string name, Replies replies, std::vector<std::string> received = through("GETPIN")) {
    return {std::move(name), std::move(replies), "cancelled", std::move(received)};
}

DialogCase unavailable(std::string name, Replies replies, std::vector<std::string> received = through("GETPIN"),
                       std::string greeting = "OK Pleased to meet you") {
    return {std::move(name), std::move(replies), "unavailable", std::move(received), std::move(greeting)};
}

const DialogCase dialogCases[] = {
    answered("PlainPin", {{"GETPIN", "D 1234\nOK"}}, "1234"),
    answered("RawUtf8", {{"GETPIN", "D ğüş1\nOK"}}, "ğüş1"),
    answered("EscapedUtf8AnyCase", {{"GETPIN", "D %C4%9f%c3%BC\nOK"}}, "ğü"),
    answered("EscapedPercentAndBreaks", {{"GETPIN", "D 12%2534%0D%0A\nOK"}}, "12%34\r\n"),
    answered("SpacesKept", {{"GETPIN", "D  1 2 \nOK"}}, " 1 2 "),
    answered("EmptyWithoutData", {{"GETPIN", "OK"}}, ""),
    answered("EmptyDataLine", {{"GETPIN", "D \nOK"}}, ""),
    answered("SplitOverDataLines", {{"GETPIN", "D 12\nD 3%34\nOK"}}, "1234"),
    answered("StatusAndComments",
             {{"SETDESC", "# shown\nOK"}, {"GETPIN", "S PASSWORD_FROM_CACHE\n# note\nD 42\nS X\nOK"}}, "42"),
    answered("CarriageReturns", {{"GETPIN", "D 99\r\nOK\r"}}, "99"),
    answered("LineAtTheLimit", {{"GETPIN", "D " + longData + "\nOK"}}, longData),
    answered("InquiryCancelledThenAnswered", {{"GETPIN", "INQUIRE QUALITY 12\n<read>\nD 77\nOK"}}, "77",
             through("GETPIN", {"CAN", "BYE"})),
    // The person said no: cancel, Ctrl-C in pinentry-tty, pinentry's own time-out,
    // whatever the error source in the code's upper bits; or pinentry ended
    // while the dialog was up (Ctrl-C in pinentry-curses).
    cancelled("Cancelled", {{"GETPIN", "ERR 83886179 Operation cancelled <Pinentry>"}}),
    cancelled("FullyCancelled", {{"GETPIN", "ERR 83886278 Operation fully cancelled <Pinentry>"}}),
    cancelled("TimedOut", {{"GETPIN", "ERR 83886142 Timeout <Pinentry>"}}),
    cancelled("CancelledFromAnotherSource", {{"GETPIN", "ERR 33554531"}}),
    cancelled("InquiryCancelledThenRefused", {{"GETPIN", "INQUIRE QUALITY 12\n<read>\nERR 83886179 canceled"}},
              through("GETPIN", {"CAN", "BYE"})),
    cancelled("ExitsInsideTheAnswer", {{"GETPIN", "D 12\n<exit>"}}, through("GETPIN", {})),
    cancelled("ExitsWithoutAnswer", {{"GETPIN", "<exit>"}}, through("GETPIN", {})),
    // No dialog could be shown, or what pinentry said was not an answer.
    unavailable("OtherError", {{"GETPIN", "ERR 83886246 A locale function failed <Pinentry>"}}),
    unavailable("ErrorWithoutCode", {{"GETPIN", "ERR"}}),
    unavailable("ErrorWithGarbledCode", {{"GETPIN", "ERR 99x"}}),
    unavailable("GarbageAnswer", {{"GETPIN", "HELLO"}}),
    unavailable("AlmostOk", {{"GETPIN", "D 1\nOKAY"}}),
    unavailable("BadEscape", {{"GETPIN", "D 12%G4\nOK"}}),
    unavailable("CutEscape", {{"GETPIN", "D 12%4\nOK"}}),
    unavailable("LineOverTheLimit", {{"GETPIN", "D " + longData + "y\nOK"}}),
    unavailable("PinOverTheLimit", {{"GETPIN", "D " + longData + "\nD " + longData + "\nD " + longData + "\nD " +
                                                   longData + "\nD " + longData + "\nOK"}}),
    unavailable("ExitsAfterTitle", {{"SETTITLE", "<exit>"}}, through("SETTITLE", {})),
    unavailable("RefusesLocale", {{"OPTION", "ERR 83886254 Unknown option"}}, through("OPTION")),
    unavailable("CancelBeforeTheDialog", {{"SETDESC", "ERR 83886179 cancelled"}}, through("SETDESC")),
    unavailable("DataForATextCommand", {{"SETOK", "D x\nOK"}}, through("SETOK")),
    unavailable("NoGreeting", {}, {}, "<exit>"),
    unavailable("GarbageGreeting", {}, {"BYE"}, "HELLO"),
    unavailable("ErrorGreeting", {}, {"BYE"}, "ERR 5 no"),
    // Our writes meet a closed pipe: SIGPIPE must not end the test process.
    unavailable("StopsReading", {}, {}, "<close-input>\nOK hi"),
    unavailable("HangsAfterAnswering", {{"GETPIN", "HELLO\n<hang>"}}, through("GETPIN", {})),
};

INSTANTIATE_TEST_SUITE_P(Conversations, PinDialog, testing::ValuesIn(dialogCases),
                         [](const auto& param) { return param.param.name; });

// A pinentry that never answers is not waited for without end. The times are
// shortened here where the stand-in falls silent; the dialog's own are five
// minutes and ten seconds.
struct SilenceCase {
    std::string name;
    PinentryScript script;
    DialogTiming timing;  // shortened only where the stand-in falls silent
    std::string reply;
    std::vector<std::string> received;
};

void PrintTo(const SilenceCase& c, std::ostream* out) { *out << c.name; }

class PinDialogSilence : public LocaleFixed, public testing::TestWithParam<SilenceCase> {};

TEST_P(PinDialogSilence, EndsThePinentry) {
    const SilenceCase& c = GetParam();
    const ActiveFakePinentry pinentry(c.script);
    const PinReply reply =
        test::cleanCall([&] { return runPinDialog(cardDialogTexts(false), std::nullopt, c.timing); });

    EXPECT_EQ(describe(reply), c.reply);
    EXPECT_EQ(pinentry.received(), c.received);
}

std::vector<std::string> withTimeoutOf1(std::vector<std::string> lines) {
    for (std::string& line : lines) {
        if (line == "SETTIMEOUT 300") {
            line = "SETTIMEOUT 1";
        }
    }
    return lines;
}

const SilenceCase silenceCases[] = {
    {"AtTheDialog", {.replies = {{"GETPIN", "<hang>"}}}, {.timeout = 1s, .grace = 1s, .reply = 60s}, "cancelled",
     withTimeoutOf1(through("GETPIN", {}))},
    {"BeforeTheDialog", {.greeting = "<hang>", .replies = {}}, {.reply = 1s}, "unavailable", {}},
};

INSTANTIATE_TEST_SUITE_P(Deadlines, PinDialogSilence, testing::ValuesIn(silenceCases),
                         [](const auto& param) { return param.param.name; });

TEST(DialogTexts, TitleOpensTheDescriptionAndTheWarningFollowsIt) {
    const std::string cardText =
        "PIN yalnızca bu imza denemesi için kart sürücüsüne iletilir; kaydedilmez veya loglanmaz. Tek deneme "
        "yapılacaktır.";
    const DialogTexts card = cardDialogTexts(false);
    const DialogTexts lastTry = cardDialogTexts(true);
    const DialogTexts store = storeDialogTexts("NSS Certificate DB");

    EXPECT_EQ(card.title, "AKİS kart PIN’i");
    EXPECT_EQ(card.description, "AKİS kart PIN’i\n" + cardText);
    EXPECT_EQ(card.prompt, "Kart PIN’i");
    EXPECT_EQ(lastTry.title, "AKİS kart PIN’i");
    EXPECT_EQ(lastTry.description,
              "AKİS kart PIN’i\nDikkat: son deneme hakkı — yanlış PIN kartı kilitler.\n" + cardText);
    EXPECT_EQ(lastTry.prompt, "Kart PIN’i");
    EXPECT_EQ(store.title, "Sertifika deposu PIN’i");
    EXPECT_EQ(store.description,
              "Sertifika deposu PIN’i\n“NSS Certificate DB” imza için PIN ya da parola istiyor. Yalnızca bir kez "
              "denenecek.");
    EXPECT_EQ(store.prompt, "PIN / parola");
}

// The options that come before the texts: the terminal, then the locale.
struct OptionsCase {
    std::string name;
    std::optional<Terminal> terminal;
    std::map<std::string, std::string> locale;  // variables set; the others are unset
    std::vector<std::string> options;
};

void PrintTo(const OptionsCase& c, std::ostream* out) { *out << c.name; }

std::vector<std::string> then(std::vector<std::string> first, const std::vector<std::string>& rest) {
    first.insert(first.end(), rest.begin(), rest.end());
    return first;
}

class PinDialogOptions : public testing::TestWithParam<OptionsCase> {};

TEST_P(PinDialogOptions, ComeFirst) {
    const OptionsCase& c = GetParam();
    test::ScopedEnvironment environment;
    for (const char* name : {"LC_ALL", "LC_CTYPE", "LC_MESSAGES", "LANG"}) {
        environment.unset(name);
    }
    for (const auto& [name, value] : c.locale) {
        environment.set(name, value);
    }
    const ActiveFakePinentry pinentry(test::answeringPin("5"));

    const PinReply reply = test::cleanCall([&c] { return runPinDialog(cardDialogTexts(false), c.terminal); });

    EXPECT_EQ(describe(reply), "entered 5");
    const std::vector<std::string> expected = then(c.options, {"SETTIMEOUT 300"});
    const auto received = pinentry.received();
    ASSERT_GE(received.size(), expected.size());
    EXPECT_EQ(std::vector<std::string>(received.begin(), received.begin() + static_cast<long>(expected.size())),
              expected);
}

const std::map<std::string, std::string> utf8 = {{"LANG", "C.UTF-8"}};
const std::vector<std::string> utf8Options = {"OPTION lc-ctype=C.UTF-8", "OPTION lc-messages=C.UTF-8"};

const OptionsCase optionsCases[] = {
    {"TerminalNameAndType", Terminal{"/dev/pts/7", "xterm-256color"}, utf8,
     then({"OPTION ttyname=/dev/pts/7", "OPTION ttytype=xterm-256color"}, utf8Options)},
    {"TerminalWithoutType", Terminal{"/dev/pts/7", ""}, utf8, then({"OPTION ttyname=/dev/pts/7"}, utf8Options)},
    {"EscapedTerminal", Terminal{"/dev/odd%\nname", "a%b"}, utf8,
     then({"OPTION ttyname=/dev/odd%25%0Aname", "OPTION ttytype=a%25b"}, utf8Options)},
    {"TerminalTooLongToSend", Terminal{"/dev/" + std::string(1000, 'p'), "vt100"}, utf8,
     then({"OPTION ttytype=vt100"}, utf8Options)},
    {"NoLocaleAtAll", std::nullopt, {}, utf8Options},
    {"EmptyCountsAsUnset", std::nullopt, {{"LC_ALL", ""}, {"LC_CTYPE", ""}, {"LANG", ""}}, utf8Options},
    // The C library's own spellings of the UTF-8 locale that every machine has
    // stand for the caller's locales, passed on as they are.
    {"LangForBoth", std::nullopt, {{"LANG", "C.utf8"}}, {"OPTION lc-ctype=C.utf8", "OPTION lc-messages=C.utf8"}},
    {"EachCategoryOverLang", std::nullopt, {{"LANG", "C.UTF-8"}, {"LC_CTYPE", "C.utf8"}, {"LC_MESSAGES", "C.UTF8"}},
     {"OPTION lc-ctype=C.utf8", "OPTION lc-messages=C.UTF8"}},
    {"LcAllOverEverything", std::nullopt, {{"LANG", "C.utf8"}, {"LC_CTYPE", "C.UTF8"}, {"LC_ALL", "C.UTF-8"}},
     utf8Options},
    {"OnlyMessages", std::nullopt, {{"LC_MESSAGES", "C.utf8"}}, {"OPTION lc-ctype=C.UTF-8", "OPTION lc-messages=C.utf8"}},
    // A locale that pinentry could not draw our texts in gives way to C.UTF-8,
    // also where another variable names a good one: LC_ALL=POSIX rules them all.
    {"CLocale", std::nullopt, {{"LANG", "C"}}, utf8Options},
    {"PosixOverEverything", std::nullopt, {{"LC_ALL", "POSIX"}, {"LANG", "C.utf8"}}, utf8Options},
    {"NotInstalled", std::nullopt, {{"LANG", "tr_ZZ.UTF-8"}, {"LC_MESSAGES", "tr_ZZ"}}, utf8Options},
    {"NotAName", std::nullopt, {{"LANG", "../../etc/C.utf8"}}, utf8Options},
};

INSTANTIATE_TEST_SUITE_P(Options, PinDialogOptions, testing::ValuesIn(optionsCases),
                         [](const auto& param) { return param.param.name; });

// Ctrl-C while the dialog is being set up is the person's cancel, also when
// pinentry, ended by the same key, is gone before our wait has seen the key:
// here the key reaches another thread of ours while we wait for pinentry's
// reply, and pinentry's output ends a second later.
TEST_F(PinDialogInterrupt, CtrlCWhileTheDialogIsSetUpIsACancel) {
    PinentryScript script;
    script.replies["SETDESC"] = "<interrupt>\n<sleep 1>\n<exit>";
    const ActiveFakePinentry pinentry(script);
    std::promise<void> done;
    std::thread keyTaker([finished = done.get_future()] { finished.wait(); });

    const PinReply reply = test::cleanCall([&done, &keyTaker] {
        sigset_t interrupt;
        sigset_t previous;
        sigemptyset(&interrupt);
        sigaddset(&interrupt, SIGINT);
        ::pthread_sigmask(SIG_BLOCK, &interrupt, &previous);
        PinReply dialog = runPinDialog(cardDialogTexts(false), std::nullopt);
        ::pthread_sigmask(SIG_SETMASK, &previous, nullptr);
        done.set_value();
        keyTaker.join();
        return dialog;
    });

    EXPECT_EQ(describe(reply), "cancelled");
    EXPECT_EQ(pinentry.received(), through("SETDESC", {}));
}

TEST(PinDialogProgram, MissingPinentryIsNoDialog) {
    const test::TempDir empty;
    test::ScopedEnvironment environment;
    environment.set("PATH", empty.path().string());

    const PinReply reply = test::cleanCall([] { return runPinDialog(cardDialogTexts(false), std::nullopt); });

    EXPECT_EQ(describe(reply), "unavailable");
}

}  // namespace
}  // namespace tarvo
