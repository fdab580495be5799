// The built helper when the answer cannot simply be written: status 0 only
// when the caller has received the whole answer, 2 otherwise, and never a
// signal.

#include "support/NssStore.hpp"
#include "support/RunBinary.hpp"
#include "support/TestCertificates.hpp"
#include "support/Tools.hpp"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace tarvo::test {
namespace {

struct Undeliverable {
    const char* output;
    Output mode;
    std::string request;
    std::vector<std::string> arguments = {};
};

TEST(AnswerDelivery, AnAnswerThatCannotBeDeliveredEndsWithStatusTwo) {
    const std::string digestInfo = "MDEwDQYJYIZIAWUDBAIBBQAEIAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAA";
    const std::vector<Undeliverable> cases = {
        {"/dev/full", Output::devFull, R"({"action":"list"})"},
        {"/dev/full", Output::devFull, R"({"action":"udf-cert"})"},
        {"reader gone", Output::readerGone, R"({"action":"list"})"},
        {"reader gone", Output::readerGone, R"({"action":"sign","challenge":"AQID"})"},
        {"reader gone", Output::readerGone, R"({"action":"udf-cert"})"},
        {"reader gone", Output::readerGone, R"({"action":"udf-sign","pin":"1234","digestInfo":")" + digestInfo + "\"}"},
        {"reader gone", Output::readerGone, R"({"action":"unknown"})"},
        {"reader gone", Output::readerGone, "not a request"},
        {"closed", Output::closed, R"({"action":"list"})"},
        {"closed", Output::closed, R"({"action":"udf-sign"})"},
        // The texts a person asks for are delivered the same way.
        {"reader gone", Output::readerGone, "", {"--version"}},
        {"reader gone", Output::readerGone, "", {"--help"}},
        {"closed", Output::closed, "", {"--version"}},
    };
    TempDir home;
    for (const Undeliverable& c : cases) {
        SCOPED_TRACE(std::string(c.output) + " " + c.request + ::testing::PrintToString(c.arguments));
        RunOptions options;
        options.output = c.mode;
        options.arguments = c.arguments;
        const RunResult result = runBinary(c.request, helperEnvironment(home.path().string()), options);
        EXPECT_EQ(result.err, "");
        EXPECT_EQ(result.status, 2);
    }
}

// A caller that reads a non-blocking pipe slowly still gets every byte.
TEST(AnswerDelivery, ASlowReaderOfAFullNonBlockingPipeGetsTheWholeAnswer) {
    NssStore store;
    for (std::uint8_t serial = 1; serial <= 4; ++serial) {
        CertificateRecipe recipe;
        recipe.subject = {{{"CN", "Depo " + std::to_string(serial)}}};
        recipe.serial = {0x03, serial};
        store.importIdentity(mintCertificate(recipe), rsaKey(), "depo-" + std::to_string(serial));
    }
    const std::string request = R"({"action":"list"})";
    const RunResult atOnce = runBinary(request, helperEnvironment(store.home().string()));
    ASSERT_EQ(atOnce.status, 0);
    ASSERT_GT(atOnce.out.size(), 4500u);  // more than the pipe holds

    RunOptions options;
    options.output = Output::slowFullPipe;
    const RunResult slowly = runBinary(request, helperEnvironment(store.home().string()), options);
    EXPECT_EQ(slowly.out, atOnce.out);
    EXPECT_EQ(slowly.err, "");
    EXPECT_EQ(slowly.status, 0);
}

}  // namespace
}  // namespace tarvo::test
