#include "certificate/Fingerprint.hpp"
#include "main/Dispatch.hpp"
#include "main/DocumentActions.hpp"
#include "main/ListAction.hpp"
#include "main/SignAction.hpp"
#include "platform/vocabulary/Base64.hpp"
#include "platform/vocabulary/HelperError.hpp"
#include "support/TestCertificates.hpp"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <string>
#include <vector>

namespace tarvo {
namespace {

using test::CertificateRecipe;

CertificateRecord makeRecord(const CertificateRecipe& recipe) {
    const auto certificate = platform::Certificate::fromDER(test::mintCertificate(recipe));
    auto made = record(*certificate);
    if (!made) throw std::runtime_error("minted certificate gave no record");
    return std::move(*made);
}

CertificateRecord named(const std::string& commonName) {
    CertificateRecipe recipe;
    recipe.subject = {{{"CN", commonName}}};
    return makeRecord(recipe);
}

const std::string& text(const JsonObject& object, const std::string& key) {
    return std::get<std::string>(object.at(key).content);
}

// What the stand-ins for the store and the card hold and were given, with
// each call noted in order.
struct FakeState {
    std::vector<std::string> calls;
    std::vector<CertificateRecord> keychain;
    std::vector<CardCertificate> card;
    std::optional<std::string> cardError;
    CardSignature signature{named("Card Signer"), {0xde, 0xad}};
    Bytes receivedBytes;
    std::string receivedPin;
    std::optional<std::string> receivedFingerprint;
};

class FakeKeychain final : public KeychainProvider {
public:
    explicit FakeKeychain(FakeState& state) : state_(state) {}

    void keychainRecords(const std::function<void(CertificateRecord)>& take) const override {
        state_.calls.push_back("keychain");
        for (const auto& record : state_.keychain) take(record);
    }

    // An identity without a store: signing with it fails for want of a key.
    std::optional<KeychainRecord> keychainRecord(const std::string& fingerprint) const override {
        state_.calls.push_back("keychain");
        for (const auto& record : state_.keychain) {
            if (sameFingerprint(record.fingerprint, fingerprint)) {
                return KeychainRecord{record, platform::KeychainIdentity(nullptr)};
            }
        }
        return std::nullopt;
    }

    Bytes sign(const platform::KeychainIdentity& identity, ByteView message) const override {
        return identity.sign(message, [this](const std::string&) {
            state_.calls.push_back("store secret");
            return PinReply{PinOutcome::cancelled, {}};
        });
    }

private:
    FakeState& state_;
};

class FakeCard final : public CardProvider {
public:
    explicit FakeCard(FakeState& state) : state_(state) {}

    // A failing card first hands over what it has, as a card that fails on
    // its second token does.
    void cardCertificates(const std::function<void(CardCertificate)>& take) const override {
        state_.calls.push_back("card certificates");
        for (const auto& certificate : state_.card) take(certificate);
        if (state_.cardError) throw HelperError(*state_.cardError);
    }

    CardCertificate udfCertificate(const std::optional<std::string>& fingerprint) const override {
        state_.calls.push_back("document certificate");
        state_.receivedFingerprint = fingerprint;
        if (state_.cardError) throw HelperError(*state_.cardError);
        return CardCertificate{state_.signature.record, Bytes{0x01}};
    }

    CardSignature udfSign(const Bytes& digestInfo, SecureBytes pin,
                          const std::optional<std::string>& fingerprint) const override {
        state_.calls.push_back("sign digest");
        state_.receivedBytes = digestInfo;
        state_.receivedPin.assign(pin.view().begin(), pin.view().end());
        state_.receivedFingerprint = fingerprint;
        if (state_.cardError) throw HelperError(*state_.cardError);
        return state_.signature;
    }

