#include "platform/crypto/Certificate.hpp"
#include "platform/crypto/CertificateReading.hpp"
#include "platform/crypto/DecodedCertificateFields.hpp"
#include "support/OpenSslHandles.hpp"
#include "support/TestCertificates.hpp"

#include <gtest/gtest.h>

#include <openssl/x509v3.h>

#include <algorithm>
#include <functional>
#include <stdexcept>
#include <optional>

namespace tarvo::test {
namespace {

// The fields as a record takes them, comparable.
struct Reading {
    TestName subject;
    TestName issuer;
    std::optional<Instant> notBefore;
    std::optional<Instant> notAfter;
    bool operator==(const Reading&) const = default;
};

Reading readingOf(const platform::CertificateFields& fields) {
    return {pairsOf(fields.subject), pairsOf(fields.issuer), fields.notBefore, fields.notAfter};
}

// What the full decoder reads from exactly these bytes; nothing when it refuses them.
std::optional<Reading> fullReading(const Bytes& der) {
    const unsigned char* cursor = der.data();
    const UniqueX509 x509(d2i_X509(nullptr, &cursor, static_cast<long>(der.size())));
    if (x509 == nullptr || cursor != der.data() + der.size()) {
        return std::nullopt;
    }
    return readingOf(platform::decodedCertificateFields(x509.get()));
}

// What a certificate made from the bytes reports, whichever reading it took:
// the quick one must read what the full decoder reads, and take nothing that
// the full decoder refuses.
std::optional<Reading> certificateReading(const Bytes& der) {
    const auto certificate = platform::Certificate::fromDER(der);
    if (!certificate) {
        return std::nullopt;
    }
    return Reading{pairsOf(certificate->subject()), pairsOf(certificate->issuer()), certificate->notBefore(),
                   certificate->notAfter()};
}

// A certificate whose subject holds one common name of that type and content,
// written into the bytes directly: OpenSSL would not encode most of these.
Bytes withSubjectValue(std::uint8_t tag, const Bytes& content) {
    CertificateRecipe recipe;
    recipe.subject = {{{"CN", std::string(content.size(), 'x')}}};
    recipe.issuer = {{{"CN", "Issuer"}}};
    Bytes der = mintCertificate(recipe);
    Bytes minted = {0x0C, static_cast<std::uint8_t>(content.size())};
    minted.resize(2 + content.size(), 'x');
    const auto at = std::search(der.begin(), der.end(), minted.begin(), minted.end());
    if (at == der.end()) {
        throw std::runtime_error("minted subject not found");
    }
    *at = tag;
    std::copy(content.begin(), content.end(), at + 2);
    return der;
}

// A certificate whose notBefore holds exactly this text, as that type.
Bytes withNotBefore(int type, const std::string& text) {
    return altered(mintCertificate({}), [&](X509* x509) {
        ASN1_TIME* time = X509_getm_notBefore(x509);
        ASN1_STRING_set(time, text.data(), static_cast<int>(text.size()));
        time->type = type;
    });
}

// A certificate shaped like the ones issued for signatures: extensions, a
// critical one among them, and an issuer of its own.
Bytes withExtensions(const Key& key) {
    CertificateRecipe recipe;
    recipe.key = key;
    recipe.signingKey = rsaKey();
    recipe.subject = {{{"C", "TR"}}, {{"SERIALNUMBER", "12345678901"}}, {{"CN", "Ayşe Yılmaz"}}};
    recipe.issuer = {{{"C", "TR"}}, {{"O", "Kök Sertifika A.Ş."}}, {{"CN", "Kök"}}};
    return altered(mintCertificate(recipe), [](X509* x509) {
        X509V3_CTX context;
        X509V3_set_ctx(&context, nullptr, x509, nullptr, nullptr, 0);
        for (const auto& [nid, value] : {std::pair{NID_basic_constraints, "critical,CA:FALSE"},
                                         std::pair{NID_key_usage, "critical,nonRepudiation"},
                                         std::pair{NID_subject_key_identifier, "hash"}}) {
            X509_EXTENSION* extension = X509V3_EXT_conf_nid(nullptr, &context, nid, value);
            X509_add_ext(x509, extension, -1);
            X509_EXTENSION_free(extension);
        }
    });
}

struct ReadingCase {
    const char* what;
    std::function<Bytes()> make;
    bool readFromBytes;  // the quick reading takes it; otherwise the full decoder must
};

const Bytes bmpText = {0x00, 'A', 0x01, 0x5F};                   // "Aş"
const Bytes universalText = {0x00, 0x00, 0x00, 'A', 0x00, 0x01, 0xF6, 0x00};  // "A😀"

const ReadingCase readingCases[] = {
    {"usual RSA certificate", [] { return mintCertificate({}); }, true},
    {"EC key", [] { return selfSignedCertificate(ecKey(), "EC"); }, true},
    {"extensions, RSA", [] { return withExtensions(rsaKey()); }, true},
    {"extensions, EC", [] { return withExtensions(ecKey()); }, true},
    {"version 1", [] { CertificateRecipe r; r.version = 1; return mintCertificate(r); }, true},
    {"empty issuer", [] { CertificateRecipe r; r.emptyIssuer = true; return mintCertificate(r); }, true},
    {"sets, e-mail and private types",
     [] {
         CertificateRecipe r;
         r.subject = {{{"SERIALNUMBER", "123"}, {"CN", "Ayşe, Yılmaz"}},
                      {{"EMAILADDRESS", "ayse@example.com"}},
                      {{"1.3.6.1.4.1.99999.1", "özel"}},
                      {{"2.999.1234567890123", "büyük yay"}}};
         return mintCertificate(r);
     },
     true},
    {"summary from the one-line name",
     [] { CertificateRecipe r; r.subject = {{{"GN", "Ayşe"}}, {{"SN", "Yılmaz"}}}; return mintCertificate(r); }, true},
    {"times far in the past and future",
     [] { CertificateRecipe r; r.notBeforeText = "19000101000000Z"; r.notAfterText = "99991231235959Z"; return mintCertificate(r); },
     true},
    {"UTCTime edges",
     [] { CertificateRecipe r; r.notBeforeText = "19500101000000Z"; r.notAfterText = "20491231235959Z"; return mintCertificate(r); },
     true},
    {"unreadable time",
     [] {
         return altered(mintCertificate({}), [](X509* x509) {
             ASN1_STRING_set(X509_getm_notBefore(x509), "991399999999Z", 13);
         });
     },
     true},
    // Forms RFC 5280 does not allow, which OpenSSL still reads: left to it.
    {"time with an offset",
     [] { return withNotBefore(V_ASN1_UTCTIME, "491231220000-0130"); }, false},
    {"time without seconds", [] { return withNotBefore(V_ASN1_UTCTIME, "4912312200Z"); }, false},
    {"time with a fraction of a second",
     [] { return withNotBefore(V_ASN1_GENERALIZEDTIME, "20491231220000.25Z"); }, false},
    {"GeneralizedTime on the 29th of February of a year that has none",
     [] { return withNotBefore(V_ASN1_GENERALIZEDTIME, "21000229000000Z"); }, true},
    // Newer OpenSSL refuses this at decoding, older OpenSSL takes it.
    {"GeneralizedTime without seconds",
     [] {
         CertificateRecipe r;
         r.notBeforeText = "19000101000000Z";
         return altered(mintCertificate(r), [](X509* x509) {
             ASN1_STRING_set(X509_getm_notBefore(x509), "190001010000Z", 13);
         });
     },
     false},
    {"BMPString", [] { return withSubjectValue(0x1E, bmpText); }, true},
    {"UniversalString", [] { return withSubjectValue(0x1C, universalText); }, true},
    {"T61String with high bytes", [] { return withSubjectValue(0x14, {'A', 0xE7}); }, true},
    {"IA5String", [] { return withSubjectValue(0x16, {'a', '@', 'b'}); }, true},
    {"BIT STRING value", [] { return withSubjectValue(0x03, {0x00, 0xAB, 0xCD}); }, false},
    {"OCTET STRING value", [] { return withSubjectValue(0x04, {0xAB}); }, false},
    {"UTF8String that is not UTF-8", [] { return withSubjectValue(0x0C, {'A', 0xC3}); }, false},
    {"BMPString with a lone surrogate", [] { return withSubjectValue(0x1E, {0xD8, 0x00}); }, false},
    {"BMPString of odd length", [] { return withSubjectValue(0x1E, {0x00, 'A', 0x00}); }, false},
    {"VisibleString", [] { return withSubjectValue(0x1A, {'v'}); }, false},
    {"long-form length where a short one fits",
     [] {
         Bytes der = mintCertificate({});
         // The outer SEQUENCE's length again in one more byte than it needs.
         der.insert(der.begin() + 2, 0x00);
         der[1] = static_cast<std::uint8_t>(der[1] + 1);
         return der;
     },
     false},
};

TEST(CertificateReading, AgreesWithTheFullDecoder) {
    for (const auto& [what, make, readFromBytes] : readingCases) {
        const Bytes der = make();
        EXPECT_EQ(platform::readCertificateFields(der).has_value(), readFromBytes) << what;
        EXPECT_EQ(certificateReading(der), fullReading(der)) << what;
    }
}

// Every single-byte change of a whole certificate, each one a different way
// of being malformed: both readings refuse it, or both read the same fields.
TEST(CertificateReading, AgreesWithTheFullDecoderOnEveryDamagedByte) {
    for (const Bytes& original : {withExtensions(rsaKey()), withExtensions(ecKey())}) {
        for (std::size_t at = 0; at < original.size(); ++at) {
            for (const std::uint8_t change : {0x01, 0x80, 0xFF}) {
                Bytes damaged = original;
                damaged[at] ^= change;
                ASSERT_EQ(certificateReading(damaged), fullReading(damaged))
                    << "byte " << at << " changed by " << int{change};
            }
        }
    }
}

}  // namespace
}  // namespace tarvo::test
