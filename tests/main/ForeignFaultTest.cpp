// The built helper when what it calls goes wrong: a PKCS#11 module that
// crashes, hangs or prints, a certificate store that never opens, a PIN
// dialog that takes its time, and someone of the same user trying to attach.

#include "support/FakePinentry.hpp"
#include "support/NssStore.hpp"
#include "support/RunBinary.hpp"
#include "support/SoftHsmCard.hpp"
#include "support/TestCertificates.hpp"
#include "support/Tools.hpp"

#include "platform/vocabulary/Base64.hpp"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>
#include <openssl/sha.h>

#include <fcntl.h>
#include <grp.h>
#include <signal.h>
#include <sys/ptrace.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <fstream>
#include <iterator>
#include <map>
#include <optional>
#include <thread>

namespace tarvo::test {
namespace {

using namespace std::chrono_literals;

const std::string crashed = "{\"error\":\"AKİS PKCS#11 modülü çöktü\"}\n";
const std::string cardNotResponding = "{\"error\":\"AKİS kartı yanıt vermiyor\"}\n";
const std::string storeNotResponding = "{\"error\":\"Sertifika deposu yanıt vermiyor\"}\n";
// What the kernel weighs before writing a core file, as the module saw it when it crashed.
const std::string noCoreFile = "dumpable=0 core=0 0";

std::string readFile(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

std::string fingerprint(const Bytes& der) {
    Bytes digest(SHA256_DIGEST_LENGTH);
    SHA256(der.data(), der.size(), digest.data());
    return hex(digest);
}

// Lets the unprivileged user of the attach test read and write everything under root.
void openToEveryone(const std::filesystem::path& root) {
    using std::filesystem::perms;
    constexpr perms readWrite = perms::owner_read | perms::owner_write | perms::group_read | perms::group_write |
                                perms::others_read | perms::others_write;
    std::filesystem::permissions(root, perms::all);
    for (const auto& entry : std::filesystem::recursive_directory_iterator(root)) {
        if (entry.is_directory()) {
            std::filesystem::permissions(entry.path(), perms::all);
        } else {
            std::filesystem::permissions(entry.path(), readWrite, std::filesystem::perm_options::add);
        }
    }
}

class ForeignFaults : public ::testing::Test {
protected:
    const Key cardKey = otherRsaKey();
    const Bytes cardCert = [this] {
        CertificateRecipe recipe;
        recipe.subject = {{{"CN", "Kart Kullanıcısı"}}};
        recipe.key = cardKey;
        return mintCertificate(recipe);
    }();
    SoftHsmCard card;
    NssStore store;

    void SetUp() override {
        card.addToken("AKIS");
        card.addCertificate("AKIS", cardCert, "01");
        card.addPrivateKey("AKIS", cardKey, "01");
    }

    Environment environment(const std::string& home) const {
        Environment environment = helperEnvironment(home);
        for (const std::string& entry : card.environment()) {
            const auto equals = entry.find('=');
            environment[entry.substr(0, equals)] = entry.substr(equals + 1);
        }
        return environment;
    }

    static std::string request(const std::string& action, const std::string& module) {
        std::string fields = R"("action":")" + action + R"(","p11":")" + module + "\"";
        if (action == "udf-sign") {
            Bytes digestInfo = {0x30, 0x31, 0x30, 0x0d, 0x06, 0x09, 0x60, 0x86, 0x48, 0x01,
                                0x65, 0x03, 0x04, 0x02, 0x01, 0x05, 0x00, 0x04, 0x20};
            digestInfo.resize(51, 0xA5);
            fields += R"(,"pin":")" + std::string(SoftHsmCard::userPin) + R"(","digestInfo":")" +
                      base64Encode(digestInfo) + "\"";
        }
        return "{" + fields + "}";
    }
};

struct ModuleFault {
    std::string action;
    std::string fault;              // TARVO_FAULTY_P11 (see tests/support/faulty-module)
    std::optional<std::string> out; // absent: exactly the answer of a run without the fault
    int status;
    bool registeredInStore = false; // the module sits in the certificate store instead
};

// A fault of the card's module while listing: the store's identity, and the fault's message as the warning.
ModuleFault listWarning(const std::string& fault, const std::string& message) {
    return {"list", fault, "warning:" + message, 0};
}

// The store's part of a listing with the warning text replaced.
std::string withWarning(const std::string& storeOnlyAnswer, const std::string& message) {
    const std::string key = "\"warning\":\"";
    const auto at = storeOnlyAnswer.find(key);
    return at == std::string::npos ? storeOnlyAnswer : storeOnlyAnswer.substr(0, at + key.size()) + message + "\"}\n";
}

TEST_F(ForeignFaults, EveryModuleFaultEndsInOneAnswerAndNoCoreFile) {
    const std::vector<ModuleFault> cases = {
        listWarning("crash:dlopen", "AKİS PKCS#11 modülü çöktü"),
        {"udf-cert", "crash:C_Initialize", crashed, 2},
        listWarning("crash:C_GetAttributeValue", "AKİS PKCS#11 modülü çöktü"),
        {"udf-sign", "crash:C_Login", crashed, 2},  // the PIN is in memory here
        {"udf-sign", "crash:C_Sign", crashed, 2},
        {"udf-cert", "crash:C_Finalize", crashed, 2},
        listWarning("crash:dlclose", "AKİS PKCS#11 modülü çöktü"),
        listWarning("hang:C_Initialize", "AKİS kartı yanıt vermiyor"),
        {"udf-cert", "hang:C_FindObjects", cardNotResponding, 2},
        {"udf-sign", "hang:C_Login", cardNotResponding, 2},
        {"udf-sign", "hang:dlclose", cardNotResponding, 2},
        {"udf-cert", "print:dlopen", std::nullopt, 0},
        {"list", "print:C_GetSlotList", std::nullopt, 0},
        {"udf-sign", "print:C_Sign", std::nullopt, 0},
        {"udf-sign", "print:dlclose", std::nullopt, 0},
        // Opening, listing and closing the store; whatever the action.
        {"list", "hang:C_Initialize", storeNotResponding, 2, true},
        {"LIST", "crash:C_Initialize", storeNotResponding, 2, true},
        {"list", "hang:C_FindObjects", storeNotResponding, 2, true},
        {"list", "crash:C_GetAttributeValue", storeNotResponding, 2, true},
        {"list", "hang:C_Finalize", storeNotResponding, 2, true},
        {"list", "crash:C_Finalize", storeNotResponding, 2, true},
    };
    const std::string module = TARVO_FAULTY_MODULE;
    // The card's faults in a home whose store holds an identity, which a listing must keep.
    NssStore identityStore;
    identityStore.importIdentity(selfSignedCertificate(rsaKey(), "Depo Kullanıcısı"), rsaKey(), "depo");
    const std::filesystem::path& plainHome = identityStore.home();
    // NSS needs the whole function list, so the module in the store forwards to SoftHSM2 itself.
    runToolChecked({"modutil", "-add", "faulty", "-libfile", module, "-dbdir", store.database(), "-force"},
                   card.environment());

    std::map<std::string, RunResult> withoutFault;
    for (const std::string action : {"list", "udf-cert", "udf-sign"}) {
        withoutFault[action] = runBinary(request(action, SoftHsmCard::modulePath()), environment(plainHome));
        ASSERT_EQ(withoutFault[action].status, 0) << withoutFault[action].out;
    }
    // No module at all: the store's identity with a warning of its own.
    const RunResult storeOnly = runBinary(R"({"action":"list"})", environment(plainHome));
    ASSERT_NE(storeOnly.out.find("Depo Kullan"), std::string::npos) << storeOnly.out;

    for (const ModuleFault& c : cases) {
        SCOPED_TRACE(c.action + " " + c.fault + (c.registeredInStore ? " in the store" : ""));
        TempDir work;
        Environment environment = this->environment(c.registeredInStore ? store.home() : plainHome);
        environment["TARVO_FAULTY_P11"] = c.fault;
        if (!c.registeredInStore) {
            environment["TARVO_FAULTY_P11_TARGET"] = SoftHsmCard::modulePath();
        }
        environment["TARVO_FAULTY_P11_REPORT"] = (work.path() / "report").string();
        RunOptions options;
        options.binary = TARVO_SHORT_DEADLINE_BINARY;
        // A caller that allows core files, in a folder where the system would put one.
        options.inChild = [&work] {
            rlimit core{RLIM_INFINITY, RLIM_INFINITY};
            if (::setrlimit(RLIMIT_CORE, &core) != 0) {  // not root: as far as the hard limit goes
                ::getrlimit(RLIMIT_CORE, &core);
                core.rlim_cur = core.rlim_max;
                ::setrlimit(RLIMIT_CORE, &core);
            }
            if (::chdir(work.path().c_str()) != 0) {
                ::_exit(126);
            }
        };

        const RunResult result = runBinary(request(c.action, module), environment, options);
        const std::string expected = !c.out                          ? withoutFault[c.action].out
                                     : c.out->starts_with("warning:") ? withWarning(storeOnly.out, c.out->substr(8))
                                                                      : *c.out;
        EXPECT_EQ(result.out, expected);
        EXPECT_EQ(result.err, "");
        EXPECT_EQ(result.status, c.status);
        EXPECT_EQ(readFile(work.path() / "report"), c.fault.starts_with("crash:") ? noCoreFile : "");
        std::filesystem::remove(work.path() / "report");
        EXPECT_TRUE(std::filesystem::is_empty(work.path()));
    }
}

// The deadline counts for module calls only; the person at the PIN dialog may take longer.
TEST_F(ForeignFaults, ThePinDialogHasNoDeadline) {
    PinentryScript script;
    script.replies["GETPIN"] =
        "<sleep " + std::to_string(TARVO_TEST_DEADLINE_SECONDS + 1) + ">\nD " + SoftHsmCard::userPin + "\nOK";
    FakePinentry pinentry(script);
    Environment environment = this->environment(store.home());
    for (const auto& [name, value] : pinentry.environment()) {
        environment[name] = value;
    }
    RunOptions options;
    options.binary = TARVO_SHORT_DEADLINE_BINARY;
    const RunResult result = runBinary(R"({"action":"sign","challenge":"AQID","fingerprint":")" + fingerprint(cardCert) +
                                           R"(","p11":")" + SoftHsmCard::modulePath() + "\"}",
                                       environment, options);
    ASSERT_EQ(result.status, 0) << result.out;
    EXPECT_EQ(nlohmann::json::parse(result.out).at("fingerprint"), fingerprint(cardCert));
}