    CardSignature akisSign(const Bytes& challenge, const std::string& fingerprint) const override {
        state_.calls.push_back("sign challenge");
        state_.receivedBytes = challenge;
        state_.receivedFingerprint = fingerprint;
        if (state_.cardError) throw HelperError(*state_.cardError);
        return state_.signature;
    }

private:
    FakeState& state_;
};

struct FakeProviders : FakeState {
    FakeKeychain keychainProvider{*this};
    FakeCard cardProvider{*this};
};

// What dispatch produced: the answer's keys, or the error text.
std::string outcome(const Request& request, FakeProviders& fake) {
    try {
        const auto answer = dispatch(request, fake.keychainProvider, fake.cardProvider);
        std::string keys;
        for (const auto& [key, value] : answer) keys += key + " ";
        return keys;
    } catch (const HelperError& error) {
        return std::string("error: ") + error.message();
    }
}

Request requestFor(const std::string& action) {
    Request request;
    request.action = action;
    return request;
}

TEST(Dispatch, ChoosesTheActionByItsExactNameAndOpensTheStoreOnlyWhenNeeded) {
    struct Case {
        Request request;
        std::vector<std::string> calls;
        std::string outcome;
    };
    auto sign = requestFor("sign");
    sign.challenge = "AQID";
    sign.fingerprint = "00";
    auto udfSign = requestFor("udf-sign");
    udfSign.digestInfo = "";
    const std::string signKeys =
        "certificate certificateSerial certificateSubject fingerprint identityFingerprint provider signature "
        "validFrom validUntil ";
    std::vector<Case> cases;
    cases.push_back({requestFor("udf-cert"), {"document certificate"}, "certificate identityFingerprint "});
    cases.push_back({std::move(udfSign), {"sign digest"}, "certificate signature "});
    cases.push_back({requestFor("list"), {"keychain", "card certificates"}, "certificates "});
    cases.push_back({std::move(sign), {"keychain", "sign challenge"}, signKeys});
    for (const std::string unknown : {"LIST", "Sign", "", "udf-cert ", " list", "udf_sign", "list\n"}) {
        cases.push_back({requestFor(unknown), {"keychain"}, "error: Bilinmeyen işlem"});
    }
    for (const auto& c : cases) {
        SCOPED_TRACE(::testing::PrintToString(c.request.action));
        FakeProviders fake;
        EXPECT_EQ(outcome(c.request, fake), c.outcome);
        EXPECT_EQ(fake.calls, c.calls);
    }
}

struct Listed {
    std::string fingerprint;
    std::string providerName;
    std::string provider;
};

std::vector<Listed> listed(const JsonObject& answer) {
    std::vector<Listed> result;
    const auto document = nlohmann::json::parse(serializeJSON(answer).value());
    for (const auto& entry : document.at("certificates")) {
        EXPECT_EQ(entry.size(), 9u);
        EXPECT_EQ(entry.at("identityFingerprint"), entry.at("fingerprint"));
        result.push_back({entry.at("fingerprint"), entry.at("providerName"), entry.at("provider")});
    }
    return result;
}

bool operator==(const Listed& a, const Listed& b) {
    return a.fingerprint == b.fingerprint && a.providerName == b.providerName && a.provider == b.provider;
}

void PrintTo(const Listed& l, std::ostream* out) { *out << l.fingerprint << "/" << l.providerName << "/" << l.provider; }

const std::string keychainLabel = "macOS Keychain/CryptoTokenKit";
const std::string cardLabel = "AKİS PKCS#11";

TEST(ListAnswer, PutsTheStoreFirstAndEachCertificateOnce) {
    FakeProviders fake;
    const auto a = named("A");
    const auto b = named("B");
    const auto c = named("C");
    CertificateRecipe noIssuerSpec;
    noIssuerSpec.subject = {{{"CN", "D"}}};
    noIssuerSpec.emptyIssuer = true;
    const auto d = makeRecord(noIssuerSpec);
    fake.keychain = {a, b};
    // b is also on the card; c is on two tokens
    fake.card = {{c, Bytes{1}}, {b, Bytes{2}}, {c, Bytes{3}}, {d, std::nullopt}};

    const auto answer = listAnswer(fake.keychainProvider, fake.cardProvider);
    EXPECT_EQ(answer.count("warning"), 0u);
    EXPECT_EQ(listed(answer), (std::vector<Listed>{{a.fingerprint, keychainLabel, a.issuer},
                                                   {b.fingerprint, keychainLabel, b.issuer},
                                                   {c.fingerprint, cardLabel, c.issuer},
                                                   {d.fingerprint, cardLabel, cardLabel}}));
    EXPECT_EQ(a.issuer, "CN=A");
}

TEST(ListAnswer, NothingAnywhereIsAnEmptyListWithoutWarning) {
    FakeProviders fake;
    EXPECT_EQ(serializeJSON(listAnswer(fake.keychainProvider, fake.cardProvider)), "{\"certificates\":[]}");
    EXPECT_EQ(fake.calls, (std::vector<std::string>{"keychain", "card certificates"}));
}

TEST(ListAnswer, AnUnreadableCardLeavesTheStoreAndAWarning) {
    FakeProviders fake;
    const auto a = named("A");
    fake.keychain = {a};
    fake.card = {{named("C"), Bytes{1}}};
    fake.cardError = "Kütüphane yüklenemedi: /nowhere/lib.so";
    const auto answer = listAnswer(fake.keychainProvider, fake.cardProvider);
    EXPECT_EQ(text(answer, "warning"), "Kütüphane yüklenemedi: /nowhere/lib.so");
    EXPECT_EQ(listed(answer), (std::vector<Listed>{{a.fingerprint, keychainLabel, "CN=A"}}));
    EXPECT_EQ(answer.size(), 2u);
}

// A text that is not UTF-8 cannot be written, wherever it stands; the answer
// then becomes the error document instead.
TEST(ListAnswer, AnUnwritableTextAnywhereMakesTheAnswerUnwritable) {
    auto broken = named("B");
    broken.subject = "B\xC3";
    struct Case {
        const char* what;
        std::vector<CertificateRecord> keychain;
        std::vector<CardCertificate> card;
        std::optional<std::string> cardError;
    };
    const Case cases[] = {
        {"store entry", {broken}, {}, std::nullopt},
        {"store entry and a failing card", {broken}, {}, "Kart okunamadı"},
        {"card entry", {}, {{broken, std::nullopt}}, std::nullopt},
        {"warning", {}, {}, "Kütüphane yüklenemedi: /x\xFF"},
    };
    for (const auto& c : cases) {
        FakeProviders fake;
        fake.keychain = c.keychain;
        fake.card = c.card;
        fake.cardError = c.cardError;
        std::optional<std::string> written;
        try {
            written = serializeJSON(listAnswer(fake.keychainProvider, fake.cardProvider));
        } catch (const HelperError& error) {
            EXPECT_STREQ(error.message(), "JSON yanıtı oluşturulamadı") << c.what;
        }
        EXPECT_EQ(written, std::nullopt) << c.what;
    }
    // A card entry whose failure comes later is dropped with the rest, and
    // cannot spoil the answer.
    FakeProviders fake;
    fake.card = {{broken, std::nullopt}};
    fake.cardError = "Kart okunamadı";
    EXPECT_EQ(serializeJSON(listAnswer(fake.keychainProvider, fake.cardProvider)),
              "{\"certificates\":[],\"warning\":\"Kart okunamadı\"}");
}

std::string signError(const Request& request, FakeProviders& fake) {
    try {
        signAnswer(request, fake.keychainProvider, fake.cardProvider);
        return "";
    } catch (const HelperError& error) {
        return error.message();
    }
}

TEST(SignAnswer, SignsOnTheCardWhenTheStoreLacksTheCertificate) {
    FakeProviders fake;
    fake.keychain = {named("A"), named("B")};
    CertificateRecipe recipe;
    recipe.subject = {{{"CN", "Kart Sahibi"}}};
    recipe.emptyIssuer = true;
    recipe.serial = {0x01, 0x02};
    fake.signature = {makeRecord(recipe), Bytes{0x00, 0xff, 0x10}};
    const auto& card = fake.signature.record;

    auto request = requestFor("sign");
    request.challenge = base64Encode(Bytes(4096, 0x5a));
    std::string upper = card.fingerprint;
    for (auto& ch : upper) ch = static_cast<char>(std::toupper(static_cast<unsigned char>(ch)));
    request.fingerprint = upper;

    const auto answer = signAnswer(request, fake.keychainProvider, fake.cardProvider);
    EXPECT_EQ(fake.calls, (std::vector<std::string>{"keychain", "sign challenge"}));
    EXPECT_EQ(fake.receivedBytes, Bytes(4096, 0x5a));
    EXPECT_EQ(fake.receivedFingerprint, upper);

    const JsonObject expected = {
        {"certificate", base64Encode(card.der)},
        {"certificateSerial", "0201"},
        {"certificateSubject", "CN=Kart Sahibi"},
        {"fingerprint", card.fingerprint},
        {"identityFingerprint", card.fingerprint},
        {"provider", ""},
        {"signature", "AP8Q"},
        {"validFrom", card.validFrom},
        {"validUntil", card.validUntil},
    };
    EXPECT_EQ(serializeJSON(answer), serializeJSON(expected));
}

TEST(SignAnswer, ACardFailureIsTheAnswer) {
    FakeProviders fake;
    fake.cardError = "PIN girişi iptal edildi";
    auto request = requestFor("sign");
    request.challenge = "AQID";
    request.fingerprint = "ab";
    EXPECT_EQ(signError(request, fake), "PIN girişi iptal edildi");
    EXPECT_EQ(fake.receivedBytes, (Bytes{1, 2, 3}));
}

TEST(SignAnswer, AStoreFailureIsFinalEvenWhenTheCardHoldsTheCertificate) {
    FakeProviders fake;
    // The stand-in identity has no key behind it, so signing through the store fails.
    fake.keychain = {named("A")};
    fake.signature = {fake.keychain[0], Bytes{0x01}};
    auto request = requestFor("sign");
    request.challenge = "AQID";
    std::string upper = fake.keychain[0].fingerprint;
    for (auto& ch : upper) ch = static_cast<char>(std::toupper(static_cast<unsigned char>(ch)));
    request.fingerprint = upper;
    EXPECT_EQ(signError(request, fake), "Kartın özel anahtarı açılamadı");
    EXPECT_EQ(fake.calls, std::vector<std::string>{"keychain"});
}

TEST(DocumentCertificateAnswer, PassesTheFingerprintOnAndNamesTheChoice) {
    for (const std::optional<std::string>& fingerprint : std::vector<std::optional<std::string>>{
             std::nullopt, std::string(), std::string("ABCdef")}) {
        FakeProviders fake;
        auto request = requestFor("udf-cert");
        request.fingerprint = fingerprint;
        const auto answer = documentCertificateAnswer(request, fake.cardProvider);
        EXPECT_EQ(fake.receivedFingerprint, fingerprint);
        const JsonObject expected = {{"certificate", base64Encode(fake.signature.record.der)},
                                     {"identityFingerprint", fake.signature.record.fingerprint}};
        EXPECT_EQ(serializeJSON(answer), serializeJSON(expected));
    }
    FakeProviders failing;
    failing.cardError = "Kart bulunamadı";
    EXPECT_THROW(documentCertificateAnswer(requestFor("udf-cert"), failing.cardProvider), HelperError);
}

TEST(DocumentSignatureAnswer, HandsTheBytesThePinAndTheFingerprintToTheCard) {
    struct Case {
        std::string digestInfo;
        std::optional<std::string> pin;
        std::optional<std::string> fingerprint;
        Bytes bytes;
        std::string pinBytes;
    };
    const std::vector<Case> cases = {
        {"", std::nullopt, std::nullopt, {}, ""},
        {"MDE=", "", "", {0x30, 0x31}, ""},
        {"AQID", "12 34ş", "AbC", {1, 2, 3}, "12 34ş"},
    };
    for (const auto& c : cases) {
        FakeProviders fake;
        auto request = requestFor("udf-sign");
        request.digestInfo = c.digestInfo;
        if (c.pin) request.pin.emplace(std::string_view(*c.pin));
        request.fingerprint = c.fingerprint;
        const auto answer = documentSignatureAnswer(request, fake.cardProvider);
        EXPECT_EQ(fake.receivedBytes, c.bytes);
        EXPECT_EQ(fake.receivedPin, c.pinBytes);
        EXPECT_EQ(fake.receivedFingerprint, c.fingerprint);
        const JsonObject expected = {{"certificate", base64Encode(fake.signature.record.der)}, {"signature", "3q0="}};
        EXPECT_EQ(serializeJSON(answer), serializeJSON(expected));
    }
    FakeProviders failing;
    failing.cardError = "PIN boş — robot ayarlarında eimzaPin yok.";
    auto request = requestFor("udf-sign");
    request.digestInfo = "";
    EXPECT_THROW(documentSignatureAnswer(request, failing.cardProvider), HelperError);
}

}  // namespace
}  // namespace tarvo
