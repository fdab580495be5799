#include "main/ModuleSelection.hpp"
#include "support/RunBinary.hpp"
#include "support/Tools.hpp"

#include "platform/vocabulary/Messages.hpp"

#include <gtest/gtest.h>

#include <sys/stat.h>

#include <string>
#include <vector>

namespace tarvo {
namespace {

struct Case {
    std::string input;
    std::string out;
    int status;
    std::vector<std::string> arguments = {};
};

// A path as our writer shows it inside a JSON string: every '/' escaped.
std::string escaped(const std::string& path) {
    std::string text;
    for (char c : path) {
        if (c == '/') text += '\\';
        text += c;
    }
    return text;
}

// HOME points at an empty folder: no certificate store, so the store adds
// nothing. No card module may be installed at the default places; the helper
// runs in the home folder.
class HelperBinary : public ::testing::Test {
protected:
    void SetUp() override {
        for (const char* candidate : defaultModuleCandidates()) {
            if (std::filesystem::exists(candidate)) {
                GTEST_SKIP() << "a card module is installed at " << candidate;
            }
        }
    }

    void expectRun(const Case& c) {
        SCOPED_TRACE(::testing::PrintToString(c.input.substr(0, 120)));
        test::RunOptions options;
        options.directory = home.path();
        options.arguments = c.arguments;
        const auto result = test::runBinary(c.input, test::helperEnvironment(home.path().string()), options);
        EXPECT_EQ(result.out, c.out);
        EXPECT_EQ(result.err, "");
        EXPECT_EQ(result.status, c.status);
    }

