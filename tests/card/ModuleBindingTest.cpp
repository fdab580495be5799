#include "MockCardTest.hpp"
#include "card/CardCertificates.hpp"
#include "card/PKCS11.hpp"
#include "support/Tools.hpp"

#include <stdexcept>

namespace tarvo::test {
namespace {

using ::testing::ElementsAre;
using ::testing::ElementsAreArray;
using ::testing::IsEmpty;

// A small operation that really talks to the module.
std::size_t countSlots(const PKCS11& pkcs11) { return pkcs11.slotsWithToken().size(); }

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
    p11ModulePath = (dir.path() / "yok/libakisp11.dylib").string();
    bool ran = false;
    EXPECT_EQ(errorOf([&] { withPKCS11([&](const PKCS11&) { return ran = true; }); }),
              "Kütüphane yüklenemedi: " + p11ModulePath);
    EXPECT_FALSE(ran);
    EXPECT_THAT(mockp11::callNames(), IsEmpty());
}

TEST_F(ModuleBinding, DefaultPathIsTheInstalledModule) {
    p11ModulePath = akisModulePath;
    EXPECT_EQ(errorOf([] { akisCertificates(); }), "Kütüphane yüklenemedi: /usr/local/lib/libakisp11.dylib");
}

struct IncompleteModule {
    const char* path;
    const char* missing;
};

void PrintTo(const IncompleteModule& row, std::ostream* out) { *out << row.missing; }

class IncompleteModuleTest : public MockCardTestWithParam<IncompleteModule> {};

// Every entry point is needed by every operation, so even a listing, which
// never logs in, fails; the module is unloaded before the error leaves.
TEST_P(IncompleteModuleTest, NamesTheFirstMissingEntryPointAndUnloads) {
    p11ModulePath = GetParam().path;
    mockp11::reset({mockp11::MockSlot{7}});
    EXPECT_EQ(errorOf([] { akisCertificates(); }),
              std::string("AKİS PKCS#11 işlevi bulunamadı: ") + GetParam().missing);
    EXPECT_THAT(mockp11::callNames(), ElementsAre("load", "unload"));
}

INSTANTIATE_TEST_SUITE_P(Variants, IncompleteModuleTest,
                         ::testing::Values(IncompleteModule{MOCK_P11_MODULE_WITHOUT_LOGOUT, "C_Logout"},
                                           IncompleteModule{MOCK_P11_MODULE_WITHOUT_LOGIN_SIGN, "C_Login"}));

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
    const std::string error = errorOf([&] { slots = withPKCS11(countSlots); });
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
                  withPKCS11([](const PKCS11& pkcs11) -> int {
                      pkcs11.slotsWithToken();
                      throw HelperError("işlem düştü");
                  });
              }),
              "işlem düştü");
    EXPECT_THAT(mockp11::callNames(), ElementsAreArray(operationRan));

    // Errors that are not ours pass through as they are, with the same clean-up.
    mockp11::reset({mockp11::MockSlot{7}});
    EXPECT_THROW(withPKCS11([](const PKCS11&) -> int { throw OperationFailure("başka"); }), OperationFailure);
    EXPECT_THAT(mockp11::callNames(), ElementsAre("load", "C_Initialize", "C_Finalize", "unload"));
}

TEST_F(ModuleBinding, EveryOperationLoadsTheModuleAfresh) {
    mockp11::reset({mockp11::MockSlot{7}, mockp11::MockSlot{9}});
    EXPECT_EQ(withPKCS11(countSlots), 2u);
    EXPECT_EQ(withPKCS11(countSlots), 2u);
    EXPECT_THAT(mockp11::callNames(), ElementsAreArray(concat({operationRan, operationRan})));
}

}  // namespace
}  // namespace tarvo::test
