#include "pin/PinDialog.hpp"

#include "PinTestSupport.hpp"
#include "support/FakePinentry.hpp"

#include <gtest/gtest.h>

#include <map>
#include <optional>
#include <string>
#include <vector>

namespace tarvo {
namespace {

using test::ActiveFakePinentry;
using test::PinentryScript;

const std::vector<std::string> dialogue = {
    "SETTITLE AKİS kart PIN’i",
    "SETDESC PIN yalnızca bu imza denemesi için kart sürücüsüne iletilir; kaydedilmez veya loglanmaz. "
    "Tek deneme yapılacaktır.",
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

std::optional<std::string> asText(const std::optional<SecureBytes>& pin) {
    if (!pin) {
        return std::nullopt;
    }
    return std::string(pin->view().begin(), pin->view().end());
}

struct DialogCase {
    std::string name;
    std::map<std::string, std::string> replies;
    std::optional<std::string> pin;
    std::vector<std::string> received = through("GETPIN");
    std::string greeting = "OK Pleased to meet you";
};

void PrintTo(const DialogCase& c, std::ostream* out) { *out << c.name; }

class PinDialog : public testing::TestWithParam<DialogCase> {};

TEST_P(PinDialog, AnswersAndSendsExactly) {
    const DialogCase& c = GetParam();
    PinentryScript script;
    script.greeting = c.greeting;
    script.replies = c.replies;
    const ActiveFakePinentry pinentry(script);

    const auto pin = test::cleanCall([] { return runPinDialog(cardDialogTexts(false), std::nullopt); });

    EXPECT_EQ(asText(pin), c.pin);
    EXPECT_EQ(pinentry.received(), c.received);
}

const std::string longData(998, 'x');  // "D " and these make a line of exactly the limit

using Replies = std::map<std::string, std::string>;

DialogCase answered(std::string name, Replies replies, std::string pin,
                    std::vector<std::string> received = through("GETPIN")) {
    return {std::move(name), std::move(replies), std::move(pin), std::move(received), "OK Pleased to meet you"};
}

DialogCase refused(std::string name, Replies replies, std::vector<std::string> received = through("GETPIN"),
                   std::string greeting = "OK Pleased to meet you") {
    return {std::move(name), std::move(replies), std::nullopt, std::move(received), std::move(greeting)};
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
    refused("InquiryCancelledThenRefused", {{"GETPIN", "INQUIRE QUALITY 12\n<read>\nERR 83886179 canceled"}},
            through("GETPIN", {"CAN", "BYE"})),
    refused("Cancelled", {{"GETPIN", "ERR 83886179 Operation cancelled <Pinentry>"}}),
    refused("GarbageAnswer", {{"GETPIN", "HELLO"}}),
    refused("AlmostOk", {{"GETPIN", "D 1\nOKAY"}}),
    refused("BadEscape", {{"GETPIN", "D 12%G4\nOK"}}),
    refused("CutEscape", {{"GETPIN", "D 12%4\nOK"}}),
    refused("LineOverTheLimit", {{"GETPIN", "D " + longData + "y\nOK"}}),
    refused("PinOverTheLimit", {{"GETPIN", "D " + longData + "\nD " + longData + "\nD " + longData + "\nD " +
                                               longData + "\nD " + longData + "\nOK"}}),
    refused("ExitsInsideTheAnswer", {{"GETPIN", "D 12\n<exit>"}}, through("GETPIN", {})),
    refused("ExitsAfterTitle", {{"SETTITLE", "<exit>"}}, through("SETTITLE", {})),
    refused("RefusesDescription", {{"SETDESC", "ERR 1 nope"}}, through("SETDESC")),
    refused("DataForATextCommand", {{"SETOK", "D x\nOK"}}, through("SETOK")),
    refused("NoGreeting", {}, {}, "<exit>"),
    refused("GarbageGreeting", {}, {"BYE"}, "HELLO"),
    refused("ErrorGreeting", {}, {"BYE"}, "ERR 5 no"),
    // Our writes meet a closed pipe: SIGPIPE must not end the test process.
    refused("StopsReading", {}, {}, "<close-input>\nOK hi"),
    refused("HangsAfterAnswering", {{"GETPIN", "HELLO\n<hang>"}}, through("GETPIN", {})),
};

INSTANTIATE_TEST_SUITE_P(Conversations, PinDialog, testing::ValuesIn(dialogCases),
                         [](const auto& param) { return param.param.name; });

struct TerminalCase {
    std::string name;
    Terminal terminal;
    std::vector<std::string> options;
};

void PrintTo(const TerminalCase& c, std::ostream* out) { *out << c.name; }

class PinDialogTerminal : public testing::TestWithParam<TerminalCase> {};

TEST_P(PinDialogTerminal, TellsTheTerminalFirst) {
    const TerminalCase& c = GetParam();
    const ActiveFakePinentry pinentry(test::answeringPin("5"));

    const auto pin = test::cleanCall([&c] { return runPinDialog(cardDialogTexts(false), c.terminal); });

    EXPECT_EQ(asText(pin), "5");
    std::vector<std::string> expected = c.options;
    const auto rest = through("GETPIN");
    expected.insert(expected.end(), rest.begin(), rest.end());
    EXPECT_EQ(pinentry.received(), expected);
}

const TerminalCase terminalCases[] = {
    {"NameAndType", {"/dev/pts/7", "xterm-256color"}, {"OPTION ttyname=/dev/pts/7", "OPTION ttytype=xterm-256color"}},
    {"NoType", {"/dev/pts/7", ""}, {"OPTION ttyname=/dev/pts/7"}},
    {"Escaped", {"/dev/odd%\nname", "a%b"}, {"OPTION ttyname=/dev/odd%25%0Aname", "OPTION ttytype=a%25b"}},
    {"TooLongToSend", {"/dev/" + std::string(1000, 'p'), "vt100"}, {"OPTION ttytype=vt100"}},
};

INSTANTIATE_TEST_SUITE_P(Options, PinDialogTerminal, testing::ValuesIn(terminalCases),
                         [](const auto& param) { return param.param.name; });

TEST(PinDialogProgram, MissingPinentryGivesNoPin) {
    const test::TempDir empty;
    test::ScopedEnvironment environment;
    environment.set("PATH", empty.path().string());

    const auto pin = test::cleanCall([] { return runPinDialog(cardDialogTexts(false), std::nullopt); });

    EXPECT_FALSE(pin.has_value());
}

}  // namespace
}  // namespace tarvo
