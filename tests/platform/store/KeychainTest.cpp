#include "platform/store/Keychain.hpp"
#include "platform/vocabulary/HelperError.hpp"

#include "support/NssStore.hpp"
#include "support/ScopedEnvironment.hpp"
#include "support/StoreState.hpp"
#include "support/StreamCapture.hpp"
#include "support/TestCertificates.hpp"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <openssl/dsa.h>
#include <openssl/ec.h>
#include <openssl/evp.h>

#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace tarvo {
namespace {

using platform::Keychain;
using platform::KeychainIdentity;
using test::certificateStoreIsRunning;

test::Key keyOf(EVP_PKEY* key) { return test::Key(key, EVP_PKEY_free); }

test::Key dsaKey() {
    static const test::Key key = [] {
        const std::unique_ptr<EVP_PKEY_CTX, decltype(&EVP_PKEY_CTX_free)> parameterContext(
            EVP_PKEY_CTX_new_from_name(nullptr, "DSA", nullptr), EVP_PKEY_CTX_free);
        EVP_PKEY* parameters = nullptr;
        if (!parameterContext || EVP_PKEY_paramgen_init(parameterContext.get()) != 1 ||
            EVP_PKEY_CTX_set_dsa_paramgen_bits(parameterContext.get(), 2048) != 1 ||
            EVP_PKEY_paramgen(parameterContext.get(), &parameters) != 1) {
            return test::Key();
        }
        const test::Key shared = keyOf(parameters);
        const std::unique_ptr<EVP_PKEY_CTX, decltype(&EVP_PKEY_CTX_free)> keyContext(
            EVP_PKEY_CTX_new_from_pkey(nullptr, shared.get(), nullptr), EVP_PKEY_CTX_free);
        EVP_PKEY* generated = nullptr;
        if (!keyContext || EVP_PKEY_keygen_init(keyContext.get()) != 1 ||
            EVP_PKEY_keygen(keyContext.get(), &generated) != 1) {
            return test::Key();
        }
        return keyOf(generated);
    }();
    return key;
}

Bytes expiredCertificate(const test::Key& key) {
    test::CertificateRecipe recipe;
    recipe.subject = {{{"CN", "Expired"}}};
    recipe.key = key;
    recipe.notBeforeOffset = -std::chrono::hours(24 * 400);
    recipe.notAfterOffset = -std::chrono::hours(24);
    return test::mintCertificate(recipe);
}

// The subject key is not the issuer's: the issuer signs with RSA whatever the subject holds.
Bytes certificateFor(const test::Key& key, const std::string& commonName) {
    test::CertificateRecipe recipe;
    recipe.subject = {{{"CN", commonName}}};
    recipe.key = key;
    recipe.signingKey = test::rsaKey();
    return test::mintCertificate(recipe);
}

bool verifies(const test::Key& key, ByteView message, ByteView signature) {
    const std::unique_ptr<EVP_MD_CTX, decltype(&EVP_MD_CTX_free)> context(EVP_MD_CTX_new(), EVP_MD_CTX_free);
    return context && EVP_DigestVerifyInit(context.get(), nullptr, EVP_sha256(), nullptr, key.get()) == 1 &&
           EVP_DigestVerify(context.get(), signature.data(), signature.size(), message.data(), message.size()) == 1;
}

// PKCS#1 v1.5 is deterministic, so OpenSSL's signature is the exact expectation.
Bytes openSslSignature(const test::Key& key, ByteView message) {
    const std::unique_ptr<EVP_MD_CTX, decltype(&EVP_MD_CTX_free)> context(EVP_MD_CTX_new(), EVP_MD_CTX_free);
    std::size_t length = 0;
    if (!context || EVP_DigestSignInit(context.get(), nullptr, EVP_sha256(), nullptr, key.get()) != 1 ||
        EVP_DigestSign(context.get(), nullptr, &length, message.data(), message.size()) != 1) {
        return {};
    }
    Bytes signature(length);
    if (EVP_DigestSign(context.get(), signature.data(), &length, message.data(), message.size()) != 1) {
        return {};
    }
    signature.resize(length);
    return signature;
}

std::vector<Bytes> certificatesOf(const std::vector<KeychainIdentity>& identities) {
    std::vector<Bytes> ders;
    for (const KeychainIdentity& identity : identities) {
        ders.push_back(identity.certificateDER());
    }
    return ders;
}

std::optional<KeychainIdentity> identityWith(const std::vector<KeychainIdentity>& identities, const Bytes& der) {
    for (const KeychainIdentity& identity : identities) {
        if (identity.certificateDER() == der) {
            return identity;
        }
    }
    return std::nullopt;
}

const Bytes challenge = {'c', 'h', 'a', 'l', 'l', 'e', 'n', 'g', 'e', 0x00, 0xFF};

// A store without a password, whose keys are not on a token, has nothing to ask.
const platform::SecretPrompt mustNotAsk = [](const std::string& tokenName) {
    ADD_FAILURE() << "asked for the secret of " << tokenName;
    return PinReply{PinOutcome::cancelled, {}};
};

// Every test opens the store in a home of its own choosing and must leave NSS
// shut down, since the store is process-wide state.
class KeychainTestBase : public testing::Test {
protected:
    void TearDown() override { EXPECT_FALSE(certificateStoreIsRunning()) << "the store was left open"; }
    void useHome(const std::filesystem::path& home) { environment_.set("HOME", home.string()); }
    test::ScopedEnvironment environment_;
};

struct Identity {
    std::string nickname;
    test::Key key;
    Bytes der;
};

class KeychainStore : public KeychainTestBase {
protected:
    static void SetUpTestSuite() {
        store_ = std::make_unique<test::NssStore>();
        identities_ = {
            {"rsa", test::rsaKey(), certificateFor(test::rsaKey(), "RSA kişi")},
            {"ec", test::ecKey(), certificateFor(test::ecKey(), "EC kişi")},
            {"expired", test::otherRsaKey(), expiredCertificate(test::otherRsaKey())},
        };
        for (const Identity& identity : identities_) {
            store_->importIdentity(identity.der, identity.key, identity.nickname);
        }
        // A key of its own: a certificate whose public key matches a stored
        // private key is an identity, whichever way it came in.
        keyless_ = certificateFor(keyOf(EVP_EC_gen("P-384")), "Yalnız sertifika");
        store_->importCertificate(keyless_, "keyless");
    }
    static void TearDownTestSuite() { store_.reset(); }
    void SetUp() override { useHome(store_->home()); }

