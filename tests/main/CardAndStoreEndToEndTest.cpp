// The built program against a real PKCS#11 module (SoftHSM2) and a real NSS
// certificate store, with the stand-in pinentry: what the robot sees.

#include "support/FakePinentry.hpp"
#include "support/NssStore.hpp"
#include "support/RunBinary.hpp"
#include "support/SoftHsmCard.hpp"
#include "support/TestCertificates.hpp"
#include "support/Tools.hpp"

#include "main/ModuleSelection.hpp"
#include "platform/vocabulary/Base64.hpp"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>
#include <openssl/pem.h>
#include <openssl/sha.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <set>

namespace tarvo::test {
namespace {

using nlohmann::json;
using namespace std::chrono_literals;

constexpr const char* storeLabel = "macOS Keychain/CryptoTokenKit";
constexpr const char* cardLabel = "AKİS PKCS#11";

std::string fingerprint(const Bytes& der) {
    Bytes digest(SHA256_DIGEST_LENGTH);
    SHA256(der.data(), der.size(), digest.data());
    return hex(digest);
}

std::string upper(std::string text) {
    std::transform(text.begin(), text.end(), text.begin(), [](unsigned char c) { return std::toupper(c); });
    return text;
}

// Base64 as our writer shows it inside a JSON string: every '/' escaped.
std::string jsonBase64(const Bytes& bytes) {
    std::string text;
    for (char c : base64Encode(bytes)) {
        if (c == '/') {
            text += '\\';
        }
        text += c;
    }
    return text;
}

// Every certificate gets a serial of its own: a store takes issuer and serial as a certificate's identity.
Bytes certificate(const std::string& commonName, const Key& key, std::uint8_t serial,
                  std::chrono::seconds notAfter = 24h * 30) {
    CertificateRecipe recipe;
    recipe.serial = {0x02, serial};
    recipe.subject = {{{"CN", commonName}}, {{"C", "TR"}}};
    recipe.issuer = {{{"CN", "Tarvo Test CA"}}, {{"O", "Tarvo, Test"}}};
    recipe.key = key;
    recipe.notAfterOffset = notAfter;
    return mintCertificate(recipe);
}

std::string publicKeyPEM(const Key& key) {
    const std::unique_ptr<BIO, decltype(&BIO_free)> bio(BIO_new(BIO_s_mem()), BIO_free);
    PEM_write_bio_PUBKEY(bio.get(), key.get());
    char* data = nullptr;
    const long length = BIO_get_mem_data(bio.get(), &data);
    return std::string(data, static_cast<std::size_t>(length));
}

class CardAndStore : public ::testing::Test {
protected:
    const Key cardKey = otherRsaKey();
    const Bytes cardCert = certificate("Kart Kullanıcısı", cardKey, 0xC1);
    const Bytes storeRsaCert = certificate("Depo RSA", rsaKey(), 0xD1);
    const Bytes storeEcCert = certificate("Depo EC", ecKey(), 0xD2);
    const Bytes sharedCert = certificate("Ortak Sertifika", rsaKey(), 0xD3);
    const Bytes expiredCert = certificate("Süresi Dolmuş", rsaKey(), 0xD4, -24h);

    NssStore store;
    SoftHsmCard card;
    // The store the helper finds in its home; a test may give it another.
    const NssStore* helperStore = &store;

    RunResult run(const std::string& request, const Environment& extra = {}) const {
        Environment environment = helperEnvironment(helperStore->home().string());
        for (const std::string& entry : card.environment()) {
            const auto equals = entry.find('=');
            environment[entry.substr(0, equals)] = entry.substr(equals + 1);
        }
        for (const auto& [name, value] : extra) {
            environment[name] = value;
        }
        RunResult result = runBinary(request, environment);
        EXPECT_EQ(result.err, "");
        EXPECT_EQ(result.out.find(SoftHsmCard::userPin), std::string::npos);
        return result;
    }

    std::string withModule(const std::string& fields) const {
        return R"({"p11":")" + SoftHsmCard::modulePath() + "\"," + fields + "}";
    }

