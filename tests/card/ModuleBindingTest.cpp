#include "MockCardTest.hpp"
#include "card/CardCertificates.hpp"
#include "card/CardFailure.hpp"
#include "card/PKCS11.hpp"
#include "card/TokenSearch.hpp"
#include "support/Tools.hpp"

#include <stdexcept>

namespace tarvo::test {
namespace {

using ::testing::ElementsAre;
using ::testing::ElementsAreArray;
using ::testing::IsEmpty;

// A small operation that really talks to the module.
std::size_t countSlots(const PKCS11& pkcs11) { return slotsWithToken(pkcs11).size(); }

TEST(HexCode, FormatsLowerCaseWithoutLeadingZeros) {
    const std::vector<std::pair<CK_RV, std::string>> cases = {
        {0x0, "0x0"}, {0x5, "0x5"}, {0xa0, "0xa0"}, {0x191, "0x191"}, {~CK_RV{0}, "0xffffffffffffffff"}};
    for (const auto& [code, text] : cases) {
        EXPECT_EQ(hexCode(code), text) << code;
    }
}

using ModuleBinding = MockCardTest;

TEST_F(ModuleBinding, MissingModuleNamesThePathAsHeldAndLoadsNothing) {
    const TempDir dir;
    const std::string path = (dir.path() / "yok/libakisp11.so").string();
    bool ran = false;
    EXPECT_EQ(errorOf([&] { withPKCS11(path, [&](const PKCS11&) { return ran = true; }); }),
              "Kütüphane yüklenemedi: " + path);
    EXPECT_FALSE(ran);
    EXPECT_THAT(mockp11::callNames(), IsEmpty());
}

struct BindingCase {
    const char* name;
    const char* module;
    mockp11::Script script;
    std::string error;  // empty: the listing runs
    Names calls;
};

void PrintTo(const BindingCase& row, std::ostream* out) { *out << row.name; }

class BindingTest : public MockCardTestWithParam<BindingCase> {};

// Every entry point is needed by every operation, so even a listing, which
// never logs in, fails when one cannot be bound; the module is unloaded
// before the error leaves. A module that exports only C_GetFunctionList gives
// them all through its list, asked for before C_Initialize.
TEST_P(BindingTest, BindsByNameOrThroughTheFunctionList) {
    const BindingCase& c = GetParam();
    mockp11::reset({mockp11::MockSlot{7}}, c.script);
    const std::string error = errorOf([&] { akisCertificates(c.module, [](const CardCertificate&) {}); });
    EXPECT_EQ(error, c.error.empty() ? "<no error>" : c.error);
    EXPECT_THAT(mockp11::callNames(), ElementsAreArray(c.calls));
}

const Names emptyTokenListed = {"C_Initialize",  "C_GetSlotList", "C_GetSlotList",      "C_OpenSession",
                                "C_GetTokenInfo", "C_FindObjectsInit", "C_FindObjects", "C_FindObjectsFinal",
                                "C_CloseSession", "C_Finalize",       "unload"};

INSTANTIATE_TEST_SUITE_P(
    Variants, BindingTest,
    ::testing::Values(
        BindingCase{"ByName", MOCK_P11_MODULE, {}, "", concat({{"load"}, emptyTokenListed})},
        BindingCase{"WithoutLogout", MOCK_P11_MODULE_WITHOUT_LOGOUT, {}, "AKİS PKCS#11 işlevi bulunamadı: C_Logout",
                    {"load", "unload"}},
        BindingCase{"WithoutLoginAndSign", MOCK_P11_MODULE_WITHOUT_LOGIN_SIGN, {},
                    "AKİS PKCS#11 işlevi bulunamadı: C_Login", {"load", "unload"}},
        // C_GetTokenInfo is not one of the thirteen: without it the token is listed unasked.
        BindingCase{"WithoutTokenInfo", MOCK_P11_MODULE_WITHOUT_TOKEN_INFO, {}, "",
                    {"load", "C_Initialize", "C_GetSlotList", "C_GetSlotList", "C_OpenSession", "C_FindObjectsInit",
                     "C_FindObjects", "C_FindObjectsFinal", "C_CloseSession", "C_Finalize", "unload"}},
        BindingCase{"FunctionListOnly", MOCK_P11_MODULE_FUNCTION_LIST_ONLY, {}, "",
                    concat({{"load", "C_GetFunctionList"}, emptyTokenListed})},
        BindingCase{"FunctionListRefused", MOCK_P11_MODULE_FUNCTION_LIST_ONLY,
                    mockp11::answering({{"C_GetFunctionList", 1, CKR_HOST_MEMORY}}),
                    "AKİS PKCS#11 işlevi bulunamadı: C_Initialize", {"load", "C_GetFunctionList", "unload"}},
        BindingCase{"FunctionListWithoutLogout", MOCK_P11_MODULE_FUNCTION_LIST_WITHOUT_LOGOUT, {},
                    "AKİS PKCS#11 işlevi bulunamadı: C_Logout", {"load", "C_GetFunctionList", "unload"}}),
    [](const auto& row) { return std::string(row.param.name); });

struct InitializeCase {
    const char* name;
    CK_RV answer;
    std::string error;  // empty: the operation runs
    Names calls;
};

void PrintTo(const InitializeCase& row, std::ostream* out) { *out << row.name; }

class InitializeTest : public MockCardTestWithParam<InitializeCase> {};

TEST_P(InitializeTest, DecidesWhetherTheOperationRuns) {
    const InitializeCase& c = GetParam();
    // A refusing module did not initialise; one that succeeds did.
    mockp11::reset({mockp11::MockSlot{7}}, mockp11::answering({{"C_Initialize", 1, c.answer, c.error.empty()}}));
    std::size_t slots = 0;
    const std::string error = errorOf([&] { slots = withPKCS11(mockModule, countSlots); });
    EXPECT_EQ(error, c.error.empty() ? "<no error>" : c.error);
    EXPECT_EQ(slots, c.error.empty() ? 1u : 0u);
    EXPECT_THAT(mockp11::callNames(), ElementsAreArray(c.calls));
    for (const auto* function : {"C_Initialize", "C_Finalize"}) {
        for (const mockp11::Call& call : mockp11::callsOf(function)) {
            EXPECT_THAT(call.args, ElementsAre(0u)) << function << " must get a null argument";
        }
    }
}

const Names operationRan = {"load", "C_Initialize", "C_GetSlotList", "C_GetSlotList", "C_Finalize", "unload"};

INSTANTIATE_TEST_SUITE_P(
    Answers, InitializeTest,
    ::testing::Values(InitializeCase{"Ok", CKR_OK, "", operationRan},
                      InitializeCase{"AlreadyInitialized", CKR_CRYPTOKI_ALREADY_INITIALIZED, "", operationRan},
                      InitializeCase{"GeneralError", CKR_GENERAL_ERROR, "AKİS PKCS#11 başlatılamadı: 0x5",
                                     {"load", "C_Initialize", "unload"}},
                      InitializeCase{"PinIncorrect", CKR_PIN_INCORRECT, "AKİS PKCS#11 başlatılamadı: 0xa0",
                                     {"load", "C_Initialize", "unload"}}),
    [](const auto& row) { return std::string(row.param.name); });

struct OperationFailure : std::runtime_error {
    using std::runtime_error::runtime_error;
};

TEST_F(ModuleBinding, FailingOperationIsFinalisedThenUnloadedAndItsErrorPassesUnchanged) {
    mockp11::reset({mockp11::MockSlot{7}});
    EXPECT_EQ(errorOf([] {
                  withPKCS11(mockModule, [](const PKCS11& pkcs11) -> int {
                      slotsWithToken(pkcs11);
                      throw HelperError("işlem düştü");
                  });
              }),
              "işlem düştü");
    EXPECT_THAT(mockp11::callNames(), ElementsAreArray(operationRan));

    // Errors that are not ours pass through as they are, with the same clean-up.
    mockp11::reset({mockp11::MockSlot{7}});
    EXPECT_THROW(withPKCS11(mockModule, [](const PKCS11&) -> int { throw OperationFailure("başka"); }),
                 OperationFailure);
    EXPECT_THAT(mockp11::callNames(), ElementsAre("load", "C_Initialize", "C_Finalize", "unload"));
}

TEST_F(ModuleBinding, EveryOperationLoadsTheModuleAfresh) {
    mockp11::reset({mockp11::MockSlot{7}, mockp11::MockSlot{9}});
    EXPECT_EQ(withPKCS11(mockModule, countSlots), 2u);
    EXPECT_EQ(withPKCS11(mockModule, countSlots), 2u);
    EXPECT_THAT(mockp11::callNames(), ElementsAreArray(concat({operationRan, operationRan})));
}

}  // namespace
}  // namespace tarvo::test