    static std::unique_ptr<test::NssStore> store_;
    static std::vector<Identity> identities_;
    static Bytes keyless_;
};

std::unique_ptr<test::NssStore> KeychainStore::store_;
std::vector<Identity> KeychainStore::identities_;
Bytes KeychainStore::keyless_;

TEST_F(KeychainStore, ListsExactlyTheCertificatesWithKeys) {
    test::StreamCapture err(STDERR_FILENO);
    const std::vector<KeychainIdentity> identities = Keychain::open().identities();
    EXPECT_EQ(err.finish(), "");

    std::vector<Bytes> expected;
    for (const Identity& identity : identities_) {
        expected.push_back(identity.der);
    }
    // Compared without sorting: GCC 12 at -O2 takes a sort of byte vectors for an oversized memcmp.
    EXPECT_THAT(certificatesOf(identities), testing::UnorderedElementsAreArray(expected));
}

TEST_F(KeychainStore, SignsWithEachKindOfKey) {
    const std::vector<KeychainIdentity> identities = Keychain::open().identities();
    for (const Identity& expected : identities_) {
        SCOPED_TRACE(expected.nickname);
        const std::optional<KeychainIdentity> identity = identityWith(identities, expected.der);
        ASSERT_TRUE(identity.has_value());
        const Bytes signature = identity->sign(challenge, mustNotAsk);
        EXPECT_TRUE(verifies(expected.key, challenge, signature));
        if (EVP_PKEY_is_a(expected.key.get(), "RSA")) {
            EXPECT_EQ(signature, openSslSignature(expected.key, challenge));
        } else {
            // ECDSA as X9.62 DER: a SEQUENCE of two INTEGERs, not the raw r || s.
            ASSERT_GE(signature.size(), 8u);
            EXPECT_EQ(signature[0], 0x30);
            EXPECT_EQ(signature[1], signature.size() - 2);
        }
    }
}

TEST_F(KeychainStore, IdentitiesKeepTheStoreOpenUntilTheLastIsGone) {
    std::optional<KeychainIdentity> kept;
    {
        const std::vector<KeychainIdentity> identities = Keychain::open().identities();
        ASSERT_EQ(identities.size(), identities_.size());
        kept = identities.front();
    }
    EXPECT_TRUE(certificateStoreIsRunning());
    const KeychainIdentity copy = *kept;
    kept.reset();
    EXPECT_TRUE(certificateStoreIsRunning());
    EXPECT_FALSE(copy.sign(challenge, mustNotAsk).empty());
    EXPECT_FALSE(copy.certificateDER().empty());
}

TEST_F(KeychainStore, OpensAgainAfterClosing) {
    for (int round = 0; round < 3; ++round) {
        EXPECT_EQ(Keychain::open().identities().size(), identities_.size());
        EXPECT_FALSE(certificateStoreIsRunning());
    }
}

struct FailureCase {
    std::string name;
    test::Key key;
    bool deleteKey;
    std::string message;
};

void PrintTo(const FailureCase& c, std::ostream* out) { *out << c.name; }

class KeychainSigningFailure : public KeychainTestBase, public testing::WithParamInterface<FailureCase> {};

TEST_P(KeychainSigningFailure, ThrowsTheFixedOrTheStoreText) {
    const FailureCase& c = GetParam();
    ASSERT_TRUE(c.key) << "key generation failed";
    const test::NssStore store;
    const Bytes der = certificateFor(c.key, c.name);
    store.importIdentity(der, c.key, c.name);
    useHome(store.home());

    const Keychain keychain = Keychain::open();
    const std::vector<KeychainIdentity> identities = keychain.identities();
    ASSERT_EQ(identities.size(), 1u);
    ASSERT_EQ(identities.front().certificateDER(), der);
    if (c.deleteKey) {
        store.deleteKey(c.name);
    }
    test::StreamCapture err(STDERR_FILENO);
    try {
        identities.front().sign(challenge, mustNotAsk);
        ADD_FAILURE() << "signed";
    } catch (const HelperError& error) {
        EXPECT_EQ(std::string(error.message()), c.message);
    }
    EXPECT_EQ(err.finish(), "");
}

test::Key secp256k1Key() {
    static const test::Key key = keyOf(EVP_EC_gen("secp256k1"));
    return key;
}

INSTANTIATE_TEST_SUITE_P(
    Keys, KeychainSigningFailure,
    testing::Values(FailureCase{"KeyGone", test::ecKey(), true, "Kartın özel anahtarı açılamadı"},
                    FailureCase{"DsaKey", dsaKey(), false, "Kart bu imza algoritmalarından birini desteklemiyor"},
                    // NSS's own words for the error its token gives for a curve it cannot sign on.
                    FailureCase{"CurveNssCannotUse", secp256k1Key(), false, "security library: memory allocation failure."}),
    [](const auto& param) { return param.param.name; });

// A database locked by a password: what becomes of the one question a signing
// puts, for the answers that a real dialog cannot easily be made to give.
// Right, wrong and cancelled answers are covered end to end.
struct QuestionCase {
    std::string name;
    bool havePrompt;
    PinOutcome outcome;
    std::string typed;
    int signings;
    std::string error;  // empty: every signing succeeds
};

void PrintTo(const QuestionCase& c, std::ostream* out) { *out << c.name; }

constexpr std::string_view storePassword = "depo-parolası-42";

class LockedStoreQuestion : public KeychainTestBase, public testing::WithParamInterface<QuestionCase> {
protected:
    static void SetUpTestSuite() {
        store_ = std::make_unique<test::NssStore>(std::string(storePassword));
        store_->importIdentity(der_, test::rsaKey(), "kilitli");
    }
    static void TearDownTestSuite() { store_.reset(); }
    void SetUp() override { useHome(store_->home()); }

