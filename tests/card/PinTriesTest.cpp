// The token's PIN state decides whether a PIN is tried at all: a locked PIN
// never is; one try left is not spent by the robot's PIN, while a person is
// warned and goes on.

#include "SigningCard.hpp"
#include "certificate/Fingerprint.hpp"

namespace tarvo::test {
namespace {

using ::testing::ElementsAre;
using ::testing::ElementsAreArray;

const Bytes document = bytesOf("dilekçe");
const Bytes challenge = bytesOf("oturum sınaması");

const std::string locked = "AKİS kartının PIN’i kilitli; imza denenmedi";
const std::string lastTry = "AKİS kartında son PIN deneme hakkı kaldı; kart kilitlenmesin diye PIN denenmedi";

struct TriesCase {
    const char* name;
    CK_FLAGS flags;                   // beside the usual ones
    std::string documentError;        // empty: signed
    std::string challengeError;       // empty: signed
    std::optional<bool> warned;       // what the prompt was told; absent: never shown
    const char* module = MOCK_P11_MODULE;
    std::function<mockp11::Script()> script = [] { return mockp11::Script{}; };
};

void PrintTo(const TriesCase& row, std::ostream* out) { *out << row.name; }

class PinTriesTest : public MockCardTestWithParam<TriesCase> {
protected:
    void SetUp() override {
        MockCardTest::SetUp();
        std::vector<mockp11::MockSlot> card = signingCard();
        card[0].tokenFlags |= GetParam().flags;
        mockp11::reset(card, GetParam().script());
    }
};

// The check comes right before C_Login, in the signing lifecycle: a refusal
// closes the session it opened and nothing else.
TEST_P(PinTriesTest, DocumentSigning) {
    const TriesCase& c = GetParam();
    const std::string error = errorOf([&] {
        udfSign(c.module, sha256DigestInfoOf(document), SecureBytes(cardPin), fingerprintOf(signingCertificate()));
    });
    EXPECT_EQ(error, c.documentError.empty() ? "<no error>" : c.documentError);
    EXPECT_EQ(mockp11::callsOf("C_Login").size(), c.documentError.empty() ? 1u : 0u);
    if (!c.documentError.empty()) {
        Names calls = fromLoad(2);
        std::erase(calls, "C_GetFunctionList");
        EXPECT_THAT(calls, ElementsAre("load", "C_Initialize", "C_GetSlotList", "C_GetSlotList", "C_OpenSession",
                                       "C_GetTokenInfo", "C_FindObjectsInit", "C_FindObjects", "C_FindObjectsFinal",
                                       "C_GetAttributeValue", "C_GetAttributeValue", "C_CloseSession", "C_Finalize",
                                       "unload"));
    }
}

// The flags of the listing decide before the dialog; read again before the
// login, a last try that the dialog did not warn of is not spent.
TEST_P(PinTriesTest, ChallengeSigning) {
    const TriesCase& c = GetParam();
    std::vector<bool> told;
    const std::string error = errorOf([&] {
        akisSign(c.module, challenge, fingerprintOf(signingCertificate()), [&](bool finalTry) {
            told.push_back(finalTry);
            return PinReply{PinOutcome::entered, SecureBytes(cardPin)};
        });
    });
    EXPECT_EQ(error, c.challengeError.empty() ? "<no error>" : c.challengeError);
    EXPECT_THAT(told, c.warned ? ElementsAreArray({*c.warned}) : ElementsAreArray(std::vector<bool>{}));
    EXPECT_EQ(mockp11::callsOf("C_Login").size(), c.challengeError.empty() ? 1u : 0u);
    EXPECT_EQ(mockp11::callsOf("load").size(), c.warned ? 2u : 1u);
}

INSTANTIATE_TEST_SUITE_P(
    Flags, PinTriesTest,
    ::testing::Values(
        TriesCase{"Usual", 0, "", "", false},
        TriesCase{"CountLow", CKF_USER_PIN_COUNT_LOW, "", "", false},
        TriesCase{"FinalTry", CKF_USER_PIN_COUNT_LOW | CKF_USER_PIN_FINAL_TRY, lastTry, "", true},
        TriesCase{"Locked", CKF_USER_PIN_LOCKED, locked, locked, std::nullopt},
        TriesCase{"LockedAndFinalTry", CKF_USER_PIN_LOCKED | CKF_USER_PIN_FINAL_TRY, locked, locked, std::nullopt},
        // A module without C_GetTokenInfo says nothing, so nothing is held back.
        TriesCase{"ModuleWithoutTokenInfo", CKF_USER_PIN_LOCKED, "", "", false, MOCK_P11_MODULE_WITHOUT_TOKEN_INFO},
        TriesCase{"FunctionListModule", CKF_USER_PIN_FINAL_TRY, lastTry, "", true, MOCK_P11_MODULE_FUNCTION_LIST_ONLY},
        // Unreadable while listing, readable before the login: the dialog
        // could not warn, the login is held back all the same. The other
        // way round, both go by what the listing read.
        TriesCase{"UnreadableWhileListing", CKF_USER_PIN_LOCKED, locked, locked, false, MOCK_P11_MODULE,
                  [] { return mockp11::answering({{"C_GetTokenInfo", 1, CKR_DEVICE_ERROR}}); }},
        TriesCase{"UnreadableBeforeLogin", CKF_USER_PIN_FINAL_TRY, lastTry, "", true, MOCK_P11_MODULE,
                  [] { return mockp11::answering({{"C_GetTokenInfo", 2, CKR_DEVICE_ERROR}}); }}),
    [](const auto& row) { return std::string(row.param.name); });

}  // namespace
}  // namespace tarvo::test
