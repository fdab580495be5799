#include "MockCardTest.hpp"
#include "card/CardCertificates.hpp"
#include "certificate/Fingerprint.hpp"
#include "support/TestCertificates.hpp"

namespace tarvo::test {
namespace {

using ::testing::ElementsAre;
using ::testing::ElementsAreArray;
using ::testing::IsEmpty;
using mockp11::certificateObject;
using mockp11::MockSlot;

Bytes certificate(const std::string& commonName) { return selfSignedCertificate(rsaKey(), commonName); }

Bytes expiredCertificate() {
    CertificateRecipe wanted;
    wanted.subject = {{{"CN", "Süresi Dolmuş"}}};
    wanted.notBeforeOffset = -std::chrono::hours(24 * 30);
    wanted.notAfterOffset = -std::chrono::hours(24);
    return mintCertificate(wanted);
}

std::string upper(std::string text) {
    for (char& c : text) {
        c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    }
    return text;
}

// What a listing says about each entry: the certificate's fingerprint, its
// CKA_ID, its slot and its token's flags.
using Summary = std::tuple<std::string, std::optional<Bytes>, CK_SLOT_ID, std::optional<CK_FLAGS>>;

// Every certificate the listing hands over, kept in its order.
std::vector<CardCertificate> allCertificates(const std::string& module) {
    std::vector<CardCertificate> found;
    akisCertificates(module, [&](CardCertificate certificate) { found.push_back(std::move(certificate)); });
    return found;
}

std::vector<Summary> summary(const std::vector<CardCertificate>& list) {
    std::vector<Summary> result;
    for (const CardCertificate& entry : list) {
        result.emplace_back(entry.record.fingerprint, entry.id, entry.slot, entry.tokenFlags);
    }
    return result;
}

Names withoutAttributeReads(const Names& names) {
    Names kept;
    std::copy_if(names.begin(), names.end(), std::back_inserter(kept),
                 [](const std::string& name) { return name != "C_GetAttributeValue"; });
    return kept;
}

using CardCertificates = MockCardTest;

TEST_F(CardCertificates, ListsValidCertificatesSlotBySlotWithTheirIdsSlotsAndTokenFlags) {
    const Bytes a = certificate("Ayşe Yılmaz");
    const Bytes b = certificate("Bora Çelik");
    const Bytes c = certificate("Cem Öztürk");
    std::vector<MockSlot> card = {
        MockSlot{9,
                 {certificateObject(a, Bytes{1}), certificateObject({0x30, 0x03, 0x02, 0x01, 0x00}, Bytes{2}),
                  certificateObject({}, Bytes{3}), certificateObject(expiredCertificate(), Bytes{4}),
                  mockp11::privateKeyObject(rsaKey(), Bytes{1}), certificateObject(b), certificateObject(c, Bytes{})}},
        MockSlot{5, {certificateObject(a, Bytes{5, 6})}}};
    const CK_FLAGS nine = card[0].tokenFlags;
    const CK_FLAGS five = CKF_TOKEN_INITIALIZED | CKF_USER_PIN_FINAL_TRY;
    card[1].tokenFlags = five;
    mockp11::reset(card);

    const std::vector<CardCertificate> list = allCertificates(mockModule);

    EXPECT_THAT(summary(list), ElementsAre(Summary{fingerprintOf(a), Bytes{1}, 9, nine},
                                           Summary{fingerprintOf(b), std::nullopt, 9, nine},
                                           Summary{fingerprintOf(c), std::nullopt, 9, nine},
                                           Summary{fingerprintOf(a), Bytes{5, 6}, 5, five}));
    for (const CardCertificate& entry : list) {
        EXPECT_EQ(entry.record.der, entry.record.certificate.der());
    }

    EXPECT_THAT(withoutAttributeReads(mockp11::callNames()),
                ElementsAre("load", "C_Initialize", "C_GetSlotList", "C_GetSlotList",  //
                            "C_OpenSession", "C_GetTokenInfo", "C_FindObjectsInit", "C_FindObjects",
                            "C_FindObjectsFinal", "C_CloseSession",  //
                            "C_OpenSession", "C_GetTokenInfo", "C_FindObjectsInit", "C_FindObjects",
                            "C_FindObjectsFinal", "C_CloseSession",  //
                            "C_Finalize", "unload"));
    EXPECT_THAT(mockp11::callsOf("C_OpenSession")[0].args, ElementsAre(9u, CKF_SERIAL_SESSION, 0u));
    EXPECT_THAT(mockp11::callsOf("C_OpenSession")[1].args, ElementsAre(5u, CKF_SERIAL_SESSION, 0u));
    EXPECT_THAT(mockp11::callsOf("C_GetTokenInfo")[0].args, ElementsAre(9u, 1u));
    EXPECT_THAT(mockp11::callsOf("C_GetTokenInfo")[1].args, ElementsAre(5u, 1u));

    // CKA_ID is read only for objects that became records (first reads, without a buffer).
    std::vector<std::pair<CK_OBJECT_HANDLE, CK_ATTRIBUTE_TYPE>> reads;
    for (const mockp11::Call& call : mockp11::callsOf("C_GetAttributeValue")) {
        if (call.args[4] == 0) {
            reads.emplace_back(call.args[1], call.args[2]);
        }
    }
    const auto at = [](std::size_t slot, std::size_t object, CK_ATTRIBUTE_TYPE type) {
        return std::pair{mockp11::objectHandle(slot, object), type};
    };
    EXPECT_THAT(reads, ElementsAre(at(0, 0, CKA_VALUE), at(0, 0, CKA_ID), at(0, 1, CKA_VALUE), at(0, 2, CKA_VALUE),
                                   at(0, 3, CKA_VALUE), at(0, 5, CKA_VALUE), at(0, 5, CKA_ID), at(0, 6, CKA_VALUE),
                                   at(0, 6, CKA_ID), at(1, 0, CKA_VALUE), at(1, 0, CKA_ID)));
}

TEST_F(CardCertificates, NoTokenIsAnEmptyListAfterOneSlotQuery) {
    std::vector<MockSlot> slots = {MockSlot{1}};
    slots[0].tokenPresent = false;
    mockp11::reset(slots);
    EXPECT_THAT(allCertificates(mockModule), IsEmpty());
    EXPECT_THAT(mockp11::callNames(), ElementsAre("load", "C_Initialize", "C_GetSlotList", "C_Finalize", "unload"));
}

struct EnumerationFailure {
    const char* name;
    mockp11::Answer answer;
    std::string error;
    Names calls;  // without attribute reads
};

void PrintTo(const EnumerationFailure& row, std::ostream* out) { *out << row.name; }

class EnumerationFailureTest : public MockCardTestWithParam<EnumerationFailure> {};

// Whatever fails, no partial list comes back, every opened session is closed
// once and the module is finalised and unloaded.
TEST_P(EnumerationFailureTest, DropsEverythingAndCleansUp) {
    const EnumerationFailure& c = GetParam();
    mockp11::reset({MockSlot{9, {certificateObject(certificate("Birinci"), Bytes{1})}},
                    MockSlot{5, {certificateObject(certificate("İkinci"), Bytes{2})}}},
                   mockp11::answering({c.answer}));
    EXPECT_EQ(errorOf([] { allCertificates(mockModule); }), c.error);
    EXPECT_THAT(withoutAttributeReads(mockp11::callNames()), ElementsAreArray(c.calls));
}

const Names start = {"load", "C_Initialize", "C_GetSlotList", "C_GetSlotList"};
const Names opened = {"C_OpenSession", "C_GetTokenInfo"};
const Names firstSlot =
    concat({opened, {"C_FindObjectsInit", "C_FindObjects", "C_FindObjectsFinal", "C_CloseSession"}});
const Names end = {"C_Finalize", "unload"};

INSTANTIATE_TEST_SUITE_P(
    Cases, EnumerationFailureTest,
    ::testing::Values(
        EnumerationFailure{"SlotList", {"C_GetSlotList", 1, CKR_DEVICE_ERROR}, "AKİS kart yuvaları okunamadı: 0x30",
                           {"load", "C_Initialize", "C_GetSlotList", "C_Finalize", "unload"}},
        EnumerationFailure{"SessionOnSecondSlot",
                           {"C_OpenSession", 2, CKR_SESSION_COUNT},
                           "AKİS kart oturumu açılamadı: 0xb1",
                           concat({start, firstSlot, {"C_OpenSession"}, end})},
        EnumerationFailure{"SearchStartOnSecondSlot",
                           {"C_FindObjectsInit", 2, CKR_DEVICE_REMOVED},
                           "AKİS kart nesneleri aranamadı: 0x32",
                           concat({start, firstSlot, opened, {"C_FindObjectsInit", "C_CloseSession"}, end})},
        EnumerationFailure{"SearchOnFirstSlot",
                           {"C_FindObjects", 1, CKR_DEVICE_MEMORY},
                           "AKİS kart nesneleri okunamadı: 0x31",
                           concat({start, firstSlot, end})}),
    [](const auto& row) { return std::string(row.param.name); });

// A token the module cannot use is passed over like an empty slot (no session
// to close); the tokens behind it are still listed.
TEST_F(CardCertificates, UnusableTokenCountsAsAnEmptySlot) {
    const Bytes second = certificate("İkinci");
    for (const CK_RV code : {CKR_TOKEN_NOT_PRESENT, CKR_TOKEN_NOT_RECOGNIZED}) {
        mockp11::reset({MockSlot{9, {certificateObject(certificate("Birinci"), Bytes{1})}},
                        MockSlot{5, {certificateObject(second, Bytes{2})}}},
                       mockp11::answering({{"C_OpenSession", 1, code}}));
        EXPECT_THAT(summary(allCertificates(mockModule)),
                    ElementsAre(Summary{fingerprintOf(second), Bytes{2}, 5, MockSlot{5}.tokenFlags}))
            << code;
        EXPECT_THAT(withoutAttributeReads(mockp11::callNames()),
                    ElementsAreArray(concat({start, {"C_OpenSession"}, firstSlot, end})))
            << code;
    }
}

// The flags are for the PIN checks of signing; not knowing them is no failure.
TEST_F(CardCertificates, UnreadableTokenFlagsAreAbsent) {
    const Bytes only = certificate("Tek");
    mockp11::reset({MockSlot{9, {certificateObject(only, Bytes{1})}}},
                   mockp11::answering({{"C_GetTokenInfo", 1, CKR_DEVICE_ERROR}}));
    EXPECT_THAT(summary(allCertificates(mockModule)),
                ElementsAre(Summary{fingerprintOf(only), Bytes{1}, 9, std::nullopt}));
}

// ---- udfCertificate

struct SelectionCase {
    const char* name;
    std::function<std::optional<std::string>(const std::vector<std::string>&)> fingerprint;  // from a, b, c
    std::size_t index;  // of the expected entry in the listing
};

void PrintTo(const SelectionCase& row, std::ostream* out) { *out << row.name; }

class UdfCertificateTest : public MockCardTestWithParam<SelectionCase> {};

TEST_P(UdfCertificateTest, PicksByFingerprintElseTheFirst) {
    const std::vector<Bytes> ders = {certificate("Ali"), certificate("Banu"), certificate("Cansu")};
    const std::vector<std::string> fingerprints = {fingerprintOf(ders[0]), fingerprintOf(ders[1]),
                                                   fingerprintOf(ders[2])};
    // The listing: a/{1}, b/{2}, a/{3}, c/absent.
    mockp11::reset({MockSlot{9,
                             {certificateObject(ders[0], Bytes{1}), certificateObject(ders[1], Bytes{2}),
                              certificateObject(ders[0], Bytes{3})}},
                    MockSlot{5, {certificateObject(ders[2])}}});
    const std::vector<std::pair<std::string, std::optional<Bytes>>> listing = {
        {fingerprints[0], Bytes{1}}, {fingerprints[1], Bytes{2}}, {fingerprints[0], Bytes{3}}, {fingerprints[2], {}}};

    const CardCertificate chosen = udfCertificate(mockModule, GetParam().fingerprint(fingerprints));
    EXPECT_EQ(chosen.record.fingerprint, listing[GetParam().index].first);
    EXPECT_EQ(chosen.id, listing[GetParam().index].second);
    EXPECT_EQ(mockp11::callsOf("C_Initialize").size(), 1u);
}

std::string withColons(const std::string& fingerprint) {
    std::string text;
    for (std::size_t i = 0; i < fingerprint.size(); i += 2) {
        if (i != 0) {
            text += ':';
        }
        text += fingerprint.substr(i, 2);
    }
    return text;
}

INSTANTIATE_TEST_SUITE_P(
    Cases, UdfCertificateTest,
    ::testing::Values(
        SelectionCase{"Absent", [](const auto&) { return std::nullopt; }, 0},
        SelectionCase{"Empty", [](const auto&) { return std::string(); }, 0},
        SelectionCase{"Exact", [](const auto& f) { return f[1]; }, 1},
        SelectionCase{"UpperCase", [](const auto& f) { return upper(f[1]); }, 1},
        SelectionCase{"EarlierOfTwo", [](const auto& f) { return f[0]; }, 0},
        SelectionCase{"LaterSlotWithoutId", [](const auto& f) { return upper(f[2]); }, 3},
        SelectionCase{"ColonsMatchNothing", [](const auto& f) { return withColons(f[1]); }, 0},
        SelectionCase{"NotTrimmed", [](const auto& f) { return f[1] + " "; }, 0}),
    [](const auto& row) { return std::string(row.param.name); });

TEST_F(CardCertificates, SelectionFailsWhenTheCardOffersNothing) {
    std::vector<MockSlot> noToken = {MockSlot{1}};
    noToken[0].tokenPresent = false;
    for (const auto& slots : {noToken, std::vector<MockSlot>{MockSlot{2, {certificateObject(expiredCertificate())}}}}) {
        mockp11::reset(slots);
        EXPECT_EQ(errorOf([] { udfCertificate(mockModule, std::nullopt); }), "Kartta sertifika bulunamadı.");
        EXPECT_EQ(errorOf([] { udfCertificate(mockModule, std::string(64, 'a')); }), "Kartta sertifika bulunamadı.");
    }
}

TEST_F(CardCertificates, SelectionPassesEnumerationErrorsOn) {
    mockp11::reset({MockSlot{9}}, mockp11::answering({{"C_OpenSession", 1, CKR_DEVICE_ERROR}}));
    EXPECT_EQ(errorOf([] { udfCertificate(mockModule, std::nullopt); }), "AKİS kart oturumu açılamadı: 0x30");
}

}  // namespace
}  // namespace tarvo::test