    // A signature over data, checked by the openssl command with the key's public half.
    bool opensslVerifies(const Key& key, const Bytes& data, const Bytes& signature) const {
        TempDir dir;
        writeFile(dir.path() / "key.pem", publicKeyPEM(key));
        writeFile(dir.path() / "data", data);
        writeFile(dir.path() / "signature", signature);
        return runTool({"openssl", "dgst", "-sha256", "-verify", (dir.path() / "key.pem").string(), "-signature",
                        (dir.path() / "signature").string(), (dir.path() / "data").string()}) == 0;
    }

    // One token with the card user's certificate and key, as the signing cases need.
    void oneCard() {
        card.addToken("AKIS");
        card.addCertificate("AKIS", cardCert, "01");
        card.addPrivateKey("AKIS", cardKey, "01");
    }

    // A SHA-256 DigestInfo as the robot computes it for a document.
    static Bytes digestInfoOf(const Bytes& document) {
        Bytes digestInfo = {0x30, 0x31, 0x30, 0x0d, 0x06, 0x09, 0x60, 0x86, 0x48, 0x01,
                            0x65, 0x03, 0x04, 0x02, 0x01, 0x05, 0x00, 0x04, 0x20};
        digestInfo.resize(51);
        SHA256(document.data(), document.size(), digestInfo.data() + 19);
        return digestInfo;
    }

    RunResult udfSign(const std::string& module, const Bytes& document, const std::string& pin) const {
        return run(R"({"p11":")" + module + R"(","action":"udf-sign","pin":")" + pin + R"(","digestInfo":")" +
                   base64Encode(digestInfoOf(document)) + R"(","fingerprint":")" + fingerprint(cardCert) + "\"}");
    }

    // The signature of an answer, checked by openssl against the card key.
    bool cardSigned(const RunResult& result, const Bytes& data) const {
        const json answer = json::parse(result.out);
        return opensslVerifies(cardKey, data, *base64Decode(answer.at("signature").get<std::string>()));
    }
};

TEST_F(CardAndStore, ListShowsStoreThenNewCardCertificatesOnce) {
    store.importIdentity(storeRsaCert, rsaKey(), "depo-rsa");
    store.importIdentity(storeEcCert, ecKey(), "depo-ec");
    store.importIdentity(sharedCert, rsaKey(), "ortak");
    store.importIdentity(expiredCert, rsaKey(), "eski");

    const Bytes cardEcCert = certificate("Kart EC", ecKey(), 0xC2);
    const Bytes noIdCert = certificate("Kimliksiz", otherRsaKey(), 0xC3);
    card.addToken("AKIS-1");
    card.addCertificate("AKIS-1", cardCert, "01");
    card.addPrivateKey("AKIS-1", cardKey, "01");
    card.addCertificate("AKIS-1", certificate("Kartta Süresi Dolmuş", cardKey, 0xC4, -1h), "02");
    card.addToken("AKIS-2");
    card.addCertificate("AKIS-2", cardEcCert, "03");
    card.addCertificate("AKIS-2", sharedCert, "04");
    card.addCertificate("AKIS-2", noIdCert, std::nullopt);
    card.addCertificate("AKIS-2", cardCert, "05");  // the same certificate on a second token

    const RunResult result = run(withModule(R"("action":"list")"));
    ASSERT_EQ(result.status, 0) << result.out;
    ASSERT_EQ(result.out.back(), '\n');
    const json answer = json::parse(result.out);
    EXPECT_FALSE(answer.contains("warning"));
    const json& entries = answer.at("certificates");
    ASSERT_EQ(entries.size(), 6u) << result.out;

    // The store's identities first (in the store's own order), then the card's new ones in card order.
    std::set<std::string> storeSeen, cardSeen;
    for (std::size_t i = 0; i < entries.size(); ++i) {
        const json& entry = entries[i];
        ASSERT_EQ(entry.size(), 9u);
        const Bytes der = *base64Decode(entry.at("certificate").get<std::string>());
        EXPECT_EQ(entry.at("fingerprint"), fingerprint(der));
        EXPECT_EQ(entry.at("identityFingerprint"), fingerprint(der));
        EXPECT_EQ(entry.at("provider"), "CN=Tarvo Test CA, O=Tarvo\\, Test");
        EXPECT_EQ(entry.at("providerName"), i < 3 ? storeLabel : cardLabel);
        (i < 3 ? storeSeen : cardSeen).insert(entry.at("certificateSubject").get<std::string>());
    }
    EXPECT_EQ(storeSeen, (std::set<std::string>{"CN=Depo RSA, C=TR", "CN=Depo EC, C=TR", "CN=Ortak Sertifika, C=TR"}));
    EXPECT_EQ(cardSeen, (std::set<std::string>{"CN=Kart Kullanıcısı, C=TR", "CN=Kart EC, C=TR", "CN=Kimliksiz, C=TR"}));
}