constexpr uid_t nobody = 65534;

// In a child of the test that has become an unprivileged user (root may
// attach to anything): starts the helper as its own child, waits until the
// PIN dialog is open, and tries to attach to it as its parent, so that only
// the helper's own protection can refuse. For comparison, the same attach to
// a freshly started program of the same user.
std::string attachAttempts(const std::string& request, const Environment& environment,
                           const std::filesystem::path& record, const std::string& helperCopy) {
    if (::geteuid() == 0 && (::setgroups(0, nullptr) != 0 || ::setgid(nobody) != 0 || ::setuid(nobody) != 0)) {
        return "could not become nobody";
    }
    const auto attach = [](pid_t pid) -> std::string {
        if (::ptrace(PTRACE_ATTACH, pid, nullptr, nullptr) != 0) {
            return errno == EPERM ? "refused" : std::strerror(errno);
        }
        int status = 0;
        ::waitpid(pid, &status, 0);
        ::ptrace(PTRACE_DETACH, pid, nullptr, nullptr);
        return "attached";
    };
    std::string outcome;
    RunOptions options;
    options.binary = helperCopy;
    options.whileRunning = [&](pid_t helper) {
        siginfo_t ended{};
        while (readFile(record).find("GETPIN") == std::string::npos) {
            ended.si_pid = 0;
            if (::waitid(P_PID, static_cast<id_t>(helper), &ended, WEXITED | WNOHANG | WNOWAIT) != 0 ||
                ended.si_pid != 0) {
                outcome = "the helper ended before its PIN dialog";
                return;
            }
            std::this_thread::sleep_for(20ms);
        }
        outcome = "helper: " + attach(helper);
        int started[2];
        pid_t other = -1;
        if (::pipe2(started, O_CLOEXEC) != 0 || (other = ::fork()) < 0) {
            outcome += "; could not start another program";
        } else if (other == 0) {
            ::execlp("sleep", "sleep", "60", nullptr);
            ::_exit(127);
        } else {
            char byte = 0;
            ::close(started[1]);
            [[maybe_unused]] const ssize_t ignored = ::read(started[0], &byte, 1);  // ends at its exec
            ::close(started[0]);
            outcome += "; freshly started program: " + attach(other);
            ::kill(other, SIGKILL);
            ::waitpid(other, nullptr, 0);
        }
        ::kill(helper, SIGKILL);
    };
    runBinary(request, environment, options);
    return outcome;
}

