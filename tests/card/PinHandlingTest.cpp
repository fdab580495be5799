// The PIN's working copy: C_Login reads it in place, it is still intact when
// the module goes, and it is all zeros once the card operation is over.

#include "SigningCard.hpp"
#include "card/ChallengeSigning.hpp"
#include "card/DigestSigning.hpp"
#include "support/Tools.hpp"

#include <algorithm>

namespace tarvo::test {
namespace {

using ::testing::Each;
using ::testing::ElementsAre;

struct PinCase {
    const char* name;
    std::string pin;
    std::function<mockp11::Script()> script;
    bool moduleMissing = false;
    bool loginReached = true;
    bool signs = true;
};

void PrintTo(const PinCase& row, std::ostream* out) { *out << row.name; }

class PinHandlingTest : public MockCardTestWithParam<PinCase> {
protected:
    void check(const std::function<void(const std::string& module, SecureBytes&)>& operation) {
        const PinCase& c = GetParam();
        mockp11::Script script = c.script();
        script.readPinAtUnload = true;
        mockp11::reset(signingCard(), script);
        const TempDir empty;
        const std::string module = c.moduleMissing ? (empty.path() / "libakisp11.so").string() : mockModule;
        SecureBytes pin(c.pin);
        const std::size_t size = pin.size();
        const std::string error = errorOf([&] { operation(module, pin); });

        EXPECT_EQ(error == "<no error>", c.signs) << error;
        ASSERT_EQ(pin.size(), size);
        EXPECT_THAT(Bytes(pin.data(), pin.data() + pin.size()), Each(0));
        const auto logins = mockp11::callsOf("C_Login");
        if (!c.loginReached) {
            EXPECT_TRUE(logins.empty());
            return;
        }
        ASSERT_EQ(logins.size(), 1u);
        EXPECT_EQ(logins[0].data, bytesOf(c.pin));
        EXPECT_EQ(logins[0].args[2], size);
        // The very buffer C_Login read is the one wiped, and only after dlclose.
        EXPECT_EQ(mockp11::log().pinAddress, pin.data());
        EXPECT_EQ(mockp11::log().pinAtUnload, bytesOf(c.pin));
        EXPECT_EQ(mockp11::callNames().back(), "unload");
    }
};

TEST_P(PinHandlingTest, DocumentSigning) {
    const CardCertificate chosen = cardCertificate(signingCertificate(), signingKeyId);
    check([&](const std::string& module, SecureBytes& pin) {
        signDigestOnCard(module, chosen, *chosen.record.certificate.publicKey(), sha256DigestInfoOf(bytesOf("belge")),
                         pin);
    });
}

TEST_P(PinHandlingTest, ChallengeSigning) {
    const CardCertificate chosen = cardCertificate(signingCertificate(), signingKeyId);
    check([&](const std::string& module, SecureBytes& pin) {
        signChallengeOnCard(module, chosen, *chosen.record.certificate.publicKey(), bytesOf("sınama"), pin);
    });
}

mockp11::Script none() { return {}; }

INSTANTIATE_TEST_SUITE_P(
    Cases, PinHandlingTest,
    ::testing::Values(PinCase{"Signed", cardPin, none},
                      PinCase{"WrongPin", "çağ€2", none, false, true, false},
                      PinCase{"NulInsidePin", std::string("12\0" "34", 5), none, false, true, false},
                      PinCase{"SignFails", cardPin,
                              [] { return mockp11::answering({{"C_Sign", 2, CKR_DEVICE_ERROR}}); }, false, true,
                              false},
                      PinCase{"InitializeRefused", cardPin,
                              [] { return mockp11::answering({{"C_Initialize", 1, CKR_GENERAL_ERROR}}); }, false,
                              false, false},
                      PinCase{"ModuleMissing", cardPin, none, true, false, false}),
    [](const auto& row) { return std::string(row.param.name); });

}  // namespace
}  // namespace tarvo::test