TEST_F(CardAndStore, ListWithoutModuleKeepsStoreAndWarns) {
    store.importIdentity(storeRsaCert, rsaKey(), "depo-rsa");
    const RunResult result = run(R"({"action":"list","p11":"/nonexistent/module.so"})");
    EXPECT_EQ(result.status, 0);
    const json answer = json::parse(result.out);
    EXPECT_EQ(answer.at("warning"), std::string("Kütüphane yüklenemedi: ") + defaultModuleCandidates().front());
    ASSERT_EQ(answer.at("certificates").size(), 1u);
    EXPECT_EQ(answer.at("certificates")[0].at("fingerprint"), fingerprint(storeRsaCert));
    EXPECT_EQ(answer.at("certificates")[0].at("providerName"), storeLabel);
}

TEST_F(CardAndStore, UdfCertAnswersTheNamedCardCertificateExactly) {
    oneCard();
    card.addCertificate("AKIS", storeEcCert, "02");
    const RunResult result =
        run(withModule(R"("action":"udf-cert","fingerprint":")" + upper(fingerprint(storeEcCert)) + "\""));
    EXPECT_EQ(result.status, 0);
    EXPECT_EQ(result.out, R"({"certificate":")" + jsonBase64(storeEcCert) + R"(","identityFingerprint":")" +
                              fingerprint(storeEcCert) + "\"}\n");
}

TEST_F(CardAndStore, UdfCertNeverConsultsTheStore) {
    oneCard();
    store.importIdentity(storeRsaCert, rsaKey(), "depo-rsa");
    const RunResult result = run(withModule(R"("action":"udf-cert","fingerprint":")" + fingerprint(storeRsaCert) + "\""));
    EXPECT_EQ(result.status, 0);
    EXPECT_EQ(json::parse(result.out).at("identityFingerprint"), fingerprint(cardCert));
}

// The document actions never read the store, so its library is not even
// loaded for them; the listing, which loads it, shows that the trace sees it.
struct StoreLibraryCase {
    const char* action;
    bool loadsStore;
};
class StoreLibrary : public CardAndStore, public ::testing::WithParamInterface<StoreLibraryCase> {};

TEST_P(StoreLibrary, IsLoadedOnlyByTheActionsThatReadTheStore) {
    oneCard();
    store.importIdentity(storeRsaCert, rsaKey(), "depo-rsa");
    const TempDir trace;
    const RunResult result = run(withModule(R"("action":")" + std::string(GetParam().action) + "\""),
                                 {{"LD_DEBUG", "files"}, {"LD_DEBUG_OUTPUT", (trace.path() / "loader").string()}});
    EXPECT_EQ(result.status, 0) << result.out;
    std::string loaded;
    for (const auto& file : std::filesystem::directory_iterator(trace.path())) {
        std::ifstream in(file.path());
        loaded.append(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    }
    ASSERT_NE(loaded, "") << "the loader wrote no trace";
    EXPECT_EQ(loaded.find("libnss3.so") != std::string::npos, GetParam().loadsStore);
}

INSTANTIATE_TEST_SUITE_P(Actions, StoreLibrary,
                         ::testing::Values(StoreLibraryCase{"udf-cert", false}, StoreLibraryCase{"list", true}),
                         [](const auto& testParam) {
                             return std::string(testParam.param.loadsStore ? "List" : "UdfCert");
                         });

TEST_F(CardAndStore, UdfSignReturnsASignatureThatOpensslAccepts) {
    oneCard();
    const Bytes document = {'b', 'e', 'l', 'g', 'e'};
    const RunResult result = run(withModule(R"("action":"udf-sign","pin":")" + std::string(SoftHsmCard::userPin) +
                                            R"(","digestInfo":")" + base64Encode(digestInfoOf(document)) + "\""));
    ASSERT_EQ(result.status, 0) << result.out;
    const json answer = json::parse(result.out);
    ASSERT_EQ(answer.size(), 2u);
    EXPECT_EQ(*base64Decode(answer.at("certificate").get<std::string>()), cardCert);
    EXPECT_TRUE(opensslVerifies(cardKey, document, *base64Decode(answer.at("signature").get<std::string>())));
}

