// The signing lifecycle that document signing and challenge signing share:
// the same card answers lead to the same calls, each with its own wording.

#include "SigningCard.hpp"
#include "card/ChallengeSigning.hpp"
#include "card/DigestSigning.hpp"
#include "certificate/Fingerprint.hpp"

namespace tarvo::test {
namespace {

using ::testing::ElementsAre;
using ::testing::ElementsAreArray;

const Bytes document = bytesOf("belge içeriği");
const Bytes challenge = bytesOf("sunucu sınaması 42");

struct SigningCase {
    const char* name;
    std::function<mockp11::Script()> script;  // call numbers count the listing's calls too
    std::string documentError;                // empty: signed
    std::string challengeError;
    Names calls;                              // of the signing lifecycle
    std::function<std::vector<mockp11::MockSlot>()> card = [] { return signingCard(); };
};

void PrintTo(const SigningCase& row, std::ostream* out) { *out << row.name; }

class CardSigningTest : public MockCardTestWithParam<SigningCase> {
protected:
    // Runs one of the two operations on a fresh card; the error text or "".
    std::string run(bool documentSigning, std::optional<CardSignature>& result) {
        mockp11::reset(GetParam().card(), GetParam().script());
        int prompts = 0;
        const std::string error = errorOf([&] {
            if (documentSigning) {
                result = udfSign(mockModule, sha256DigestInfoOf(document), SecureBytes(cardPin), std::nullopt);
            } else {
                result = akisSign(mockModule, challenge, fingerprintOf(signingCertificate()), [&](bool) {
                    ++prompts;
                    return PinReply{PinOutcome::entered, SecureBytes(cardPin)};
                });
            }
        });
        EXPECT_EQ(prompts, documentSigning ? 0 : 1);
        return error == "<no error>" ? "" : error;
    }

