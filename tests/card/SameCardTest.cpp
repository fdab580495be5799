// Between the two loads of a signing the card may change: swapped for
// another, moved to another reader, used elsewhere until its PIN is locked or
// at its last try. The PIN goes only to the card that holds the chosen
// certificate, and only when its flags, read again, allow it.

#include "SigningCard.hpp"
#include "certificate/Fingerprint.hpp"

namespace tarvo::test {
namespace {

const Bytes document = bytesOf("sözleşme");
const Bytes challenge = bytesOf("oturum sınaması");

const std::string notFound = "AKİS kartında seçilen geçerli sertifika bulunamadı";
const std::string locked = "AKİS kartının PIN’i kilitli; imza denenmedi";
const std::string lastTry = "AKİS kartında son PIN deneme hakkı kaldı; kart kilitlenmesin diye PIN denenmedi";

const Bytes& otherCertificate() {
    static const Bytes der = selfSignedCertificate(otherRsaKey(), "Başka Kişi");
    return der;
}

// The signing card as the listing sees it: slot 9, with a label and a serial number.
std::vector<mockp11::MockSlot> namedSigningCard() {
    std::vector<mockp11::MockSlot> card = signingCard();
    card[0].label = "AKİS";
    card[0].serialNumber = "2A00F1";
    return card;
}

// Another person's card: its own serial number, its own certificate and key
// under the signing key's CKA_ID, the same PIN.
mockp11::MockSlot otherCard(CK_SLOT_ID slot) {
    mockp11::MockSlot other{slot,
                            {mockp11::certificateObject(otherCertificate(), signingKeyId),
                             mockp11::privateKeyObject(otherRsaKey(), signingKeyId)}};
    other.pin = bytesOf(cardPin);
    other.label = "AKİS";
    other.serialNumber = "3B00E2";
    return other;
}

struct ChangeCase {
    const char* name;
    std::function<std::vector<mockp11::MockSlot>()> cardAfterwards;
    std::string documentError;   // empty: signed
    std::string challengeError;  // empty: signed
    CK_SLOT_ID signedOn = signingSlot;
};

void PrintTo(const ChangeCase& row, std::ostream* out) { *out << row.name; }

class SameCardTest : public MockCardTestWithParam<ChangeCase> {
protected:
    // The slot of the session C_Login went to, or nothing when there was no login.
    static std::optional<CK_ULONG> loginSlot() {
        const auto logins = mockp11::callsOf("C_Login");
        if (logins.empty()) {
            return std::nullopt;
        }
        EXPECT_EQ(logins.size(), 1u);
        const CK_ULONG session = logins.front().args[0];
        std::optional<CK_ULONG> slot;
        // Sessions are numbered in the order they were opened, from 0x51 on.
        const auto opened = mockp11::callsOf("C_OpenSession");
        const std::size_t index = session - 0x51;
        if (index < opened.size()) {
            slot = opened[index].args[0];
        }
        return slot;
    }

    void expectOutcome(const std::string& error, const std::string& expected) const {
        EXPECT_EQ(error, expected.empty() ? "<no error>" : expected);
        const std::optional<CK_ULONG> slot = loginSlot();
        if (expected.empty()) {
            EXPECT_EQ(slot, std::optional<CK_ULONG>(GetParam().signedOn));
        } else {
            EXPECT_EQ(slot, std::nullopt) << "a PIN went to the card";
        }
    }
};

TEST_P(SameCardTest, DocumentSigningBetweenItsTwoLoads) {
    mockp11::Script script;
    script.cardAfterFirstUnload = GetParam().cardAfterwards();
    mockp11::reset(namedSigningCard(), script);
    const std::string error = errorOf([] {
        udfSign(mockModule, sha256DigestInfoOf(document), SecureBytes(cardPin), fingerprintOf(signingCertificate()));
    });
    expectOutcome(error, GetParam().documentError);
}

// The stand-in for the person at the PIN dialog changes the card while asked.
TEST_P(SameCardTest, ChallengeSigningDuringThePinDialog) {
    mockp11::reset(namedSigningCard());
    const std::string error = errorOf([this] {
        akisSign(mockModule, challenge, fingerprintOf(signingCertificate()), [this](bool finalTry) {
            EXPECT_FALSE(finalTry);
            mockp11::replaceCard(GetParam().cardAfterwards());
            return PinReply{PinOutcome::entered, SecureBytes(cardPin)};
        });
    });
    expectOutcome(error, GetParam().challengeError);
}

INSTANTIATE_TEST_SUITE_P(
    Changes, SameCardTest,
    ::testing::Values(
        ChangeCase{"Unchanged", namedSigningCard, "", ""},
        ChangeCase{"SwappedForAnother", [] { return std::vector{otherCard(signingSlot)}; }, notFound, notFound},
        // The same label and serial number, yet not the certificate that was chosen.
        ChangeCase{"SameNamesOtherCertificate",
                   [] {
                       mockp11::MockSlot other = otherCard(signingSlot);
                       other.serialNumber = namedSigningCard()[0].serialNumber;
                       return std::vector{other};
                   },
                   notFound, notFound},
        ChangeCase{"SameCertificateOtherSerialNumber",
                   [] {
                       std::vector<mockp11::MockSlot> card = namedSigningCard();
                       card[0].serialNumber = "2A00F2";
                       return card;
                   },
                   notFound, notFound},
        ChangeCase{"NowLocked",
                   [] {
                       std::vector<mockp11::MockSlot> card = namedSigningCard();
                       card[0].tokenFlags |= CKF_USER_PIN_LOCKED;
                       return card;
                   },
                   locked, locked},
        ChangeCase{"NowAtItsFinalTry",
                   [] {
                       std::vector<mockp11::MockSlot> card = namedSigningCard();
                       card[0].tokenFlags |= CKF_USER_PIN_COUNT_LOW | CKF_USER_PIN_FINAL_TRY;
                       return card;
                   },
                   lastTry, lastTry},
        ChangeCase{"Removed", [] { return std::vector<mockp11::MockSlot>{}; }, "Takılı token yok — kartı takın.",
                   "AKİS kartı bulunamadı"},
        // Slot numbers moved (a reader was plugged in): found by its serial number.
        ChangeCase{"MovedToAnotherSlot",
                   [] {
                       std::vector<mockp11::MockSlot> card = namedSigningCard();
                       card[0].id = 12;
                       return card;
                   },
                   "", "", 12},
        ChangeCase{"AnotherInItsSlotItselfInAnother",
                   [] {
                       std::vector<mockp11::MockSlot> card = namedSigningCard();
                       card[0].id = 3;
                       card.push_back(otherCard(signingSlot));
                       return card;
                   },
                   "", "", 3}),
    [](const auto& row) { return std::string(row.param.name); });

}  // namespace
}  // namespace tarvo::test
