// The card as a person has it: behind pcscd, in a (virtual) reader, read by
// OpenSC's module, and liable to be swapped, pulled, moved or to go silent.
// Signatures are compared with OpenSSL's own over the same key: RSA PKCS#1
// v1.5 is deterministic, so equal bytes are a signature that OpenSSL verifies.

#include "certificate/Fingerprint.hpp"
#include "support/FakePinentry.hpp"
#include "support/ReaderStack.hpp"
#include "support/RunBinary.hpp"
#include "support/TestCertificates.hpp"

#include "platform/vocabulary/Base64.hpp"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>
#include <openssl/sha.h>

#include <fstream>
#include <functional>
#include <iterator>
#include <set>

namespace tarvo::test {
namespace {

const Bytes challenge = {0x6f, 0x74, 0x75, 0x72, 0x75, 0x6d};

std::string fingerprintOf(const Bytes& der) {
    Bytes digest(SHA256_DIGEST_LENGTH);
    SHA256(der.data(), der.size(), digest.data());
    return hex(digest);
}

Bytes digestInfoOf(const Bytes& message) {
    Bytes info = {0x30, 0x31, 0x30, 0x0d, 0x06, 0x09, 0x60, 0x86, 0x48, 0x01,
                  0x65, 0x03, 0x04, 0x02, 0x01, 0x05, 0x00, 0x04, 0x20};
    Bytes digest(SHA256_DIGEST_LENGTH);
    SHA256(message.data(), message.size(), digest.data());
    info.insert(info.end(), digest.begin(), digest.end());
    return info;
}

Bytes signatureIn(const RunResult& result) {
    return base64Decode(nlohmann::json::parse(result.out).at("signature").get<std::string>()).value_or(Bytes{});
}

class ReaderStackTest : public ::testing::Test {
protected:
    const Bytes certificate = selfSignedCertificate(rsaKey(), "Kart Sahibi");
    const Bytes otherCertificate = selfSignedCertificate(otherRsaKey(), "Başka Kişi");
    TempDir home;

    // The helper whose module calls have the tests' short deadline: through this stack a
    // whole request takes a fraction of a second, and a silent card's cases wait it out.
    RunResult run(const ReaderStack& stack, const std::string& request, const Environment& extra = {},
                  std::function<void(pid_t)> whileRunning = {}) const {
        Environment environment = helperEnvironment(home.path().string());
        for (const auto& [name, value] : stack.environment()) {
            environment[name] = value;
        }
        for (const auto& [name, value] : extra) {
            environment[name] = value;
        }
        RunOptions options;
        options.binary = TARVO_SHORT_DEADLINE_BINARY;
        options.whileRunning = std::move(whileRunning);
        return runBinary(request, environment, options);
    }

    static std::string withModule(const std::string& fields) {
        return "{" + fields + R"(,"p11":")" + ReaderStack::openscModule() + "\"}";
    }

    static std::string signRequest(const Bytes& chosen) {
        return withModule(R"("action":"sign","challenge":")" + base64Encode(challenge) + R"(","fingerprint":")" +
                          fingerprintOf(chosen) + "\"");
    }
};

TEST_F(ReaderStackTest, EveryActionSignsWhatOpenSslVerifies) {
    ReaderStack stack;
    if (!stack.unavailable().empty()) {
        GTEST_SKIP() << stack.unavailable();  // from the test's own body, which it ends
    }
    const StackCard card(certificate, rsaKey());
    stack.insert(0, card);

    const RunResult list = run(stack, withModule(R"("action":"list")"));
    ASSERT_EQ(list.status, 0) << list.out;
    const nlohmann::json listed = nlohmann::json::parse(list.out);
    ASSERT_EQ(listed.at("certificates").size(), 1u) << list.out;
    EXPECT_EQ(listed.at("certificates")[0].at("fingerprint"), fingerprintOf(certificate));
    EXPECT_EQ(listed.at("certificates")[0].at("providerName"), "AKİS PKCS#11");
    EXPECT_FALSE(listed.contains("warning"));

    const RunResult chosen = run(stack, withModule(R"("action":"udf-cert")"));
    ASSERT_EQ(chosen.status, 0) << chosen.out;
    EXPECT_EQ(nlohmann::json::parse(chosen.out).at("identityFingerprint"), fingerprintOf(certificate));

    const Bytes document = {0x62, 0x65, 0x6c, 0x67, 0x65};
    const RunResult udf = run(stack, withModule(R"("action":"udf-sign","pin":")" + card.pin() +
                                                R"(","digestInfo":")" + base64Encode(digestInfoOf(document)) + "\""));
    ASSERT_EQ(udf.status, 0) << udf.out;
    EXPECT_EQ(signatureIn(udf), sha256Signature(rsaKey(), document));

    FakePinentry pinentry(answeringPin(card.pin()));
    const RunResult signed_ = run(stack, signRequest(certificate), pinentry.environment());
    ASSERT_EQ(signed_.status, 0) << signed_.out;
    EXPECT_EQ(signatureIn(signed_), sha256Signature(rsaKey(), challenge));
    EXPECT_EQ(stack.pinTries(0), 2u);
}

