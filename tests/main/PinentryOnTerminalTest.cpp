// The card's PIN dialog through the real text-mode pinentry programs, on a
// pseudo-terminal that stands for the one the robot was started from, and what
// the robot gets when no dialog can be shown or the helper is ended meanwhile.

#include "support/FakePinentry.hpp"
#include "support/NssStore.hpp"
#include "support/RunningHelper.hpp"
#include "support/SoftHsmCard.hpp"
#include "support/TestCertificates.hpp"
#include "support/Tools.hpp"

#include "platform/Base64.hpp"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <openssl/sha.h>

namespace tarvo::test {
namespace {

const std::string cancelledAnswer = "{\"error\":\"İmza denemesi kullanıcı tarafından iptal edildi\"}\n";
const std::string wrongPinAnswer = "{\"error\":\"AKİS kart PIN doğrulaması başarısız; otomatik tekrar yapılmadı\"}\n";
const std::string noDialogAnswer = "{\"error\":\"PIN penceresi açılamadı; imza denenmedi\"}\n";

std::string fingerprint(const Bytes& der) {
    Bytes digest(SHA256_DIGEST_LENGTH);
    SHA256(der.data(), der.size(), digest.data());
    return hex(digest);
}

std::filesystem::path onPath(const std::string& program) {
    const char* path = std::getenv("PATH");
    std::string folders = path != nullptr ? path : "";
    for (std::size_t start = 0; start <= folders.size();) {
        const std::size_t end = std::min(folders.find(':', start), folders.size());
        const std::filesystem::path candidate = std::filesystem::path(folders.substr(start, end - start)) / program;
        if (::access(candidate.c_str(), X_OK) == 0) {
            return candidate;
        }
        start = end + 1;
    }
    return {};
}

// A store with no identities and a card with one: "sign" goes to the card and
// asks for its PIN.
class CardDialog : public ::testing::Test {
protected:
    const Key cardKey = otherRsaKey();
    const Bytes cardCert = selfSignedCertificate(cardKey, "Kart Kullanıcısı");
    const Bytes challenge = {'p', 'i', 'n', 'e', 'n', 't', 'r', 'y'};
    NssStore store;
    SoftHsmCard card;
    TempDir programs;  // holds the `pinentry` that the helper finds first

    CardDialog() {
        card.addToken("AKIS");
        card.addCertificate("AKIS", cardCert, "01");
        card.addPrivateKey("AKIS", cardKey, "01");
    }

    std::string request() const {
        return R"({"action":"sign","p11":")" + SoftHsmCard::modulePath() + R"(","challenge":")" +
               base64Encode(challenge) + R"(","fingerprint":")" + fingerprint(cardCert) + "\"}";
    }

    // What the helper needs to find the store and the card; no locale variables.
    Environment helperAndCard() const {
        Environment environment = helperEnvironment(store.home().string());
        for (const std::string& entry : card.environment()) {
            const auto equals = entry.find('=');
            environment[entry.substr(0, equals)] = entry.substr(equals + 1);
        }
        return environment;
    }

    // The same with `pinentry` first on PATH and a terminal type.
    Environment environment(const std::filesystem::path& pinentry) const {
        Environment environment = helperAndCard();
        std::filesystem::create_symlink(pinentry, programs.path() / "pinentry");
        environment["PATH"] = programs.path().string() + ":" + environment["PATH"];
        environment["TERM"] = "vt100";
        return environment;
    }

    void expectSigned(const RunResult& result) const {
        ASSERT_EQ(result.status, 0) << result.out;
        const nlohmann::json answer = nlohmann::json::parse(result.out);
        EXPECT_EQ(answer.at("fingerprint"), fingerprint(cardCert));
        // PKCS #1 v1.5 is deterministic: the card's signature is the one OpenSSL makes with the key.
        EXPECT_EQ(*base64Decode(answer.at("signature").get<std::string>()), sha256Signature(cardKey, challenge));
    }
};

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
    bool locale;  // LANG set, or no locale variable at all
    std::string answer;  // the exact answer; empty for a signature or a signal
};

const TerminalCase terminalCases[] = {
    {"RightPinSigns", Keys::rightPin, true, ""},
    {"WrongPinStops", Keys::wrongPin, true, wrongPinAnswer},
    {"CancelIsCancelled", Keys::cancel, true, cancelledAnswer},
    // The terminal's interrupt ends pinentry; the helper lives on to answer.
    {"CtrlCIsCancelled", Keys::interrupt, true, cancelledAnswer},
    {"NoLocaleStillDraws", Keys::rightPin, false, ""},
    // Ended by whoever started it: no answer, no dialog left behind.
    {"TerminatedLeavesNothing", Keys::terminate, true, ""},
};

void PrintTo(const TerminalCase& c, std::ostream* out) { *out << c.name; }

class PinentryOnTerminal : public CardDialog,
                           public ::testing::WithParamInterface<std::tuple<Program, TerminalCase>> {};

TEST_P(PinentryOnTerminal, AsksOnTheTerminalAndAnswersTheRobot) {
    const auto& [program, c] = GetParam();
    const std::filesystem::path executable = onPath(program.executable);
    ASSERT_FALSE(executable.empty()) << program.executable << " is not installed";
    Environment environment = this->environment(executable);
    if (c.locale) {
        environment["LANG"] = "C.UTF-8";
    }
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
