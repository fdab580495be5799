#include "support/TestCertificates.hpp"

#include "support/OpenSslHandles.hpp"

#include <openssl/err.h>
#include <openssl/pem.h>
#include <openssl/rsa.h>

#include <ctime>
#include <limits>
#include <map>
#include <stdexcept>

namespace tarvo::test {

namespace {

// Minting failures are bugs in the test itself; they must stop the test loudly
// and say which OpenSSL step refused.
[[noreturn]] void fail(const std::string& step) {
    std::string text = "mint: " + step;
    if (const unsigned long code = ERR_get_error(); code != 0) {
        char reason[256];
        ERR_error_string_n(code, reason, sizeof reason);
        text += ": ";
        text += reason;
    }
    ERR_clear_error();
    throw std::runtime_error(text);
}

void require(bool ok, const std::string& step) {
    if (!ok) {
        fail(step);
    }
}

Key shareKey(EVP_PKEY* key, const std::string& step) {
    require(key != nullptr, step);
    return Key(key, EVP_PKEY_free);
}

// OpenSSL spells two of the attribute labels we display differently.
std::string openSslAttributeName(const std::string& name) {
    if (name == "SERIALNUMBER") {
        return "serialNumber";
    }
    if (name == "EMAILADDRESS") {
        return "emailAddress";
    }
    return name;
}

UniqueX509Name makeName(const TestName& wanted) {
    UniqueX509Name name(X509_NAME_new());
    require(name != nullptr, "X509_NAME_new");
    for (const auto& set : wanted) {
        bool first = true;
        for (const auto& [type, value] : set) {
            const std::string typeName = openSslAttributeName(type);
            UniqueAsn1Object object(OBJ_txt2obj(typeName.c_str(), 0));
            require(object != nullptr, "attribute type " + type);
            require(value.size() <= static_cast<std::size_t>(std::numeric_limits<int>::max()), "value size");
            // set 0 opens a new RDN after the last one; -1 joins the RDN of the entry before.
            require(X509_NAME_add_entry_by_OBJ(name.get(), object.get(), MBSTRING_UTF8,
                                               reinterpret_cast<const unsigned char*>(value.data()),
                                               static_cast<int>(value.size()), -1, first ? 0 : -1) == 1,
                    "attribute " + type + "=" + value);
            first = false;
        }
    }
    return name;
}

// The serial goes in as raw INTEGER content. A positive type keeps a leading
// 00 as given; content whose first bit is set is negative and is stored as its
// magnitude, which OpenSSL turns back into exactly the same two's complement bytes.
UniqueAsn1Integer makeSerial(const Bytes& content) {
    require(!content.empty(), "serial must have content bytes");
    Bytes magnitude = content;
    int type = V_ASN1_INTEGER;
    if ((content.front() & 0x80) != 0) {
        type = V_ASN1_NEG_INTEGER;
        unsigned carry = 1;
        for (auto it = magnitude.rbegin(); it != magnitude.rend(); ++it) {
            const unsigned sum = static_cast<std::uint8_t>(~*it) + carry;
            *it = static_cast<std::uint8_t>(sum & 0xFF);
            carry = sum >> 8;
        }
    }
    UniqueAsn1Integer serial(ASN1_STRING_type_new(type));
    require(serial != nullptr, "ASN1_STRING_type_new");
    require(ASN1_STRING_set(serial.get(), magnitude.data(), static_cast<int>(magnitude.size())) == 1,
            "ASN1_STRING_set serial");
    return serial;
}

void setTime(ASN1_TIME* field, const std::string& text, std::chrono::seconds offset, const char* what) {
    if (!text.empty()) {
        // UTCTime where X.509 wants it (1950–2049), GeneralizedTime outside.
        require(ASN1_TIME_set_string_X509(field, text.c_str()) == 1, std::string(what) + " text " + text);
        return;
    }
    require(X509_time_adj_ex(field, 0, static_cast<long>(offset.count()), nullptr) != nullptr,
            std::string(what) + " offset");
}

Bytes derOf(X509* certificate) {
    return encodedBy([&](unsigned char** out) { return i2d_X509(certificate, out); }, "i2d_X509");
}

UniqueX509 x509FromDER(const Bytes& der) {
    const unsigned char* cursor = der.data();
    UniqueX509 certificate(d2i_X509(nullptr, &cursor, static_cast<long>(der.size())));
    require(certificate != nullptr, "d2i_X509");
    return certificate;
}

std::string bioText(BIO* bio) {
    char* data = nullptr;
    const long length = BIO_get_mem_data(bio, &data);
    return std::string(data, static_cast<std::size_t>(length));
}

}  // namespace

Key rsaKey(int bits) {
    static std::map<int, Key> keys;
    auto& key = keys[bits];
    if (!key) {
        key = shareKey(EVP_RSA_gen(static_cast<unsigned>(bits)), "EVP_RSA_gen");
    }
    return key;
}

Key otherRsaKey() {
    static const Key key = shareKey(EVP_RSA_gen(2048), "EVP_RSA_gen");
    return key;
}

Key ecKey() {
    static const Key key = shareKey(EVP_EC_gen("P-256"), "EVP_EC_gen");
    return key;
}

Bytes mintCertificate(const CertificateRecipe& wanted) {
    const Key key = wanted.key ? wanted.key : rsaKey();
    const Key signingKey = wanted.signingKey ? wanted.signingKey : key;

    UniqueX509 certificate(X509_new());
    require(certificate != nullptr, "X509_new");
    require(wanted.version == 1 || wanted.version == 3, "version must be 1 or 3");
    require(X509_set_version(certificate.get(), wanted.version == 1 ? X509_VERSION_1 : X509_VERSION_3) == 1,
            "X509_set_version");

    const UniqueAsn1Integer serial = makeSerial(wanted.serial);
    require(X509_set_serialNumber(certificate.get(), serial.get()) == 1, "X509_set_serialNumber");

    const UniqueX509Name subject = makeName(wanted.subject);
    require(X509_set_subject_name(certificate.get(), subject.get()) == 1, "X509_set_subject_name");
    const UniqueX509Name issuer = makeName(wanted.emptyIssuer ? TestName{}
                                           : wanted.issuer.empty() ? wanted.subject
                                                                 : wanted.issuer);
    require(X509_set_issuer_name(certificate.get(), issuer.get()) == 1, "X509_set_issuer_name");

    setTime(X509_getm_notBefore(certificate.get()), wanted.notBeforeText, wanted.notBeforeOffset, "notBefore");
    setTime(X509_getm_notAfter(certificate.get()), wanted.notAfterText, wanted.notAfterOffset, "notAfter");

    require(X509_set_pubkey(certificate.get(), key.get()) == 1, "X509_set_pubkey");
    require(X509_sign(certificate.get(), signingKey.get(), EVP_sha256()) > 0, "X509_sign");
    return derOf(certificate.get());
}

Bytes selfSignedCertificate(const Key& key, const std::string& commonName) {
    CertificateRecipe wanted;
    wanted.subject = {{{"CN", commonName}}};
    wanted.key = key;
    return mintCertificate(wanted);
}

std::string certificatePEM(const Bytes& der) {
    const UniqueX509 certificate = x509FromDER(der);
    UniqueBio bio(BIO_new(BIO_s_mem()));
    require(bio != nullptr, "BIO_new");
    require(PEM_write_bio_X509(bio.get(), certificate.get()) == 1, "PEM_write_bio_X509");
    return bioText(bio.get());
}

std::string privateKeyPEM(const Key& key) {
    UniqueBio bio(BIO_new(BIO_s_mem()));
    require(bio != nullptr, "BIO_new");
    require(PEM_write_bio_PrivateKey(bio.get(), key.get(), nullptr, nullptr, 0, nullptr, nullptr) == 1,
            "PEM_write_bio_PrivateKey");
    return bioText(bio.get());
}

Bytes sha256Signature(const Key& key, const Bytes& message) {
    const UniqueEvpDigestContext context(EVP_MD_CTX_new());
    std::size_t length = 0;
    if (!context || EVP_DigestSignInit(context.get(), nullptr, EVP_sha256(), nullptr, key.get()) != 1 ||
        EVP_DigestSign(context.get(), nullptr, &length, message.data(), message.size()) != 1) {
        throw std::runtime_error("EVP_DigestSign");
    }
    Bytes signature(length);
    if (EVP_DigestSign(context.get(), signature.data(), &length, message.data(), message.size()) != 1) {
        throw std::runtime_error("EVP_DigestSign");
    }
    signature.resize(length);
    return signature;
}

Bytes altered(const Bytes& der, const std::function<void(X509*)>& change) {
    UniqueX509 x509 = x509FromDER(der);
    change(x509.get());
    require(X509_sign(x509.get(), rsaKey().get(), EVP_sha256()) > 0, "altered certificate could not be signed");
    return derOf(x509.get());
}

Bytes encodedBy(const std::function<int(unsigned char**)>& encode, const std::string& what) {
    unsigned char* out = nullptr;
    const int length = encode(&out);
    const UniqueOpenSslText owned(out);
    require(length > 0, what);
    return Bytes(out, out + length);
}

TestName pairsOf(const platform::Name& name) {
    TestName pairs;
    for (const auto& set : name) {
        auto& out = pairs.emplace_back();
        for (const platform::NameAttribute& attribute : set) {
            out.emplace_back(attribute.oid, attribute.value);
        }
    }
    return pairs;
}

}  // namespace tarvo::test
