#include "SigningCard.hpp"

namespace tarvo::test {
namespace {

using ::testing::ElementsAre;
using ::testing::ElementsAreArray;
using ::testing::IsEmpty;

const Bytes document = bytesOf("sözleşme.pdf");

Bytes changed(Bytes bytes, std::size_t index, std::uint8_t value) {
    bytes.at(index) = value;
    return bytes;
}

Bytes resized(Bytes bytes, std::size_t size) {
    bytes.resize(size, 0x5a);
    return bytes;
}

struct InputCase {
    const char* name;
    Bytes digestInfo;
    std::string pin;
    std::string error;
};

void PrintTo(const InputCase& row, std::ostream* out) { *out << row.name; }

class DigestInputTest : public MockCardTestWithParam<InputCase> {};

// Bad input is refused before the module is ever loaded.
TEST_P(DigestInputTest, IsRefusedBeforeTheCardIsTouched) {
    mockp11::reset(signingCard());
    EXPECT_EQ(errorOf([] { udfSign(mockModule, GetParam().digestInfo, SecureBytes(GetParam().pin), std::nullopt); }),
              GetParam().error);
    EXPECT_THAT(mockp11::callNames(), IsEmpty());
}

const std::string notDigestInfo = "İmza girdisi SHA-256 DigestInfo değil";
const std::string noPin = "PIN boş — robot ayarlarında eimzaPin yok.";
const Bytes valid = sha256DigestInfoOf(document);

INSTANTIATE_TEST_SUITE_P(
    Cases, DigestInputTest,
    ::testing::Values(InputCase{"DigestLengthByteChanged", changed(valid, 18, 0x21), "1", notDigestInfo},
                      InputCase{"FirstByteChanged", changed(valid, 0, 0x31), "1", notDigestInfo},
                      InputCase{"FiftyBytes", resized(valid, 50), "1", notDigestInfo},
                      InputCase{"FiftyTwoBytes", resized(valid, 52), "1", notDigestInfo},
                      InputCase{"DigestOnly", Bytes(valid.begin() + 19, valid.end()), "1", notDigestInfo},
                      InputCase{"Empty", {}, "1", notDigestInfo},
                      InputCase{"BadDigestInfoAndEmptyPin", resized(valid, 50), "", notDigestInfo},
                      InputCase{"EmptyPin", valid, "", noPin}),
    [](const auto& row) { return std::string(row.param.name); });

using DigestSigning = MockCardTest;

TEST_F(DigestSigning, CertificateWithoutReadableKeyStopsAfterTheListing) {
    mockp11::reset({mockp11::MockSlot{9, {mockp11::certificateObject(withUnknownKeyAlgorithm(signingCertificate()))}}});
    EXPECT_EQ(errorOf([] { udfSign(mockModule, valid, SecureBytes(cardPin), std::nullopt); }),
              "Sertifikanın açık anahtarı okunamadı");
    EXPECT_EQ(mockp11::callsOf("load").size(), 1u);
}

// {session, entries, class, class length, has CKA_ID}; data: the CKA_ID.
std::vector<std::pair<CK_ULONG, Bytes>> keySearches() {
    std::vector<std::pair<CK_ULONG, Bytes>> searches;
    for (const mockp11::Call& call : mockp11::callsOf("C_FindObjectsInit")) {
        if (call.args[2] == CKO_PRIVATE_KEY) {
            EXPECT_EQ(call.args[3], 8u);
            searches.emplace_back(call.args[1], call.data);
        }
    }
    return searches;
}

const Names search = {"C_FindObjectsInit", "C_FindObjects", "C_FindObjectsFinal"};
// The certificate check before the login reads it back: a search and two attribute reads.
const Names loggedIn = concat({{"load", "C_Initialize", "C_GetSlotList", "C_GetSlotList", "C_OpenSession",
                                "C_GetTokenInfo"},
                               search,
                               {"C_GetAttributeValue", "C_GetAttributeValue", "C_Login"}});
const Names signAndClose = {"C_SignInit", "C_Sign", "C_Sign", "C_Logout", "C_CloseSession", "C_Finalize", "unload"};

TEST_F(DigestSigning, KeyWithAnotherIdIsFoundByTheSecondSearch) {
    mockp11::reset(signingCard(rsaKey(), Bytes{0x77}));
    const CardSignature result = udfSign(mockModule, valid, SecureBytes(cardPin), std::nullopt);
    EXPECT_EQ(result.signature, sha256Signature(rsaKey(), document));
    EXPECT_THAT(keySearches(), ElementsAre(std::pair{CK_ULONG{2}, signingKeyId}, std::pair{CK_ULONG{1}, Bytes{}}));
    EXPECT_THAT(fromLoad(2), ElementsAreArray(concat({loggedIn, search, search, signAndClose})));
}

TEST_F(DigestSigning, CertificateWithoutIdSearchesAnyKeyOnce) {
    std::vector<mockp11::MockSlot> card = signingCard();
    card[0].objects[0].id.reset();
    mockp11::reset(card);
    const CardSignature result = udfSign(mockModule, valid, SecureBytes(cardPin), std::nullopt);
    EXPECT_EQ(result.signature, sha256Signature(rsaKey(), document));
    EXPECT_THAT(keySearches(), ElementsAre(std::pair{CK_ULONG{1}, Bytes{}}));
}

TEST_F(DigestSigning, TokenWithoutPrivateKeyFailsAfterBothSearches) {
    std::vector<mockp11::MockSlot> card = signingCard();
    card[0].objects.pop_back();
    mockp11::reset(card);
    EXPECT_EQ(errorOf([] { udfSign(mockModule, valid, SecureBytes(cardPin), std::nullopt); }),
              "Kartta imza anahtarı bulunamadı.");
    EXPECT_THAT(keySearches(), ElementsAre(std::pair{CK_ULONG{2}, signingKeyId}, std::pair{CK_ULONG{1}, Bytes{}}));
    EXPECT_THAT(fromLoad(2), ElementsAreArray(concat({loggedIn, search, search,
                                                      {"C_Logout", "C_CloseSession", "C_Finalize", "unload"}})));
}

}  // namespace
}  // namespace tarvo::test
