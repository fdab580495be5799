#include "platform/crypto/Certificate.hpp"
#include "support/OpenSslHandles.hpp"
#include "support/TestCertificates.hpp"

#include <gtest/gtest.h>

#include <functional>

namespace tarvo::test {
namespace {

using namespace std::chrono;
using platform::Certificate;
using platform::Name;
using platform::NameAttribute;

Certificate decode(const Bytes& der) {
    auto certificate = Certificate::fromDER(der);
    if (!certificate) {
        throw std::runtime_error("minted certificate did not decode");
    }
    return *certificate;
}

TEST(CertificateDecoding, KeepsTheExactInputBytes) {
    const Bytes der = mintCertificate({});
    const auto certificate = Certificate::fromDER(der);
    ASSERT_TRUE(certificate.has_value());
    EXPECT_EQ(certificate->der(), der);
    const Certificate copy = *certificate;  // NOLINT: the copy is what is tested
    EXPECT_EQ(copy.native(), certificate->native());
    EXPECT_EQ(&copy.der(), &certificate->der());
}

TEST(CertificateDecoding, RefusesAnythingButOneWholeCertificate) {
    const Bytes der = mintCertificate({});
    Bytes trailing = der;
    trailing.push_back(0x00);
    Bytes twice = der;
    twice.insert(twice.end(), der.begin(), der.end());
    const Bytes truncated(der.begin(), der.end() - 1);
    Bytes wrongTag = der;
    wrongTag[0] = 0x31;

    const std::pair<const char*, Bytes> cases[] = {
        {"empty", {}},
        {"garbage", {0x01, 0x02, 0x03, 0x04}},
        {"one trailing byte", trailing},
        {"two certificates", twice},
        {"truncated", truncated},
        {"not a sequence", wrongTag},
    };
    for (const auto& [what, bytes] : cases) {
        EXPECT_FALSE(Certificate::fromDER(bytes).has_value()) << what;
    }
}

TEST(CertificateNames, KeepOrderSetsAndDottedTypes) {
    CertificateRecipe wanted;
    // Within a set DER orders the attributes by their encoding; this set is
    // written in that order so it reads back as given.
    wanted.subject = {{{"SERIALNUMBER", "123"}, {"CN", "Ayşe, Yılmaz"}},
                    {{"EMAILADDRESS", "ayse@example.com"}},
                    {{"OU", "Birim 1"}},
                    {{"OU", "Birim 2"}},
                    {{"1.3.6.1.4.1.99999.1", "özel"}},
                    {{"C", "TR"}}};
    wanted.issuer = {{{"CN", "Kök"}}, {{"O", "Tarvo A.Ş."}}};
    const Certificate certificate = decode(mintCertificate(wanted));

    const TestName subject = {{{"2.5.4.5", "123"}, {"2.5.4.3", "Ayşe, Yılmaz"}},
                          {{"1.2.840.113549.1.9.1", "ayse@example.com"}},
                          {{"2.5.4.11", "Birim 1"}},
                          {{"2.5.4.11", "Birim 2"}},
                          {{"1.3.6.1.4.1.99999.1", "özel"}},
                          {{"2.5.4.6", "TR"}}};
    const TestName issuer = {{{"2.5.4.3", "Kök"}}, {{"2.5.4.10", "Tarvo A.Ş."}}};
    EXPECT_EQ(pairsOf(certificate.subject()), subject);
    EXPECT_EQ(pairsOf(certificate.issuer()), issuer);
}

TEST(CertificateNames, EmptyIssuerHasNoEntries) {
    CertificateRecipe wanted;
    wanted.emptyIssuer = true;
    const Certificate certificate = decode(mintCertificate(wanted));
    EXPECT_TRUE(certificate.issuer().empty());
    EXPECT_EQ(pairsOf(certificate.subject()), (TestName{{{"2.5.4.3", "Test User"}}}));
}

TEST(CertificateNames, UnconvertibleValuesReadAsHexOfTheirBytes) {
    const Bytes der = altered(mintCertificate({}), [](X509* x509) {
        X509_NAME* name = X509_get_subject_name(x509);
        // A BIT STRING is allowed in a name but is no character string.
        const unsigned char bits[] = {0xAB, 0xCD};
        X509_NAME_add_entry_by_NID(name, NID_organizationName, V_ASN1_BIT_STRING, bits, sizeof bits, -1, 0);
    });
    const Certificate certificate = decode(der);
    const TestName expected = {{{"2.5.4.3", "Test User"}}, {{"2.5.4.10", "#ABCD"}}};
    EXPECT_EQ(pairsOf(certificate.subject()), expected);
}

struct TimeCase {
    const char* text;
    sys_seconds expected;
};

// UTCTime for 1950–2049, GeneralizedTime outside, including the far ends.
const TimeCase timeCases[] = {
    {"19500101000000Z", sys_days{year{1950} / 1 / 1}},
    {"19650304050607Z", sys_days{year{1965} / 3 / 4} + 5h + 6min + 7s},
    {"19691231235959Z", sys_days{year{1969} / 12 / 31} + 23h + 59min + 59s},
    {"19700101000000Z", sys_days{year{1970} / 1 / 1}},
    {"20380119031408Z", sys_days{year{2038} / 1 / 19} + 3h + 14min + 8s},
    {"20491231235959Z", sys_days{year{2049} / 12 / 31} + 23h + 59min + 59s},
    {"20500101000000Z", sys_days{year{2050} / 1 / 1}},
    {"24000229120000Z", sys_days{year{2400} / 2 / 29} + 12h},
    {"99991231235959Z", sys_days{year{9999} / 12 / 31} + 23h + 59min + 59s},
    {"19000101000000Z", sys_days{year{1900} / 1 / 1}},
};

TEST(CertificateTimes, ReadEveryEncodableYear) {
    for (const auto& [text, expected] : timeCases) {
        CertificateRecipe wanted;
        wanted.notBeforeText = "19000101000000Z";
        wanted.notAfterText = text;
        const Certificate certificate = decode(mintCertificate(wanted));
        ASSERT_TRUE(certificate.notAfter().has_value()) << text;
        EXPECT_EQ(*certificate.notAfter(), Instant{expected}) << text;
        EXPECT_EQ(certificate.notBefore(), Instant{sys_days{year{1900} / 1 / 1}}) << text;
    }
}

TEST(CertificateTimes, UnreadableTimeIsAbsent) {
    const Bytes der = altered(mintCertificate({}), [](X509* x509) {
        const char garbage[] = "991399999999Z";  // month 13
        ASN1_STRING_set(X509_getm_notBefore(x509), garbage, sizeof garbage - 1);
    });
    const auto certificate = Certificate::fromDER(der);
    ASSERT_TRUE(certificate.has_value());
    EXPECT_FALSE(certificate->notBefore().has_value());
    EXPECT_TRUE(certificate->notAfter().has_value());
}

struct SummaryCase {
    const char* what;
    TestName subject;
    std::string expected;
};

const SummaryCase summaryCases[] = {
    {"first common name", {{{"O", "Kurum"}}, {{"CN", "Birinci"}}, {{"CN", "İkinci"}}}, "Birinci"},
    {"e-mail without a common name",
     {{{"O", "Kurum"}}, {{"EMAILADDRESS", "a@b.tr"}}, {{"EMAILADDRESS", "c@d.tr"}}},
     "a@b.tr"},
    {"one line otherwise, in certificate order",
     {{{"GN", "Ayşe"}}, {{"SN", "Yılmaz, Öz"}}, {{"C", "TR"}}},
     "GN=Ayşe,SN=Yılmaz\\, Öz,C=TR"},
    {"no attributes", {}, ""},
};

TEST(CertificateSummary, PicksCommonNameThenEmailThenOneLine) {
    for (const auto& [what, subject, expected] : summaryCases) {
        CertificateRecipe wanted;
        wanted.subject = subject;
        wanted.issuer = {{{"CN", "Issuer"}}};
        EXPECT_EQ(decode(mintCertificate(wanted)).subjectSummary(), expected) << what;
    }
}

}  // namespace
}  // namespace tarvo::test