    void check(bool documentSigning) {
        const SigningCase& c = GetParam();
        SCOPED_TRACE(documentSigning ? "udfSign" : "akisSign");
        std::optional<CardSignature> result;
        EXPECT_EQ(run(documentSigning, result), documentSigning ? c.documentError : c.challengeError);
        EXPECT_THAT(fromLoad(2), ElementsAreArray(c.calls));
        EXPECT_EQ(mockp11::callsOf("load").size(), 2u);

        for (const mockp11::Call& login : mockp11::callsOf("C_Login")) {
            EXPECT_THAT(login.args, ElementsAre(::testing::_, CKU_USER, 9u));
            EXPECT_EQ(login.data, bytesOf(cardPin));
        }
        const Bytes signedInput = sha256DigestInfoOf(documentSigning ? document : challenge);
        for (const mockp11::Call& sign : mockp11::callsOf("C_Sign")) {
            EXPECT_EQ(sign.data, signedInput);
            EXPECT_EQ(sign.args[1], 51u);
        }
        for (const mockp11::Call& init : mockp11::callsOf("C_SignInit")) {
            // {session, mechanism, parameter given, parameter length, key}
            EXPECT_THAT(init.args, ElementsAre(::testing::_, CKM_RSA_PKCS, 0u, 0u, mockp11::objectHandle(0, 1)));
        }
        for (const mockp11::Call& open : mockp11::callsOf("C_OpenSession")) {
            EXPECT_THAT(open.args, ElementsAre(9u, CKF_SERIAL_SESSION, 0u));
        }
        if (result) {
            EXPECT_EQ(result->signature, sha256Signature(rsaKey(), documentSigning ? document : challenge));
            EXPECT_EQ(result->record.fingerprint, fingerprintOf(signingCertificate()));
        }
    }
};

TEST_P(CardSigningTest, DocumentSigning) { check(true); }
TEST_P(CardSigningTest, ChallengeSigning) { check(false); }

mockp11::Script answer(const char* function, int call, CK_RV rv, bool applyEffect = false) {
    return mockp11::answering({{function, call, rv, applyEffect}});
}

mockp11::Script signatureLengths(std::optional<CK_ULONG> queried, std::optional<CK_ULONG> filled) {
    mockp11::Script script;
    script.queriedSignatureLength = queried;
    script.filledSignatureLength = filled;
    return script;
}

const Names opened = {"load", "C_Initialize", "C_GetSlotList", "C_GetSlotList", "C_OpenSession"};
// Before the login: the same token, still holding the certificate, and its flags read again.
const Names sameCardChecked = concat({opened,
                                      {"C_GetTokenInfo", "C_FindObjectsInit", "C_FindObjects", "C_FindObjectsFinal",
                                       "C_GetAttributeValue", "C_GetAttributeValue"}});
const Names loggedIn = concat({sameCardChecked, {"C_Login"}});
const Names keyFound = concat({loggedIn, {"C_FindObjectsInit", "C_FindObjects", "C_FindObjectsFinal"}});
const Names closing = {"C_Logout", "C_CloseSession", "C_Finalize", "unload"};
const Names signed_ = concat({keyFound, {"C_SignInit", "C_Sign", "C_Sign"}, closing});
const std::string loginRefused = "AKİS kart PIN doğrulaması başarısız; otomatik tekrar yapılmadı";

INSTANTIATE_TEST_SUITE_P(
    Cases, CardSigningTest,
    ::testing::Values(
        SigningCase{"Signs", [] { return mockp11::Script{}; }, "", "", signed_},
        SigningCase{"InitializeRefused",
                    [] { return answer("C_Initialize", 2, CKR_GENERAL_ERROR); },
                    "AKİS PKCS#11 başlatılamadı: 0x5",
                    "AKİS PKCS#11 başlatılamadı: 0x5",
                    {"load", "C_Initialize", "unload"}},
        SigningCase{"SlotListFails",
                    [] { return answer("C_GetSlotList", 3, CKR_DEVICE_ERROR); },
                    "AKİS kart yuvaları okunamadı: 0x30",
                    "AKİS kart yuvaları okunamadı: 0x30",
                    {"load", "C_Initialize", "C_GetSlotList", "C_Finalize", "unload"}},
        // The card was pulled after the listing: no slot holds a token any more.
        SigningCase{"TokenGone",
                    [] { return answer("C_GetSlotList", 3, CKR_OK); },
                    "Takılı token yok — kartı takın.",
                    "AKİS kartı bulunamadı",
                    {"load", "C_Initialize", "C_GetSlotList", "C_Finalize", "unload"}},
        SigningCase{"SessionRefused", [] { return answer("C_OpenSession", 2, CKR_SESSION_COUNT); },
                    "AKİS kart oturumu açılamadı: 0xb1", "AKİS kart oturumu açılamadı: 0xb1",
                    concat({opened, {"C_Finalize", "unload"}})},
        SigningCase{"PinIncorrect", [] { return answer("C_Login", 1, CKR_PIN_INCORRECT); },
                    "PIN HATALI — kart kilitlenmesin diye DURULDU.", loginRefused,
                    concat({loggedIn, {"C_CloseSession", "C_Finalize", "unload"}})},
        SigningCase{"PinLocked", [] { return answer("C_Login", 1, CKR_PIN_LOCKED); },
                    "PIN KİLİTLİ — PUK/blokaj kaldırma gerekir.", loginRefused,
                    concat({loggedIn, {"C_CloseSession", "C_Finalize", "unload"}})},
        SigningCase{"PinLengthRange", [] { return answer("C_Login", 1, CKR_PIN_LEN_RANGE); }, "C_Login 0xa2",
                    loginRefused, concat({loggedIn, {"C_CloseSession", "C_Finalize", "unload"}})},
        SigningCase{"AlreadyLoggedIn", [] { return answer("C_Login", 1, CKR_USER_ALREADY_LOGGED_IN, true); }, "", "",
                    signed_},
        SigningCase{"KeySearchRefused", [] { return answer("C_FindObjectsInit", 3, CKR_DEVICE_ERROR); },
                    "AKİS kart nesneleri aranamadı: 0x30", "AKİS kart nesneleri aranamadı: 0x30",
                    concat({loggedIn, {"C_FindObjectsInit"}, closing})},
        SigningCase{"KeySearchFails", [] { return answer("C_FindObjects", 3, CKR_DEVICE_MEMORY); },
                    "AKİS kart nesneleri okunamadı: 0x31", "AKİS kart nesneleri okunamadı: 0x31",
                    concat({keyFound, closing})},
        SigningCase{"SignInitRefused", [] { return answer("C_SignInit", 1, CKR_MECHANISM_INVALID); }, "C_SignInit 0x70",
                    "AKİS imza işlemi başlatılamadı: 0x70", concat({keyFound, {"C_SignInit"}, closing})},
        SigningCase{"LengthQueryFails", [] { return answer("C_Sign", 1, CKR_DEVICE_ERROR); }, "C_Sign(len) 0x30",
                    "AKİS imza boyutu alınamadı: 0x30", concat({keyFound, {"C_SignInit", "C_Sign"}, closing})},
        SigningCase{"LengthZero", [] { return signatureLengths(0, std::nullopt); }, "C_Sign(len) 0x0",
                    "AKİS imza boyutu alınamadı: 0x0", concat({keyFound, {"C_SignInit", "C_Sign"}, closing})},
        SigningCase{"LengthAboveLimit", [] { return signatureLengths(16385, std::nullopt); }, "C_Sign(len) 0x0",
                    "AKİS imza boyutu alınamadı: 0x0", concat({keyFound, {"C_SignInit", "C_Sign"}, closing})},
        SigningCase{"LengthAtLimit", [] { return signatureLengths(16384, std::nullopt); }, "", "", signed_},
        // The buffer is sized by the first answer; the signature by the second.
        SigningCase{"SecondLengthShorter", [] { return signatureLengths(300, std::nullopt); }, "", "", signed_},
        SigningCase{"SignFails", [] { return answer("C_Sign", 2, CKR_DATA_LEN_RANGE); }, "C_Sign 0x21",
                    "AKİS kartı imza üretemedi: 0x21", signed_},
        SigningCase{"SignatureCut", [] { return signatureLengths(std::nullopt, 255); },
                    "Kart imzası sertifikanın açık anahtarıyla doğrulanamadı",
                    "AKİS imzası sertifikanın açık anahtarıyla doğrulanamadı", signed_},
        SigningCase{"CardSignsWithAnotherKey", [] { return mockp11::Script{}; },
                    "Kart imzası sertifikanın açık anahtarıyla doğrulanamadı",
                    "AKİS imzası sertifikanın açık anahtarıyla doğrulanamadı", signed_,
                    [] { return signingCard(otherRsaKey()); }}),
    [](const auto& row) { return std::string(row.param.name); });

// The second C_Sign gets a buffer of exactly the size the first one named.
TEST_F(MockCardTest, SignatureBufferHasTheQueriedSize) {
    for (const CK_ULONG queried : {CK_ULONG{256}, CK_ULONG{300}, CK_ULONG{16384}}) {
        mockp11::Script script;
        script.queriedSignatureLength = queried;
        mockp11::reset(signingCard(), script);
        const CardSignature result =
            udfSign(mockModule, sha256DigestInfoOf(document), SecureBytes(cardPin), std::nullopt);
        EXPECT_EQ(result.signature.size(), 256u);
        const auto signs = mockp11::callsOf("C_Sign");
        ASSERT_EQ(signs.size(), 2u);
        // {session, data length, buffer given, length passed in}
        EXPECT_THAT(signs[0].args, ElementsAre(::testing::_, 51u, 0u, 0u));
        EXPECT_THAT(signs[1].args, ElementsAre(::testing::_, 51u, 1u, queried));
    }
}

std::vector<CK_ULONG> slotsAsked(const char* function) {
    std::vector<CK_ULONG> slots;
    for (const mockp11::Call& call : mockp11::callsOf(function)) {
        slots.push_back(call.args[0]);
    }
    return slots;
}

// Another token in front of the card must neither see the PIN nor sign: it
// holds a key under the same CKA_ID and wants another PIN, so either would
// end in an error here.
TEST_F(MockCardTest, SignsOnTheTokenThatHoldsTheCertificate) {
    const Bytes other = selfSignedCertificate(otherRsaKey(), "Öndeki Kart");
    const std::string fingerprint = fingerprintOf(signingCertificate());
    for (const bool documentSigning : {true, false}) {
        SCOPED_TRACE(documentSigning ? "udfSign" : "akisSign");
        mockp11::reset(signingCardBehindAnotherToken(other));
        const CardSignature result =
            documentSigning
                ? udfSign(mockModule, sha256DigestInfoOf(document), SecureBytes(cardPin), fingerprint)
                : akisSign(mockModule, challenge, fingerprint,
                           [](bool) { return PinReply{PinOutcome::entered, SecureBytes(cardPin)}; });
        EXPECT_EQ(result.signature, sha256Signature(rsaKey(), documentSigning ? document : challenge));
        EXPECT_THAT(fromLoad(2), ElementsAreArray(signed_));
        // Both tokens while listing, then the certificate's own.
        EXPECT_THAT(slotsAsked("C_OpenSession"), ElementsAre(5u, signingSlot, signingSlot));
        EXPECT_THAT(slotsAsked("C_GetTokenInfo"), ElementsAre(5u, signingSlot, signingSlot));
    }
}

struct TokenGoneCase {
    const char* name;
    CK_SLOT_ID chosenSlot;
    mockp11::Script script;
    Names calls;
};

void PrintTo(const TokenGoneCase& row, std::ostream* out) { *out << row.name; }

class ChosenTokenGoneTest : public MockCardTestWithParam<TokenGoneCase> {};

// The card that listed the certificate was pulled (or another took its
// place) before signing: no session elsewhere, no PIN anywhere.
TEST_P(ChosenTokenGoneTest, AnswersThatNoCardIsThere) {
    const TokenGoneCase& c = GetParam();
    const CardCertificate chosen = cardCertificate(signingCertificate(), signingKeyId, c.chosenSlot);
    const platform::PublicKey publicKey = *chosen.record.certificate.publicKey();
    for (const bool documentSigning : {true, false}) {
        SCOPED_TRACE(documentSigning ? "document" : "challenge");
        mockp11::reset(signingCard(), c.script);
        SecureBytes pin(cardPin);
        EXPECT_EQ(errorOf([&] {
                      documentSigning
                          ? signDigestOnCard(mockModule, chosen, publicKey, sha256DigestInfoOf(document), pin)
                          : signChallengeOnCard(mockModule, chosen, publicKey, challenge, pin);
                  }),
                  documentSigning ? "Takılı token yok — kartı takın." : "AKİS kartı bulunamadı");
        EXPECT_THAT(mockp11::callNames(), ElementsAreArray(c.calls));
    }
}

INSTANTIATE_TEST_SUITE_P(
    Cases, ChosenTokenGoneTest,
    ::testing::Values(
        TokenGoneCase{
            "SlotNotListed", 5, {}, {"load", "C_Initialize", "C_GetSlotList", "C_GetSlotList", "C_Finalize", "unload"}},
        TokenGoneCase{"TokenNotPresent", signingSlot, answer("C_OpenSession", 1, CKR_TOKEN_NOT_PRESENT),
                      concat({opened, {"C_Finalize", "unload"}})},
        TokenGoneCase{"TokenNotRecognized", signingSlot, answer("C_OpenSession", 1, CKR_TOKEN_NOT_RECOGNIZED),
                      concat({opened, {"C_Finalize", "unload"}})}),
    [](const auto& row) { return std::string(row.param.name); });

}  // namespace
}  // namespace tarvo::test
