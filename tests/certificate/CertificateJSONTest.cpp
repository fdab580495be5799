#include "certificate/CertificateJSON.hpp"

#include "platform/vocabulary/Base64.hpp"
#include "support/TestCertificates.hpp"

#include <gtest/gtest.h>

namespace tarvo::test {
namespace {

using platform::Certificate;

CertificateRecord recordOf(const CertificateRecipe& wanted) {
    const auto certificate = Certificate::fromDER(mintCertificate(wanted));
    if (!certificate) {
        throw std::runtime_error("minted certificate did not decode");
    }
    auto made = record(*certificate);
    if (!made) {
        throw std::runtime_error("minted certificate not valid now");
    }
    return *made;
}

TEST(CertificateJSON, HasExactlyTheNineEntries) {
    CertificateRecipe wanted;
    wanted.subject = {{{"CN", "Ayşe"}}, {{"C", "TR"}}};
    wanted.issuer = {{{"CN", "X"}}, {{"C", "TR"}}};
    wanted.serial = {0x00, 0x8F, 0x12};
    const CertificateRecord made = recordOf(wanted);

    const CertificateEntry expected = {
        {"certificate", base64Encode(made.der)},
        {"certificateSerial", "128F00"},
        {"certificateSubject", "CN=Ayşe, C=TR"},
        {"provider", "CN=X, C=TR"},
        {"providerName", "Kart"},
        {"fingerprint", made.fingerprint},
        {"identityFingerprint", made.fingerprint},
        {"validFrom", made.validFrom},
        {"validUntil", made.validUntil},
    };
    const CertificateEntry entry = certificateJSON(made, "Kart");
    EXPECT_EQ(entry, expected);
    EXPECT_EQ(base64Decode(entry.at("certificate")), made.der);
    EXPECT_EQ(entry.at("fingerprint").size(), 64u);
}

struct SerialCase {
    const char* what;
    Bytes serial;
    int version;
};

TEST(CertificateJSON, ReadsTheSerialOfEveryMintedLayout) {
    Bytes longSerial(200);
    for (std::size_t i = 0; i < longSerial.size(); ++i) {
        longSerial[i] = static_cast<std::uint8_t>(0x10 + i);
    }
    const SerialCase cases[] = {
        {"short", {0x01, 0x02}, 3},
        {"high bit behind a leading zero", {0x00, 0xFF, 0x01}, 3},
        {"negative", {0x80, 0x01}, 3},
        {"long-form length", longSerial, 3},
        {"version 1, no version element", {0x7A, 0x01, 0x02}, 1},
    };
    for (const auto& c : cases) {
        CertificateRecipe wanted;
        wanted.serial = c.serial;
        wanted.version = c.version;
        std::string expected;
        char pair[3];
        for (auto it = c.serial.rbegin(); it != c.serial.rend(); ++it) {
            std::snprintf(pair, sizeof pair, "%02X", *it);
            expected += pair;
        }
        EXPECT_EQ(certificateJSON(recordOf(wanted), "Kart").at("certificateSerial"), expected) << c.what;
    }
}

TEST(CertificateJSON, ProviderFallsBackToTheLabelOnlyForAnEmptyIssuer) {
    CertificateRecipe emptyIssuer;
    emptyIssuer.emptyIssuer = true;
    CertificateRecipe unlabelledIssuer;
    unlabelledIssuer.issuer = {{{"GN", "Kök"}}};
    CertificateRecipe namedIssuer;
    namedIssuer.issuer = {{{"O", "Kök, A.Ş."}}};

    const std::tuple<const char*, CertificateRecipe, std::string> cases[] = {
        {"empty issuer", emptyIssuer, "Anahtarlık"},
        {"issuer without labelled types", unlabelledIssuer, "Anahtarlık"},
        {"named issuer", namedIssuer, "O=Kök\\, A.Ş."},
    };
    for (const auto& [what, wanted, provider] : cases) {
        const CertificateEntry entry = certificateJSON(recordOf(wanted), "Anahtarlık");
        EXPECT_EQ(entry.at("provider"), provider) << what;
        EXPECT_EQ(entry.at("providerName"), "Anahtarlık") << what;
    }
}

TEST(CertificateJSON, UnreadableSerialIsEmptyText) {
    CertificateRecord made = recordOf({});
    made.der = {0x31, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00};
    const CertificateEntry entry = certificateJSON(made, "Kart");
    ASSERT_EQ(entry.size(), 9u);
    EXPECT_EQ(entry.at("certificateSerial"), "");
    EXPECT_EQ(entry.at("certificate"), "MQAAAAAAAAAA");
}

}  // namespace
}  // namespace tarvo::test
