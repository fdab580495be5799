#include "certificate/CertificateRecord.hpp"
#include "certificate/Fingerprint.hpp"

#include "support/TestCertificates.hpp"

#include <gtest/gtest.h>

#include <openssl/sha.h>

#include <algorithm>

namespace tarvo::test {
namespace {

using namespace std::chrono;
using platform::Certificate;

Certificate decode(const Bytes& der) {
    auto certificate = Certificate::fromDER(der);
    if (!certificate) {
        throw std::runtime_error("minted certificate did not decode");
    }
    return *certificate;
}

// The signature is not checked on decoding, so a date can be spoiled in place.
Bytes withTextReplaced(Bytes der, const std::string& from, const std::string& to) {
    const auto at = std::search(der.begin(), der.end(), from.begin(), from.end());
    if (at == der.end() || from.size() != to.size()) {
        throw std::runtime_error("text not in certificate: " + from);
    }
    std::copy(to.begin(), to.end(), at);
    return der;
}

std::string independentFingerprint(const Bytes& der) {
    unsigned char digest[SHA256_DIGEST_LENGTH];
    SHA256(der.data(), der.size(), digest);
    std::string text;
    char pair[3];
    for (const unsigned char byte : digest) {
        std::snprintf(pair, sizeof pair, "%02x", byte);
        text += pair;
    }
    return text;
}

const Instant windowStart = Instant{sys_days{year{2030} / 1 / 1}};
const Instant windowEnd = Instant{sys_days{year{2031} / 1 / 1}};

Certificate windowCertificate() {
    CertificateRecipe wanted;
    wanted.notBeforeText = "20300101000000Z";
    wanted.notAfterText = "20310101000000Z";
    return decode(mintCertificate(wanted));
}

struct WindowCase {
    const char* what;
    Instant now;
    bool offered;
};

const WindowCase windowCases[] = {
    {"at notBefore", windowStart, true},
    {"just before notBefore", windowStart - microseconds{1}, false},
    {"a day before notBefore", windowStart - days{1}, false},
    {"inside", windowStart + days{100}, true},
    {"at notAfter", windowEnd, true},
    {"just after notAfter", windowEnd + microseconds{1}, false},
    {"a day after notAfter", windowEnd + days{1}, false},
};

TEST(Record, OffersCertificatesOnlyInsideTheirWindowBothEndsIncluded) {
    const Certificate certificate = windowCertificate();
    for (const auto& [what, now, offered] : windowCases) {
        EXPECT_EQ(record(certificate, now).has_value(), offered) << what;
    }
}

TEST(Record, RefusesCertificatesOutsideTheirWindowNow) {
    CertificateRecipe future;
    future.notBeforeOffset = hours(24);
    future.notAfterOffset = hours(48);
    CertificateRecipe past;
    past.notBeforeOffset = -hours(48);
    past.notAfterOffset = -hours(24);
    EXPECT_FALSE(record(decode(mintCertificate(future))).has_value());
    EXPECT_FALSE(record(decode(mintCertificate(past))).has_value());
    EXPECT_TRUE(record(decode(mintCertificate({}))).has_value());
}

TEST(Record, RefusesCertificatesWhoseDatesCannotBeRead) {
    CertificateRecipe wanted;
    wanted.notBeforeText = "20300101000000Z";
    wanted.notAfterText = "20310101000000Z";
    const Bytes der = mintCertificate(wanted);
    const Bytes badStart = withTextReplaced(der, "300101000000Z", "301301000000Z");
    const Bytes badEnd = withTextReplaced(der, "310101000000Z", "310132000000Z");
    for (const Bytes& bytes : {badStart, badEnd}) {
        const auto certificate = Certificate::fromDER(bytes);
        ASSERT_TRUE(certificate.has_value());
        EXPECT_FALSE(record(*certificate, windowStart + days{1}).has_value());
    }
}

TEST(Record, HoldsTheBytesFingerprintNamesAndDates) {
    CertificateRecipe wanted;
    // DER puts the serial number before the common name inside their set.
    wanted.subject = {{{"C", "TR"}},
                    {{"O", "Kurum, A.Ş."}},
                    {{"SERIALNUMBER", "12345678901"}, {"CN", "Ayşe Yılmaz"}},
                    {{"EMAILADDRESS", "ayse@example.com"}},
                    {{"GN", "Ayşe"}}};
    wanted.issuer = {{{"CN", "X"}}, {{"C", "TR"}}};
    wanted.notBeforeText = "19650101000000Z";
    wanted.notAfterText = "20991231235959Z";
    const Bytes der = mintCertificate(wanted);
    const Certificate certificate = decode(der);

    const auto made = record(certificate, Instant{sys_days{year{2000} / 1 / 1}});
    ASSERT_TRUE(made.has_value());
    EXPECT_EQ(made->der, der);
    EXPECT_EQ(made->certificate.native(), certificate.native());
    EXPECT_EQ(made->fingerprint, independentFingerprint(der));
    EXPECT_EQ(made->fingerprint, fingerprintOf(der));
    EXPECT_EQ(made->subject,
              "C=TR, O=Kurum\\, A.Ş., SERIALNUMBER=12345678901, CN=Ayşe Yılmaz, EMAILADDRESS=ayse@example.com");
    EXPECT_EQ(made->issuer, "CN=X, C=TR");
    EXPECT_EQ(made->validFrom, "1965-01-01T00:00:00.000Z");
    EXPECT_EQ(made->validUntil, "2099-12-31T23:59:59.000Z");
}

struct FallbackCase {
    const char* what;
    TestName subject;
    TestName issuer;
    bool emptyIssuer;
    const char* subjectText;
    const char* issuerText;
};

const FallbackCase fallbackCases[] = {
    {"given name and surname", {{{"GN", "Ayşe"}}, {{"SN", "Yılmaz"}}}, {{{"CN", "Kök"}}}, false,
     "GN=Ayşe,SN=Yılmaz", "CN=Kök"},
    {"issuer without labelled types has no fallback", {{{"CN", "Ad"}}}, {{{"GN", "Kök"}}}, false, "CN=Ad", ""},
    {"empty issuer", {{{"CN", "Ad"}}}, {}, true, "CN=Ad", ""},
    {"empty subject", {}, {{{"CN", "Kök"}}}, false, "", "CN=Kök"},
};

TEST(Record, FallsBackToTheSummaryForTheSubjectOnly) {
    for (const auto& c : fallbackCases) {
        CertificateRecipe wanted;
        wanted.subject = c.subject;
        wanted.issuer = c.issuer;
        wanted.emptyIssuer = c.emptyIssuer;
        const auto made = record(decode(mintCertificate(wanted)));
        ASSERT_TRUE(made.has_value()) << c.what;
        EXPECT_EQ(made->subject, c.subjectText) << c.what;
        EXPECT_EQ(made->issuer, c.issuerText) << c.what;
    }
}

}  // namespace
}  // namespace tarvo::test