// SoftHSM2 marks a wrong PIN with CKF_USER_PIN_COUNT_LOW only; it never
// reports a final try or a locked PIN, and a low count stops nothing.
TEST_F(CardAndStore, UdfSignWithAWrongPinStopsAndTheTokenCountsIt) {
    oneCard();
    const Bytes document = {'d', 'i', 'l', 'e', 'k', 'c', 'e'};
    const RunResult wrong = udfSign(SoftHsmCard::modulePath(), document, "0000");
    EXPECT_EQ(wrong.status, 2);
    EXPECT_EQ(wrong.out, "{\"error\":\"PIN HATALI — kart kilitlenmesin diye DURULDU.\"}\n");
    ASSERT_EQ(card.tokens().size(), 1u);
    EXPECT_EQ(card.tokens()[0].flags & (CKF_USER_PIN_COUNT_LOW | CKF_USER_PIN_FINAL_TRY | CKF_USER_PIN_LOCKED),
              CKF_USER_PIN_COUNT_LOW);

    const RunResult right = udfSign(SoftHsmCard::modulePath(), document, SoftHsmCard::userPin);
    ASSERT_EQ(right.status, 0) << right.out;
    EXPECT_TRUE(cardSigned(right, document));
}

struct TwoTokensCase {
    const char* name;
    bool challenge;  // "sign" with the PIN dialog, else "udf-sign"
};

void PrintTo(const TwoTokensCase& value, std::ostream* out) { *out << value.name; }

class TwoTokens : public CardAndStore, public ::testing::WithParamInterface<TwoTokensCase> {};

// Two tokens with PINs of their own; the certificate is on the one in the
// later slot, and the other holds a key under the same CKA_ID. The PIN goes
// to the certificate's token only, so the other one counts no failed login.
TEST_P(TwoTokens, SignOnTheCertificatesTokenAndLeaveTheOtherUntouched) {
    const std::map<std::string, std::string> pins = {{"AKIS-A", "1111-A"}, {"AKIS-B", "2222-B"}};
    for (const auto& [label, pin] : pins) {
        card.addToken(label, pin);
    }
    const std::vector<SoftHsmCard::Token> order = card.tokens();
    ASSERT_EQ(order.size(), 2u);
    const std::string front = order[0].label;
    const std::string back = order[1].label;
    card.addCertificate(front, certificate("Öndeki Kart", rsaKey(), 0xC5), "01");
    card.addPrivateKey(front, rsaKey(), "01");
    card.addCertificate(back, cardCert, "01");
    card.addPrivateKey(back, cardKey, "01");

    const Bytes data = {'i', 'k', 'i', ' ', 'k', 'a', 'r', 't'};
    RunResult result;
    if (GetParam().challenge) {
        FakePinentry pinentry(answeringPin(pins.at(back)));
        result = run(withModule(R"("action":"sign","challenge":")" + base64Encode(data) + R"(","fingerprint":")" +
                                fingerprint(cardCert) + "\""),
                     pinentry.environment());
    } else {
        result = udfSign(SoftHsmCard::modulePath(), data, pins.at(back));
    }
    ASSERT_EQ(result.status, 0) << result.out;
    EXPECT_TRUE(cardSigned(result, data));
    const std::vector<SoftHsmCard::Token> after = card.tokens();
    ASSERT_EQ(after.size(), 2u);
    EXPECT_EQ(after[0].label, front);
    EXPECT_EQ(after[0].flags & CKF_USER_PIN_COUNT_LOW, 0u);
}

INSTANTIATE_TEST_SUITE_P(Actions, TwoTokens,
                         ::testing::Values(TwoTokensCase{"UdfSign", false}, TwoTokensCase{"Sign", true}),
                         [](const auto& testParam) { return std::string(testParam.param.name); });