    test::TempDir home;
};

std::string error(const std::string& message) { return "{\"error\":\"" + message + "\"}\n"; }

// Names the first of the build's default places ("/usr/lib/libakisp11.so" unless a packager chose others).
const std::string defaultModuleMissing = "Kütüphane yüklenemedi: " + escaped(defaultModuleCandidates().front());

TEST_F(HelperBinary, RefusesWhatIsNotARequest) {
    const std::vector<std::string> inputs = {
        "",
        "\n",
        "[]",
        "[{\"action\":\"list\"}]",
        "{\"action\":\"list\"",
        "{}",
        "{\"action\":null}",
        "{\"action\":7}",
        "{\"action\":\"list\",\"pin\":1234}",
        "{\"action\":\"list\",\"p11\":{}}",
        "{\"action\":\"list\"} x",
        "{\"action\":\"\xc0\xaf\"}",
        std::string("{\"action\":\"list\"}\0", 18),
    };
    for (const auto& input : inputs) {
        expectRun({input, error("İstek okunamadı"), 2});
    }
}

TEST_F(HelperBinary, AnswersEachActionsOwnChecks) {
    const std::string tooLong = std::string(5463, 'A') + "=";  // 4097 bytes decoded
    const std::string longest = std::string(5462, 'A') + "==";  // 4096 bytes: passes
    const std::vector<Case> cases = {
        {"{\"action\":\"LIST\"}", error("Bilinmeyen işlem"), 2},
        {"{\"action\":\"\"}", error("Bilinmeyen işlem"), 2},
        {"{\"action\":\"unknown\",\"pin\":null,\"other\":[1,{\"a\":true}]}", error("Bilinmeyen işlem"), 2},
        {"{\"action\":\"sign\"}", error("İmza isteği geçersiz"), 2},
        {"{\"action\":\"sign\",\"fingerprint\":\"ab\"}", error("İmza isteği geçersiz"), 2},
        {"{\"action\":\"sign\",\"challenge\":\"\",\"fingerprint\":\"ab\"}", error("İmza isteği geçersiz"), 2},
        {"{\"action\":\"sign\",\"challenge\":\"AQID\\nBAUG\",\"fingerprint\":\"ab\"}", error("İmza isteği geçersiz"), 2},
        {"{\"action\":\"sign\",\"challenge\":\" AQID\",\"fingerprint\":\"ab\"}", error("İmza isteği geçersiz"), 2},
        {"{\"action\":\"sign\",\"challenge\":\"AQI\",\"fingerprint\":\"ab\"}", error("İmza isteği geçersiz"), 2},
        {"{\"action\":\"sign\",\"challenge\":\"AQ-_\",\"fingerprint\":\"ab\"}", error("İmza isteği geçersiz"), 2},
        {"{\"action\":\"sign\",\"challenge\":\"" + tooLong + "\",\"fingerprint\":\"ab\"}",
         error("İmza isteği geçersiz"), 2},
        {"{\"action\":\"sign\",\"challenge\":\"" + longest + "\"}", error("E-imza sertifikası seçilmemiş"), 2},
        {"{\"action\":\"sign\",\"challenge\":\"AQID\",\"fingerprint\":\"\"}", error("E-imza sertifikası seçilmemiş"), 2},
        {"{\"action\":\"udf-sign\"}", error("İmza girdisi okunamadı"), 2},
        {"{\"action\":\"udf-sign\",\"digestInfo\":\"MDE\",\"pin\":\"1234\"}", error("İmza girdisi okunamadı"), 2},
        {"{\"action\":\"udf-sign\",\"digestInfo\":\"MDE=\\n\",\"pin\":\"1234\"}", error("İmza girdisi okunamadı"), 2},
        {"{\"action\":\"udf-sign\",\"digestInfo\":\"MD*=\"}", error("İmza girdisi okunamadı"), 2},
        {"{\"action\":\"udf-sign\",\"digestInfo\":\"\",\"pin\":\"1234\"}",
         error("İmza girdisi SHA-256 DigestInfo değil"), 2},
    };
    for (const auto& c : cases) {
        expectRun(c);
    }
}

TEST_F(HelperBinary, AMissingModuleIsAWarningForTheListAndAnErrorForTheCard) {
    const std::vector<Case> cases = {
        {"{\"action\":\"list\"}", "{\"certificates\":[],\"warning\":\"" + defaultModuleMissing + "\"}\n", 0},
        {"\xef\xbb\xbf {\"action\":\"list\",\"p11\":null}\n",
         "{\"certificates\":[],\"warning\":\"" + defaultModuleMissing + "\"}\n", 0},
        {"{\"action\":\"udf-cert\"}", error(defaultModuleMissing), 2},
        {"{\"action\":\"udf-cert\",\"fingerprint\":\"ab\"}", error(defaultModuleMissing), 2},
        {"{\"action\":\"udf-sign\",\"digestInfo\":\"MDEwDQYJYIZIAWUDBAIBBQAEIAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAA\","
         "\"pin\":\"1234\"}",
         error(defaultModuleMissing), 2},
    };
    for (const auto& c : cases) {
        expectRun(c);
    }
}

// Only a regular file (or a link to one) counts as a module; it is loaded as
// exactly that file, also when its name has no slash. Loading a FIFO would
// block forever, so one is never tried.
TEST_F(HelperBinary, TheRequestChoosesTheModuleOnlyWhenItNamesAFile) {
    const auto file = home.path() / "not-a-module.so";
    test::writeFile(file, std::string("plain text"));
    // The name of a library the loader would find on its own search path.
    test::writeFile(home.path() / "libc.so.6", std::string("plain text"));
    const auto folder = home.path() / "lib dir";
    std::filesystem::create_directory(folder);
    const auto fifo = home.path() / "fifo.so";
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    const auto link = home.path() / "link.so";
    std::filesystem::create_symlink(file, link);
    const auto dangling = home.path() / "dangling";
    std::filesystem::create_symlink(home.path() / "gone.so", dangling);

    const auto quoted = [](const std::string& path) { return "Kütüphane yüklenemedi: " + escaped(path); };
    const auto request = [](const std::string& action, const std::string& p11) {
        return "{\"action\":\"" + action + "\",\"p11\":\"" + p11 + "\"}";
    };

    const std::vector<Case> cases = {
        {request("udf-cert", file.string()), error(quoted(file)), 2},
        {request("udf-cert", escaped(file.string())), error(quoted(file)), 2},
        {request("list", file.string()), "{\"certificates\":[],\"warning\":\"" + quoted(file) + "\"}\n", 0},
        {request("udf-cert", link.string()), error(quoted(link)), 2},
        {request("udf-cert", "not-a-module.so"), error(quoted("not-a-module.so")), 2},
        {request("udf-cert", "libc.so.6"), error(quoted("libc.so.6")), 2},
        {request("udf-cert", "./libc.so.6"), error(quoted("./libc.so.6")), 2},
        {request("udf-cert", "libm.so.6"), error(defaultModuleMissing), 2},
        {request("udf-cert", folder.string()), error(defaultModuleMissing), 2},
        {request("udf-cert", fifo.string()), error(defaultModuleMissing), 2},
        {request("udf-cert", (home.path() / "missing.so").string()), error(defaultModuleMissing), 2},
        {request("udf-cert", dangling.string()), error(defaultModuleMissing), 2},
        {request("udf-cert", ""), error(defaultModuleMissing), 2},
        // the system would see only the part before the NUL, which exists
        {request("udf-cert", file.string() + "\\u0000.txt"), error(defaultModuleMissing), 2},
    };
    for (const auto& c : cases) {
        expectRun(c);
    }
}

TEST_F(HelperBinary, AnswersTheTwoOptionsAndIgnoresOtherArguments) {
    const std::string request = "{\"action\":\"LIST\"}";
    const std::string version = std::string("tarvo-eimza-helper ") + TARVO_VERSION + "\n";
    const std::vector<Case> cases = {
        {request, version, 0, {"--version"}},
        {request, messages::commandLine::usage, 0, {"--help"}},
        {request, messages::commandLine::usage, 0, {"extra", "--help", "--version"}},
        {request, version, 0, {"--version", "--help"}},
        {request, error("Bilinmeyen işlem"), 2, {"--verbose"}},
        {request, error("Bilinmeyen işlem"), 2, {"-h", "--Version", "--help=1", ""}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(::testing::PrintToString(c.arguments));
        expectRun(c);
    }
}

TEST_F(HelperBinary, ReadsALargeRequestToItsEnd) {
    const std::string padding(3 * 1024 * 1024, ' ');
    expectRun({"{\"note\":\"" + std::string(1024 * 1024, 'x') + "\"," + padding + "\"action\":\"LIST\"}" + padding,
               error("Bilinmeyen işlem"), 2});
}

}  // namespace
}  // namespace tarvo
