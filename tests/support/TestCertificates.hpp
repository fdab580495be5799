#pragma once

// Certificates and keys minted by the tests themselves with OpenSSL.

#include "platform/crypto/Certificate.hpp"
#include "platform/vocabulary/Bytes.hpp"

#include <chrono>
#include <functional>
#include <memory>
#include <string>
#include <utility>
#include <vector>

using EVP_PKEY = struct evp_pkey_st;
using X509 = struct x509_st;

namespace tarvo::test {

using Key = std::shared_ptr<EVP_PKEY>;

// Keys are costly to make; these return one shared key per kind and size.
Key rsaKey(int bits = 2048);
Key otherRsaKey();  // a second, different RSA key of 2048 bits
Key ecKey();        // P-256

// A name as a list of sets of (attribute short name or dotted OID, UTF-8 value).
using TestName = std::vector<std::vector<std::pair<std::string, std::string>>>;

struct CertificateRecipe {
    TestName subject = {{{"CN", "Test User"}}};
    TestName issuer = {};                    // empty list: same as subject
    bool emptyIssuer = false;                // an issuer Name with no attributes at all
    std::chrono::seconds notBeforeOffset = -std::chrono::hours(1);   // from now
    std::chrono::seconds notAfterOffset = std::chrono::hours(24 * 365);
    std::string notBeforeText;               // when set: an ASN.1 time text such as "19650101000000Z"
    std::string notAfterText;
    Bytes serial = {0x01, 0x02};             // INTEGER content bytes, as encoded
    int version = 3;                         // 1 or 3
    Key key;                                 // subject key; rsaKey() when null
    Key signingKey;                          // issuer key; key when null
};

// DER bytes of a certificate built from the recipe.
Bytes mintCertificate(const CertificateRecipe& recipe);

// A self-signed certificate with one common name, valid from an hour ago for a year.
Bytes selfSignedCertificate(const Key& key, const std::string& commonName);

// RSA PKCS#1 v1.5 with SHA-256 over the message (ECDSA for EC keys), as OpenSSL makes it.
Bytes sha256Signature(const Key& key, const Bytes& message);

// Changes a minted certificate in ways a recipe cannot express and signs it
// again, so that only the change itself is unusual.
Bytes altered(const Bytes& der, const std::function<void(X509*)>& change);

// What an OpenSSL i2d function writes, taken out of OpenSSL's buffer; throws
// naming `what` when it writes nothing.
Bytes encodedBy(const std::function<int(unsigned char**)>& encode, const std::string& what);

// Names as plain pairs, so that a mismatch prints every attribute.
TestName pairsOf(const platform::Name& name);

// PEM text of a certificate or a private key, for command-line tools.
std::string certificatePEM(const Bytes& der);
std::string privateKeyPEM(const Key& key);

}  // namespace tarvo::test