// p11-kit's proxy exports nothing but C_GetFunctionList and shows the tokens of
// every module registered with p11-kit. The user's registration of SoftHSM2
// takes the place of a system one of the same name; whatever else the system
// registered may show tokens of its own.
// The store's actions load OpenSSL's library only for a certificate that
// only its full decoder describes (here, a subject without a common name or
// e-mail address, named by OpenSSL's one-line text). No card module takes
// part (SoftHSM2 itself links the library); the dynamic loader says what it
// initialised.
TEST_F(CardAndStore, TheStoreLoadsOpenSslOnlyForWhatOnlyItCanRead) {
    store.importIdentity(storeRsaCert, rsaKey(), "depo-rsa");
    store.importIdentity(storeEcCert, ecKey(), "depo-ec");
    const auto loadsOpenSsl = [this](const std::string& request) {
        TempDir log;
        const RunResult result =
            run(request, {{"LD_DEBUG", "libs"}, {"LD_DEBUG_OUTPUT", (log.path() / "loader").string()}});
        EXPECT_EQ(result.status, 0) << result.out;
        bool loaded = false;
        for (const auto& file : std::filesystem::directory_iterator(log.path())) {
            std::ifstream in(file.path());
            for (std::string line; std::getline(in, line);) {
                loaded = loaded || (line.find("calling init:") != std::string::npos &&
                                    line.find("/libcrypto.so") != std::string::npos);
            }
        }
        return loaded;
    };
    const std::string sign = R"({"action":"sign","challenge":"AQID","fingerprint":")";
    EXPECT_FALSE(loadsOpenSsl(sign + fingerprint(storeRsaCert) + "\"}"));
    EXPECT_FALSE(loadsOpenSsl(sign + fingerprint(storeEcCert) + "\"}"));
    EXPECT_FALSE(loadsOpenSsl(R"({"action":"list"})"));

    CertificateRecipe unnamed;
    unnamed.subject = {{{"GN", "Ayşe"}}, {{"SN", "Yılmaz"}}};
    unnamed.key = rsaKey();
    store.importIdentity(mintCertificate(unnamed), rsaKey(), "adsiz");
    EXPECT_TRUE(loadsOpenSsl(R"({"action":"list"})"));
}

TEST_F(CardAndStore, ListAndSignThroughTheP11KitProxy) {
    oneCard();
    const auto modules = store.home() / ".config" / "pkcs11" / "modules";
    std::filesystem::create_directories(modules);
    writeFile(modules / "softhsm2.module", "module: " + SoftHsmCard::modulePath() + "\n");
    const std::string proxy = TARVO_P11KIT_PROXY_MODULE;

    const RunResult listed = run(R"({"action":"list","p11":")" + proxy + "\"}");
    ASSERT_EQ(listed.status, 0) << listed.out;
    const json entries = json::parse(listed.out).at("certificates");
    EXPECT_EQ(std::count_if(entries.begin(), entries.end(),
                            [&](const json& entry) {
                                return entry.at("fingerprint") == fingerprint(cardCert) &&
                                       entry.at("providerName") == cardLabel;
                            }),
              1)
        << listed.out;

    const Bytes document = {'v', 'e', 'k', 'i', 'l'};
    const RunResult signedDocument = udfSign(proxy, document, SoftHsmCard::userPin);
    ASSERT_EQ(signedDocument.status, 0) << signedDocument.out;
    EXPECT_TRUE(cardSigned(signedDocument, document));
}

TEST_F(CardAndStore, SignOnTheCardAsksForThePinOnceAndOpensslAccepts) {
    oneCard();
    FakePinentry pinentry(answeringPin(SoftHsmCard::userPin));
    const Bytes challenge(4096, 0xA5);
    const RunResult result =
        run(withModule(R"("action":"sign","challenge":")" + base64Encode(challenge) + R"(","fingerprint":")" +
                       upper(fingerprint(cardCert)) + "\""),
            pinentry.environment());
    ASSERT_EQ(result.status, 0) << result.out;
    const json answer = json::parse(result.out);
    EXPECT_EQ(answer.size(), 9u);
    EXPECT_EQ(answer.at("fingerprint"), fingerprint(cardCert));
    EXPECT_EQ(answer.at("identityFingerprint"), fingerprint(cardCert));
    EXPECT_EQ(answer.at("certificateSubject"), "CN=Kart Kullanıcısı, C=TR");
    EXPECT_EQ(answer.at("certificateSerial"), "C102");
    EXPECT_EQ(answer.at("provider"), "CN=Tarvo Test CA, O=Tarvo\\, Test");
    EXPECT_TRUE(opensslVerifies(cardKey, challenge, *base64Decode(answer.at("signature").get<std::string>())));
    const auto received = pinentry.received();
    EXPECT_EQ(std::count(received.begin(), received.end(), "GETPIN"), 1);
}

