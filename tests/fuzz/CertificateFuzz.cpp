// The serial walk over any bytes, and the whole description of every
// certificate OpenSSL accepts: the serial agrees with OpenSSL's own, and the
// record and its listing entry keep their promises.

#include "FuzzCheck.hpp"
#include "certificate/CertificateJSON.hpp"
#include "certificate/CertificateRecord.hpp"
#include "certificate/SerialNumber.hpp"
#include "main/Json.hpp"
#include "platform/vocabulary/Base64.hpp"

#include <openssl/crypto.h>
#include <openssl/evp.h>
#include <openssl/x509.h>

#include <memory>
#include <algorithm>
#include <string>

namespace tarvo::fuzz {
namespace {

bool isHex(std::string_view text, std::string_view digits) {
    return text.find_first_not_of(digits) == std::string_view::npos;
}

std::string hexOf(ByteView bytes, const char* digits) {
    std::string text;
    for (const std::uint8_t byte : bytes) {
        text += digits[byte >> 4];
        text += digits[byte & 0x0F];
    }
    return text;
}

// OpenSSL's serial, written back as DER, its content bytes last to first.
std::string referenceSerial(const platform::Certificate& certificate) {
    unsigned char* encoded = nullptr;
    const int length = i2d_ASN1_INTEGER(X509_get0_serialNumber(certificate.native()), &encoded);
    FUZZ_EXPECT(length > 2);
    const std::unique_ptr<unsigned char, void (*)(void*)> owned(encoded, [](void* p) { OPENSSL_free(p); });
    const std::size_t start = encoded[1] < 0x80 ? 2 : 2 + (encoded[1] & 0x7F);
    Bytes content(encoded + start, encoded + length);
    std::reverse(content.begin(), content.end());
    return hexOf(content, "0123456789ABCDEF");
}

// The same certificate encoded afresh from what OpenSSL decoded: strict DER,
// whatever liberties the input took.
Bytes reencoded(const platform::Certificate& certificate) {
    const std::unique_ptr<X509, void (*)(X509*)> copy(X509_dup(certificate.native()), X509_free);
    FUZZ_EXPECT(copy != nullptr);
    FUZZ_EXPECT(i2d_re_X509_tbs(copy.get(), nullptr) > 0);  // drops the kept encoding of the signed part
    unsigned char* encoded = nullptr;
    const int length = i2d_X509(copy.get(), &encoded);
    FUZZ_EXPECT(length > 0);
    Bytes bytes(encoded, encoded + length);
    OPENSSL_free(encoded);
    return bytes;
}

std::string sha256Hex(ByteView bytes) {
    unsigned char digest[32];
    unsigned int length = 0;
    FUZZ_EXPECT(EVP_Digest(bytes.data(), bytes.size(), digest, &length, EVP_sha256(), nullptr) == 1);
    return hexOf({digest, length}, "0123456789abcdef");
}

void expectDateShape(std::string_view text) {
    constexpr std::string_view shape = "9999-99-99T99:99:99.999Z";  // 9: any digit
    FUZZ_EXPECT(text.size() == shape.size());
    for (std::size_t i = 0; i < shape.size(); ++i) {
        FUZZ_EXPECT(shape[i] == '9' ? (text[i] >= '0' && text[i] <= '9') : text[i] == shape[i]);
    }
}

void expectEntry(const CertificateRecord& record) {
    const std::string label = "AKİS PKCS#11";
    const CertificateEntry entry = certificateJSON(record, label);
    FUZZ_EXPECT(entry.size() == 9);
    FUZZ_EXPECT(base64Decode(entry.at("certificate")) == record.der);
    FUZZ_EXPECT(entry.at("certificateSerial") == serialNumber(record.der).value_or(""));
    FUZZ_EXPECT(entry.at("certificateSubject") == record.subject);
    FUZZ_EXPECT(entry.at("provider") == (record.issuer.empty() ? label : record.issuer));
    FUZZ_EXPECT(entry.at("providerName") == label);
    FUZZ_EXPECT(entry.at("fingerprint") == record.fingerprint && entry.at("identityFingerprint") == record.fingerprint);
    FUZZ_EXPECT(entry.at("validFrom") == record.validFrom && entry.at("validUntil") == record.validUntil);

    const CertificateEntry signatureEntry = certificateJSON(record, std::nullopt);
    FUZZ_EXPECT(signatureEntry.size() == 8 && signatureEntry.count("providerName") == 0);
    FUZZ_EXPECT(signatureEntry.at("provider") == record.issuer);

    // Whatever the certificate holds, its entry can be written: one entry
    // that cannot would take the whole listing down with it.
    JsonObject document;
    for (const auto& [key, value] : entry) document.emplace(key, value);
    FUZZ_EXPECT(serializeJSON(document).has_value());
}

void expectDescription(const platform::Certificate& certificate, ByteView der) {
    const auto notBefore = certificate.notBefore();
    const auto notAfter = certificate.notAfter();
    if (!notBefore || !notAfter || *notAfter < *notBefore) {
        FUZZ_EXPECT(!record(certificate, notBefore.value_or(notAfter.value_or(currentTime()))));
        return;
    }
    constexpr std::chrono::microseconds tick{1};
    FUZZ_EXPECT(!record(certificate, *notBefore - tick));
    FUZZ_EXPECT(!record(certificate, *notAfter + tick));
    FUZZ_EXPECT(record(certificate, *notAfter).has_value());
    const auto described = record(certificate, *notBefore);
    FUZZ_EXPECT(described.has_value());

    FUZZ_EXPECT(std::equal(described->der.begin(), described->der.end(), der.begin(), der.end()));
    FUZZ_EXPECT(described->fingerprint.size() == 64 && isHex(described->fingerprint, "0123456789abcdef"));
    FUZZ_EXPECT(described->fingerprint == sha256Hex(der));
    expectDateShape(described->validFrom);
    expectDateShape(described->validUntil);
    // Four-digit years: the texts sort as the moments they name.
    FUZZ_EXPECT(described->validFrom <= described->validUntil);
    expectEntry(*described);
}

}  // namespace
}  // namespace tarvo::fuzz

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using namespace tarvo::fuzz;
    // libFuzzer's buffer ends exactly after the input, so a read past its end
    // stops here under the address sanitizer.
    const tarvo::ByteView der(data, size);
    const auto serial = tarvo::serialNumber(der);
    if (serial) {
        FUZZ_EXPECT(!serial->empty() && serial->size() % 2 == 0 && isHex(*serial, "0123456789ABCDEF"));
    }

    const auto certificate = tarvo::platform::Certificate::fromDER(der);
    if (!certificate) {
        return 0;
    }
    const std::string expected = referenceSerial(*certificate);
    FUZZ_EXPECT(!serial || *serial == expected);
    FUZZ_EXPECT(tarvo::serialNumber(reencoded(*certificate)) == expected);
    expectDescription(*certificate, der);
    return 0;
}
