#include "SigningCard.hpp"
#include "certificate/Fingerprint.hpp"

namespace tarvo::test {
namespace {

using ::testing::ElementsAre;
using ::testing::ElementsAreArray;

const Bytes challenge = bytesOf("giriş sınaması");

// A prompt that counts how often it was shown and answers with a PIN, or
// with nothing when the person cancels.
struct Prompt {
    std::optional<std::string> answer = cardPin;
    int shown = 0;

    PinPrompt function() {
        return [this](bool) -> PinReply {
            ++shown;
            return answer ? PinReply{PinOutcome::entered, SecureBytes(*answer)} : PinReply{PinOutcome::cancelled, {}};
        };
    }
};

struct PrePromptCase {
    const char* name;
    std::function<std::vector<mockp11::MockSlot>()> card;
    std::function<std::string()> fingerprint;
    std::string error;
};

void PrintTo(const PrePromptCase& row, std::ostream* out) { *out << row.name; }

class ChallengeBeforePromptTest : public MockCardTestWithParam<PrePromptCase> {};

// Nothing the card cannot help with leads to a PIN dialog or a second load.
TEST_P(ChallengeBeforePromptTest, FailsWithoutAskingForThePin) {
    mockp11::reset(GetParam().card());
    Prompt prompt;
    EXPECT_EQ(errorOf([&] { akisSign(mockModule, challenge, GetParam().fingerprint(), prompt.function()); }),
              GetParam().error);
    EXPECT_EQ(prompt.shown, 0);
    EXPECT_EQ(mockp11::callsOf("load").size(), 1u);
}

std::vector<mockp11::MockSlot> cardHolding(const Bytes& der, std::optional<Bytes> id) {
    return {mockp11::MockSlot{9, {mockp11::certificateObject(der, std::move(id))}}};
}

// Minted once: an ECDSA signature differs from one minting to the next.
const Bytes& ecCertificate() {
    static const Bytes der = [] {
        CertificateRecipe wanted;
        wanted.key = ecKey();
        return mintCertificate(wanted);
    }();
    return der;
}

const Bytes& expiredCertificate() {
    static const Bytes der = [] {
        CertificateRecipe wanted;
        wanted.notBeforeOffset = -std::chrono::hours(48);
        wanted.notAfterOffset = -std::chrono::hours(1);
        return mintCertificate(wanted);
    }();
    return der;
}

const std::string notFound = "AKİS kartında seçilen geçerli sertifika bulunamadı";
const std::string noId = "AKİS kartında sertifika ile eşleşen anahtar kimliği yok";
const std::string notRSA = "Bu deneme yalnızca doğrulanan RSA sertifikasını destekliyor";

INSTANTIATE_TEST_SUITE_P(
    Cases, ChallengeBeforePromptTest,
    ::testing::Values(
        PrePromptCase{"NoMatch", [] { return signingCard(); }, [] { return std::string(64, '0'); }, notFound},
        PrePromptCase{"NoToken",
                      [] {
                          std::vector<mockp11::MockSlot> card = signingCard();
                          card[0].tokenPresent = false;
                          return card;
                      },
                      [] { return fingerprintOf(signingCertificate()); }, notFound},
        PrePromptCase{"Expired", [] { return cardHolding(expiredCertificate(), signingKeyId); },
                      [] { return fingerprintOf(expiredCertificate()); }, notFound},
        PrePromptCase{"WithoutId", [] { return cardHolding(signingCertificate(), std::nullopt); },
                      [] { return fingerprintOf(signingCertificate()); }, noId},
        PrePromptCase{"EmptyId", [] { return cardHolding(signingCertificate(), Bytes{}); },
                      [] { return fingerprintOf(signingCertificate()); }, noId},
        PrePromptCase{"EllipticCurveKey", [] { return cardHolding(ecCertificate(), signingKeyId); },
                      [] { return fingerprintOf(ecCertificate()); }, notRSA},
        PrePromptCase{"UnreadableKey",
                      [] { return cardHolding(withUnknownKeyAlgorithm(signingCertificate()), signingKeyId); },
                      [] { return fingerprintOf(withUnknownKeyAlgorithm(signingCertificate())); }, notRSA}),
    [](const auto& row) { return std::string(row.param.name); });

using ChallengeSigning = MockCardTest;

TEST_F(ChallengeSigning, CancelledPromptLoadsTheModuleNoMore) {
    mockp11::reset(signingCard());
    Prompt prompt;
    prompt.answer.reset();
    EXPECT_EQ(errorOf([&] { akisSign(mockModule, challenge, fingerprintOf(signingCertificate()), prompt.function()); }),
              "İmza denemesi kullanıcı tarafından iptal edildi");
    EXPECT_EQ(prompt.shown, 1);
    EXPECT_EQ(mockp11::callsOf("load").size(), 1u);
}

TEST_F(ChallengeSigning, UpperCaseFingerprintSelectsTheCertificate) {
    mockp11::reset(signingCard());
    std::string fingerprint = fingerprintOf(signingCertificate());
    for (char& c : fingerprint) {
        c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    }
    Prompt prompt;
    const CardSignature result = akisSign(mockModule, challenge, fingerprint, prompt.function());
    EXPECT_EQ(result.record.fingerprint, fingerprintOf(signingCertificate()));
    EXPECT_EQ(result.signature, sha256Signature(rsaKey(), challenge));
}

const Names keyNotFound = {"load",          "C_Initialize",      "C_GetSlotList", "C_GetSlotList",
                           "C_OpenSession", "C_GetTokenInfo",    "C_FindObjectsInit", "C_FindObjects",
                           "C_FindObjectsFinal", "C_GetAttributeValue", "C_GetAttributeValue", "C_Login",
                           "C_FindObjectsInit", "C_FindObjects", "C_FindObjectsFinal", "C_Logout",
                           "C_CloseSession", "C_Finalize",       "unload"};

// Unlike document signing there is no search without the id: another key of
// the token is never tried.
TEST_F(ChallengeSigning, KeyIsSearchedByTheCertificateIdOnly) {
    std::vector<mockp11::MockSlot> card = signingCard(rsaKey(), Bytes{0x77});
    mockp11::reset(card);
    Prompt prompt;
    EXPECT_EQ(errorOf([&] { akisSign(mockModule, challenge, fingerprintOf(signingCertificate()), prompt.function()); }),
              "AKİS kartında sertifikayla eşleşen özel anahtar bulunamadı");
    EXPECT_THAT(fromLoad(2), ElementsAreArray(keyNotFound));
    const auto searches = mockp11::callsOf("C_FindObjectsInit");
    ASSERT_EQ(searches.size(), 3u);
    EXPECT_THAT(searches[2].args, ElementsAre(::testing::_, 2u, CKO_PRIVATE_KEY, 8u, 1u));
    EXPECT_EQ(searches[2].data, signingKeyId);
}

TEST_F(ChallengeSigning, EmptyPinGoesToTheCardAsLengthZero) {
    mockp11::reset(signingCard());
    Prompt prompt;
    prompt.answer = "";
    EXPECT_EQ(errorOf([&] { akisSign(mockModule, challenge, fingerprintOf(signingCertificate()), prompt.function()); }),
              "AKİS kart PIN doğrulaması başarısız; otomatik tekrar yapılmadı");
    const auto logins = mockp11::callsOf("C_Login");
    ASSERT_EQ(logins.size(), 1u);
    EXPECT_EQ(logins[0].args[2], 0u);
    EXPECT_EQ(logins[0].data, Bytes{});
    // A null PIN would ask a reader with a PIN pad for a PIN of its own.
    EXPECT_NE(mockp11::log().pinAddress, nullptr);
}

TEST_F(ChallengeSigning, CardAlwaysSignsTheFiftyOneByteDigestInfo) {
    for (const std::size_t length : {std::size_t{1}, std::size_t{51}, std::size_t{4096}}) {
        mockp11::reset(signingCard());
        const Bytes message(length, 0xC5);
        Prompt prompt;
        const CardSignature result =
            akisSign(mockModule, message, fingerprintOf(signingCertificate()), prompt.function());
        EXPECT_EQ(result.signature, sha256Signature(rsaKey(), message)) << length;
        for (const mockp11::Call& sign : mockp11::callsOf("C_Sign")) {
            EXPECT_EQ(sign.data, sha256DigestInfoOf(message)) << length;
        }
    }
}

}  // namespace
}  // namespace tarvo::test