TEST_F(ForeignFaults, ASameUserAttachDuringThePinDialogIsRefused) {
    // The helper, the module and the stand-in pinentry are copied where the
    // unprivileged user can reach them, whatever the rights on the build folder.
    TempDir shared;
    const auto copy = [&shared](const std::string& from, const std::string& name) {
        std::filesystem::copy_file(from, shared.path() / name);
        return (shared.path() / name).string();
    };
    const std::string helper = copy(TARVO_BINARY, "tarvo-eimza-helper");
    const std::string module = copy(SoftHsmCard::modulePath(), "module.so");
    copy(std::string(TARVO_TESTS_DIR) + "/pin/stand-in/pinentry", "pinentry");
    openToEveryone(std::filesystem::path(card.environment().front().substr(std::strlen("SOFTHSM2_CONF="))).parent_path());
    openToEveryone(shared.path());

    PinentryScript script;
    script.replies["GETPIN"] = "<read>";  // the dialog never answers
    FakePinentry pinentry(script);
    Environment environment = this->environment(shared.path());
    for (const auto& [name, value] : pinentry.environment()) {
        environment[name] = value;
    }
    environment["PATH"] = shared.path().string() + ":" + environment["PATH"];
    const auto record = shared.path() / "received";
    environment["FAKE_PINENTRY_RECORD"] = record.string();
    const std::string request = R"({"action":"sign","challenge":"AQID","fingerprint":")" + fingerprint(cardCert) +
                                R"(","p11":")" + module + "\"}";

    int report[2];
    ASSERT_EQ(::pipe2(report, O_CLOEXEC), 0);
    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        ::close(report[0]);
        std::string outcome;
        try {
            outcome = attachAttempts(request, environment, record, helper);
        } catch (const std::exception& error) {
            outcome = error.what();
        }
        [[maybe_unused]] const ssize_t ignored = ::write(report[1], outcome.data(), outcome.size());
        ::_exit(0);
    }
    ::close(report[1]);
    std::string outcome;
    char buffer[256];
    for (ssize_t n; (n = ::read(report[0], buffer, sizeof buffer)) > 0;) {
        outcome.append(buffer, static_cast<std::size_t>(n));
    }
    ::close(report[0]);
    ::waitpid(child, nullptr, 0);
    EXPECT_EQ(outcome, "helper: refused; freshly started program: attached");
}

}  // namespace
}  // namespace tarvo::test
