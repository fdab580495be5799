#include "main/UserKeychain.hpp"

#include "certificate/Fingerprint.hpp"
#include "support/NssStore.hpp"
#include "support/ScopedEnvironment.hpp"
#include "support/StoreState.hpp"
#include "support/TestCertificates.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>

namespace tarvo {
namespace {

Bytes certificate(const std::string& commonName, const test::Key& key, std::chrono::hours notAfter) {
    test::CertificateRecipe recipe;
    recipe.subject = {{{"CN", commonName}}};
    recipe.key = key;
    recipe.signingKey = test::rsaKey();
    recipe.notBeforeOffset = -std::chrono::hours(24 * 400);
    recipe.notAfterOffset = notAfter;
    return test::mintCertificate(recipe);
}

std::string upperCase(std::string text) {
    std::transform(text.begin(), text.end(), text.begin(), [](unsigned char c) { return std::toupper(c); });
    return text;
}

// The store holds a valid and an expired identity and a certificate without a key.
TEST(UserKeychain, OnlyAValidIdentityWithThatFingerprintIsMadeIntoARecord) {
    const test::NssStore store;
    const Bytes valid = certificate("Geçerli", test::ecKey(), std::chrono::hours(24));
    const Bytes expired = certificate("Süresi dolmuş", test::otherRsaKey(), -std::chrono::hours(24));
    const Bytes keyless = certificate("Anahtarsız", test::rsaKey(2048), std::chrono::hours(24));
    store.importIdentity(valid, test::ecKey(), "valid");
    store.importIdentity(expired, test::otherRsaKey(), "expired");
    store.importCertificate(keyless, "keyless");
    test::ScopedEnvironment environment;
    environment.set("HOME", store.home().string());

    const struct {
        std::string fingerprint;
        std::optional<std::string> subject;
    } cases[] = {
        {fingerprintOf(valid), "CN=Geçerli"},
        {upperCase(fingerprintOf(valid)), "CN=Geçerli"},
        {fingerprintOf(expired), std::nullopt},
        {fingerprintOf(keyless), std::nullopt},
        {std::string(64, '0'), std::nullopt},
        {"", std::nullopt},
    };
    for (const auto& c : cases) {
        const auto found = UserKeychain().keychainRecord(c.fingerprint);
        EXPECT_EQ(found ? std::optional(found->record.subject) : std::nullopt, c.subject) << c.fingerprint;
        if (found) {
            EXPECT_EQ(found->record.der, valid);
            // The identity handed back is the one whose certificate was made into the record.
            EXPECT_EQ(found->identity.certificateDER(), valid);
        }
    }

    std::vector<std::string> listed;
    UserKeychain().keychainRecords([&](const CertificateRecord& record) { listed.push_back(record.subject); });
    EXPECT_EQ(listed, std::vector<std::string>{"CN=Geçerli"});
    EXPECT_FALSE(test::certificateStoreIsRunning());
}

}  // namespace
}  // namespace tarvo