TEST_F(ReaderStackTest, TwoReadersWithACardEachSignByFingerprintOnTheSecond) {
    ReaderStack stack(2);
    if (!stack.unavailable().empty()) {
        GTEST_SKIP() << stack.unavailable();  // from the test's own body, which it ends
    }
    const StackCard first(certificate, rsaKey());
    const StackCard second(otherCertificate, otherRsaKey(), "4321");
    stack.insert(0, first);
    stack.insert(1, second);

    const RunResult list = run(stack, withModule(R"("action":"list")"));
    ASSERT_EQ(list.status, 0) << list.out;
    std::set<std::string> fingerprints;
    const nlohmann::json listed = nlohmann::json::parse(list.out);
    for (const auto& listedCertificate : listed.at("certificates")) {
        fingerprints.insert(listedCertificate.at("fingerprint").get<std::string>());
    }
    EXPECT_EQ(fingerprints, (std::set{fingerprintOf(certificate), fingerprintOf(otherCertificate)})) << list.out;

    FakePinentry pinentry(answeringPin(second.pin()));
    const RunResult signed_ = run(stack, signRequest(otherCertificate), pinentry.environment());
    ASSERT_EQ(signed_.status, 0) << signed_.out;
    EXPECT_EQ(signatureIn(signed_), sha256Signature(otherRsaKey(), challenge));
    EXPECT_EQ(stack.pinTries(0), 0u);
    EXPECT_EQ(stack.pinTries(1), 1u);
}

// The card changes while the person is at the PIN dialog of "sign". The other
// card has a PIN of its own, so a login that reached it would have been
// refused; the cards themselves count the PINs they were sent.
TEST_F(ReaderStackTest, TheCardChangesDuringThePinDialog) {
    ReaderStack stack(2);
    if (!stack.unavailable().empty()) {
        GTEST_SKIP() << stack.unavailable();  // from the test's own body, which it ends
    }
    const StackCard card(certificate, rsaKey());
    const StackCard other(otherCertificate, otherRsaKey(), "4321");
    struct Change {
        const char* name;
        std::function<void()> change;
        std::string out;             // empty: the signature of the chosen certificate's key
        std::size_t reader;          // where the card is afterwards
        std::size_t pinTries;        // that the card there was sent
    };
    const std::vector<Change> changes = {
        {"swapped for another", [&] { stack.insert(0, other); },
         "{\"error\":\"AKİS kartında seçilen geçerli sertifika bulunamadı\"}\n", 0, 0},
        {"removed", [&] { stack.remove(0); }, "{\"error\":\"AKİS kartı bulunamadı\"}\n", 0, 0},
        {"removed and put back", [&] { stack.remove(0); stack.insert(0, card); }, "", 0, 1},
        {"moved to the other reader", [&] { stack.remove(0); stack.insert(1, card); }, "", 1, 1},
        {"silent", [&] { stack.hang(0); }, "{\"error\":\"AKİS kartı yanıt vermiyor\"}\n", 0, 0},
    };
    for (const Change& c : changes) {
        SCOPED_TRACE(c.name);
        stack.remove(1);
        stack.insert(0, card);
        TempDir signal;
        const auto changed = signal.path() / "changed";
        PinentryScript script;
        script.replies["GETPIN"] = "<wait-for " + changed.string() + ">\nD " + card.pin() + "\nOK";
        FakePinentry pinentry(script);
        Environment extra = pinentry.environment();
        const auto record = signal.path() / "record";
        extra["FAKE_PINENTRY_RECORD"] = record.string();
        const RunResult result = run(stack, signRequest(certificate), extra, [&](pid_t) {
            ASSERT_TRUE(eventually([&] {
                std::ifstream in(record);
                return std::string(std::istreambuf_iterator<char>(in), {}).find("GETPIN") != std::string::npos;
            }));
            c.change();
            writeFile(changed, std::string());
        });
        if (c.out.empty()) {
            ASSERT_EQ(result.status, 0) << result.out;
            EXPECT_EQ(signatureIn(result), sha256Signature(rsaKey(), challenge));
        } else {
            EXPECT_EQ(result.out, c.out);
            EXPECT_EQ(result.status, 2);
        }
        EXPECT_EQ(stack.pinTries(c.reader), c.pinTries);
    }
}

TEST_F(ReaderStackTest, NoCardSilentCardAndNoPcscd) {
    ReaderStack stack;
    if (!stack.unavailable().empty()) {
        GTEST_SKIP() << stack.unavailable();  // from the test's own body, which it ends
    }
    const std::string list = withModule(R"("action":"list")");
    const RunResult empty = run(stack, list);
    EXPECT_EQ(empty.out, "{\"certificates\":[]}\n");
    EXPECT_EQ(empty.status, 0);

    const StackCard card(certificate, rsaKey());
    stack.insert(0, card);
    stack.hang(0);
    const RunResult silent = run(stack, list);
    EXPECT_EQ(silent.out, "{\"certificates\":[],\"warning\":\"AKİS kartı yanıt vermiyor\"}\n");
    EXPECT_EQ(silent.status, 0);

    stack.stopDaemon();
    const RunResult noDaemon = run(stack, list);
    EXPECT_EQ(noDaemon.out, "{\"certificates\":[]}\n");
    EXPECT_EQ(noDaemon.status, 0);
}

}  // namespace
}  // namespace tarvo::test