TEST_F(CardAndStore, SignOnTheCardWithAWrongPinGivesTheSingleLoginMessage) {
    oneCard();
    FakePinentry pinentry(answeringPin("0000"));
    const RunResult result = run(withModule(R"("action":"sign","challenge":"AQID","fingerprint":")" +
                                            fingerprint(cardCert) + "\""),
                                 pinentry.environment());
    EXPECT_EQ(result.status, 2);
    EXPECT_EQ(result.out, "{\"error\":\"AKİS kart PIN doğrulaması başarısız; otomatik tekrar yapılmadı\"}\n");
}

struct StoreSignCase {
    const char* name;
    bool elliptic;
};

void PrintTo(const StoreSignCase& value, std::ostream* out) { *out << value.name; }

class StoreSign : public CardAndStore, public ::testing::WithParamInterface<StoreSignCase> {};

TEST_P(StoreSign, StoreKeySignsWithoutADialogEvenWhenTheCardHoldsTheCertificate) {
    const Key key = GetParam().elliptic ? ecKey() : cardKey;
    const Bytes cert = GetParam().elliptic ? storeEcCert : cardCert;
    oneCard();
    store.importIdentity(cert, key, "depo");
    FakePinentry pinentry(answeringPin(SoftHsmCard::userPin));
    const Bytes challenge = {'m', 'e', 'y', 'd', 'a', 'n'};
    const RunResult result = run(withModule(R"("action":"sign","challenge":")" + base64Encode(challenge) +
                                            R"(","fingerprint":")" + fingerprint(cert) + "\""),
                                 pinentry.environment());
    ASSERT_EQ(result.status, 0) << result.out;
    const json answer = json::parse(result.out);
    EXPECT_EQ(*base64Decode(answer.at("certificate").get<std::string>()), cert);
    EXPECT_TRUE(opensslVerifies(key, challenge, *base64Decode(answer.at("signature").get<std::string>())));
    EXPECT_TRUE(pinentry.received().empty());
}

INSTANTIATE_TEST_SUITE_P(Keys, StoreSign, ::testing::Values(StoreSignCase{"Rsa", false}, StoreSignCase{"Ec", true}),
                         [](const auto& testParam) { return std::string(testParam.param.name); });

// A store whose key is locked: by the database's own password, or on a smart
// card registered in the database with modutil (SoftHSM2 standing in for the
// card, holding its certificate, private key and public key object), whose key
// may also ask for the PIN again at each use, as signature keys of qualified
// cards do. NSS asks for the secret through our dialog, once, and only when
// signing.
enum class Lock { databasePassword, registeredToken, keyConfirmedAtEachUse };

struct LockedCase {
    const char* name;
    Lock lock;
    const char* action;
    const char* getpinReply;  // the stand-in pinentry's answer; nullptr: the right secret
    const char* error;        // nullptr: the answer
};

void PrintTo(const LockedCase& value, std::ostream* out) { *out << value.name; }

constexpr const char* databasePassword = "depo-parolası-42";
constexpr const char* tokenLabel = "E-İmza Kartı";
constexpr const char* cancelled = "ERR 83886179 Operation cancelled";
constexpr const char* wrongSecret = "Sertifika deposu PIN\\/parola doğrulaması başarısız; otomatik tekrar yapılmadı";

class LockedStore : public CardAndStore, public ::testing::WithParamInterface<LockedCase> {
protected:
    std::optional<NssStore> lockedDatabase;
    const Key key = otherRsaKey();
    const Bytes cert = certificate("Kilitli Anahtar", key, 0xE1);

    void SetUp() override {
        if (GetParam().lock == Lock::databasePassword) {
            lockedDatabase.emplace(databasePassword);
            lockedDatabase->importIdentity(cert, key, "kilitli");
            helperStore = &*lockedDatabase;
            return;
        }
        card.addToken(tokenLabel);
        card.addCertificate(tokenLabel, cert, "0e");
        card.addPrivateKey(tokenLabel, key, "0e", GetParam().lock == Lock::keyConfirmedAtEachUse);
        card.addPublicKey(tokenLabel, key, "0e");
        store.registerModule("E-İmza", SoftHsmCard::modulePath(), card.environment());
    }