    static std::unique_ptr<test::NssStore> store_;
    static const Bytes der_;
};

std::unique_ptr<test::NssStore> LockedStoreQuestion::store_;
const Bytes LockedStoreQuestion::der_ = certificateFor(test::rsaKey(), "Kilitli depo");

TEST_P(LockedStoreQuestion, AsksOncePerSigningAndTriesWhatItGets) {
    const QuestionCase& c = GetParam();
    std::vector<std::string> asked;
    platform::SecretPrompt prompt;
    if (c.havePrompt) {
        prompt = [&](const std::string& tokenName) {
            asked.push_back(tokenName);
            return PinReply{c.outcome, SecureBytes(std::string_view(c.typed))};
        };
    }
    const std::vector<KeychainIdentity> identities = Keychain::open().identities();
    ASSERT_EQ(identities.size(), 1u);
    ASSERT_EQ(identities.front().certificateDER(), der_);
    test::StreamCapture err(STDERR_FILENO);
    for (int signing = 0; signing < c.signings; ++signing) {
        try {
            EXPECT_EQ(identities.front().sign(challenge, prompt), openSslSignature(test::rsaKey(), challenge));
            EXPECT_EQ(c.error, "");
        } catch (const HelperError& error) {
            EXPECT_EQ(error.message(), c.error);
        }
    }
    EXPECT_EQ(err.finish(), "");
    // A signing that logged in logs out again, so the next one asks afresh.
    EXPECT_EQ(asked, std::vector<std::string>(c.havePrompt ? c.signings : 0, "NSS Certificate DB"));
}

INSTANTIATE_TEST_SUITE_P(
    Answers, LockedStoreQuestion,
    testing::Values(
        QuestionCase{"EachSigningAsksAgain", true, PinOutcome::entered, std::string(storePassword), 2, ""},
        QuestionCase{"EmptyEntryIsTriedAsEmpty", true, PinOutcome::entered, "", 1,
                     "Sertifika deposu PIN/parola doğrulaması başarısız; otomatik tekrar yapılmadı"},
        QuestionCase{"DialogUnavailable", true, PinOutcome::unavailable, "", 1,
                     "PIN penceresi açılamadı; imza denenmedi"},
        QuestionCase{"NoPromptGiven", false, PinOutcome::entered, "", 1, "PIN penceresi açılamadı; imza denenmedi"}),
    [](const auto& param) { return param.param.name; });

TEST_F(KeychainTestBase, NoDatabaseMeansNoIdentitiesAndNoNoise) {
    const test::TempDir home;
    useHome(home.path());
    test::StreamCapture out(STDOUT_FILENO);
    test::StreamCapture err(STDERR_FILENO);
    const Keychain keychain = Keychain::open();
    const std::vector<KeychainIdentity> identities = keychain.identities();
    const bool running = certificateStoreIsRunning();
    EXPECT_EQ(out.finish(), "");
    EXPECT_EQ(err.finish(), "");
    EXPECT_TRUE(identities.empty());
    EXPECT_FALSE(running);
    EXPECT_FALSE(std::filesystem::exists(home.path() / ".pki")) << "a read-only store must not be created";
}

TEST_F(KeychainTestBase, WithoutHomeFallsBackQuietly) {
    environment_.unset("HOME");
    test::StreamCapture err(STDERR_FILENO);
    EXPECT_NO_THROW(Keychain::open().identities());
    EXPECT_EQ(err.finish(), "");
}

}  // namespace
}  // namespace tarvo
