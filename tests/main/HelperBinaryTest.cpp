#include "support/RunBinary.hpp"
#include "support/Tools.hpp"

#include "platform/Messages.hpp"

#include <gtest/gtest.h>

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

// HOME points at an empty folder: no certificate store, so the store adds
// nothing, and no card module exists at the default place on a test machine.
class HelperBinary : public ::testing::Test {
protected:
    void expectRun(const Case& c) {
        SCOPED_TRACE(::testing::PrintToString(c.input.substr(0, 120)));
        const auto result = test::runBinary(c.input, test::helperEnvironment(home.path().string()), c.arguments);
        EXPECT_EQ(result.out, c.out);
        EXPECT_EQ(result.err, "");
        EXPECT_EQ(result.status, c.status);
    }

    test::TempDir home;
};

std::string error(const std::string& message) { return "{\"error\":\"" + message + "\"}\n"; }

const std::string defaultModuleMissing = "Kütüphane yüklenemedi: \\/usr\\/local\\/lib\\/libakisp11.dylib";

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

TEST_F(HelperBinary, TheRequestChoosesTheModuleOnlyWhenSomethingIsThere) {
    const auto file = home.path() / "not-a-module.so";
    test::writeFile(file, std::string("plain text"));
    const auto folder = home.path() / "lib dir";
    std::filesystem::create_directory(folder);
    const auto link = home.path() / "dangling";
    std::filesystem::create_symlink(home.path() / "gone.so", link);

    const auto escaped = [](const std::filesystem::path& path) {
        std::string text;
        for (char c : path.string()) {
            if (c == '/') text += '\\';
            text += c;
        }
        return text;
    };
    const auto quoted = [&](const std::filesystem::path& path) { return "Kütüphane yüklenemedi: " + escaped(path); };
    const auto request = [](const std::string& action, const std::string& p11) {
        return "{\"action\":\"" + action + "\",\"p11\":\"" + p11 + "\"}";
    };

    const std::vector<Case> cases = {
        {request("udf-cert", file.string()), error(quoted(file)), 2},
        {request("udf-cert", escaped(file)), error(quoted(file)), 2},
        {request("list", file.string()), "{\"certificates\":[],\"warning\":\"" + quoted(file) + "\"}\n", 0},
        {request("udf-cert", folder.string()), error(quoted(folder)), 2},
        {request("udf-cert", (home.path() / "missing.so").string()), error(defaultModuleMissing), 2},
        {request("udf-cert", link.string()), error(defaultModuleMissing), 2},
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