    std::string rightSecret() const {
        return GetParam().lock == Lock::databasePassword ? databasePassword : SoftHsmCard::userPin;
    }
    std::string tokenName() const {
        return GetParam().lock == Lock::databasePassword ? "NSS Certificate DB" : tokenLabel;
    }
};

TEST_P(LockedStore, AsksOnlyWhenSigningAndTriesTheAnswerOnce) {
    const LockedCase& c = GetParam();
    PinentryScript script;
    script.replies["GETPIN"] = c.getpinReply != nullptr ? c.getpinReply : "D " + rightSecret() + "\nOK";
    const FakePinentry pinentry(script);
    const Bytes challenge = {'k', 'i', 'l', 'i', 't'};
    // No module is named: the card must play no part.
    const RunResult result =
        run(std::string(c.action) == "list"
                ? R"({"action":"list"})"
                : R"({"action":"sign","challenge":")" + base64Encode(challenge) + R"(","fingerprint":")" +
                      fingerprint(cert) + "\"}",
            pinentry.environment());
    EXPECT_EQ(result.out.find(rightSecret()), std::string::npos);

    const std::vector<std::string> received = pinentry.received();
    if (std::string(c.action) == "list") {
        ASSERT_EQ(result.status, 0) << result.out;
        const json answer = json::parse(result.out);
        EXPECT_EQ(answer.at("warning"), "Kütüphane yüklenemedi: /usr/lib/libakisp11.so");
        ASSERT_EQ(answer.at("certificates").size(), 1u) << result.out;
        EXPECT_EQ(answer.at("certificates")[0].at("fingerprint"), fingerprint(cert));
        EXPECT_EQ(answer.at("certificates")[0].at("providerName"), storeLabel);
        EXPECT_TRUE(received.empty());
    } else {
        EXPECT_EQ(std::count(received.begin(), received.end(), "GETPIN"), 1);
        EXPECT_EQ(std::count(received.begin(), received.end(),
                             "SETDESC Sertifika deposu PIN’i%0A“" + tokenName() +
                                 "” imza için PIN ya da parola istiyor. Yalnızca bir kez denenecek."),
                  1);
        if (c.error != nullptr) {
            EXPECT_EQ(result.status, 2);
            EXPECT_EQ(result.out, std::string(R"({"error":")") + c.error + "\"}\n");
        } else {
            ASSERT_EQ(result.status, 0) << result.out;
            const json answer = json::parse(result.out);
            EXPECT_EQ(*base64Decode(answer.at("certificate").get<std::string>()), cert);
            EXPECT_TRUE(opensslVerifies(key, challenge, *base64Decode(answer.at("signature").get<std::string>())));
        }
    }
    // The token saw a failed login only when a wrong PIN was typed.
    if (c.lock != Lock::databasePassword) {
        EXPECT_EQ(card.userPinCountLow(tokenLabel), c.error != nullptr && std::string(c.error) == wrongSecret);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Secrets, LockedStore,
    ::testing::Values(LockedCase{"DatabaseRight", Lock::databasePassword, "sign", nullptr, nullptr},
                      LockedCase{"DatabaseWrong", Lock::databasePassword, "sign", "D depo-parolasi-42\nOK", wrongSecret},
                      LockedCase{"DatabaseCancel", Lock::databasePassword, "sign", cancelled,
                                 "İmza denemesi kullanıcı tarafından iptal edildi"},
                      LockedCase{"DatabaseList", Lock::databasePassword, "list", nullptr, nullptr},
                      LockedCase{"TokenRight", Lock::registeredToken, "sign", nullptr, nullptr},
                      LockedCase{"TokenWrong", Lock::registeredToken, "sign", "D gizli-PIN-7390\nOK", wrongSecret},
                      LockedCase{"TokenCancel", Lock::registeredToken, "sign", cancelled,
                                 "İmza denemesi kullanıcı tarafından iptal edildi"},
                      LockedCase{"TokenList", Lock::registeredToken, "list", nullptr, nullptr},
                      LockedCase{"KeyConfirmedAtEachUse", Lock::keyConfirmedAtEachUse, "sign", nullptr, nullptr}),
    [](const auto& testParam) { return std::string(testParam.param.name); });

}  // namespace
}  // namespace tarvo::test
